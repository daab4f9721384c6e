#include "NetworkManagerVPNBackend.h"

#include "platform/nm/NetworkManagerLeakGuard.h"

#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/Logging.h"
#include "platform/SystemInfo.h"
#include "platform/nm/DaemonReadAccess.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QPointer>

#include <pwd.h>
#include <unistd.h>

#include <utility>

namespace Orvex {

namespace NM = NetworkManager;

namespace {

QString currentUser()
{
    if (const passwd *entry = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(entry->pw_name);
    return QString::fromLocal8Bit(qgetenv("USER"));
}

} // namespace

QString NetworkManagerVPNBackend::defaultProfileUuid()
{
    return NetworkManagerProfile::uuidFor(SystemInfo::machineId().value_or(QString()), ::geteuid());
}

QStringList NetworkManagerVPNBackend::defaultPluginDirectories()
{
    return {QStringLiteral("/usr/lib/NetworkManager/VPN"), QStringLiteral("/etc/NetworkManager/VPN")};
}

bool NetworkManagerVPNBackend::isPluginInstalled(const QStringList &directories)
{
    for (const QString &directory : directories) {
        const QDir dir(directory);
        const QStringList names = dir.entryList({QStringLiteral("*.name")}, QDir::Files);
        for (const QString &name : names) {
            QFile file(dir.filePath(name));
            if (!file.open(QIODevice::ReadOnly))
                continue;
            // A small key file; its "service" line names the VPN service.
            for (const QByteArray &line : file.readAll().split('\n')) {
                const QByteArray trimmed = line.trimmed();
                if (trimmed.startsWith("service=")
                    && QString::fromUtf8(trimmed.mid(8).trimmed()) == NM::strongswanService)
                    return true;
            }
        }
    }
    return false;
}

void NetworkManagerVPNBackend::probe(const QStringList &pluginDirectories, QObject *context, Completion done)
{
    const auto unavailable = [context, done](const QString &reason) {
        QTimer::singleShot(0, context, [done, reason] { done(Outcome<>::failure(reason)); });
    };
    if (!isPluginInstalled(pluginDirectories)) {
        unavailable(NM::pluginMissingText());
        return;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        unavailable(NM::notRunningText());
        return;
    }
    QDBusMessage question = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                           QStringLiteral("/org/freedesktop/DBus"),
                                                           QStringLiteral("org.freedesktop.DBus"),
                                                           QStringLiteral("NameHasOwner"));
    question << NM::service;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(question), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, done](QDBusPendingCallWatcher *) {
                         watcher->deleteLater();
                         const QDBusMessage reply = watcher->reply();
                         const bool running = !NM::isError(reply) && !reply.arguments().isEmpty()
                                              && reply.arguments().constFirst().toBool();
                         done(running ? Outcome<>::success() : Outcome<>::failure(NM::notRunningText()));
                     });
}

NetworkManagerVPNBackend::Options NetworkManagerVPNBackend::optionsFor(const Config &config,
                                                                       IdentityStore &identities)
{
    Options options;
    options.caCertificateFile = config.caCertificates.value(0);
    options.resolveIdentity =
        [&identities](const QByteArray &reference) -> std::optional<NetworkManagerProfile::IdentityFiles> {
        const auto material = identities.resolve(reference);
        if (!material)
            return std::nullopt;
        return NetworkManagerProfile::IdentityFiles{material->certificatePath, material->privateKeyPath};
    };
    options.grantAccess = [&identities](const QByteArray &reference) {
        return DaemonReadAccess::share(identities, reference, daemonApplication());
    };
    NetworkManagerLeakGuard::Options block;
    block.uuid = NetworkManagerProfile::uuidFor(SystemInfo::machineId().value_or(QString())
                                                    + QStringLiteral("/traffic-block"),
                                                ::geteuid());
    block.owner = currentUser();
    options.leakGuard = std::make_shared<NetworkManagerLeakGuard>(block);
    return options;
}

std::unique_ptr<NetworkManagerVPNBackend> NetworkManagerVPNBackend::forConfiguration(const Config &config,
                                                                                     IdentityStore &identities)
{
    return std::make_unique<NetworkManagerVPNBackend>(optionsFor(config, identities));
}

