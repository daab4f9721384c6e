#include "FakeVPNBackend.h"

#include <QTimer>

namespace Orvex {

void FakeVPNBackend::attach(const VPNPreferences &preferences, std::function<void()> done)
{
    calls << QStringLiteral("attach");
    m_preferences = preferences;
    if (onAttach)
        onAttach();
    QTimer::singleShot(0, this, std::move(done));
    tryLater();
}

void FakeVPNBackend::apply(const VPNPreferences &preferences, Completion done)
{
    calls << QStringLiteral("apply");
    applied << preferences;
    m_preferences = preferences;
    QTimer::singleShot(0, this, [this, done = std::move(done)] {
        done(applyError.isEmpty() ? Outcome<>::success() : Outcome<>::failure(applyError));
    });
    tryLater();
}

Outcome<> FakeVPNBackend::startTunnel()
{
    calls << QStringLiteral("start");
    if (canAttempt())
        attempt();
    return Outcome<>::success();
}

void FakeVPNBackend::stopTunnel()
{
    calls << QStringLiteral("stop");
    if (goesDownOnStop && m_status != VPNStatus::Disconnected && m_status != VPNStatus::Invalid) {
        QTimer::singleShot(0, this, [this] {
            setLiveStatus(VPNStatus::Disconnecting);
            setLiveStatus(VPNStatus::Disconnected);
        });
    }
}

void FakeVPNBackend::checkTunnel(Change change)
{
    calls << (change == Change::Resumed ? QStringLiteral("check resumed") : QStringLiteral("check route"));
}

void FakeVPNBackend::runAttempts()
{
    goesDownOnStop = true;
    m_status = VPNStatus::Disconnected;
    m_runsAttempts = true;
}

void FakeVPNBackend::attempt()
{
    calls << QStringLiteral("attempt");
    ++attemptsMade;
    setLiveStatus(VPNStatus::Connecting);
}

void FakeVPNBackend::tryLater()
{
    if (m_runsAttempts)
        QTimer::singleShot(0, this, [this] { Q_EMIT attemptPossible(); });
}

void FakeVPNBackend::endAttempt(bool up)
{
    if (m_status != VPNStatus::Connecting)
        return;
    setLiveStatus(up ? VPNStatus::Connected : VPNStatus::Disconnected);
    if (!up)
        Q_EMIT attemptEnded();
}

bool FakeVPNBackend::dropDeadTunnel()
{
    if (m_status != VPNStatus::Connected)
        return false;
    setLiveStatus(VPNStatus::Disconnecting);
    QTimer::singleShot(0, this, [this] {
        setLiveStatus(VPNStatus::Disconnected);
        Q_EMIT attemptEnded();
    });
    return true;
}

void FakeVPNBackend::drop()
{
    if (m_status != VPNStatus::Connected)
        return;
    setLiveStatus(VPNStatus::Disconnected);
    Q_EMIT attemptEnded();
}

void FakeVPNBackend::setLiveStatus(VPNStatus status)
{
    m_status = status;
    Q_EMIT statusChanged(status);
}

StatusObserver::StatusObserver(QObject *connection)
{
    connect(static_cast<VPNConnection *>(connection), &VPNConnection::statusDidChange, this,
            &StatusObserver::onStatusDidChange);
}

} // namespace Orvex
