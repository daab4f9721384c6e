#pragma once

namespace Orvex {

// The signed-in account as the defaults store keeps it. There is no session
// object: every reader asks the store when it needs a value.
class User final
{
public:
    User() = delete;

    // True when an e-mail and a password are stored, even empty ones; the
    // service is not asked.
    static bool isSignedIn();

    // Forgets the account on this machine: removes "tempEmail", "phone" and
    // "password", deletes the key-store identity made from the stored
    // certificate, then removes "certificate". "name" and the
    // settings stay. Nothing is sent to the service.
    static void logout();
};

} // namespace Orvex