NetworkManagerVPNBackend::NetworkManagerVPNBackend(const Options &options, QObject *parent)
    : VPNBackend(parent)
    , m_options(options)
    , m_bus(QDBusConnection::systemBus())
    , m_liveness(options.makeProbe ? options.makeProbe() : std::make_unique<RouteTunnelProbe>(),
                 options.reassertGraceMs,
                 options.makeEcho ? options.makeEcho() : std::make_unique<ResolverEcho>(),
                 options.livenessTimeoutMs)
{
    NM::registerTypes();
    if (m_options.profileOwner.isEmpty())
        m_options.profileOwner = currentUser();
    m_profile.uuid = m_options.profileUuid;
    m_profile.name = m_options.profileName;
    m_profile.owner = m_options.profileOwner;
    m_profile.caCertificateFile = m_options.caCertificateFile;

    connect(&m_liveness, &NetworkManagerLiveness::carryingChanged, this,
            &NetworkManagerVPNBackend::onCarrying);
    connect(&m_liveness, &NetworkManagerLiveness::gaveUp, this, [this] {
        // The security association did not come back: stop claiming a tunnel.
        if (m_liveness.isLost() && !m_active.path.isEmpty()) {
            m_activation.stopRequested = true;
            updateStatus();
            deactivate(m_active.path);
        }
    });
    connect(&m_liveness, &NetworkManagerLiveness::echoAnswered, this, &VPNBackend::probeAnswered);

    if (!m_bus.isConnected())
        return;
    // Subscribed before anything is asked, so that no change slips between
    // an answer and the signals that follow it. An empty path matches every
    // object: active connections come and go.
    const auto subscribe = [this](const QString &path, const QString &interface, const QString &name) {
        m_bus.connect(NM::service, path, interface, name, this, SLOT(onSignal(QDBusMessage)));
    };
    subscribe({}, NM::vpnInterface, QStringLiteral("VpnStateChanged"));
    subscribe({}, NM::activeInterface, QStringLiteral("StateChanged"));
    subscribe(NM::path, NM::propertiesInterface, QStringLiteral("PropertiesChanged"));
    // The VPN's IP configuration (its inner address) may be published or
    // replaced after it reports activated.
    m_bus.connect(NM::service, QString(), NM::propertiesInterface, QStringLiteral("PropertiesChanged"),
                  {NM::activeInterface}, QString(), this, SLOT(onSignal(QDBusMessage)));
    subscribe(NM::settingsPath, NM::settingsInterface, QStringLiteral("NewConnection"));
    subscribe(NM::settingsPath, NM::settingsInterface, QStringLiteral("ConnectionRemoved"));

    m_watcher = new QDBusServiceWatcher(NM::service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                if (newOwner.isEmpty())
                    vanished();
                else
                    present();
            });
}

void NetworkManagerVPNBackend::pinGateway(const QList<QHostAddress> &addresses)
{
    // An IPv4 address first: charon-nm takes one, and IPv4 is what every
    // network under the tunnel carries.
    m_pinned.clear();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            m_pinned.prepend(address);
        else
            m_pinned.append(address);
    }
}

NetworkManagerVPNBackend::~NetworkManagerVPNBackend() = default;

// --- Learning the state -----------------------------------------------------

void NetworkManagerVPNBackend::attach(const VPNPreferences &preferences, std::function<void()> done)
{
    attachReporting(preferences, [done = std::move(done)](const Outcome<> &) {
        if (done)
            done();
    });
}

void NetworkManagerVPNBackend::attachReporting(const VPNPreferences &preferences, Completion done)
{
    m_preferences = preferences;
    updateStatus();
    refresh(!m_daemon.listed, std::move(done));
}

// Looks the profile up again and, when `full`, NetworkManager's active
// connections too. Overlapping requests share one round of answers.
void NetworkManagerVPNBackend::refresh(bool full, Completion done)
{
    if (done)
        m_refresh.waiters.push_back(std::move(done));
    if (m_refresh.running) {
        if (full && !m_refresh.full)
            m_refresh.again = true;
        return;
    }
    m_refresh.running = true;
    m_refresh.full = full;
    m_refresh.again = false;
    m_refresh.outcome = Outcome<>::success();
    const quint64 epoch = m_daemon.epoch;

    QDBusMessage lookUp = NM::method(NM::settingsPath, NM::settingsInterface,
                                     QStringLiteral("GetConnectionByUuid"));
    lookUp << m_options.profileUuid;
    NM::call(m_bus, lookUp, this, [this, epoch, full](const QDBusMessage &reply) {
        if (epoch != m_daemon.epoch)
            return; // vanished() answered the waiters
        if (NM::isAbsence(reply)) {
            m_daemon.known = true;
            m_daemon.present = false;
            finishRefresh(Outcome<>::success());
            return;
        }
        m_daemon.known = true;
        m_daemon.present = true;
        if (!NM::isError(reply)) {
            m_profilePath = NM::objectPath(reply.arguments().value(0));
        } else if (reply.errorName() == NM::invalidConnectionError
                   || reply.errorName() == NM::settingsPermissionDeniedError) { // another user's: not ours
            m_profilePath.clear();
        } else {
            // Asked and refused (no permission, a broken daemon): a load error,
            // and what was known stays as it was.
            m_refresh.outcome = Outcome<>::failure(
                QStringLiteral("NetworkManager did not answer: %1").arg(NM::describe(reply)));
        }
        if (full)
            listActiveConnections(epoch);
        else
            finishRefresh(m_refresh.outcome);
    });
}

