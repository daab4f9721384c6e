#include "VpnConnection.h"

#include "platform/VpnBackend.h"
#include "platform/VpnManager.h"

namespace Orvex {

VpnConnection::VpnConnection(VpnManager *manager)
    : QObject(manager)
    , m_manager(manager)
{
    connect(m_manager->backend(), &VpnBackend::statusChanged, this, &VpnConnection::statusDidChange,
            Qt::UniqueConnection);
}

VpnStatus VpnConnection::status() const
{
    return m_manager->presentedStatus();
}

Outcome<> VpnConnection::startVPNTunnel()
{
    const VpnPreferences &saved = m_manager->savedPreferences();
    if (!saved.protocolConfiguration)
        return Outcome<>::failure(QStringLiteral("The VPN configuration is invalid."));
    if (!saved.enabled)
        return Outcome<>::failure(QStringLiteral("The VPN configuration is disabled."));
    return m_manager->backend()->startTunnel();
}

void VpnConnection::stopVPNTunnel()
{
    m_manager->backend()->stopTunnel();
}

void VpnConnection::postStatusDidChange()
{
    Q_EMIT statusDidChange();
}

} // namespace Orvex
