#pragma once

#include <QString>

#include <optional>

namespace Orvex {

// How a screen is presented; the raw value is also the segue identifier.
enum class NavigationDirection { center, toLeft, toRight };

QString rawValue(NavigationDirection direction);
std::optional<NavigationDirection> navigationDirection(const QString &identifier);

} // namespace Orvex