void NetworkManagerVPNBackend::listActiveConnections(quint64 epoch)
{
    QDBusMessage getAll = NM::method(NM::path, NM::propertiesInterface, QStringLiteral("GetAll"));
    getAll << NM::interface;
    NM::call(m_bus, getAll, this, [this, epoch](const QDBusMessage &reply) {
        if (epoch != m_daemon.epoch)
            return;
        if (NM::isError(reply)) {
            if (m_refresh.outcome.isSuccess())
                m_refresh.outcome = Outcome<>::failure(
                    QStringLiteral("NetworkManager did not answer: %1").arg(NM::describe(reply)));
            finishRefresh(m_refresh.outcome);
            return;
        }
        const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        m_primary = NM::objectPath(properties.value(QStringLiteral("PrimaryConnection")));
        m_daemon.listed = true;
        onActiveConnections(NM::objectPaths(properties.value(QStringLiteral("ActiveConnections"))));
        if (m_inspecting.isEmpty())
            finishRefresh(m_refresh.outcome);
    });
}

void NetworkManagerVPNBackend::finishRefresh(const Outcome<> &outcome)
{
    if (!m_refresh.running)
        return;
    m_refresh.running = false;
    updateStatus();
    std::vector<Completion> waiters;
    waiters.swap(m_refresh.waiters);
    if (m_refresh.again) {
        // A full look was asked for while a partial one ran: its waiters
        // get the full answer.
        refresh(true, {});
        m_refresh.waiters = std::move(waiters);
        return;
    }
    for (Completion &done : waiters) {
        if (done)
            QTimer::singleShot(0, this, [done = std::move(done), outcome] { done(outcome); });
    }
    Q_EMIT attemptPossible();
}

void NetworkManagerVPNBackend::onActiveConnections(const QList<QDBusObjectPath> &paths)
{
    QSet<QString> current;
    for (const QDBusObjectPath &path : paths)
        current.insert(path.path());
    if (!m_active.path.isEmpty() && !current.contains(m_active.path))
        confirmGone(m_active.path); // removed without a final state reaching us?
    m_others.removeIf([&current](decltype(m_others)::iterator it) { return !current.contains(it.key()); });
    m_unknown.removeIf([this, &current](decltype(m_unknown)::iterator it) {
        return !current.contains(it.key()) && !m_inspecting.contains(it.key());
    });
    for (const QString &path : std::as_const(current)) {
        if (path != m_active.path && !m_others.contains(path))
            inspect(path);
    }
}

// Finds out whether an active connection is made from our profile. What is
// read is only a starting point: Qt D-Bus keeps neither answers nor signals in
// the order NetworkManager sent them, so whatever a signal says wins.
void NetworkManagerVPNBackend::inspect(const QString &path)
{
    if (m_inspecting.contains(path))
        return;
    m_inspecting.insert(path);
    const quint64 epoch = m_daemon.epoch;
    QDBusMessage active = NM::method(path, NM::propertiesInterface, QStringLiteral("GetAll"));
    active << NM::activeInterface;
    NM::call(m_bus, active, this, [this, epoch, path](const QDBusMessage &reply) {
        if (epoch != m_daemon.epoch)
            return;
        if (NM::isError(reply)) {
            m_unknown.remove(path); // gone already
            finishInspection(path);
            return;
        }
        const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        Seen read;
        read.state = NM::fromVariant<NM::ActiveState>(properties.value(QStringLiteral("State")));
        if (properties.value(QStringLiteral("Uuid")).toString() != m_options.profileUuid) {
            Other other;
            other.type = properties.value(QStringLiteral("Type")).toString();
            other.state = m_unknown.take(path).state.value_or(*read.state);
            other.vpn = properties.value(QStringLiteral("Vpn")).toBool();
            if (path != m_active.path)
                m_others.insert(path, other);
            finishInspection(path);
            return;
        }
        QDBusMessage vpn = NM::method(path, NM::propertiesInterface, QStringLiteral("GetAll"));
        vpn << NM::vpnInterface;
        NM::call(m_bus, vpn, this, [this, epoch, path, read](const QDBusMessage &reply) mutable {
            if (epoch != m_daemon.epoch)
                return;
            if (!NM::isError(reply)) {
                const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
                read.vpnState = NM::fromVariant<NM::VpnState>(properties.value(QStringLiteral("VpnState")));
            }
            adopt(path, read, m_unknown.take(path));
            finishInspection(path);
        });
    });
}

