#pragma once

#include <functional>

class QObject;
class QWidget;

namespace Orvex::FirstFrame {

// The client's start holds back what the first screen does not need to be
// drawn (the service requests of the start: update check, automatic
// sign-in) until the window has painted its first frame: they load the TLS
// stack and its certificates, which would otherwise come before the frame.
// Called once, by the client's start, before the window is shown. Released
// by the frame, or after `fallbackMs` if none comes (a window never shown).
void holdUntilPainted(QWidget *window);
constexpr int fallbackMs = 2000;

// Runs `work` at once, or, while the start is held, on the event loop's turn
// after the first frame. Dropped if `context` is gone by then.
void run(QObject *context, std::function<void()> work);

} // namespace Orvex::FirstFrame
