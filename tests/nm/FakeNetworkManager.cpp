#include "FakeNetworkManager.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>

using namespace Qt::StringLiterals;

namespace NM = Orvex::NetworkManager;

namespace {

QVariant path(const QString &text)
{
    return QVariant::fromValue(QDBusObjectPath(text));
}

} // namespace

FakeNetworkManager::FakeNetworkManager(const QString &busAddress)
    : m_bus(QDBusConnection::connectToBus(busAddress, u"fake-nm-%1"_s.arg(quintptr(this))))
    , m_name(m_bus.name())
{
    NM::registerTypes();
}

FakeNetworkManager::~FakeNetworkManager()
{
    m_bus.unregisterObject(NM::path, QDBusConnection::UnregisterTree);
    m_bus.unregisterService(NM::service);
    QDBusConnection::disconnectFromBus(m_name);
}

bool FakeNetworkManager::start()
{
    if (!m_bus.isConnected())
        return false;
    m_bus.registerVirtualObject(NM::path, this, QDBusConnection::SubPath);
    return m_bus.registerService(NM::service);
}

void FakeNetworkManager::vanish()
{
    m_bus.unregisterService(NM::service);
    active.clear();
    primaryConnection = u"/"_s;
    m_heldActivation.reset();
}

QString FakeNetworkManager::addProfile(const NM::Settings &settings)
{
    const QString path = u"%1/%2"_s.arg(NM::settingsPath).arg(m_next++);
    profiles.insert(path, settings);
    signal(NM::settingsPath, NM::settingsInterface, u"NewConnection"_s, {::path(path)});
    return path;
}

void FakeNetworkManager::removeProfile(const QString &path)
{
    profiles.remove(path);
    signal(NM::settingsPath, NM::settingsInterface, u"ConnectionRemoved"_s, {::path(path)});
}

QString FakeNetworkManager::addDeviceConnection(const QString &type)
{
    const QString path = u"%1/ActiveConnection/%2"_s.arg(NM::path).arg(m_next++);
    ActiveConnection connection;
    connection.uuid = u"device-%1"_s.arg(m_next);
    connection.type = type;
    connection.state = 2;
    active.insert(path, connection);
    activeConnectionsChanged();
    return path;
}

QString FakeNetworkManager::addVpnConnection(const QString &profile, uint state, uint vpnState)
{
    const QString path = u"%1/ActiveConnection/%2"_s.arg(NM::path).arg(m_next++);
    ActiveConnection connection;
    connection.profile = profile;
    connection.uuid = profiles.value(profile).value(u"connection"_s).value(u"uuid"_s).toString();
    connection.type = u"vpn"_s;
    connection.vpn = true;
    connection.state = state;
    connection.vpnState = vpnState;
    if (vpnState == 5)
        connection.ip4Config = u"%1/IP4Config/%2"_s.arg(NM::path).arg(m_next++);
    active.insert(path, connection);
    activeConnectionsChanged();
    return path;
}

void FakeNetworkManager::setPrimaryConnection(const QString &path)
{
    primaryConnection = path;
    signal(NM::path, NM::propertiesInterface, u"PropertiesChanged"_s,
           {NM::interface, QVariantMap{{u"PrimaryConnection"_s, ::path(path)}}, QStringList()});
}

void FakeNetworkManager::setVpnState(const QString &path, uint vpnState)
{
    if (!active.contains(path))
        return;
    active[path].vpnState = vpnState;
    signal(path, NM::vpnInterface, u"VpnStateChanged"_s, {vpnState, 0u});
    if (vpnState == 5) {
        setActiveState(path, 2);
        // The VPN's IP configuration is published only after the state; a
        // re-established VPN gets a new one.
        active[path].ip4Config = u"%1/IP4Config/%2"_s.arg(NM::path).arg(m_next++);
        signal(path, NM::propertiesInterface, u"PropertiesChanged"_s,
               {NM::activeInterface, QVariantMap{{u"Ip4Config"_s, ::path(active[path].ip4Config)}},
                QStringList()});
    }
    if (vpnState == 6 || vpnState == 7) {
        setActiveState(path, 4);
        removeActive(path);
    }
}

void FakeNetworkManager::failNext(const QString &member, const QString &errorName, const QString &message)
{
    m_failures.insert(member, {errorName, message});
}

void FakeNetworkManager::releaseActivation()
{
    if (!m_heldActivation)
        return;
    const QDBusMessage held = *m_heldActivation;
    m_heldActivation.reset();
    reply(held.createReply(::path(m_heldPath)));
}

QList<FakeNetworkManager::Call> FakeNetworkManager::callsOf(const QString &member) const
{
    QList<Call> found;
    for (const Call &call : calls) {
        if (call.member == member)
            found << call;
    }
    return found;
}

QString FakeNetworkManager::introspect(const QString &) const
{
    return {};
}

void FakeNetworkManager::reply(const QDBusMessage &answer)
{
    m_bus.send(answer);
}

void FakeNetworkManager::signal(const QString &path, const QString &interface, const QString &name,
                                const QList<QVariant> &arguments)
{
    QDBusMessage message = QDBusMessage::createSignal(path, interface, name);
    message.setArguments(arguments);
    m_bus.send(message);
}

void FakeNetworkManager::activeConnectionsChanged()
{
    signal(NM::path, NM::propertiesInterface, u"PropertiesChanged"_s,
           {NM::interface, QVariantMap{{u"ActiveConnections"_s, activePaths()}}, QStringList()});
}

QVariant FakeNetworkManager::activePaths() const
{
    QList<QDBusObjectPath> paths;
    for (const QString &key : active.keys())
        paths << QDBusObjectPath(key);
    return QVariant::fromValue(paths);
}

