#pragma once

namespace Orvex {

// The live state of the tunnel, with the raw values the VPN facility has
// always reported them with.
enum class VpnStatus {
    Invalid = 0,       // no usable configuration, or no VPN daemon to run it
    Disconnected = 1,
    Connecting = 2,
    Connected = 3,
    Reasserting = 4,
    Disconnecting = 5,
};

} // namespace Orvex
