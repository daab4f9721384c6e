#pragma once

#include <mutex>

namespace Orvex {

// Work passed to another thread through Qt (QThreadPool::start, a queued
// QMetaObject::invokeMethod) is ordered by Qt's own locks. The system's Qt is
// not built with ThreadSanitizer, so that order is invisible to it and every
// value the work carries reads as raced there. A hand-off states the order with
// a lock it can see: the sending side holds it while it builds and passes the
// work, the receiving side takes it once before it reads anything that came.
// The lock is held only for the passing itself, never while waiting for
// anything, so a receiver waits at most that long; uncontended it costs one
// lock and unlock on each side.
class ThreadHandOff final
{
public:
    // Held by the sending side until the work has been passed on.
    [[nodiscard]] std::unique_lock<std::mutex> pass() { return std::unique_lock<std::mutex>(m_lock); }
    // The receiving side's first step.
    void receive() { const std::lock_guard<std::mutex> received(m_lock); }

private:
    std::mutex m_lock;
};

} // namespace Orvex
