#pragma once

#include "ui/NavigationDirection.h"

namespace Orvex {

class ViewController;

// The navigation operations every screen uses. The root is the main window's
// screen; every other screen is presented over it, or as a modal window.
namespace Navigator {

// Presents `screen` over the root, unless the root or a screen it presents is
// of the same class (then `screen` is discarded).
void show(ViewController *screen, NavigationDirection direction);
// Presents `screen`, then one second later makes it the root; the old root and
// everything it presented go away.
void setRoot(ViewController *screen, NavigationDirection direction);
// Brings the main screen to the front: makes it the root, or dismisses what
// covers it when it already is.
void showMain();
// Opens `screen` as a modal window over the root. At most one per class: an
// open one is brought forward instead.
void presentModal(ViewController *screen);
// Dismisses the screen presented last (following the chain from the root).
void dismissTop();

// The delay before setRoot replaces the root.
constexpr int setRootDelayMs = 1000;

} // namespace Navigator

} // namespace Orvex