void NetworkManagerVPNBackend::finishInspection(const QString &path)
{
    m_inspecting.remove(path);
    if (m_inspecting.isEmpty() && m_refresh.running && m_daemon.listed)
        finishRefresh(m_refresh.outcome);
}

// Takes an active connection made from our profile as the tunnel. Signalled
// states apply; states read only fill in what no signal has told yet.
void NetworkManagerVPNBackend::adopt(const QString &path, const Seen &read, const Seen &signalled)
{
    // The connection of an earlier tunnel, learnt of late (its inspection
    // answered after a new activation began) and going or gone: it is not
    // the tunnel. Taking it would end the activation under way, and a stop
    // pressed meanwhile would then leave the new tunnel up.
    if (m_ended.contains(path)) {
        m_others.remove(path);
        return;
    }
    const std::optional<NM::ActiveState> seen = signalled.state ? signalled.state : read.state;
    const bool over = seen
                      && (*seen == NM::ActiveState::Deactivating || *seen == NM::ActiveState::Deactivated);
    if (m_activation.pending && over && path != m_active.path) {
        m_others.remove(path);
        return;
    }
    // A stop pressed while the activation was under way is owed to whatever
    // the activation turns out to be, however we learn of it first: its
    // answer, or its signals and an inspection before the answer.
    const bool stopOwed = m_activation.owesStop();
    if (m_active.path != path) {
        if (!m_active.path.isEmpty())
            activeGone();
        m_active = NetworkManagerTunnel{path};
    }
    m_activation.pending = false;
    m_others.remove(path);
    std::optional<NM::ActiveState> state = signalled.state;
    if (!state && m_active.state == NM::ActiveState::Unknown)
        state = read.state;
    std::optional<NM::VpnState> vpnState = signalled.vpnState;
    if (!vpnState && m_active.vpnState == NM::VpnState::Unknown)
        vpnState = read.vpnState;
    if (state)
        m_active.state = *state;
    if (vpnState)
        onVpnState(*vpnState);
    if (m_active.path.isEmpty())
        return; // it failed already
    if (state)
        onActiveState(*state);
    updateStatus();
    if (stopOwed && !m_active.path.isEmpty()) {
        m_activation.stopRequested = true;
        updateStatus();
        deactivate(m_active.path);
    }
}

// An active connection missing from NetworkManager's list may be a list
// that was sent before it appeared: only its own absence counts.
void NetworkManagerVPNBackend::confirmGone(const QString &path)
{
    const quint64 epoch = m_daemon.epoch;
    QDBusMessage get = NM::method(path, NM::propertiesInterface, QStringLiteral("Get"));
    get << NM::activeInterface << QStringLiteral("State");
    NM::call(m_bus, get, this, [this, epoch, path](const QDBusMessage &reply) {
        if (epoch == m_daemon.epoch && path == m_active.path && NM::isError(reply) && !NM::isAbsence(reply))
            activeGone();
    });
}

void NetworkManagerVPNBackend::onSignal(const QDBusMessage &message)
{
    const QString path = message.path();
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    if (message.interface() == NM::vpnInterface && member == QLatin1String("VpnStateChanged")) {
        const auto state = NM::fromVariant<NM::VpnState>(arguments.value(0));
        if (path == m_active.path) {
            const uint reason = arguments.value(1).toUInt();
            qCInfo(lcNetworkManager, "VPN state %u, reason %u", uint(state), reason);
            if (state == NM::VpnState::Failed)
                m_lastFailure = failureOf(reason);
            onVpnState(state);
        } else if (!m_others.contains(path)) {
            m_unknown[path].vpnState = state;
            if (m_daemon.listed)
                inspect(path);
        }
    } else if (message.interface() == NM::activeInterface && member == QLatin1String("StateChanged")) {
        const auto state = NM::fromVariant<NM::ActiveState>(arguments.value(0));
        if (path == m_active.path) {
            qCInfo(lcNetworkManager, "active connection state %u", uint(state));
            onActiveState(state);
        } else if (m_others.contains(path)) {
            m_others[path].state = state;
            if (state == NM::ActiveState::Activated)
                Q_EMIT attemptPossible(); // a network to build on has appeared
        } else {
            m_unknown[path].state = state;
            if (m_daemon.listed)
                inspect(path);
        }
    } else if (message.interface() == NM::propertiesInterface && path != NM::path) {
        if (path != m_active.path || arguments.value(0).toString() != NM::activeInterface)
            return;
        const QVariantMap changed = qdbus_cast<QVariantMap>(arguments.value(1));
        if (changed.contains(QStringLiteral("Ip4Config")) && m_active.vpnState == NM::VpnState::Activated)
            startProbe();
    } else if (message.interface() == NM::propertiesInterface) {
        if (arguments.value(0).toString() != NM::interface || !m_daemon.listed)
            return;
        const QVariantMap changed = qdbus_cast<QVariantMap>(arguments.value(1));
        if (changed.contains(QStringLiteral("PrimaryConnection"))) {
            m_primary = NM::objectPath(changed.value(QStringLiteral("PrimaryConnection")));
            Q_EMIT attemptPossible();
        }
        if (changed.contains(QStringLiteral("ActiveConnections")))
            onActiveConnections(NM::objectPaths(changed.value(QStringLiteral("ActiveConnections"))));
    } else if (member == QLatin1String("ConnectionRemoved")) {
        if (NM::objectPath(arguments.value(0)) == m_profilePath) {
            m_profilePath.clear();
            updateStatus();
        }
    } else if (member == QLatin1String("NewConnection")) {
        if (m_profilePath.isEmpty() && m_daemon.known)
            refresh(false, {}); // someone may have added ours
    }
}

