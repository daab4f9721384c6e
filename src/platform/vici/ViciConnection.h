#pragma once

#include "platform/VPNProtocolIKEv2.h"
#include "platform/vici/ViciMessage.h"

#include <QHostAddress>
#include <QList>

namespace Orvex {

// The connection this client gives charon, as a pure function of the
// settings, in strongSwan's own terms (which charon-nm takes too).
class ViciConnection final
{
public:
    ViciConnection() = delete;

    // The body of `load-conn` for the protocol settings; `certificateDer`
    // (when not empty) is presented as the local certificate. The tunnel asks
    // for an address and all traffic of both families, and for the gateway's
    // resolvers, which charon applies while it is up.
    // `gateway`, when not empty, are the addresses charon is to use for the
    // gateway instead of resolving its name.
    static ViciMessage message(const QString &name, const VPNProtocolIKEv2 &protocol,
                               const QByteArray &certificateDer, const QString &updownScript = {},
                               const QList<QHostAddress> &gateway = {});
    // A proposal such as "aes128-sha1-modp2048"; IKE proposals of AEAD
    // ciphers name a PRF instead of an integrity algorithm.
    static QByteArray proposal(const VPNProtocolIKEv2::SecurityAssociationParameters &parameters, bool forIke);
    // charon's identifier of a certificate's key (hex SHA-1 of the public
    // key), as `load-key` answers it and `unload-key` takes it.
    static QByteArray keyIdentifier(const QByteArray &certificateDer);
};

} // namespace Orvex
