#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace Orvex {

// When a tunnel that the saved configuration wants up is tried again. Every
// backend keeps the tunnel up the same way: after a save or a load, when the
// daemon or a network appears, and, after a short pause, when an attempt
// failed or the tunnel dropped; each attempt a new "connecting". A stop by
// hand holds all of this back until the next save or start. What an attempt
// is, and whether the daemon can take one now, the backend says.
class TunnelKeepUp final : public QObject
{
    Q_OBJECT

public:
    struct Hooks
    {
        // The saved configuration asks for the tunnel to be kept up.
        std::function<bool()> wanted;
        // The daemon can take an attempt now: it is there, and no tunnel is
        // up or under way.
        std::function<bool()> canTry;
        // Begins an attempt.
        std::function<void()> tryNow;
    };

    TunnelKeepUp(int retryDelayMs, Hooks hooks, QObject *parent = nullptr);

    // Wanted and not held back by a stop.
    bool keepsUp() const;
    bool isSuspended() const { return m_suspended; }
    // A stop by hand: no attempt of ours until `resume`.
    void suspend();
    // A save or a start lifts the hold.
    void resume() { m_suspended = false; }

    // An attempt now, when one is wanted and the daemon can take it.
    void tryIfWanted();
    // An attempt failed or the tunnel dropped: the next one after the pause,
    // when one is still wanted then.
    void retryLater();
    // An attempt is under way (or none may be made): no retry is due.
    void cancelRetry() { m_retry.stop(); }

    // A tunnel found dead is brought back once it is down, also without
    // on-demand, unless stopped meanwhile.
    void oweReturn() { m_returnOwed = true; }
    // Whether a return is owed now; answering it settles it.
    bool takeOwedReturn();

private:
    Hooks m_hooks;
    int m_retryDelayMs;
    bool m_suspended = false;
    bool m_returnOwed = false;
    QTimer m_retry;
};

} // namespace Orvex
