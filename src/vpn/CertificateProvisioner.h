#pragma once

#include "api/Error.h"

#include <QObject>

#include <functional>

namespace Orvex {

// Fetches the client certificate for the signed-in account and hands the
// tunnel over to connect with it: getToken, then getCert with the stored
// e-mail, password and the machine udid, then the archive is stored under
// "certificate" (replacing any earlier one) and `connect` runs.
//
// Used by the main screen's handler and the status-bar menu's. No success is
// reported: the tunnel's status changes tell what follows.
class CertificateProvisioner final
{
public:
    using ResultHandler = std::function<void(const Error &)>;
    using Connect = std::function<void()>;

    CertificateProvisioner() = delete;

    // `owner` is the handler that asked, held weakly: once it is destroyed any
    // answer still to come is dropped (nothing stored, reported or connected).
    // A failed request goes to `resultHandler` (may be empty: then nothing is
    // reported) and ends the sequence. Without a stored e-mail or password it
    // stops silently after the token. A certificate that arrives after the
    // account was signed out or changed is dropped, so it can neither outlive
    // the sign-out nor bring up a tunnel for nobody.
    static void fetchCertificate(QObject *owner, ResultHandler resultHandler, Connect connect);
};

} // namespace Orvex
