#include "NavigationDirection.h"

namespace Orvex {

QString rawValue(NavigationDirection direction)
{
    switch (direction) {
    case NavigationDirection::center:
        return QStringLiteral("center");
    case NavigationDirection::toLeft:
        return QStringLiteral("toLeft");
    case NavigationDirection::toRight:
        return QStringLiteral("toRight");
    }
    return {};
}

std::optional<NavigationDirection> navigationDirection(const QString &identifier)
{
    for (auto d : {NavigationDirection::center, NavigationDirection::toLeft, NavigationDirection::toRight}) {
        if (rawValue(d) == identifier)
            return d;
    }
    return std::nullopt;
}

} // namespace Orvex
