#pragma once

#include "platform/NetworkConnectivity.h"
#include "platform/VPNBackend.h"
#include "platform/VPNConnection.h"

#include <QList>

namespace Orvex {

// A leak guard that keeps the policy it was given, and can be told to fail
// or to find its policy changed behind its back.
class FakeLeakGuard final : public LeakGuard
{
public:
    Outcome<> apply(const LeakPolicy &policy) override
    {
        ++applies;
        if (!failWith.isEmpty())
            return Outcome<>::failure(failWith);
        inForce = policy;
        tampered = false;
        return Outcome<>::success();
    }
    Outcome<> verify() override
    {
        return tampered ? Outcome<>::failure(QStringLiteral("changed")) : Outcome<>::success();
    }
    bool isInPlace() override { return inForce.level != LeakPolicy::Level::Open; }
    void lookUp(const QString &host, QObject *, Addresses done) override
    {
        const QHostAddress literal(host);
        done(literal.isNull() ? names.value(host) : QList{literal});
    }

    LeakPolicy inForce;
    QHash<QString, QList<QHostAddress>> names; // what a lookup of a name finds
    QString failWith;                          // every apply fails with it when set
    bool tampered = false;
    int applies = 0;
};

// A VPN backend that records what it is asked and whose live status the test
// sets. Completions run from the event loop, as a real daemon's would.
class FakeVPNBackend final : public VPNBackend
{
    Q_OBJECT

public:
    void attach(const VPNPreferences &preferences, std::function<void()> done) override;
    void apply(const VPNPreferences &preferences, Completion done) override;
    VPNStatus status() const override { return m_status; }
    bool startsOnApplied() const override { return startsOnLastApplied; }
    Outcome<> startTunnel() override;
    void stopTunnel() override;
    QString unavailableReason() const override { return m_reason; }
    Failure lastFailure() const override { return failure; }
    void checkTunnel(Change change) override;
    LeakGuard *leakGuard() override { return guard; }
    void pinGateway(const QList<QHostAddress> &addresses) override { pinned = addresses; }
    bool canAttempt() const override { return m_runsAttempts && m_status == VPNStatus::Disconnected; }
    void attempt() override;
    int retryPauseMs() const override { return 0; }
    // A tunnel up is asked and never answers.
    bool probe() override { return m_runsAttempts && m_status == VPNStatus::Connected; }
    int probeTimeoutMs() const override { return 10; }
    bool dropDeadTunnel() override;

    // Changes the live status and notifies, like the daemon would.
    void setLiveStatus(VPNStatus status);
    // From now on runs attempts as a daemon does: Disconnected now; a start
    // or an attempt asked for begins one (Connecting), which the test ends.
    // A load or a save says an attempt is possible; a stop goes down.
    void runAttempts();
    // The attempt under way comes up or fails; nothing when none is.
    void endAttempt(bool up);
    // The tunnel that is up goes down.
    void drop();
    int attemptsMade = 0;

    // Changes the reason and notifies, without a change of status.
    void setReason(const QString &reason)
    {
        m_reason = reason;
        Q_EMIT reasonChanged();
    }

    QString applyError;             // the next apply() calls fail with it when set
    std::function<void()> onAttach; // runs inside every attach(), before it completes
    Failure failure = Failure::Unknown;
    bool goesDownOnStop = false;      // a stop is followed by Disconnecting, Disconnected
    bool startsOnLastApplied = false; // what startsOnApplied() answers
    QList<VPNPreferences> applied;
    LeakGuard *guard = nullptr; // what leakGuard() answers
    QList<QHostAddress> pinned;
    // "attach", "apply", "start", "attempt", "stop", "check resumed", "check route" in order
    QStringList calls;

private:
    void tryLater();

    VPNStatus m_status = VPNStatus::Invalid;
    QString m_reason;
    VPNPreferences m_preferences;
    bool m_runsAttempts = false;
};

// A connectivity check whose findings the test makes.
class FakeConnectivity final : public NetworkConnectivity
{
public:
    using NetworkConnectivity::report;
};

// Records the sender of every status notification it receives.
class StatusObserver final : public QObject
{
    Q_OBJECT

public:
    explicit StatusObserver(QObject *connection);
    QList<QObject *> senders;

private:
    void onStatusDidChange() { senders << sender(); }
};

} // namespace Orvex
