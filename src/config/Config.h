#pragma once

#include "base/Outcome.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace Orvex {

// The build-time constants, optionally replaced member by member by the JSON
// file named in ORVEX_CONFIG. Loaded once at start-up; a bad configuration is
// reported there and never discovered mid-request.
struct Config
{
    QString apiBaseURL;
    QString apiIdentifier;
    QString serviceCheckValue;
    QString signUpCheckValue;
    QString helpDeskTicketURL;
    QString helpDeskAuthorization;
    QString vpnGatewayHost;
    QString vpnDomain;
    QString pkcs12Passphrase;
    QString passwordResetURL;
    QString supportURL;
    QString privacyPolicyURL;
    QString productNotice;
    QStringList caCertificates;
    QString vpnBackend;
    QString viciSocket;
    // Origins besides apiBaseURL that update packages may be downloaded from.
    QStringList updateHosts;
    // PEM public key (Ed25519, or RSA of at least minRsaSigningKeyBits) that
    // signs update packages; empty: none.
    QString updateSigningKey;
    QString viciUpdownScript;
    // The resolver configuration charon's resolve plugin writes the gateway's
    // resolvers into; what a dead charon left there is taken out at the next
    // start. Empty: never touched.
    QString viciResolverFile;
    // The network namespace (/run/netns/NAME) the tunnel's traffic leaves
    // from, where the traffic block is kept. Empty: the client's own.
    QString viciNetworkNamespace;

    // An RSA update signing key shorter than this is refused: 2048-bit RSA has
    // too little margin left for a key that must stay trusted for years.
    static constexpr int minRsaSigningKeyBits = 3072;

    // Parses the built-in defaults and applies `overrideJson` (when not empty) on
    // top. A failure says why in one line that names the offending member.
    static Outcome<Config> parse(const QByteArray &overrideJson, const QString &overrideName);

    // The configuration of this process: the defaults, then the file in
    // ORVEX_CONFIG when set. Prints the one-line message and exits with status 2
    // on a configuration error. Loaded once, by whoever composes the program,
    // and handed to what reads it.
    static Config loadOrExit();

    static QByteArray builtInJson();
};

} // namespace Orvex
