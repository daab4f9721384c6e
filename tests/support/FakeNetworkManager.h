#pragma once

#include "platform/nm/NetworkManagerDBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMap>
#include <QStringList>

#include <algorithm>
#include <optional>

namespace NM = Orvex::NetworkManager;
using namespace Qt::StringLiterals;

// NetworkManager as the backend sees it, on a private bus, in NetworkManager's
// order (state signals before the answer to ActivateConnection; a failed or
// disconnected VPN removed at once). The test drives the VPN's states.
class FakeNetworkManager final : public QDBusVirtualObject
{
public:
    struct ActiveConnection
    {
        QString uuid;
        QString type;
        bool vpn = false;
        uint state = 1;    // Connection.Active.State
        uint vpnState = 0; // VPN.Connection.VpnState
        QString ip4Config = u"/"_s;
    };
    struct Call
    {
        QString member;
        QList<QVariant> arguments;
    };

    explicit FakeNetworkManager(const QString &busAddress)
        : m_bus(QDBusConnection::connectToBus(busAddress, u"fake-nm-%1"_s.arg(quintptr(this))))
    {
        Orvex::NetworkManager::registerTypes();
    }
    ~FakeNetworkManager() override
    {
        m_bus.unregisterObject(NM::path, QDBusConnection::UnregisterTree);
        m_bus.unregisterService(NM::service);
        QDBusConnection::disconnectFromBus(m_bus.name());
    }

    bool start()
    {
        if (!m_bus.isConnected())
            return false;
        m_bus.registerVirtualObject(NM::path, this, QDBusConnection::SubPath);
        return m_bus.registerService(NM::service);
    }
    // Releases the name, as a NetworkManager that stops; active connections
    // go, profiles stay (they are on disk).
    void vanish()
    {
        m_bus.unregisterService(NM::service);
        active.clear();
        primaryConnection = u"/"_s;
        m_heldActivation.reset();
    }

    // Adds a profile directly, as if another program had.
    QString addProfile(const NM::Settings &settings)
    {
        const QString added = NM::settingsPath + u'/' + QString::number(m_next++);
        profiles.insert(added, settings);
        signal(NM::settingsPath, NM::settingsInterface, u"NewConnection"_s, {path(added)});
        return added;
    }
    void removeProfile(const QString &removed)
    {
        profiles.remove(removed);
        signal(NM::settingsPath, NM::settingsInterface, u"ConnectionRemoved"_s, {path(removed)});
    }
    // An activated connection of a device (uuid empty), like NetworkManager
    // keeps for an interface configured outside it; or a VPN of `profile`.
    QString addConnection(const QString &type, const QString &profile = {}, uint state = 2, uint vpnState = 0)
    {
        const QString added = NM::path + u"/ActiveConnection/"_s + QString::number(m_next++);
        ActiveConnection &connection = active[added];
        const QString uuid = profiles.value(profile).value(u"connection"_s).value(u"uuid"_s).toString();
        connection = {profile.isEmpty() ? u"device-%1"_s.arg(m_next) : uuid, type, !profile.isEmpty(), state,
                      vpnState};
        if (vpnState == 5)
            connection.ip4Config = NM::path + u"/IP4Config/"_s + QString::number(m_next++);
        activeConnectionsChanged();
        return added;
    }
    void setPrimaryConnection(const QString &primary)
    {
        primaryConnection = primary;
        signal(NM::path, NM::propertiesInterface, u"PropertiesChanged"_s,
               {NM::interface, QVariantMap{{u"PrimaryConnection"_s, path(primary)}}, QStringList()});
    }

    // The manager's Connectivity, of whatever type the test gives it.
    void setConnectivity(const QVariant &value)
    {
        connectivity = value;
        signal(NM::path, NM::propertiesInterface, u"PropertiesChanged"_s,
               {NM::interface, QVariantMap{{u"Connectivity"_s, value}}, QStringList()});
    }

    // Moves a VPN on, with the signals NetworkManager sends.
    void setVpnState(const QString &vpn, uint vpnState, uint reason = 0)
    {
        if (!active.contains(vpn))
            return;
        active[vpn].vpnState = vpnState;
        signal(vpn, NM::vpnInterface, u"VpnStateChanged"_s, {vpnState, reason});
        if (vpnState == 5) {
            setActiveState(vpn, 2);
            // The VPN's IP configuration is published only after the state; a
            // re-established VPN gets a new one.
            active[vpn].ip4Config = NM::path + u"/IP4Config/"_s + QString::number(m_next++);
            signal(vpn, NM::propertiesInterface, u"PropertiesChanged"_s,
                   {NM::activeInterface, QVariantMap{{u"Ip4Config"_s, path(active[vpn].ip4Config)}},
                    QStringList()});
        }
        if (vpnState == 6 || vpnState == 7) {
            setActiveState(vpn, 4);
            removeActive(vpn);
        }
    }

