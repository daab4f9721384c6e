#include "TunnelController.h"

#include "platform/Logging.h"

#include <QScopeGuard>
#include <QTimer>

#include <utility>

namespace Orvex {

namespace {

// A fourth attempt in a row that does not bring the tunnel up is the last.
constexpr int MaximumAttempts = 3;

} // namespace

TunnelController::TunnelController(Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_hooks(std::move(hooks))
    , m_keepUp({[this] { return m_hooks.keepsUp && m_hooks.keepsUp(); },
                [this] { return m_driver && m_driver->canAttempt(); },
                [this] {
                    if (m_driver)
                        m_driver->attempt();
                },
                [this] { return m_driver ? m_driver->retryPauseMs() : 0; }})
{
    m_probeTimer.setSingleShot(true);
    connect(&m_probeTimer, &QTimer::timeout, this, [this] { probeAnswered(false); });
}

void TunnelController::follow(VPNBackend *backend)
{
    m_driver = backend;
    connect(backend, &VPNBackend::statusChanged, this, &TunnelController::backendChanged);
    connect(backend, &VPNBackend::attemptPossible, &m_keepUp, &TunnelKeepUp::tryIfWanted);
    connect(backend, &VPNBackend::attemptEnded, &m_keepUp, &TunnelKeepUp::ended);
    connect(backend, &VPNBackend::returnOwed, &m_keepUp, &TunnelKeepUp::oweReturn);
    connect(backend, &VPNBackend::probeAnswered, this, &TunnelController::probeAnswered);
}

// After sleep nothing tells the daemon to look: a gateway that forgot the
// tunnel meanwhile is found only by dead-peer detection, minutes later. So
// after a wake-up the backend asks through the tunnel (one exchange with the
// gateway): answered, the tunnel carries; unanswered within its time, it is
// taken down and brought back, also without on-demand. A route change is
// the daemon's own business (it moves the tunnel or loses it); a check of
// ours would only get in the way of that exchange.
void TunnelController::checkTunnel(VPNBackend::Change change)
{
    if (!m_driver)
        return;
    m_driver->checkTunnel(change);
    if (change != VPNBackend::Change::Resumed || m_backend != VPNStatus::Connected)
        return;
    if (m_probing || !m_driver->probe())
        return;
    m_probing = true;
    m_probeTimer.start(m_driver->probeTimeoutMs());
}

void TunnelController::probeAnswered(bool carrying)
{
    if (!std::exchange(m_probing, false))
        return; // not asked: an exchange of the daemon's own
    m_probeTimer.stop();
    if (carrying || !m_driver)
        return;
    qCInfo(lcTunnel) << "the tunnel did not answer: brought up anew";
    m_keepUp.oweReturn(true);
    if (!m_driver->dropDeadTunnel())
        m_keepUp.oweReturn(false); // no longer up: nothing to take down
}

VPNStatus TunnelController::status() const
{
    if (m_backend != VPNStatus::Connected)
        return m_backend;
    const LeakGuard *const guard = this->guard();
    if (m_policy.level == LeakPolicy::Level::Tunnel && (!guard || guard->isSettled()))
        return m_backend;
    // Up in the daemon, but not (or no longer) under the tunnel's policy.
    return m_wanted && !m_givenUp ? VPNStatus::Connecting : VPNStatus::Disconnecting;
}

void TunnelController::setGateway(const QList<QHostAddress> &gateway)
{
    qCInfo(lcTunnel) << "gateway at" << gateway;
    m_gateway = gateway;
    if (m_policy.level != LeakPolicy::Level::Open && m_policy.gateway != gateway)
        (void) enforce(m_policy.level); // failures show at the next change
}

void TunnelController::setAlwaysRequired(bool required, const QList<QHostAddress> &exempt)
{
    m_alwaysRequired = required;
    m_exempt = exempt;
    if (m_state == State::Off)
        enter(State::Off);
}

void TunnelController::turnOn()
{
    qCInfo(lcTunnel) << "turned on";
    m_keepUp.resume();
    m_wanted = true;
    m_turnedOff = false;
    m_givenUp = false;
    m_started = false;
    m_wasUp = false;
    if (m_backend == VPNStatus::Connected)
        backendChanged(m_backend);
    else if (!enter(State::Connecting))
        giveUp(Reason::GuardFailed);
}

void TunnelController::turnOff()
{
    qCInfo(lcTunnel) << "turned off";
    m_keepUp.suspend();
    m_wanted = false;
    m_turnedOff = true;
    m_givenUp = false;
    m_attempts = 0;
    if (m_backend == VPNStatus::Disconnected || m_backend == VPNStatus::Invalid)
        enter(State::Off);
    else
        enter(State::Disconnecting);
}

void TunnelController::beginQuit()
{
    m_quitting = true;
}

void TunnelController::quitFailed()
{
    m_quitting = false;
    backendChanged(m_backend);
}

void TunnelController::lift()
{
    m_keepUp.suspend();
    m_quitting = false;
    m_wanted = false;
    m_turnedOff = true;
    m_givenUp = false;
    m_attempts = 0;
    enter(State::Off);
}

void TunnelController::startFailed()
{
    if (m_wanted && !m_givenUp)
        giveUp(Reason::DaemonUnavailable);
}

void TunnelController::adoptLeftBlock()
{
    LeakGuard *const guard = this->guard();
    if (!guard || m_alwaysRequired || !guard->isInPlace())
        return;
    qCInfo(lcTunnel) << "found the block an earlier run left";
    m_wanted = true;
    m_givenUp = true;
    // Taken over: applied anew as this run's own.
    m_appliedBy = nullptr;
    if (!enter(State::Blocked, Reason::EarlierRun))
        enter(State::Blocked, Reason::GuardFailed);
}

void TunnelController::backendChanged(VPNStatus status)
{
    const VPNStatus before = m_backend;
    m_backend = status;
    // An attempt under way or a tunnel up needs no retry; nor does a daemon
    // that went away, until it is back.
    if (status != VPNStatus::Disconnected)
        m_keepUp.cancelRetry();
    if (m_probing && status != VPNStatus::Connected && status != VPNStatus::Reasserting) {
        // Down while the check awaited its answer: the daemon gave up on
        // the exchange before we did. The tunnel was dead, and comes back
        // as if the check had found it so.
        m_probing = false;
        m_probeTimer.stop();
        if (status == VPNStatus::Disconnected)
            m_keepUp.oweReturn(true);
    }
    const bool up = status == VPNStatus::Connecting || status == VPNStatus::Connected
                    || status == VPNStatus::Reasserting;
    if (m_quitting && m_wanted && !m_givenUp) {
        enter(State::Disconnecting);
        return;
    }
    if (!m_wanted) {
        const bool keptUp = m_hooks.keepsUp && m_hooks.keepsUp();
        if (up && keptUp && !m_turnedOff && m_state != State::Disconnecting && m_state != State::Blocked) {
            // Brought up by the saved configuration itself (on-demand): the
            // user's earlier Turn ON still holds.
            m_wanted = true;
            m_wasUp = false;
        } else if (up && m_state != State::Disconnecting && m_state != State::Blocked) {
            // Up without the user asking this client (another tool): shown
            // as it is, only the tunnel let out while it carries, and
            // nothing blocked once it is gone.
            if (!enter(status == VPNStatus::Connected ? State::Connected : State::Connecting))
                enter(State::Off);
            return;
        } else {
            if (status == VPNStatus::Disconnected || status == VPNStatus::Invalid)
                enter(m_state == State::Blocked ? State::Blocked : State::Off, m_reason);
            else if (m_state != State::Blocked && m_state != State::Off)
                enter(State::Disconnecting);
            else
                Q_EMIT changed();
            return;
        }
    }
    if (m_givenUp) {
        // Given up: whatever the daemon still does, the block stays until
        // the user lifts it or turns the tunnel on again.
        Q_EMIT changed();
        return;
    }
    const State retrying = m_wasUp ? State::Reconnecting : State::Connecting;
    switch (status) {
    case VPNStatus::Connecting:
        m_started = true;
        if (before != VPNStatus::Connecting && ++m_attempts > MaximumAttempts) {
            qCInfo(lcTunnel) << "attempt" << m_attempts << "would be one too many";
            giveUp(Reason::AttemptsExhausted);
            return;
        }
        if (!enter(retrying))
            giveUp(Reason::GuardFailed);
        return;
    case VPNStatus::Reasserting:
    case VPNStatus::Disconnecting:
        if (!enter(m_started ? retrying : State::Connecting))
            giveUp(Reason::GuardFailed);
        return;
    case VPNStatus::Connected:
        m_started = true;
        if (!enter(State::Connected)) {
            giveUp(Reason::GuardFailed);
            return;
        }
        m_attempts = 0;
        m_wasUp = true;
        return;
    case VPNStatus::Disconnected:
    case VPNStatus::Invalid:
        if (!m_started) {
            // Before the first attempt: the configuration is still being
            // handed over.
            Q_EMIT changed();
        } else if (status == VPNStatus::Invalid) {
            // The daemon went away. The block stays and says so; a daemon
            // that comes back takes the attempts up again.
            enter(State::Blocked, Reason::DaemonUnavailable);
        } else if (m_hooks.keepsUp && m_hooks.keepsUp()) {
            if (!enter(retrying))
                giveUp(Reason::GuardFailed);
        } else {
            // A backend that found the tunnel dead brings it back at once,
            // also without on-demand: given up only if nothing follows.
            const Reason reason = failureReason();
            if (!enter(retrying))
                giveUp(Reason::GuardFailed);
            QTimer::singleShot(0, this, [this, reason] {
                if (m_wanted && !m_givenUp && !m_quitting
                    && (m_backend == VPNStatus::Disconnected || m_backend == VPNStatus::Invalid))
                    giveUp(reason);
            });
        }
        return;
    }
}

TunnelController::Reason TunnelController::failureReason() const
{
    if (m_wasUp)
        return Reason::TunnelLost;
    switch (m_driver ? m_driver->lastFailure() : VPNBackend::Failure::Unknown) {
    case VPNBackend::Failure::Refused:
        return Reason::Refused;
    case VPNBackend::Failure::DaemonUnavailable:
        return Reason::DaemonUnavailable;
    case VPNBackend::Failure::NoAnswer:
    case VPNBackend::Failure::Unknown:
        break;
    }
    return Reason::NoAnswer;
}

void TunnelController::giveUp(Reason reason)
{
    qCInfo(lcTunnel) << "gave up:" << reason;
    m_keepUp.suspend();
    m_givenUp = true;
    m_attempts = 0;
    if (!enter(State::Blocked, reason) && reason != Reason::GuardFailed)
        enter(State::Blocked, Reason::GuardFailed);
    // Later, never from inside a status change of the backend.
    QTimer::singleShot(0, this, [this] {
        if (m_givenUp && m_hooks.giveUp)
            m_hooks.giveUp();
    });
}

bool TunnelController::enter(State state, Reason reason)
{
    LeakPolicy::Level level = LeakPolicy::Level::Blocking;
    if (state == State::Connected)
        level = LeakPolicy::Level::Tunnel;
    else if (state == State::Off && !m_alwaysRequired)
        level = LeakPolicy::Level::Open;
    else if (state == State::Disconnecting && m_backend == VPNStatus::Connected
             && m_policy.level == LeakPolicy::Level::Tunnel)
        level = LeakPolicy::Level::Tunnel; // it carries until it is taken down
    const bool enforced = enforce(level);
    if (!enforced && state == State::Off) {
        // The user's way out failed: say so rather than claim the network
        // is open. Turn OFF again tries again.
        state = State::Blocked;
        reason = Reason::GuardFailed;
    }
    if (enforced || state == State::Blocked) {
        if (state != m_state || reason != m_reason)
            qCInfo(lcTunnel) << m_state << "->" << state << reason;
        m_state = state;
        m_reason = state == State::Blocked ? reason : Reason::None;
    }
    Q_EMIT changed();
    return enforced;
}

bool TunnelController::enforce(LeakPolicy::Level level)
{
    LeakPolicy wanted;
    wanted.level = level;
    if (level != LeakPolicy::Level::Open) {
        wanted.gateway = m_gateway;
        if (m_alwaysRequired && level == LeakPolicy::Level::Blocking)
            wanted.exempt = m_exempt;
    }
    LeakGuard *const guard = this->guard();
    if (!guard) {
        m_policy = wanted;
        m_appliedBy = nullptr;
        return true;
    }
    if (wanted.level == LeakPolicy::Level::Open && m_policy.level == LeakPolicy::Level::Open
        && guard != m_appliedBy) {
        // Nothing of this run's is in force. A block an earlier run left is
        // not lifted by the way: `adoptLeftBlock` shows it, the user lifts it.
        return true;
    }
    // What is in force is checked at every change, and put back when
    // someone else changed it.
    if (wanted == m_policy && guard == m_appliedBy && guard->verify().isSuccess())
        return true;
    const Outcome<> applied = guard->apply(wanted);
    if (!applied.isSuccess()) {
        qCWarning(lcTunnel) << "the block cannot be changed:" << applied.error();
        m_guardError = applied.error();
        return false;
    }
    m_guardError.clear();
    m_policy = wanted;
    m_appliedBy = guard;
    if (!guard->isSettled())
        guard->whenSettled([this] { guardSettled(); });
    return true;
}

void TunnelController::afterGuard(std::function<void()> then)
{
    const LeakGuard *const guard = this->guard();
    if (!guard || guard->isSettled()) {
        then();
        return;
    }
    m_afterGuard.push_back(std::move(then));
}

void TunnelController::guardSettled()
{
    LeakGuard *const guard = this->guard();
    if (!guard || !guard->isSettled())
        return;
    const auto waiters = std::exchange(m_afterGuard, {});
    const auto release = qScopeGuard([&waiters] {
        for (const auto &then : waiters)
            then();
    });
    if (guard != m_appliedBy)
        return;
    const Outcome<> inForce = guard->verify();
    if (inForce.isSuccess()) {
        Q_EMIT changed(); // Connected may show now
        return;
    }
    qCWarning(lcTunnel) << "the block did not take:" << inForce.error();
    m_guardError = inForce.error();
    m_appliedBy = nullptr; // whatever comes next is applied anew
    if (m_state == State::Blocked && m_reason == Reason::GuardFailed) {
        Q_EMIT changed();
    } else if (m_policy.level == LeakPolicy::Level::Open) {
        // The way out failed: not claimed open.
        m_state = State::Blocked;
        m_reason = Reason::GuardFailed;
        Q_EMIT changed();
    } else {
        // Never a tunnel, nor an attempt, without its block.
        giveUp(Reason::GuardFailed);
    }
}

} // namespace Orvex
