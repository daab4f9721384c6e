#pragma once

#include "api/Error.h"

#include <QObject>

#include <functional>

namespace Orvex {

class NetworkService;
class Session;

// Fetches the client certificate for the signed-in account and hands the
// tunnel over to connect with it: getToken, then getCert with the session's
// e-mail, password and the machine udid. The answer is checked and imported
// off the main thread (it must open with the configured passphrase and hold
// exactly one private key with its certificate); only then does it become the
// session's identity, replacing (and removing) the one before, and `connect`
// runs. The archive itself is not kept.
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
    // answer still to come is dropped (nothing reported or connected), and a
    // certificate it was importing is removed from the key store again.
    // A failed request, and an answer that is not a usable certificate
    // (`Error::Code::unusableCertificate`; nothing is stored then), go to
    // `resultHandler` (may be empty: then nothing is reported) and end the
    // sequence. Without an e-mail or password it stops silently after the
    // token. A certificate that arrives after the account was signed out or
    // changed is dropped, so it can neither outlive the sign-out nor bring up
    // a tunnel for nobody.
    // The requests go through `network`.
    static void fetchCertificate(QObject *owner, NetworkService &network, Session &session,
                                 ResultHandler resultHandler, Connect connect);
};

} // namespace Orvex