    // The next call of `member` fails with this error.
    void failNext(const QString &member, const QString &errorName, const QString &message)
    {
        m_failures.insert(member, {errorName, message});
    }
    // Answers to ActivateConnection are held back until releaseActivation().
    bool holdActivation = false;
    void releaseActivation()
    {
        if (m_heldActivation)
            m_bus.send(m_heldActivation->createReply(path(m_heldPath)));
        m_heldActivation.reset();
    }

    // The user the backend runs as: a profile whose permissions name others
    // only is out of its reach, as NetworkManager keeps it.
    QString user = u"tester"_s;

    QList<Call> calls;
    QList<Call> callsOf(const QString &member) const
    {
        QList<Call> found;
        for (const Call &call : calls) {
            if (call.member == member)
                found << call;
        }
        return found;
    }
    int count(const QString &member) const { return int(callsOf(member).size()); }
    // The active VPN's path; empty when none is active.
    QString activeVpn() const
    {
        const auto vpn = std::find_if(active.cbegin(), active.cend(), [](const auto &c) { return c.vpn; });
        return vpn == active.cend() ? QString() : vpn.key();
    }
    QMap<QString, NM::Settings> profiles;
    QMap<QString, ActiveConnection> active;
    QString primaryConnection = u"/"_s;
    QVariant connectivity = 4u; // full

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &) override;

private:
    static QVariant path(const QString &text) { return QVariant::fromValue(QDBusObjectPath(text)); }
    void signal(const QString &at, const QString &interface, const QString &name,
                const QList<QVariant> &arguments)
    {
        QDBusMessage message = QDBusMessage::createSignal(at, interface, name);
        message.setArguments(arguments);
        m_bus.send(message);
    }
    void activeConnectionsChanged()
    {
        signal(NM::path, NM::propertiesInterface, u"PropertiesChanged"_s,
               {NM::interface, QVariantMap{{u"ActiveConnections"_s, activePaths()}}, QStringList()});
    }
    QVariant activePaths() const
    {
        QList<QDBusObjectPath> paths;
        for (const QString &key : active.keys())
            paths << QDBusObjectPath(key);
        return QVariant::fromValue(paths);
    }
    void setActiveState(const QString &at, uint state)
    {
        active[at].state = state;
        signal(at, NM::activeInterface, u"StateChanged"_s, {state, 0u});
    }
    void removeActive(const QString &at)
    {
        active.remove(at);
        activeConnectionsChanged();
    }
    QString profileByUuid(const QString &uuid) const
    {
        for (auto it = profiles.cbegin(); it != profiles.cend(); ++it) {
            if (it->value(u"connection"_s).value(u"uuid"_s).toString() == uuid)
                return it.key();
        }
        return {};
    }
    bool isVisible(const QString &profile) const
    {
        const QStringList permissions
            = profiles.value(profile).value(u"connection"_s).value(u"permissions"_s).toStringList();
        return permissions.isEmpty() || permissions.contains(u"user:%1:"_s.arg(user));
    }
    std::optional<QVariantMap> properties(const QString &at, const QString &interface) const;

    QDBusConnection m_bus;
    int m_next = 1;
    QMap<QString, std::pair<QString, QString>> m_failures;
    std::optional<QDBusMessage> m_heldActivation;
    QString m_heldPath;
};

