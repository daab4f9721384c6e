#pragma once

namespace Orvex {

// The tunnel state as the application keeps it; raw values in this order.
enum class ConnectionStatus {
    disconnected = 0,
    connected = 1,
    invalid = 2,
    connecting = 3,
    reasserting = 4,
    disconnecting = 5,
};

} // namespace Orvex
