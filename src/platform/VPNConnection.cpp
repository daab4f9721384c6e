#include "VPNConnection.h"

#include "platform/VPNBackend.h"
#include "platform/VPNManager.h"

namespace Orvex {

VPNConnection::VPNConnection(VPNManager *manager)
    : QObject(manager)
    , m_manager(manager)
{
    connect(m_manager->backend(), &VPNBackend::statusChanged, this, &VPNConnection::statusDidChange,
            Qt::UniqueConnection);
}

VPNStatus VPNConnection::status() const
{
    return m_manager->presentedStatus();
}

Outcome<> VPNConnection::startVPNTunnel()
{
    const VPNPreferences &saved = m_manager->savedPreferences();
    if (!saved.protocolConfiguration)
        return Outcome<>::failure(QStringLiteral("The VPN configuration is invalid."));
    if (!saved.enabled)
        return Outcome<>::failure(QStringLiteral("The VPN configuration is disabled."));
    return m_manager->backend()->startTunnel();
}

void VPNConnection::stopVPNTunnel()
{
    m_manager->backend()->stopTunnel();
}

void VPNConnection::postStatusDidChange()
{
    Q_EMIT statusDidChange();
}

} // namespace Orvex
