#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace Orvex {

// When a tunnel that the saved configuration wants up is tried again: when
// the daemon or a network appears, after a load, and, after a short pause,
// when an attempt failed or the tunnel dropped; each attempt a new
// "connecting". A tunnel found dead is brought back once it is down, also
// without on-demand. The user's Turn OFF holds all of this back until their
// next Turn ON. What an attempt is, and whether the daemon can take one now,
// the daemon's driver says.
class TunnelKeepUp final : public QObject
{
    Q_OBJECT

public:
    // All four are given.
    struct Hooks
    {
        // The saved configuration asks for the tunnel to be kept up.
        std::function<bool()> wanted;
        // The daemon can take an attempt now: it is there, and no tunnel is
        // up or under way.
        std::function<bool()> canTry;
        // Begins an attempt.
        std::function<void()> tryNow;
        // The pause before the next attempt, in milliseconds.
        std::function<int()> pauseMs;
    };

    explicit TunnelKeepUp(Hooks hooks, QObject *parent = nullptr);

    // Wanted and not held back by the user.
    bool keepsUp() const;
    // The user's Turn OFF: no attempt until `resume`, and no return owed.
    void suspend();
    // The user's Turn ON lifts the hold.
    void resume() { m_suspended = false; }

    // An attempt now, when one is wanted and the daemon can take it.
    void tryIfWanted();
    // An attempt under way (or none may be made): no retry is due.
    void cancelRetry() { m_retry.stop(); }

    // The tunnel was found dead and is being taken down: brought back once
    // it is down, also without on-demand, unless held back meanwhile.
    void oweReturn(bool owed) { m_returnOwed = owed; }
    // An attempt failed or the tunnel went down: a return owed is made at
    // once, else the next attempt follows the pause when still wanted.
    void ended();

private:
    Hooks m_hooks;
    bool m_suspended = false;
    bool m_returnOwed = false;
    QTimer m_retry;
};

} // namespace Orvex
