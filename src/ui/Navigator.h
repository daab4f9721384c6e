#pragma once

#include "ui/NavigationDirection.h"

class QObject;

namespace Orvex {

class ViewController;

// The navigation operations every screen uses. Each acts on the window `from`
// is in (WindowController::of: the asking screen, its handler, or the window
// itself). The root is that window's screen; every other screen is presented
// over it, or as a modal window. Where `from` is in no window there is nothing
// to navigate, and a screen handed in is discarded.
namespace Navigator {

// Presents `screen` over the root, unless the root or a screen it presents is
// of the same class (then `screen` is discarded).
void show(const QObject *from, ViewController *screen, NavigationDirection direction);
// Presents `screen`, then one second later makes it the root; the old root and
// everything it presented go away.
void setRoot(const QObject *from, ViewController *screen, NavigationDirection direction);
// Brings the main screen to the front: makes it the root, or dismisses what
// covers it when it already is.
void showMain(const QObject *from);
// Opens `screen` as a modal window over the root. At most one per class: an
// open one is brought forward instead.
void presentModal(const QObject *from, ViewController *screen);
// Dismisses the screen presented last (following the chain from the root).
void dismissTop(const QObject *from);

// The delay before setRoot replaces the root.
constexpr int setRootDelayMs = 1000;

} // namespace Navigator

} // namespace Orvex
