#include "FakeNetworkManager.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>

#include <algorithm>

namespace NM = Orvex::NetworkManager;

namespace {

QVariant path(const QString &text)
{
    return QVariant::fromValue(QDBusObjectPath(text));
}

} // namespace

FakeNetworkManager::FakeNetworkManager(const QString &busAddress)
    : m_bus(QDBusConnection::connectToBus(busAddress, QStringLiteral("fake-nm-%1").arg(quintptr(this))))
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
    primaryConnection = QStringLiteral("/");
    m_heldActivation.reset();
}

QString FakeNetworkManager::addProfile(const NM::Settings &settings)
{
    const QString path = QStringLiteral("%1/%2").arg(NM::settingsPath).arg(m_next++);
    profiles.insert(path, settings);
    signal(NM::settingsPath, NM::settingsInterface, QStringLiteral("NewConnection"), {::path(path)});
    return path;
}

void FakeNetworkManager::removeProfile(const QString &path)
{
    profiles.remove(path);
    signal(NM::settingsPath, NM::settingsInterface, QStringLiteral("ConnectionRemoved"), {::path(path)});
}

QString FakeNetworkManager::addDeviceConnection(const QString &type)
{
    const QString path = QStringLiteral("%1/ActiveConnection/%2").arg(NM::path).arg(m_next++);
    ActiveConnection connection;
    connection.uuid = QStringLiteral("device-%1").arg(m_next);
    connection.type = type;
    connection.state = 2;
    active.insert(path, connection);
    activeConnectionsChanged();
    return path;
}

QString FakeNetworkManager::addVpnConnection(const QString &profile, uint state, uint vpnState)
{
    const QString path = QStringLiteral("%1/ActiveConnection/%2").arg(NM::path).arg(m_next++);
    ActiveConnection connection;
    connection.profile = profile;
    connection.uuid
        = profiles.value(profile).value(QStringLiteral("connection")).value(QStringLiteral("uuid")).toString();
    connection.type = QStringLiteral("vpn");
    connection.vpn = true;
    connection.state = state;
    connection.vpnState = vpnState;
    if (vpnState == 5)
        connection.ip4Config = QStringLiteral("%1/IP4Config/%2").arg(NM::path).arg(m_next++);
    active.insert(path, connection);
    activeConnectionsChanged();
    return path;
}

void FakeNetworkManager::setPrimaryConnection(const QString &path)
{
    primaryConnection = path;
    signal(NM::path, NM::propertiesInterface, QStringLiteral("PropertiesChanged"),
           {NM::interface, QVariantMap{{QStringLiteral("PrimaryConnection"), ::path(path)}}, QStringList()});
}

