#include "FakeVpnBackend.h"

#include <QTimer>

namespace Orvex {

void FakeVpnBackend::attach(const VpnPreferences &preferences, std::function<void()> done)
{
    calls << QStringLiteral("attach");
    m_preferences = preferences;
    if (onAttach)
        onAttach();
    QTimer::singleShot(0, this, std::move(done));
    tryLater();
}

void FakeVpnBackend::apply(const VpnPreferences &preferences, Completion done)
{
    calls << QStringLiteral("apply");
    applied << preferences;
    m_preferences = preferences;
    QTimer::singleShot(0, this, [this, done = std::move(done)] {
        done(applyError.isEmpty() ? Outcome<>::success() : Outcome<>::failure(applyError));
    });
    tryLater();
}

Outcome<> FakeVpnBackend::startTunnel()
{
    calls << QStringLiteral("start");
    if (canAttempt())
        attempt();
    return Outcome<>::success();
}

void FakeVpnBackend::stopTunnel()
{
    calls << QStringLiteral("stop");
    if (goesDownOnStop && m_status != VpnStatus::Disconnected && m_status != VpnStatus::Invalid) {
        QTimer::singleShot(0, this, [this] {
            setLiveStatus(VpnStatus::Disconnecting);
            setLiveStatus(VpnStatus::Disconnected);
        });
    }
}

void FakeVpnBackend::checkTunnel(Change change)
{
    calls << (change == Change::Resumed ? QStringLiteral("check resumed") : QStringLiteral("check route"));
}

void FakeVpnBackend::runAttempts()
{
    goesDownOnStop = true;
    m_status = VpnStatus::Disconnected;
    m_runsAttempts = true;
}

void FakeVpnBackend::attempt()
{
    calls << QStringLiteral("attempt");
    ++attemptsMade;
    setLiveStatus(VpnStatus::Connecting);
}

void FakeVpnBackend::tryLater()
{
    if (m_runsAttempts)
        QTimer::singleShot(0, this, [this] { Q_EMIT attemptPossible(); });
}

void FakeVpnBackend::endAttempt(bool up)
{
    if (m_status != VpnStatus::Connecting)
        return;
    setLiveStatus(up ? VpnStatus::Connected : VpnStatus::Disconnected);
    if (!up)
        Q_EMIT attemptEnded();
}

bool FakeVpnBackend::dropDeadTunnel()
{
    if (m_status != VpnStatus::Connected)
        return false;
    setLiveStatus(VpnStatus::Disconnecting);
    QTimer::singleShot(0, this, [this] {
        setLiveStatus(VpnStatus::Disconnected);
        Q_EMIT attemptEnded();
    });
    return true;
}

void FakeVpnBackend::drop()
{
    if (m_status != VpnStatus::Connected)
        return;
    setLiveStatus(VpnStatus::Disconnected);
    Q_EMIT attemptEnded();
}

void FakeVpnBackend::setLiveStatus(VpnStatus status)
{
    m_status = status;
    Q_EMIT statusChanged(status);
}

StatusObserver::StatusObserver(QObject *connection)
{
    connect(static_cast<VpnConnection *>(connection), &VpnConnection::statusDidChange, this,
            &StatusObserver::onStatusDidChange);
}

} // namespace Orvex
