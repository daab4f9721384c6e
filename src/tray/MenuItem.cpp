#include "MenuItem.h"

namespace Orvex {

MenuItem::MenuItem(const QString &title, QObject *parent)
    : QAction(title, parent)
{}

bool MenuItem::isEqual(const QObject *other) const
{
    const auto *item = qobject_cast<const MenuItem *>(other);
    if (!item)
        return false;
    if (!menuItem || !item->menuItem)
        return !menuItem && !item->menuItem;
    return *menuItem == *item->menuItem;
}

} // namespace Orvex
