#include "NetworkManagerProfile.h"

#include "platform/vici/ViciVpnBackend.h"

#include <QStringList>

namespace Orvex {

NetworkManager::Settings NetworkManagerProfile::settings(
    const VpnProtocolIKEv2 &protocol, const std::optional<IdentityFiles> &identity) const
{
    NetworkManager::StringMap data;
    data.insert(QStringLiteral("address"), protocol.serverAddress);
    if (protocol.authenticationMethod == VpnProtocolIKEv2::AuthenticationMethod::Certificate) {
        data.insert(QStringLiteral("method"), QStringLiteral("cert"));
        data.insert(QStringLiteral("cert-source"), QStringLiteral("file"));
        if (identity) {
            data.insert(QStringLiteral("usercert"), identity->certificateFile);
            data.insert(QStringLiteral("userkey"), identity->privateKeyFile);
        }
    } else {
        data.insert(QStringLiteral("method"), QStringLiteral("psk"));
    }
    if (!caCertificateFile.isEmpty())
        data.insert(QStringLiteral("certificate"), caCertificateFile);
    if (!protocol.localIdentifier.isEmpty())
        data.insert(QStringLiteral("local-identity"), protocol.localIdentifier);
    if (!protocol.remoteIdentifier.isEmpty())
        data.insert(QStringLiteral("remote-identity"), protocol.remoteIdentifier);
    data.insert(QStringLiteral("virtual"), QStringLiteral("yes"));
    // charon's proposal syntax, the same text the VICI backend loads.
    data.insert(QStringLiteral("proposal"), QStringLiteral("yes"));
    data.insert(QStringLiteral("ike"),
                QString::fromLatin1(ViciVpnBackend::proposal(protocol.ikeSecurityAssociationParameters, true)));
    data.insert(QStringLiteral("esp"),
                QString::fromLatin1(
                    ViciVpnBackend::proposal(protocol.childSecurityAssociationParameters, false)));
    data.insert(QStringLiteral("encap"), QStringLiteral("no"));
    data.insert(QStringLiteral("ipcomp"), QStringLiteral("no"));

    QVariantMap connection{
        {QStringLiteral("id"), name},
        {QStringLiteral("uuid"), uuid},
        {QStringLiteral("type"), QStringLiteral("vpn")},
        // NetworkManager 1.42 does not bring VPN profiles up by itself; the
        // backend does while on-demand is on.
        {QStringLiteral("autoconnect"), false},
    };
    if (!owner.isEmpty())
        connection.insert(QStringLiteral("permissions"),
                          QStringList{QStringLiteral("user:%1:").arg(owner)});

    NetworkManager::Settings settings;
    settings.insert(QStringLiteral("connection"), connection);
    settings.insert(QStringLiteral("vpn"),
                    QVariantMap{{QStringLiteral("service-type"), NetworkManager::strongswanService},
                                {QStringLiteral("data"), QVariant::fromValue(data)}});
    // Both families from the gateway. A negative DNS priority makes the
    // gateway's resolvers the only ones while the tunnel is up, so no name
    // goes to the network's own resolver.
    const QVariantMap family{{QStringLiteral("method"), QStringLiteral("auto")},
                             {QStringLiteral("dns-priority"), -50}};
    settings.insert(QStringLiteral("ipv4"), family);
    settings.insert(QStringLiteral("ipv6"), family);
    return settings;
}

} // namespace Orvex