void FakeNetworkManager::setActiveState(const QString &path, uint state)
{
    active[path].state = state;
    signal(path, NM::activeInterface, u"StateChanged"_s, {state, 0u});
}

void FakeNetworkManager::removeActive(const QString &path)
{
    active.remove(path);
    activeConnectionsChanged();
}

QString FakeNetworkManager::profileByUuid(const QString &uuid) const
{
    for (auto it = profiles.cbegin(); it != profiles.cend(); ++it) {
        if (it->value(u"connection"_s).value(u"uuid"_s).toString() == uuid)
            return it.key();
    }
    return {};
}

QVariantMap FakeNetworkManager::properties(const QString &path, const QString &interface, bool *known) const
{
    *known = true;
    if (path == NM::path && interface == NM::interface) {
        return {{u"ActiveConnections"_s, activePaths()},
                {u"PrimaryConnection"_s, ::path(primaryConnection)},
                {u"State"_s, 70u}};
    }
    if (active.contains(path)) {
        const ActiveConnection &connection = active[path];
        if (interface == NM::activeInterface)
            return {{u"Uuid"_s, connection.uuid},
                    {u"Connection"_s, ::path(connection.profile.isEmpty() ? u"/"_s : connection.profile)},
                    {u"Type"_s, connection.type},
                    {u"Vpn"_s, connection.vpn},
                    {u"State"_s, connection.state},
                    {u"Ip4Config"_s, ::path(connection.ip4Config)}};
        if (interface == NM::vpnInterface && connection.vpn)
            return {{u"VpnState"_s, connection.vpnState}, {u"Banner"_s, QString()}};
    }
    for (const ActiveConnection &connection : active) {
        if (connection.ip4Config == path && interface == NM::ip4ConfigInterface) {
            const QList<QVariantMap> data{{{u"address"_s, vpnAddress}, {u"prefix"_s, 32u}}};
            return {{u"AddressData"_s, QVariant::fromValue(data)}};
        }
    }
    *known = false;
    return {};
}

bool FakeNetworkManager::handleMessage(const QDBusMessage &message, const QDBusConnection &)
{
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    calls << Call{member, arguments};
    if (m_failures.contains(member)) {
        const auto [name, text] = m_failures.take(member);
        reply(message.createErrorReply(name, text));
        return true;
    }
    const QString path = message.path();
    const QString interface = message.interface();

    if (interface == NM::propertiesInterface
        && (member == QLatin1String("GetAll") || member == QLatin1String("Get"))) {
        bool known = false;
        const QVariantMap values = properties(path, arguments.value(0).toString(), &known);
        if (!known) {
            reply(message.createErrorReply(u"org.freedesktop.DBus.Error.UnknownMethod"_s,
                                           u"No such interface"_s));
        } else if (member == QLatin1String("GetAll")) {
            reply(message.createReply(values));
        } else {
            reply(message.createReply(
                QVariant::fromValue(QDBusVariant(values.value(arguments.value(1).toString())))));
        }
        return true;
    }

    if (path == NM::settingsPath && member == QLatin1String("GetConnectionByUuid")) {
        const QString found = profileByUuid(arguments.value(0).toString());
        if (found.isEmpty())
            reply(message.createErrorReply(NM::invalidConnectionError,
                                           u"No connection with the UUID was found."_s));
        else
            reply(message.createReply(::path(found)));
        return true;
    }
    if (path == NM::settingsPath && member == QLatin1String("AddConnection2")) {
        const NM::Settings settings = NM::settings(arguments.value(0));
        const QString uuid = settings.value(u"connection"_s).value(u"uuid"_s).toString();
        if (!profileByUuid(uuid).isEmpty())
            reply(message.createErrorReply(u"org.freedesktop.NetworkManager.Settings.UuidExists"_s,
                                           u"A connection with this UUID already exists"_s));
        else
            reply(message.createReply({::path(addProfile(settings)), QVariantMap()}));
        return true;
    }
    if (profiles.contains(path) && member == QLatin1String("Update2")) {
        profiles[path] = NM::settings(arguments.value(0));
        signal(path, NM::connectionInterface, u"Updated"_s, {});
        reply(message.createReply(QVariantMap()));
        return true;
    }
    if (profiles.contains(path) && member == QLatin1String("GetSettings")) {
        reply(message.createReply(QVariant::fromValue(profiles.value(path))));
        return true;
    }
    if (path == NM::path && member == QLatin1String("ActivateConnection")) {
        const QString profile = qvariant_cast<QDBusObjectPath>(arguments.value(0)).path();
        if (!profiles.contains(profile)) {
            reply(message.createErrorReply(u"org.freedesktop.NetworkManager.UnknownConnection"_s,
                                           u"Connection not found"_s));
            return true;
        }
        // NetworkManager announces the new active connection before it answers.
        const QString created = addVpnConnection(profile, 1, 0);
        setActiveState(created, 1);
        setVpnState(created, 1);
        if (holdActivation) {
            m_heldActivation = message;
            m_heldPath = created;
        } else {
            reply(message.createReply(::path(created)));
        }
        return true;
    }
    if (path == NM::path && member == QLatin1String("DeactivateConnection")) {
        const QString target = qvariant_cast<QDBusObjectPath>(arguments.value(0)).path();
        if (!active.contains(target)) {
            reply(message.createErrorReply(NM::connectionNotActiveError, u"The connection was not active."_s));
            return true;
        }
        setActiveState(target, 3);
        reply(message.createReply());
        setActiveState(target, 4);
        signal(target, NM::vpnInterface, u"VpnStateChanged"_s, {7u, 2u});
        removeActive(target);
        return true;
    }
    reply(message.createErrorReply(u"org.freedesktop.DBus.Error.UnknownMethod"_s,
                                   u"The fake does not know %1"_s.arg(member)));
    return true;
}
