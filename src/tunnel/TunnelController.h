#pragma once

#include "platform/LeakGuard.h"
#include "platform/VPNBackend.h"
#include "platform/VPNStatus.h"
#include "tunnel/TunnelKeepUp.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>
#include <vector>

namespace Orvex {

// The one owner of the tunnel's state and of what may leave the machine in
// each state. From the user's Turn ON until their own Turn OFF, Quit or
// sign-out, nothing leaves beside the tunnel: while it connects, after the
// gateway drops it, while a network changes, after the daemon dies, and when
// the client gives up by itself (Blocked). Only the user lifts the block.
//
// The backend's status comes in; out go the state, why it is blocked, and
// the six-value status the screens show, which says Connected only once the
// tunnel's policy is in force. It also keeps the attempts rule (a fourth
// failed attempt in a row gives up) and keeps the tunnel up: it asks the
// backend for each attempt the saved configuration or a tunnel found dead
// calls for, and holds them back from the user's Turn OFF to their Turn ON.
// After a wake-up it has the backend check that the tunnel still carries,
// and a tunnel that does not answer in time is taken down and brought back.
class TunnelController final : public QObject
{
    Q_OBJECT

public:
    enum class State { Off, Connecting, Connected, Reconnecting, Disconnecting, Blocked };
    Q_ENUM(State)
    enum class Reason {
        None,
        AttemptsExhausted, // the attempts rule gave up
        Refused,           // the gateway or the daemon refused the tunnel
        NoAnswer,          // the gateway never answered
        DaemonUnavailable, // no VPN daemon to run the tunnel
        TunnelLost,        // the tunnel went down and nothing brings it back
        GuardFailed,       // the block could not be put in force
        EarlierRun,        // a client that was killed left the block behind
    };
    Q_ENUM(Reason)

    struct Hooks
    {
        // The saved configuration brings the tunnel back by itself.
        std::function<bool()> keepsUp;
        // Stop trying: no further attempt, the tunnel down. The block stays.
        std::function<void()> giveUp;
    };

    explicit TunnelController(Hooks hooks, QObject *parent = nullptr);

    State state() const { return m_state; }
    Reason reason() const { return m_reason; }
    // What the screens show; Connected only over the tunnel's policy.
    VPNStatus status() const;
    int attempts() const { return m_attempts; }
    // The error of the last failed change of the block, if any.
    QString guardError() const { return m_guardError; }
    LeakPolicy policy() const { return m_policy; }

    // The user asked for the tunnel: the block goes up at once, before any
    // attempt, with the gateway as the only peer.
    void turnOn();
    // The gateway's addresses, resolved before the block goes up.
    void setGateway(const QList<QHostAddress> &gateway);
    // The user's Turn OFF or sign-out: the backend's attempts are held at
    // once, and the block is lifted once the tunnel is down.
    void turnOff();
    // Quit is taking the tunnel down (ended by lift()): a tunnel that goes
    // down meanwhile is the Quit's doing, neither retried nor blocked for.
    void beginQuit();
    // The Quit could not be carried out and the client runs on: the tunnel
    // is judged again as it is now.
    void quitFailed();
    // Quit: the block is lifted now (the tunnel is being stopped), unless
    // the user always requires the tunnel.
    void lift();
    // Off blocks too, but for `exempt` (the service's API).
    void setAlwaysRequired(bool required, const QList<QHostAddress> &exempt = {});
    // A start that could not even begin.
    void startFailed();
    // The backend's status changed.
    void backendChanged(VPNStatus status);
    // Drives `backend`: hears its status and what it tells of its attempts,
    // and asks it for attempts, probes and what guards it.
    void follow(VPNBackend *backend);
    // The network under the tunnel may have changed, or the machine woke:
    // a tunnel down and wanted is tried at once; after a wake-up one that is
    // up is checked.
    void checkTunnel(VPNBackend::Change change);
    // A check of the tunnel is under way.
    bool isCheckingTunnel() const { return m_probing; }
    // No attempt until the next Turn ON: the user stopped the tunnel, not
    // even while the configuration with on-demand off is still being saved.
    void holdAttempts() { m_keepUp.suspend(); }
    // At start: a block left by a run that ended without lifting it.
    void adoptLeftBlock();
    // Runs `then` once the block's last change is in force (or known to
    // have failed): at once for a guard that changes in one step.
    void afterGuard(std::function<void()> then);

Q_SIGNALS:
    // After every change of state, reason or shown status.
    void changed();

private:
    // Puts the state's policy in force and enters it; false when the policy
    // could not be put in force (the state is then entered only as Blocked).
    bool enter(State state, Reason reason = Reason::None);
    void giveUp(Reason reason);
    Reason failureReason() const;
    bool enforce(LeakPolicy::Level level);
    // A guard that answers later has answered.
    void guardSettled();
    LeakGuard *guard() const { return m_driver ? m_driver->leakGuard() : nullptr; }
    void probeAnswered(bool carrying);

    Hooks m_hooks;
    QPointer<VPNBackend> m_driver;
    TunnelKeepUp m_keepUp;
    QTimer m_probeTimer;
    bool m_probing = false; // a check of the tunnel awaits its answer
    State m_state = State::Off;
    Reason m_reason = Reason::None;
    VPNStatus m_backend = VPNStatus::Invalid;
    LeakPolicy m_policy;                    // what is in force
    const LeakGuard *m_appliedBy = nullptr; // ... put there by this guard
    QList<QHostAddress> m_gateway;
    QList<QHostAddress> m_exempt;
    std::vector<std::function<void()>> m_afterGuard;
    QString m_guardError;
    bool m_wanted = false;
    // The user's last word was Turn OFF (or Quit): the saved configuration's
    // on-demand, on its way to being saved off, no longer speaks for them.
    bool m_turnedOff = false;
    bool m_quitting = false;
    bool m_started = false; // the backend took an attempt since the last Turn ON
    bool m_wasUp = false;   // ... and had the tunnel up since
    bool m_givenUp = false;
    bool m_alwaysRequired = false;
    int m_attempts = 0;
};

} // namespace Orvex
