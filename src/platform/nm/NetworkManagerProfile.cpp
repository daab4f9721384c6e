#include "NetworkManagerProfile.h"

#include "platform/vici/ViciConnection.h"

#include <QStringList>
#include <QUuid>

namespace Orvex {

namespace {

namespace NM = NetworkManager;

// The namespace of the profiles' name-based UUIDs,
// c695c31f-4d73-471a-a674-455e1d3424a1; fixed for good, or every user's
// profile would be saved anew under another UUID.
constexpr QUuid profileNamespace(0xc695c31f, 0x4d73, 0x471a, 0xa6, 0x74, 0x45, 0x5e, 0x1d, 0x34, 0x24, 0xa1);

QStringList permissionsFor(const QString &owner)
{
    return owner.isEmpty() ? QStringList() : QStringList{QStringLiteral("user:%1:").arg(owner)};
}

// Deletes the profile an earlier version saved under the UUID it gave every
// user, when it is `owner`'s own; then `next`. A profile of another user's
// is out of our reach (NetworkManager answers PermissionDenied) and stays.
void removeLegacyProfile(const QDBusConnection &bus, QObject *context, const QString &owner,
                         std::function<void()> next)
{
    QDBusMessage lookUp = NM::method(NM::settingsPath, NM::settingsInterface,
                                     QStringLiteral("GetConnectionByUuid"));
    lookUp << NetworkManagerProfile::legacyUuid();
    NM::call(bus, lookUp, context, [bus, context, owner, next](const QDBusMessage &found) {
        if (NM::isError(found)) {
            next();
            return;
        }
        const QString path = NM::objectPath(found.arguments().value(0));
        NM::call(bus, NM::method(path, NM::connectionInterface, QStringLiteral("GetSettings")), context,
                 [bus, context, owner, next, path](const QDBusMessage &read) {
                     const NM::Settings settings = NM::settings(read.arguments().value(0));
                     const QStringList permissions = settings.value(QStringLiteral("connection"))
                                                         .value(QStringLiteral("permissions"))
                                                         .toStringList();
                     if (NM::isError(read) || permissions != permissionsFor(owner)) {
                         next();
                         return;
                     }
                     NM::call(bus, NM::method(path, NM::connectionInterface, QStringLiteral("Delete")),
                              context, [next](const QDBusMessage &) { next(); });
                 });
    });
}

} // namespace

QString NetworkManagerProfile::uuidFor(const QString &machineId, uint uid)
{
    return QUuid::createUuidV5(profileNamespace, QStringLiteral("%1:%2").arg(machineId).arg(uid).toUtf8())
        .toString(QUuid::WithoutBraces);
}

QString NetworkManagerProfile::legacyUuid()
{
    return QStringLiteral("3d0f9a52-6c1e-4b8d-9f27-5a41c0e8b6d3");
}

NetworkManager::Settings NetworkManagerProfile::settings(const VPNProtocolIKEv2 &protocol,
                                                         const std::optional<IdentityFiles> &identity) const
{
    NetworkManager::StringMap data;
    data.insert(QStringLiteral("address"), protocol.serverAddress);
    if (protocol.authenticationMethod == VPNProtocolIKEv2::AuthenticationMethod::Certificate) {
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
                QString::fromLatin1(
                    ViciConnection::proposal(protocol.ikeSecurityAssociationParameters, true)));
    data.insert(QStringLiteral("esp"),
                QString::fromLatin1(
                    ViciConnection::proposal(protocol.childSecurityAssociationParameters, false)));
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
        connection.insert(QStringLiteral("permissions"), permissionsFor(owner));

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
    // A gateway that assigns no IPv6 address would leave IPv6 to the
    // network's own default route, beside the tunnel. While the tunnel is up
    // NetworkManager holds an unreachable default route of the VPN's (better)
    // metric, so IPv6 is refused on the spot instead; one the gateway does
    // assign goes through the tunnel's own routes, which are looked up first.
    // NetworkManager adds and removes the route itself, as it may for a user.
    QVariantMap ipv6 = family;
    ipv6.insert(QStringLiteral("route-data"),
                QVariant::fromValue(
                    QList<QVariantMap>{{{QStringLiteral("dest"), QStringLiteral("::")},
                                        {QStringLiteral("prefix"), QVariant::fromValue(0u)},
                                        {QStringLiteral("type"), QStringLiteral("unreachable")}}}));
    settings.insert(QStringLiteral("ipv6"), ipv6);
    return settings;
}

void NetworkManagerProfile::write(const QDBusConnection &bus, QObject *context,
                                  const NetworkManager::Settings &settings,
                                  std::function<void(const Written &written)> done) const
{
    const auto changed = [done](const QDBusMessage &reply, const QString &path) {
        const bool refused = NM::isRefusal(reply);
        if (refused)
            done({Outcome<QString>::failure(NM::refusedText()), false, true});
        else if (NM::isError(reply))
            done({Outcome<QString>::failure(QStringLiteral("NetworkManager refused the VPN configuration: %1")
                                                .arg(NM::describe(reply))),
                  false, false});
        else
            done({Outcome<QString>::success(path), false, false});
    };
    // Made when there is none yet; one that an earlier version saved goes first.
    const auto create = [bus, context, settings, changed, owner = owner, migrates = uuid != legacyUuid()] {
        const auto add = [bus, context, settings, changed] {
            QDBusMessage add = NM::method(NM::settingsPath, NM::settingsInterface,
                                          QStringLiteral("AddConnection2"));
            add << QVariant::fromValue(settings) << NM::saveToDisk << QVariantMap();
            NM::call(bus, add, context, [changed](const QDBusMessage &reply) {
                changed(reply, NM::objectPath(reply.arguments().value(0)));
            });
        };
        if (migrates)
            removeLegacyProfile(bus, context, owner, add);
        else
            add();
    };
    QDBusMessage lookUp = NM::method(NM::settingsPath, NM::settingsInterface,
                                     QStringLiteral("GetConnectionByUuid"));
    lookUp << uuid;
    NM::call(bus, lookUp, context, [bus, context, settings, changed, done, create](const QDBusMessage &found) {
        if (NM::isAbsence(found)) {
            done({Outcome<QString>::failure(NM::notRunningText()), true, std::nullopt});
            return;
        }
        if (found.errorName() == NM::settingsPermissionDeniedError) {
            done({Outcome<QString>::failure(QStringLiteral(
                      "Another user of this computer holds this user's VPN profile in NetworkManager.")),
                  false, std::nullopt});
            return;
        }
        const bool exists = !NM::isError(found);
        if (!exists && found.errorName() != NM::invalidConnectionError) {
            done({Outcome<QString>::failure(
                      QStringLiteral("NetworkManager did not answer: %1").arg(NM::describe(found))),
                  false, std::nullopt});
            return;
        }
        if (exists) {
            // Update2 replaces every setting: the profile is exactly what we write.
            const QString path = NM::objectPath(found.arguments().value(0));
            QDBusMessage update = NM::method(path, NM::connectionInterface, QStringLiteral("Update2"));
            update << QVariant::fromValue(settings) << NM::saveToDisk << QVariantMap();
            NM::call(bus, update, context,
                     [changed, path](const QDBusMessage &reply) { changed(reply, path); });
            return;
        }
        create();
    });
}

} // namespace Orvex
