#include "NetworkManagerStatus.h"

namespace Orvex {

namespace NM = NetworkManager;

VpnStatus tunnelStatus(const NetworkManagerTunnel &tunnel, const NetworkManagerActivation &activation,
                       bool lost)
{
    if (tunnel.path.isEmpty()) {
        if (!activation.pending)
            return VpnStatus::Disconnected;
        return activation.stopRequested ? VpnStatus::Disconnecting : VpnStatus::Connecting;
    }
    if (activation.stopRequested || tunnel.state == NM::ActiveState::Deactivating)
        return VpnStatus::Disconnecting;
    switch (tunnel.vpnState) {
    case NM::VpnState::Prepare:
    case NM::VpnState::NeedAuth:
    case NM::VpnState::Connect:
    case NM::VpnState::IpConfigGet:
        return tunnel.wasActivated ? VpnStatus::Reasserting : VpnStatus::Connecting;
    case NM::VpnState::Activated:
        return lost ? VpnStatus::Reasserting : VpnStatus::Connected;
    case NM::VpnState::Failed:
    case NM::VpnState::Disconnected:
        return VpnStatus::Disconnected;
    case NM::VpnState::Unknown:
        break;
    }
    switch (tunnel.state) {
    case NM::ActiveState::Activated:
        return VpnStatus::Connected;
    case NM::ActiveState::Deactivating:
        return VpnStatus::Disconnecting;
    case NM::ActiveState::Deactivated:
        return VpnStatus::Disconnected;
    case NM::ActiveState::Unknown:
    case NM::ActiveState::Activating:
        break;
    }
    return VpnStatus::Connecting;
}

} // namespace Orvex
