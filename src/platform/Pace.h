#pragma once

namespace Orvex::Pace {

// The pauses the client makes on purpose, for a person to follow what
// happens (a screen sliding in, the moment before a new screen takes over
// the window, the usage asked again once the tunnel is down), are read
// through here rather than used as written: tests run them faster instead of
// sleeping through them. Real time unless sped up; a pause that is not zero
// stays above zero, so it still ends on a later turn of the event loop and
// pauses keep their order.
int scaled(int ms);

// Runs every such pause `factor` times faster for the rest of the process
// (1: real time).
void setSpeedUpForTesting(int factor);

} // namespace Orvex::Pace
