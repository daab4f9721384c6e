#pragma once

#include "platform/VPNStatus.h"
#include "platform/nm/NetworkManagerActivation.h"
#include "platform/nm/NetworkManagerDBus.h"

#include <QString>

namespace Orvex {

// The active connection made from our profile, as far as its signals and
// reads have told.
struct NetworkManagerTunnel
{
    QString path; // empty: none
    NetworkManager::ActiveState state = NetworkManager::ActiveState::Unknown;
    NetworkManager::VpnState vpnState = NetworkManager::VpnState::Unknown;
    bool wasActivated = false;   // reached activated once: later keying is reasserting
    bool reachedService = false; // its VPN service took it on (connect or later)
};

// The status of a saved, enabled profile's tunnel, from the active
// connection's `VpnState` together with its `State`: prepare / need-auth /
// connect / ip-config-get = Connecting (Reasserting once it was activated),
// activated = Connected (Reasserting while the security association is
// `lost`), failed / disconnected = Disconnected, deactivating or a stop asked
// = Disconnecting, no active connection = Disconnected (or the activation's
// Connecting / Disconnecting while one is pending).
VPNStatus tunnelStatus(const NetworkManagerTunnel &tunnel, const NetworkManagerActivation &activation,
                       bool lost);

} // namespace Orvex