inline std::optional<QVariantMap> FakeNetworkManager::properties(const QString &at,
                                                                 const QString &interface) const
{
    if (at == NM::path && interface == NM::interface)
        return QVariantMap{{u"ActiveConnections"_s, activePaths()},
                           {u"PrimaryConnection"_s, path(primaryConnection)},
                           {u"State"_s, 70u},
                           {u"Connectivity"_s, connectivity}};
    if (active.contains(at)) {
        const ActiveConnection &connection = active[at];
        if (interface == NM::activeInterface)
            return QVariantMap{{u"Uuid"_s, connection.uuid},
                               {u"Type"_s, connection.type},
                               {u"Vpn"_s, connection.vpn},
                               {u"State"_s, connection.state},
                               {u"Ip4Config"_s, path(connection.ip4Config)}};
        if (interface == NM::vpnInterface && connection.vpn)
            return QVariantMap{{u"VpnState"_s, connection.vpnState}};
    }
    for (const ActiveConnection &connection : active) {
        if (connection.ip4Config == at && interface == NM::ip4ConfigInterface)
            return QVariantMap{{u"AddressData"_s, QVariant::fromValue(QList<QVariantMap>{
                                                      {{u"address"_s, u"198.18.0.1"_s}, {u"prefix"_s, 32u}}})},
                               {u"NameserverData"_s, QVariant::fromValue(QList<QVariantMap>{
                                                         {{u"address"_s, u"198.51.100.53"_s}}})}};
    }
    return std::nullopt;
}

inline bool FakeNetworkManager::handleMessage(const QDBusMessage &message, const QDBusConnection &)
{
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    const QString at = message.path();
    calls << Call{member, arguments};
    const auto fail = [&](const QString &name, const QString &text) {
        m_bus.send(message.createErrorReply(name, text));
        return true;
    };
    const auto answer = [&](const QList<QVariant> &values) {
        m_bus.send(message.createReply(values));
        return true;
    };
    if (m_failures.contains(member)) {
        const auto [name, text] = m_failures.take(member);
        return fail(name, text);
    }
    if (message.interface() == NM::propertiesInterface && (member == u"GetAll" || member == u"Get")) {
        const std::optional<QVariantMap> values = properties(at, arguments.value(0).toString());
        if (!values)
            return fail(u"org.freedesktop.DBus.Error.UnknownMethod"_s, u"No such interface"_s);
        if (member == u"GetAll")
            return answer({*values});
        return answer({QVariant::fromValue(QDBusVariant(values->value(arguments.value(1).toString())))});
    }
    if (at == NM::settingsPath && member == u"GetConnectionByUuid") {
        const QString found = profileByUuid(arguments.value(0).toString());
        if (found.isEmpty())
            return fail(NM::invalidConnectionError, u"No connection with the UUID was found."_s);
        if (!isVisible(found))
            return fail(NM::settingsPermissionDeniedError, u"Insufficient privileges"_s);
        return answer({path(found)});
    }
    if (at == NM::settingsPath && member == u"AddConnection2") {
        const NM::Settings settings = NM::settings(arguments.value(0));
        if (!profileByUuid(settings.value(u"connection"_s).value(u"uuid"_s).toString()).isEmpty())
            return fail(u"org.freedesktop.NetworkManager.Settings.UuidExists"_s,
                        u"A connection with this UUID already exists"_s);
        return answer({path(addProfile(settings)), QVariantMap()});
    }
    if (profiles.contains(at) && !isVisible(at))
        return fail(NM::settingsPermissionDeniedError, u"Insufficient privileges"_s);
    if (profiles.contains(at) && member == u"GetSettings")
        return answer({QVariant::fromValue(profiles.value(at))});
    if (profiles.contains(at) && member == u"Delete") {
        removeProfile(at);
        return answer({});
    }
    if (profiles.contains(at) && member == u"Update2") {
        profiles[at] = NM::settings(arguments.value(0));
        return answer({QVariantMap()});
    }
    if (at == NM::path && member == u"ActivateConnection") {
        const QString profile = qvariant_cast<QDBusObjectPath>(arguments.value(0)).path();
        if (!profiles.contains(profile))
            return fail(u"org.freedesktop.NetworkManager.UnknownConnection"_s, u"Connection not found"_s);
        // NetworkManager announces the new active connection before it answers.
        const QString created = addConnection(u"vpn"_s, profile, 1, 0);
        setActiveState(created, 1);
        setVpnState(created, 1);
        if (!holdActivation)
            return answer({path(created)});
        m_heldActivation = message;
        m_heldPath = created;
        return true;
    }
    if (at == NM::path && member == u"DeactivateConnection") {
        const QString target = qvariant_cast<QDBusObjectPath>(arguments.value(0)).path();
        if (!active.contains(target))
            return fail(NM::connectionNotActiveError, u"The connection was not active."_s);
        setActiveState(target, 3);
        answer({});
        setActiveState(target, 4);
        signal(target, NM::vpnInterface, u"VpnStateChanged"_s, {7u, 2u});
        removeActive(target);
        return true;
    }
    return fail(u"org.freedesktop.DBus.Error.UnknownMethod"_s, u"The fake does not know "_s + member);
}
