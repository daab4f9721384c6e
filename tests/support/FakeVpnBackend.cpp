#include "FakeVpnBackend.h"

#include <QTimer>

namespace Orvex {

void FakeVpnBackend::attach(const VpnPreferences &, std::function<void()> done)
{
    calls << QStringLiteral("attach");
    if (onAttach)
        onAttach();
    QTimer::singleShot(0, this, std::move(done));
}

void FakeVpnBackend::apply(const VpnPreferences &preferences, Completion done)
{
    calls << QStringLiteral("apply");
    applied << preferences;
    QTimer::singleShot(0, this, [this, done = std::move(done)] {
        done(applyError.isEmpty() ? Outcome<>::success() : Outcome<>::failure(applyError));
    });
}

Outcome<> FakeVpnBackend::startTunnel()
{
    calls << QStringLiteral("start");
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
