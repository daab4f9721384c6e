#include "StatusMenuItem.h"

namespace Orvex {

QString StatusMenuItem::title() const
{
    if (const auto *action = std::get_if<Action>(&m_value)) {
        if (action->connected) {
            //: aciton
            return tr("Disconnect");
        }
        //: aciton
        return tr("Connect");
    }
    if (const auto *custom = std::get_if<Custom>(&m_value))
        return custom->title;
    if (isShow()) {
        //: show
        return tr("Show");
    }
    //: Quit
    return tr("Quit");
}

QIcon StatusMenuItem::image() const
{
    if (const auto *custom = std::get_if<Custom>(&m_value))
        return custom->image;
    return {};
}

} // namespace Orvex