// What the failure notification and a give-up can tell the user: a gateway
// that never answered, one that refused this machine, or a VPN service that
// did not run. Anything else NetworkManager says is left unknown.
VPNBackend::Failure NetworkManagerVPNBackend::failureOf(uint reason)
{
    switch (NM::VPNFailureReason(reason)) {
    case NM::VPNFailureReason::ConnectTimeout:
        return Failure::NoAnswer;
    case NM::VPNFailureReason::LoginFailed:
    case NM::VPNFailureReason::NoSecrets:
    case NM::VPNFailureReason::IpConfigInvalid:
        return Failure::Refused;
    case NM::VPNFailureReason::ServiceStopped:
    case NM::VPNFailureReason::ServiceStartTimeout:
    case NM::VPNFailureReason::ServiceStartFailed:
        return Failure::DaemonUnavailable;
    }
    return Failure::Unknown;
}

void NetworkManagerVPNBackend::onVpnState(NM::VpnState state)
{
    const NM::VpnState previous = m_active.vpnState;
    m_active.vpnState = state;
    switch (state) {
    case NM::VpnState::Connect:
    case NM::VpnState::IpConfigGet:
        m_active.reachedService = true;
        break;
    case NM::VpnState::Activated:
        m_active.reachedService = true;
        if (previous != NM::VpnState::Activated) {
            m_active.wasActivated = true;
            startProbe(); // again after a reconnection: the inner address may be new
        }
        break;
    case NM::VpnState::Failed:
    case NM::VpnState::Disconnected:
        activeGone();
        return;
    default:
        break;
    }
    updateStatus();
}

void NetworkManagerVPNBackend::onActiveState(NM::ActiveState state)
{
    m_active.state = state;
    if (state == NM::ActiveState::Deactivated) {
        activeGone();
        return;
    }
    updateStatus();
}

void NetworkManagerVPNBackend::activeGone()
{
    if (m_active.path.isEmpty())
        return;
    // NetworkManager fails an activation whose VPN service is still stopping
    // the tunnel before it; a return that ended so, before the service took
    // it on, is made once more.
    if (std::exchange(m_return.underWay, false) && !m_active.reachedService
        && !std::exchange(m_return.madeAgain, true)) {
        qCInfo(lcNetworkManager, "the tunnel's return ended before its VPN service took it on: once more");
        m_return.owed = true;
        Q_EMIT returnOwed(true);
    }
    m_ended.append(m_active.path);
    if (m_ended.size() > 64)
        m_ended.removeFirst();
    m_active = NetworkManagerTunnel{};
    m_activation.stopRequested = m_activation.owesStop();
    m_liveness.reset();
    updateStatus();
    if (!m_activation.pending)
        Q_EMIT attemptEnded();
}

void NetworkManagerVPNBackend::vanished()
{
    ++m_daemon.epoch;
    m_daemon.present = false;
    m_daemon.known = true;
    m_daemon.listed = false;
    m_profilePath.clear();
    m_primary.clear();
    m_active = NetworkManagerTunnel{};
    m_others.clear();
    m_unknown.clear();
    m_ended.clear(); // a restarted NetworkManager numbers its paths afresh
    m_inspecting.clear();
    m_activation = {};
    m_liveness.reset();
    if (std::exchange(m_return, {}).owed)
        Q_EMIT returnOwed(false); // what it ran is gone with it
    updateStatus();
    if (m_refresh.running) {
        m_refresh.again = false;
        finishRefresh(Outcome<>::success()); // nobody is there to fail: the status says it
    }
}

