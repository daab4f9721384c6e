#pragma once

// Waiting in a benchmark's own event loop. QCoreApplication::processEvents
// with a time limit never blocks (it drops WaitForMoreEvents), so a loop of it
// spins a core, and on a two-core machine that core is taken from charon and
// from the client being measured. These block until something happens.

#include <QCoreApplication>
#include <QTimer>

namespace BenchLoop {

// Turns the event loop until `done` holds; false once `ms` have passed.
template<typename Predicate>
bool waitFor(Predicate done, int ms)
{
    bool late = false;
    QTimer deadline; // an event of its own, so the wait ends on time
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, [&late] { late = true; });
    deadline.start(ms);
    while (!done()) {
        if (late)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Lets the loop run for `ms`: pending repaints, timers, answers.
inline void settle(int ms)
{
    waitFor([] { return false; }, ms);
}

} // namespace BenchLoop