void FakeNetworkManager::setVpnState(const QString &path, uint vpnState)
{
    if (!active.contains(path))
        return;
    active[path].vpnState = vpnState;
    signal(path, NM::vpnInterface, QStringLiteral("VpnStateChanged"), {vpnState, 0u});
    if (vpnState == 5) {
        setActiveState(path, 2);
        // The VPN's IP configuration is published only after the state; a
        // re-established VPN gets a new one.
        active[path].ip4Config = QStringLiteral("%1/IP4Config/%2").arg(NM::path).arg(m_next++);
        signal(path, NM::propertiesInterface, QStringLiteral("PropertiesChanged"),
               {NM::activeInterface,
                QVariantMap{{QStringLiteral("Ip4Config"), ::path(active[path].ip4Config)}}, QStringList()});
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

int FakeNetworkManager::count(const QString &member) const
{
    return int(std::count_if(calls.cbegin(), calls.cend(),
                             [&member](const Call &call) { return call.member == member; }));
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
    QList<QDBusObjectPath> paths;
    for (const QString &key : active.keys())
        paths << QDBusObjectPath(key);
    signal(NM::path, NM::propertiesInterface, QStringLiteral("PropertiesChanged"),
           {NM::interface, QVariantMap{{QStringLiteral("ActiveConnections"), QVariant::fromValue(paths)}},
            QStringList()});
}

void FakeNetworkManager::setActiveState(const QString &path, uint state)
{
    active[path].state = state;
    signal(path, NM::activeInterface, QStringLiteral("StateChanged"), {state, 0u});
}

void FakeNetworkManager::removeActive(const QString &path)
{
    active.remove(path);
    activeConnectionsChanged();
}

QString FakeNetworkManager::profileByUuid(const QString &uuid) const
{
    for (auto it = profiles.cbegin(); it != profiles.cend(); ++it) {
        if (it->value(QStringLiteral("connection")).value(QStringLiteral("uuid")).toString() == uuid)
            return it.key();
    }
    return {};
}

QVariantMap FakeNetworkManager::properties(const QString &path, const QString &interface, bool *known) const
{
    *known = true;
    if (path == NM::path && interface == NM::interface) {
        QList<QDBusObjectPath> paths;
        for (const QString &key : active.keys())
            paths << QDBusObjectPath(key);
        return {{QStringLiteral("ActiveConnections"), QVariant::fromValue(paths)},
                {QStringLiteral("PrimaryConnection"), ::path(primaryConnection)},
                {QStringLiteral("State"), 70u}};
    }
    if (active.contains(path)) {
        const ActiveConnection &connection = active[path];
        if (interface == NM::activeInterface)
            return {{QStringLiteral("Uuid"), connection.uuid},
                    {QStringLiteral("Connection"),
                     ::path(connection.profile.isEmpty() ? QStringLiteral("/") : connection.profile)},
                    {QStringLiteral("Type"), connection.type},
                    {QStringLiteral("Vpn"), connection.vpn},
                    {QStringLiteral("State"), connection.state},
                    {QStringLiteral("Ip4Config"), ::path(connection.ip4Config)}};
        if (interface == NM::vpnInterface && connection.vpn)
            return {{QStringLiteral("VpnState"), connection.vpnState}, {QStringLiteral("Banner"), QString()}};
    }
    for (const ActiveConnection &connection : active) {
        if (connection.ip4Config == path && interface == NM::ip4ConfigInterface) {
            const QList<QVariantMap> data{
                {{QStringLiteral("address"), vpnAddress}, {QStringLiteral("prefix"), 32u}}};
            return {{QStringLiteral("AddressData"), QVariant::fromValue(data)}};
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
            reply(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                           QStringLiteral("No such interface")));
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
                                           QStringLiteral("No connection with the UUID was found.")));
        else
            reply(message.createReply(::path(found)));
        return true;
    }
    if (path == NM::settingsPath && member == QLatin1String("AddConnection2")) {
        const NM::Settings settings = NM::settings(arguments.value(0));
        const QString uuid
            = settings.value(QStringLiteral("connection")).value(QStringLiteral("uuid")).toString();
        if (!profileByUuid(uuid).isEmpty())
            reply(
                message.createErrorReply(QStringLiteral("org.freedesktop.NetworkManager.Settings.UuidExists"),
                                         QStringLiteral("A connection with this UUID already exists")));
        else
            reply(message.createReply({::path(addProfile(settings)), QVariantMap()}));
        return true;
    }
    if (profiles.contains(path) && member == QLatin1String("Update2")) {
        profiles[path] = NM::settings(arguments.value(0));
        signal(path, NM::connectionInterface, QStringLiteral("Updated"), {});
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
            reply(message.createErrorReply(QStringLiteral("org.freedesktop.NetworkManager.UnknownConnection"),
                                           QStringLiteral("Connection not found")));
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
            reply(message.createErrorReply(NM::connectionNotActiveError,
                                           QStringLiteral("The connection was not active.")));
            return true;
        }
        setActiveState(target, 3);
        reply(message.createReply());
        if (finishDeactivation) {
            setActiveState(target, 4);
            signal(target, NM::vpnInterface, QStringLiteral("VpnStateChanged"), {7u, 2u});
            removeActive(target);
        }
        return true;
    }
    reply(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                   QStringLiteral("The fake does not know %1").arg(member)));
    return true;
}