void NetworkManagerVPNBackend::present()
{
    // A new NetworkManager knows nothing of what the old one ran.
    vanished();
    refresh(true, {});
}

// --- Saving -----------------------------------------------------------------

void NetworkManagerVPNBackend::apply(const VPNPreferences &preferences, Completion done)
{
    m_saving.queue.push_back({preferences, std::move(done)});
    if (!m_saving.busy)
        saveNext();
}

// Saves one at a time: two creations of the profile at once would race.
void NetworkManagerVPNBackend::saveNext()
{
    if (m_saving.queue.empty()) {
        m_saving.busy = false;
        return;
    }
    m_saving.busy = true;
    PendingSave save = std::move(m_saving.queue.front());
    m_saving.queue.pop_front();
    m_preferences = save.preferences;
    updateStatus();

    const auto fail = [this](const PendingSave &failed, const QString &error) {
        updateStatus();
        if (failed.done)
            failed.done(Outcome<>::failure(error));
        saveNext();
    };
    if (!m_preferences.protocolConfiguration) {
        fail(save, QStringLiteral("The VPN configuration is invalid."));
        return;
    }
    if (!isPluginInstalled(m_options.pluginDirectories)) {
        fail(save, NM::pluginMissingText());
        return;
    }
    VPNProtocolIKEv2 protocol = *m_preferences.protocolConfiguration;
    // Behind the block no name can be looked up: charon-nm is handed the
    // address found before it went up (the identity it checks stays the name).
    if (!m_pinned.isEmpty())
        protocol.serverAddress = m_pinned.constFirst().toString();
    std::optional<NetworkManagerProfile::IdentityFiles> identity;
    if (protocol.authenticationMethod == VPNProtocolIKEv2::AuthenticationMethod::Certificate
        && !protocol.identityReference.isEmpty() && m_options.resolveIdentity)
        identity = m_options.resolveIdentity(protocol.identityReference);
    const NM::Settings settings = m_profile.settings(protocol, identity);
    const bool handedKey = identity.has_value();
    const quint64 epoch = m_daemon.epoch;

    m_profile.write(m_bus, this, settings,
                    [this, epoch, save, handedKey, fail](const NetworkManagerProfile::Written &written) {
                        if (written.absent && epoch == m_daemon.epoch) {
                            m_daemon.known = true;
                            m_daemon.present = false;
                        }
                        if (written.refused)
                            noteRefusal(*written.refused);
                        if (written.path.isSuccess())
                            saved(epoch, written.path.value(), save, handedKey);
                        else
                            fail(save, written.path.error());
                    });
}

void NetworkManagerVPNBackend::saved(quint64 epoch, const QString &path, const PendingSave &save,
                                     bool handedKey)
{
    Outcome<> shared = Outcome<>::success();
    if (handedKey && m_options.grantAccess)
        shared = m_options.grantAccess(save.preferences.protocolConfiguration->identityReference);
    if (shared.error() != std::exchange(m_keyAccessFailure, shared.error()))
        Q_EMIT reasonChanged();
    if (epoch == m_daemon.epoch) {
        m_daemon.known = true;
        m_daemon.present = true;
        m_profilePath = path;
    }
    updateStatus();
    if (!m_daemon.listed)
        refresh(true, {}); // learns what runs; keeps the tunnel up after
    if (!m_preferences.canConnect()) {
        // Nothing that cannot connect may stay up.
        if (!m_active.path.isEmpty() || m_activation.pending) {
            m_activation.stopRequested = true;
            updateStatus();
            if (!m_active.path.isEmpty())
                deactivate(m_active.path);
        }
    } else {
        Q_EMIT attemptPossible();
    }
    if (save.done)
        save.done(shared);
    saveNext();
}

// --- Switching --------------------------------------------------------------

Outcome<> NetworkManagerVPNBackend::startTunnel()
{
    const auto fail = [](const QString &reason) { return Outcome<>::failure(reason); };
    if (!m_preferences.canConnect())
        return fail(QStringLiteral("The VPN configuration cannot connect."));
    if (!m_daemon.present) {
        if (!m_refresh.running)
            refresh(true, {});
        return fail(m_daemon.known ? NM::notRunningText()
                                   : QStringLiteral("NetworkManager has not answered yet."));
    }
    if (m_profilePath.isEmpty())
        return fail(QStringLiteral("The VPN configuration is not saved in NetworkManager."));
    m_return.owed = false; // the user's own start, not a return
    const bool underWay = (m_activation.pending || !m_active.path.isEmpty()) && !m_activation.stopRequested
                          && m_active.state != NM::ActiveState::Deactivating;
    if (!underWay)
        activate();
    return Outcome<>::success();
}

