#pragma once

namespace Orvex {

// The pauses the client makes on purpose, for a person to follow what
// happens (a screen sliding in, the moment before a new screen takes over
// the window, the usage asked again once the tunnel is down), are read
// through a Pace rather than used as written: tests run them faster instead of
// sleeping through them. Each composition (the client's, a test's) carries its
// own, so one test's speed-up reaches nothing else. Real time unless sped up;
// a pause that is not zero stays above zero, so it still ends on a later turn
// of the event loop and pauses keep their order.
class Pace
{
public:
    int scaled(int ms) const;

    // Runs every pause read through this pace `factor` times faster (1, or
    // anything less: real time).
    void setSpeedUp(int factor);

private:
    int m_speedUp = 1;
};

} // namespace Orvex
