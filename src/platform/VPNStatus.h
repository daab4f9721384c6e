#pragma once

namespace Orvex {

// The state of the tunnel: what a backend reports, what the tunnel service
// keeps and what the screens show. One type from the backend up, so no layer
// translates it.
enum class VPNStatus {
    Invalid = 0, // no usable configuration, or no VPN daemon to run it
    Disconnected = 1,
    Connecting = 2,
    Connected = 3,
    Reasserting = 4,
    Disconnecting = 5,
};

} // namespace Orvex