void NetworkManagerVPNBackend::stopTunnel()
{
    m_return.owed = false;
    m_liveness.endGrace();
    if (m_active.path.isEmpty() && !m_activation.pending)
        return;
    m_activation.stopRequested = true;
    updateStatus();
    if (!m_active.path.isEmpty())
        deactivate(m_active.path);
    // else: deactivated as soon as the activation answers
}

void NetworkManagerVPNBackend::attempt()
{
    // Made for a tunnel found dead: it gets a second chance if it ends
    // before its VPN service took it on.
    m_return.underWay = std::exchange(m_return.owed, false);
    activate();
}

void NetworkManagerVPNBackend::activate()
{
    m_lastFailure = Failure::Unknown;
    m_activation.pending = true;
    m_activation.stopRequested = false;
    updateStatus();
    const quint64 epoch = m_daemon.epoch;
    QDBusMessage activation = NM::method(NM::path, NM::interface, QStringLiteral("ActivateConnection"));
    activation << QVariant::fromValue(QDBusObjectPath(m_profilePath))
               << QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))
               << QVariant::fromValue(QDBusObjectPath(baseConnection()));
    NM::call(m_bus, activation, this, [this, epoch](const QDBusMessage &reply) {
        if (epoch != m_daemon.epoch || !m_activation.pending)
            return;
        noteRefusal(NM::isRefusal(reply));
        if (NM::isError(reply)) {
            m_activation = {};
            m_return.underWay = false; // refused, not failed on the way
            updateStatus();
            // Asking again gets the same answer: the user has to be let.
            if (!m_refused)
                Q_EMIT attemptEnded();
            return;
        }
        const QString path = NM::objectPath(reply.arguments().value(0));
        // The signals that came before the answer; a stop pressed meanwhile
        // is carried out there.
        adopt(path, {}, m_unknown.take(path));
    });
}

void NetworkManagerVPNBackend::deactivate(const QString &path)
{
    const quint64 epoch = m_daemon.epoch;
    QDBusMessage deactivation = NM::method(NM::path, NM::interface, QStringLiteral("DeactivateConnection"));
    deactivation << QVariant::fromValue(QDBusObjectPath(path));
    NM::call(m_bus, deactivation, this, [this, epoch, path](const QDBusMessage &reply) {
        if (epoch != m_daemon.epoch || path != m_active.path || !NM::isError(reply))
            return; // done: the state signals follow
        if (reply.errorName() == NM::connectionNotActiveError) {
            activeGone();
            return;
        }
        m_activation.stopRequested = false;
        if (std::exchange(m_return.owed, false))
            Q_EMIT returnOwed(false); // still up: nothing to bring back
        updateStatus();
    });
}

// The active connection the VPN is to run over. NetworkManager picks its
// primary connection itself; without one (a default route it does not manage)
// an activated connection of a device is named, or activation fails with
// "Could not find source connection".
QString NetworkManagerVPNBackend::baseConnection() const
{
    if (!m_primary.isEmpty() && m_primary != QLatin1String("/"))
        return QStringLiteral("/");
    for (auto it = m_others.cbegin(); it != m_others.cend(); ++it) {
        if (!it->vpn && it->state == NM::ActiveState::Activated && it->type != QLatin1String("loopback"))
            return it.key();
    }
    return QStringLiteral("/");
}

// NetworkManager is there with our profile, what runs is known, and no
// tunnel is up or on its way.
bool NetworkManagerVPNBackend::canActivate() const
{
    return m_daemon.present && m_daemon.listed && !m_profilePath.isEmpty() && !m_activation.pending
           && m_active.path.isEmpty() && m_keyAccessFailure.isEmpty();
}

// --- A tunnel the gateway closed -------------------------------------------

void NetworkManagerVPNBackend::startProbe()
{
    if (!m_liveness.hasProbe())
        return;
    const QString path = m_active.path;
    const quint64 epoch = m_daemon.epoch;
    QDBusMessage get = NM::method(path, NM::propertiesInterface, QStringLiteral("Get"));
    get << NM::activeInterface << QStringLiteral("Ip4Config");
    NM::call(m_bus, get, this, [this, epoch, path](const QDBusMessage &reply) {
        if (epoch != m_daemon.epoch || path != m_active.path || NM::isError(reply))
            return;
        const QString config = NM::objectPath(reply.arguments().value(0).value<QDBusVariant>().variant());
        if (config.isEmpty() || config == QLatin1String("/"))
            return;
        QDBusMessage addresses = NM::method(config, NM::propertiesInterface, QStringLiteral("GetAll"));
        addresses << NM::ip4ConfigInterface;
        NM::call(m_bus, addresses, this, [this, epoch, path](const QDBusMessage &reply) {
            if (epoch != m_daemon.epoch || path != m_active.path || NM::isError(reply))
                return;
            const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
            const QList<QVariantMap> data = NM::mapList(properties.value(QStringLiteral("AddressData")));
            if (data.isEmpty())
                return; // no inner address to find the tunnel's routes by
            const QList<QVariantMap> resolvers = NM::mapList(
                properties.value(QStringLiteral("NameserverData")));
            const auto address = [](const QList<QVariantMap> &list) {
                return QHostAddress(list.value(0).value(QStringLiteral("address")).toString());
            };
            m_liveness.watch(address(data), address(resolvers));
        });
    });
}

