#include "NetworkManagerStatus.h"

namespace Orvex {

namespace NM = NetworkManager;

VPNStatus tunnelStatus(const NetworkManagerTunnel &tunnel, const NetworkManagerActivation &activation,
                       bool lost)
{
    if (tunnel.path.isEmpty()) {
        if (!activation.pending)
            return VPNStatus::Disconnected;
        return activation.stopRequested ? VPNStatus::Disconnecting : VPNStatus::Connecting;
    }
    if (activation.stopRequested || tunnel.state == NM::ActiveState::Deactivating)
        return VPNStatus::Disconnecting;
    switch (tunnel.vpnState) {
    case NM::VpnState::Prepare:
    case NM::VpnState::NeedAuth:
    case NM::VpnState::Connect:
    case NM::VpnState::IpConfigGet:
        return tunnel.wasActivated ? VPNStatus::Reasserting : VPNStatus::Connecting;
    case NM::VpnState::Activated:
        return lost ? VPNStatus::Reasserting : VPNStatus::Connected;
    case NM::VpnState::Failed:
    case NM::VpnState::Disconnected:
        return VPNStatus::Disconnected;
    case NM::VpnState::Unknown:
        break;
    }
    switch (tunnel.state) {
    case NM::ActiveState::Activated:
        return VPNStatus::Connected;
    case NM::ActiveState::Deactivating:
        return VPNStatus::Disconnecting;
    case NM::ActiveState::Deactivated:
        return VPNStatus::Disconnected;
    case NM::ActiveState::Unknown:
    case NM::ActiveState::Activating:
        break;
    }
    return VPNStatus::Connecting;
}

} // namespace Orvex
