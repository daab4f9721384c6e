#pragma once

namespace Orvex {

// The tunnel's activation as the NetworkManager backend follows it: an
// ActivateConnection asked for whose connection is not known yet, and a stop
// that was asked. A stop pressed while the activation is under way is owed
// to whatever connection the activation turns out to be, however that is
// learnt of first: the answer to ActivateConnection, or the connection's
// signals and an inspection before the answer.
struct NetworkManagerActivation
{
    // Asked for; its connection not yet taken as the tunnel.
    bool pending = false;
    // A stop was asked: of the running tunnel, or owed to the pending
    // activation's connection.
    bool stopRequested = false;

    // Whether a stop is owed to the connection the pending activation turns
    // out to be.
    bool owesStop() const { return pending && stopRequested; }
};

} // namespace Orvex
