#pragma once

#include "platform/LeakGuard.h"
#include "base/Outcome.h"
#include "platform/VPNPreferences.h"
#include "platform/VPNStatus.h"

#include <QObject>

#include <functional>

namespace Orvex {

// What runs the tunnel behind `VPNManager`: charon over VICI here, others
// (NetworkManager, a fake in tests) behind the same calls.
class VPNBackend : public QObject
{
    Q_OBJECT

public:
    using Completion = std::function<void(const Outcome<> &outcome)>;

    using QObject::QObject;

    // Learns the saved configuration after a load, without changing the
    // daemon, and finds out the live state; `done` runs once it is known (or
    // known to be unknowable).
    virtual void attach(const VPNPreferences &preferences, std::function<void()> done) = 0;
    // `attach` for a daemon that can refuse to answer: `done` fails with why,
    // and succeeds when the state is known (which includes knowing that no
    // daemon runs).
    virtual void attachReporting(const VPNPreferences &preferences, Completion done)
    {
        attach(preferences, [done = std::move(done)] {
            if (done)
                done(Outcome<>::success());
        });
    }
    // Hands a newly saved configuration to the daemon. A configuration that
    // can connect is loaded (and, with on-demand on, brought up); any other
    // leaves nothing in the daemon that could come up.
    virtual void apply(const VPNPreferences &preferences, Completion done) = 0;

    // Whether the daemon was given the configuration last applied, and a
    // start on it finds out by itself whether the daemon still holds it: a
    // switch that changes nothing then needs no new `apply` first.
    virtual bool startsOnApplied() const { return false; }

    virtual VPNStatus status() const = 0;
    // Begins bringing the tunnel up; fails with why when it cannot even
    // begin. How the attempt ends arrives as status changes.
    virtual Outcome<> startTunnel() = 0;
    virtual void stopTunnel() = 0;
    // Why the status is Invalid, as a sentence for the main screen; empty when
    // there is nothing to add to the status.
    virtual QString unavailableReason() const { return {}; }

    // Why the last attempt to bring the tunnel up failed, as far as the
    // daemon tells.
    enum class Failure { Unknown, NoAnswer, Refused, DaemonUnavailable };
    virtual Failure lastFailure() const { return Failure::Unknown; }
    // The network under the tunnel may have changed, or the machine woke:
    // the backend looks at its daemon again and says `attemptPossible` when
    // a tunnel that is down could be tried now, without the retry pause.
    enum class Change { Resumed, RouteChanged };
    virtual void checkTunnel(Change change) { Q_UNUSED(change) }
    // Asks through the tunnel that is up whether it still carries;
    // `probeAnswered` tells, unless the owner's wait (`probeTimeoutMs`) ends
    // first. False when nothing can be asked now.
    virtual bool probe() { return false; }
    virtual int probeTimeoutMs() const { return 10000; }
    // The tunnel did not answer: it is taken down, to be brought back.
    // False when it is not up (any more).
    virtual bool dropDeadTunnel() { return false; }

    // Keeping the tunnel up is the tunnel's owner's: the backend says when
    // the daemon can take an attempt, makes one when asked, and tells what
    // happened through the signals below.
    // The daemon can take an attempt now: it is there, holds the
    // configuration, and no tunnel is up or under way.
    virtual bool canAttempt() const { return false; }
    // Begins an attempt the owner asked for, as `startTunnel` would.
    virtual void attempt() {}
    // How long to wait after a failed attempt or a drop before the next.
    virtual int retryPauseMs() const { return 1000; }

    // What keeps traffic from leaving beside this backend's tunnel; null
    // when it has none.
    virtual LeakGuard *leakGuard() { return nullptr; }
    // The gateway's addresses, resolved before traffic was blocked: the
    // daemon uses them instead of looking the name up, which the block
    // would stop.
    virtual void pinGateway(const QList<QHostAddress> &addresses) { Q_UNUSED(addresses) }

    // The addresses the gateway gave this machine inside the tunnel, while
    // it is up; empty when the backend cannot tell.
    virtual QList<QHostAddress> virtualAddresses() const { return {}; }
    // For a help-desk report: which daemon runs the tunnel and its version,
    // one line ("charon 5.9.8 over VICI"). `done` runs later on this thread,
    // never from inside this call, also when the daemon does not answer.
    virtual void describeDaemon(QObject *context, std::function<void(const QString &)> done);

Q_SIGNALS:
    void statusChanged(Orvex::VPNStatus status);
    // `unavailableReason()` changed (also without a change of status, as when
    // the system refuses this user).
    void reasonChanged();
    // The daemon or a network to build on appeared, a load finished, or the
    // machine woke with the tunnel down: an attempt may succeed now.
    void attemptPossible();
    // An attempt failed or the tunnel went down (after the status said so).
    void attemptEnded();
    // The tunnel was found dead and is being taken down, to be brought back
    // once down (`true`); or it turned out to be still up (`false`).
    void returnOwed(bool owed);
    // What a `probe` found: the tunnel carries, or it does not.
    void probeAnswered(bool carrying);
};

} // namespace Orvex
