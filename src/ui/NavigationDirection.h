#pragma once

#include <QString>

#include <optional>

namespace Orvex {

// How a screen is presented; the raw value is also the segue identifier.
// `popover` fades in inset from the presenter's edges, `toWebView` shows a
// page at twice the presenter's size without moving; no screen of the client
// uses either today.
enum class NavigationDirection { popover, center, toLeft, toRight, toWebView };

QString rawValue(NavigationDirection direction);
std::optional<NavigationDirection> navigationDirection(const QString &identifier);

} // namespace Orvex