// A new route or address is NetworkManager's and charon-nm's own business:
// the keep-up follows NetworkManager's primary connection, charon-nm moves
// the tunnel itself (MOBIKE) or loses it, which the route probe sees; an
// attempt at every route change would only undo the pause between attempts.
// After a sleep nothing tells charon-nm to look.
void NetworkManagerVPNBackend::checkTunnel(Change change)
{
    if (change == Change::Resumed && m_active.path.isEmpty() && !m_activation.pending)
        Q_EMIT attemptPossible(); // without the retry pause
}

// The resolver the gateway gave is asked through the tunnel: what the routes
// cannot tell after a sleep, when a gateway that restarted meanwhile has
// forgotten the tunnel that charon-nm still holds.
bool NetworkManagerVPNBackend::probe()
{
    if (m_active.vpnState != NM::VpnState::Activated || m_activation.stopRequested || m_liveness.isLost())
        return false;
    m_liveness.check();
    return m_liveness.isChecking();
}

bool NetworkManagerVPNBackend::dropDeadTunnel()
{
    if (m_active.path.isEmpty() || m_activation.stopRequested)
        return false;
    qCInfo(lcNetworkManager, "the tunnel did not answer: brought up anew");
    m_return = {};
    m_return.owed = true;
    m_activation.stopRequested = true;
    updateStatus();
    deactivate(m_active.path);
    return true;
}

void NetworkManagerVPNBackend::onCarrying(bool carrying)
{
    if (m_active.path.isEmpty())
        return;
    m_liveness.note(carrying);
    updateStatus();
}

// --- Status -----------------------------------------------------------------

void NetworkManagerVPNBackend::noteRefusal(bool refused)
{
    if (refused == m_refused)
        return;
    m_refused = refused;
    Q_EMIT reasonChanged();
}

QString NetworkManagerVPNBackend::unavailableReason() const
{
    if (m_refused)
        return NM::refusedText();
    if (!m_keyAccessFailure.isEmpty())
        return m_keyAccessFailure;
    if (!isPluginInstalled(m_options.pluginDirectories))
        return NM::pluginMissingText();
    if (m_daemon.known && !m_daemon.present)
        return NM::notRunningText();
    if (m_daemon.present && m_profilePath.isEmpty())
        return QCoreApplication::translate("Orvex::VPNBackend",
                                           "The VPN configuration is not saved in NetworkManager.");
    return {};
}

VPNStatus NetworkManagerVPNBackend::computeStatus() const
{
    if (!m_daemon.present || m_profilePath.isEmpty() || !m_preferences.enabled
        || !m_preferences.protocolConfiguration)
        return VPNStatus::Invalid;
    return tunnelStatus(m_active, m_activation, m_liveness.isLost());
}

void NetworkManagerVPNBackend::updateStatus()
{
    const VPNStatus status = computeStatus();
    if (status == m_status)
        return;
    m_status = status;
    Q_EMIT statusChanged(status);
}

void NetworkManagerVPNBackend::describeDaemon(QObject *context, std::function<void(const QString &)> done)
{
    QDBusMessage question = NM::method(NM::path, NM::propertiesInterface, QStringLiteral("Get"));
    question << NM::interface << QStringLiteral("Version");
    const QString plugin = isPluginInstalled(m_options.pluginDirectories)
                               ? QStringLiteral("with strongSwan's plugin")
                               : QStringLiteral("without strongSwan's plugin");
    NM::call(m_bus, question, context, [done = std::move(done), plugin](const QDBusMessage &reply) {
        if (NM::isError(reply) || reply.arguments().isEmpty()) {
            done(QStringLiteral("NetworkManager (no answer: %1), %2").arg(NM::describe(reply), plugin));
            return;
        }
        const QString version = reply.arguments().constFirst().value<QDBusVariant>().variant().toString();
        done(QStringLiteral("NetworkManager %1, %2").arg(version.left(64), plugin));
    });
}

} // namespace Orvex
