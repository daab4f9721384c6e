#include "NavigationDirection.h"

namespace Orvex {

QString rawValue(NavigationDirection direction)
{
    switch (direction) {
    case NavigationDirection::popover:
        return QStringLiteral("popover");
    case NavigationDirection::center:
        return QStringLiteral("center");
    case NavigationDirection::toLeft:
        return QStringLiteral("toLeft");
    case NavigationDirection::toRight:
        return QStringLiteral("toRight");
    case NavigationDirection::toWebView:
        return QStringLiteral("showWebView");
    }
    return {};
}

std::optional<NavigationDirection> navigationDirection(const QString &identifier)
{
    for (auto d : {NavigationDirection::popover, NavigationDirection::center, NavigationDirection::toLeft,
                   NavigationDirection::toRight, NavigationDirection::toWebView}) {
        if (rawValue(d) == identifier)
            return d;
    }
    return std::nullopt;
}

} // namespace Orvex
