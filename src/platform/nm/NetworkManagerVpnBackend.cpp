#include "NetworkManagerVpnBackend.h"

#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/nm/DaemonReadAccess.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDir>
#include <QFile>
#include <QPointer>

#include <pwd.h>
#include <unistd.h>

namespace Orvex {

namespace NM = NetworkManager;

namespace {

// No NetworkManager on the bus, or no bus at all.
bool isAbsence(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ErrorMessage)
        return false;
    const QDBusError::ErrorType type = QDBusError(reply).type();
    return type == QDBusError::ServiceUnknown || type == QDBusError::Disconnected
           || type == QDBusError::NoServer
           || reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
}

bool isError(const QDBusMessage &reply)
{
    return reply.type() != QDBusMessage::ReplyMessage;
}

QString describe(const QDBusMessage &reply)
{
    const QString message = reply.errorMessage();
    return message.isEmpty() ? reply.errorName() : message;
}

QString currentUser()
{
    if (const passwd *entry = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(entry->pw_name);
    return QString::fromLocal8Bit(qgetenv("USER"));
}

QString notRunning()
{
    return QCoreApplication::translate("Orvex::VpnBackend", "NetworkManager is not running.");
}

QString pluginMissing()
{
    return QCoreApplication::translate(
        "Orvex::VpnBackend", "NetworkManager's strongSwan plugin (network-manager-strongswan) is not installed.");
}

QString refusedText()
{
    return QCoreApplication::translate("Orvex::VpnBackend",
                                       "NetworkManager did not allow this user to manage VPN connections.");
}

// polkit said no (NetworkManager's PermissionDenied errors of the manager and
// of its settings), or the bus's policy did.
bool isRefusal(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ErrorMessage
           && (reply.errorName().endsWith(QLatin1String(".PermissionDenied"))
               || reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.AccessDenied"));
}

template<typename Enum>
Enum fromVariant(const QVariant &value)
{
    return static_cast<Enum>(value.toUInt());
}

} // namespace

QString NetworkManagerVpnBackend::defaultProfileUuid()
{
    return QStringLiteral("3d0f9a52-6c1e-4b8d-9f27-5a41c0e8b6d3");
}

QStringList NetworkManagerVpnBackend::defaultPluginDirectories()
{
    return {QStringLiteral("/usr/lib/NetworkManager/VPN"), QStringLiteral("/etc/NetworkManager/VPN")};
}

bool NetworkManagerVpnBackend::isPluginInstalled(const QStringList &directories)
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

void NetworkManagerVpnBackend::probe(const QStringList &pluginDirectories, QObject *context, Completion done)
{
    const auto unavailable = [context, done](const QString &reason) {
        QTimer::singleShot(0, context, [done, reason] { done(Outcome<>::failure(reason)); });
    };
    if (!isPluginInstalled(pluginDirectories)) {
        unavailable(pluginMissing());
        return;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        unavailable(notRunning());
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
                         const bool running = !isError(reply) && !reply.arguments().isEmpty()
                                              && reply.arguments().constFirst().toBool();
                         done(running ? Outcome<>::success() : Outcome<>::failure(notRunning()));
                     });
}

std::unique_ptr<NetworkManagerVpnBackend> NetworkManagerVpnBackend::forConfiguration(const Config &config)
{
    Options options;
    options.caCertificateFile = config.caCertificates.value(0);
    options.resolveIdentity = [](const QByteArray &reference)
        -> std::optional<NetworkManagerProfile::IdentityFiles> {
        const auto material = IdentityStore::standard().resolve(reference);
        if (!material)
            return std::nullopt;
        return NetworkManagerProfile::IdentityFiles{material->certificatePath, material->privateKeyPath};
    };
    options.grantAccess = [](const QByteArray &reference) {
        IdentityStore::standard().grantAccess(reference, daemonApplication());
        if (const auto material = IdentityStore::standard().resolve(reference))
            DaemonReadAccess::grant({material->certificatePath, material->privateKeyPath});
    };
    return std::make_unique<NetworkManagerVpnBackend>(options);
}

NetworkManagerVpnBackend::NetworkManagerVpnBackend(const Options &options, QObject *parent)
    : VpnBackend(parent)
    , m_options(options)
    , m_bus(QDBusConnection::systemBus())
    , m_keepUp(options.retryDelayMs, {[this] { return m_preferences.wantsTunnelKeptUp(); },
                                      [this] { return canActivate(); }, [this] { activate(); }})
{
    NM::registerTypes();
    if (m_options.profileOwner.isEmpty())
        m_options.profileOwner = currentUser();
    m_profile.uuid = m_options.profileUuid;
    m_profile.name = m_options.profileName;
    m_profile.owner = m_options.profileOwner;
    m_profile.caCertificateFile = m_options.caCertificateFile;

    m_probe = m_options.makeProbe ? m_options.makeProbe() : std::make_unique<RouteTunnelProbe>();
    if (m_probe)
        connect(m_probe.get(), &TunnelLivenessProbe::carryingChanged, this,
                &NetworkManagerVpnBackend::onCarrying);

    m_graceTimer.setSingleShot(true);
    connect(&m_graceTimer, &QTimer::timeout, this, [this] {
        // The security association did not come back: stop claiming a tunnel.
        if (m_tunnelLost && !m_active.path.isEmpty()) {
            m_stopRequested = true;
            updateStatus();
            deactivate(m_active.path);
        }
    });

    if (!m_bus.isConnected())
        return;
    // Subscribed before anything is asked, so that no change slips between
    // an answer and the signals that follow it. An empty path matches every
    // object: active connections come and go.
    const auto subscribe = [this](const QString &path, const QString &interface,
                                  const QString &name) {
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

    m_watcher = new QDBusServiceWatcher(NM::service, m_bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                if (newOwner.isEmpty())
                    vanished();
                else
                    present();
            });
}

NetworkManagerVpnBackend::~NetworkManagerVpnBackend() = default;

// --- D-Bus plumbing ---------------------------------------------------------

QDBusMessage NetworkManagerVpnBackend::method(const QString &path, const QString &interface,
                                              const QString &name) const
{
    return QDBusMessage::createMethodCall(NM::service, path, interface, name);
}

void NetworkManagerVpnBackend::call(const QDBusMessage &message, Reply handler)
{
    if (!m_bus.isConnected()) {
        const QDBusMessage error = message.createErrorReply(QDBusError::Disconnected,
                                                            QStringLiteral("no system bus"));
        QTimer::singleShot(0, this, [handler, error] { handler(error); });
        return;
    }
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [watcher, handler = std::move(handler)](QDBusPendingCallWatcher *) {
                watcher->deleteLater();
                handler(watcher->reply());
            });
}

// --- Learning the state -----------------------------------------------------

void NetworkManagerVpnBackend::attach(const VpnPreferences &preferences, std::function<void()> done)
{
    attachReporting(preferences, [done = std::move(done)](const Outcome<> &) {
        if (done)
            done();
    });
}

void NetworkManagerVpnBackend::attachReporting(const VpnPreferences &preferences, Completion done)
{
    m_preferences = preferences;
    updateStatus();
    refresh(!m_listed, std::move(done));
}

// Looks the profile up again and, when `full`, NetworkManager's active
// connections too. Overlapping requests share one round of answers.
void NetworkManagerVpnBackend::refresh(bool full, Completion done)
{
    if (done)
        m_refreshWaiters.push_back(std::move(done));
    if (m_refreshing) {
        if (full && !m_refreshFull)
            m_refreshAgain = true;
        return;
    }
    m_refreshing = true;
    m_refreshFull = full;
    m_refreshAgain = false;
    m_refreshOutcome = Outcome<>::success();
    const quint64 epoch = m_epoch;

    QDBusMessage lookUp = method(NM::settingsPath, NM::settingsInterface,
                                 QStringLiteral("GetConnectionByUuid"));
    lookUp << m_options.profileUuid;
    call(lookUp, [this, epoch, full](const QDBusMessage &reply) {
        if (epoch != m_epoch)
            return; // vanished() answered the waiters
        if (isAbsence(reply)) {
            m_known = true;
            m_present = false;
            finishRefresh(Outcome<>::success());
            return;
        }
        m_known = true;
        m_present = true;
        if (!isError(reply)) {
            m_profilePath = NM::objectPath(reply.arguments().value(0));
        } else if (reply.errorName() == NM::invalidConnectionError) {
            m_profilePath.clear();
        } else {
            // Asked and refused (no permission, a broken daemon): a load error,
            // and what was known stays as it was.
            m_refreshOutcome = Outcome<>::failure(QStringLiteral("NetworkManager did not answer: %1").arg(describe(reply)));
        }
        if (full)
            listActiveConnections(epoch);
        else
            finishRefresh(m_refreshOutcome);
    });
}

void NetworkManagerVpnBackend::listActiveConnections(quint64 epoch)
{
    QDBusMessage getAll = method(NM::path, NM::propertiesInterface, QStringLiteral("GetAll"));
    getAll << NM::interface;
    call(getAll, [this, epoch](const QDBusMessage &reply) {
        if (epoch != m_epoch)
            return;
        if (isError(reply)) {
            if (m_refreshOutcome.isSuccess())
                m_refreshOutcome
                    = Outcome<>::failure(QStringLiteral("NetworkManager did not answer: %1").arg(describe(reply)));
            finishRefresh(m_refreshOutcome);
            return;
        }
        const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        m_primary = NM::objectPath(properties.value(QStringLiteral("PrimaryConnection")));
        m_listed = true;
        onActiveConnections(NM::objectPaths(properties.value(QStringLiteral("ActiveConnections"))));
        if (m_inspections == 0)
            finishRefresh(m_refreshOutcome);
    });
}

void NetworkManagerVpnBackend::finishRefresh(const Outcome<> &outcome)
{
    if (!m_refreshing)
        return;
    m_refreshing = false;
    updateStatus();
    std::vector<Completion> waiters;
    waiters.swap(m_refreshWaiters);
    if (m_refreshAgain) {
        // A full look was asked for while a partial one ran: its waiters
        // get the full answer.
        refresh(true, {});
        m_refreshWaiters = std::move(waiters);
        return;
    }
    for (Completion &done : waiters) {
        if (done)
            QTimer::singleShot(0, this, [done = std::move(done), outcome] { done(outcome); });
    }
    m_keepUp.tryIfWanted();
}

void NetworkManagerVpnBackend::onActiveConnections(const QList<QDBusObjectPath> &paths)
{
    QSet<QString> current;
    for (const QDBusObjectPath &path : paths)
        current.insert(path.path());
    if (!m_active.path.isEmpty() && !current.contains(m_active.path))
        confirmGone(m_active.path); // removed without a final state reaching us?
    for (auto it = m_others.begin(); it != m_others.end();) {
        if (current.contains(it.key()))
            ++it;
        else
            it = m_others.erase(it);
    }
    for (auto it = m_unknown.begin(); it != m_unknown.end();) {
        if (current.contains(it.key()) || m_inspecting.contains(it.key()))
            ++it;
        else
            it = m_unknown.erase(it);
    }
    for (const QString &path : std::as_const(current)) {
        if (path != m_active.path && !m_others.contains(path))
            inspect(path);
    }
}

// Finds out whether an active connection is made from our profile. What is
// read is only a starting point: Qt D-Bus keeps neither answers nor signals in
// the order NetworkManager sent them, so whatever a signal says wins.
void NetworkManagerVpnBackend::inspect(const QString &path)
{
    if (m_inspecting.contains(path))
        return;
    m_inspecting.insert(path);
    ++m_inspections;
    const quint64 epoch = m_epoch;
    QDBusMessage active = method(path, NM::propertiesInterface, QStringLiteral("GetAll"));
    active << NM::activeInterface;
    call(active, [this, epoch, path](const QDBusMessage &reply) {
        if (epoch != m_epoch)
            return;
        if (isError(reply)) {
            m_unknown.remove(path); // gone already
            finishInspection(path);
            return;
        }
        const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        Seen read;
        read.state = fromVariant<NM::ActiveState>(properties.value(QStringLiteral("State")));
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
        QDBusMessage vpn = method(path, NM::propertiesInterface, QStringLiteral("GetAll"));
        vpn << NM::vpnInterface;
        call(vpn, [this, epoch, path, read](const QDBusMessage &reply) mutable {
            if (epoch != m_epoch)
                return;
            if (!isError(reply)) {
                const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
                read.vpnState = fromVariant<NM::VpnState>(properties.value(QStringLiteral("VpnState")));
            }
            adopt(path, read, m_unknown.take(path));
            finishInspection(path);
        });
    });
}

void NetworkManagerVpnBackend::finishInspection(const QString &path)
{
    m_inspecting.remove(path);
    --m_inspections;
    if (m_inspections == 0 && m_refreshing && m_listed)
        finishRefresh(m_refreshOutcome);
}

// Takes an active connection made from our profile as the tunnel. Signalled
// states apply; states read only fill in what no signal has told yet.
void NetworkManagerVpnBackend::adopt(const QString &path, const Seen &read, const Seen &signalled)
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
    if (m_activating && over && path != m_active.path) {
        m_others.remove(path);
        return;
    }
    // A stop pressed while the activation was under way is owed to whatever
    // the activation turns out to be, however we learn of it first: its
    // answer, or its signals and an inspection before the answer.
    const bool stopOwed = m_activating && m_stopRequested;
    if (m_active.path != path) {
        if (!m_active.path.isEmpty())
            activeGone();
        m_active = Active{path};
    }
    m_activating = false;
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
        m_stopRequested = true;
        updateStatus();
        deactivate(m_active.path);
    }
}

// An active connection missing from NetworkManager's list may be a list
// that was sent before it appeared: only its own absence counts.
void NetworkManagerVpnBackend::confirmGone(const QString &path)
{
    const quint64 epoch = m_epoch;
    QDBusMessage get = method(path, NM::propertiesInterface, QStringLiteral("Get"));
    get << NM::activeInterface << QStringLiteral("State");
    call(get, [this, epoch, path](const QDBusMessage &reply) {
        if (epoch == m_epoch && path == m_active.path && isError(reply) && !isAbsence(reply))
            activeGone();
    });
}

void NetworkManagerVpnBackend::onSignal(const QDBusMessage &message)
{
    const QString path = message.path();
    const QString member = message.member();
    const QList<QVariant> arguments = message.arguments();
    if (message.interface() == NM::vpnInterface && member == QLatin1String("VpnStateChanged")) {
        const auto state = fromVariant<NM::VpnState>(arguments.value(0));
        if (path == m_active.path) {
            onVpnState(state);
        } else if (!m_others.contains(path)) {
            m_unknown[path].vpnState = state;
            if (m_listed)
                inspect(path);
        }
    } else if (message.interface() == NM::activeInterface && member == QLatin1String("StateChanged")) {
        const auto state = fromVariant<NM::ActiveState>(arguments.value(0));
        if (path == m_active.path) {
            onActiveState(state);
        } else if (m_others.contains(path)) {
            m_others[path].state = state;
            if (state == NM::ActiveState::Activated)
                m_keepUp.tryIfWanted(); // a network to build on has appeared
        } else {
            m_unknown[path].state = state;
            if (m_listed)
                inspect(path);
        }
    } else if (message.interface() == NM::propertiesInterface && path != NM::path) {
        if (path != m_active.path || arguments.value(0).toString() != NM::activeInterface)
            return;
        const QVariantMap changed = qdbus_cast<QVariantMap>(arguments.value(1));
        if (changed.contains(QStringLiteral("Ip4Config")) && m_active.vpnState == NM::VpnState::Activated)
            startProbe();
    } else if (message.interface() == NM::propertiesInterface) {
        if (arguments.value(0).toString() != NM::interface || !m_listed)
            return;
        const QVariantMap changed = qdbus_cast<QVariantMap>(arguments.value(1));
        if (changed.contains(QStringLiteral("PrimaryConnection"))) {
            m_primary = NM::objectPath(changed.value(QStringLiteral("PrimaryConnection")));
            m_keepUp.tryIfWanted();
        }
        if (changed.contains(QStringLiteral("ActiveConnections")))
            onActiveConnections(NM::objectPaths(changed.value(QStringLiteral("ActiveConnections"))));
    } else if (member == QLatin1String("ConnectionRemoved")) {
        if (NM::objectPath(arguments.value(0)) == m_profilePath) {
            m_profilePath.clear();
            updateStatus();
        }
    } else if (member == QLatin1String("NewConnection")) {
        if (m_profilePath.isEmpty() && m_known)
            refresh(false, {}); // someone may have added ours
    }
}

void NetworkManagerVpnBackend::onVpnState(NM::VpnState state)
{
    const NM::VpnState previous = m_active.vpnState;
    m_active.vpnState = state;
    switch (state) {
    case NM::VpnState::Activated:
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

void NetworkManagerVpnBackend::onActiveState(NM::ActiveState state)
{
    m_active.state = state;
    if (state == NM::ActiveState::Deactivated) {
        activeGone();
        return;
    }
    updateStatus();
}

void NetworkManagerVpnBackend::activeGone()
{
    if (m_active.path.isEmpty())
        return;
    m_ended.append(m_active.path);
    if (m_ended.size() > 64)
        m_ended.removeFirst();
    m_active = Active{};
    m_stopRequested = m_activating && m_stopRequested;
    m_tunnelLost = false;
    m_tunnelSeen = false;
    m_watchedAddress.clear();
    m_graceTimer.stop();
    if (m_probe)
        m_probe->stop();
    updateStatus();
    if (!m_activating)
        m_keepUp.retryLater();
}

void NetworkManagerVpnBackend::vanished()
{
    ++m_epoch;
    m_present = false;
    m_known = true;
    m_listed = false;
    m_profilePath.clear();
    m_primary.clear();
    m_active = Active{};
    m_others.clear();
    m_unknown.clear();
    m_ended.clear(); // a restarted NetworkManager numbers its paths afresh
    m_inspecting.clear();
    m_inspections = 0;
    m_activating = false;
    m_stopRequested = false;
    m_tunnelLost = false;
    m_tunnelSeen = false;
    m_watchedAddress.clear();
    m_keepUp.cancelRetry();
    m_graceTimer.stop();
    if (m_probe)
        m_probe->stop();
    updateStatus();
    if (m_refreshing) {
        m_refreshAgain = false;
        finishRefresh(Outcome<>::success()); // nobody is there to fail: the status says it
    }
}

void NetworkManagerVpnBackend::present()
{
    // A new NetworkManager knows nothing of what the old one ran.
    vanished();
    refresh(true, {});
}

// --- Saving -----------------------------------------------------------------

void NetworkManagerVpnBackend::apply(const VpnPreferences &preferences, Completion done)
{
    m_saves.push_back({preferences, std::move(done)});
    if (!m_saving)
        saveNext();
}

// Saves one at a time: two creations of the profile at once would race.
void NetworkManagerVpnBackend::saveNext()
{
    if (m_saves.empty()) {
        m_saving = false;
        return;
    }
    m_saving = true;
    PendingSave save = std::move(m_saves.front());
    m_saves.pop_front();
    m_preferences = save.preferences;
    m_keepUp.resume();
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
        fail(save, pluginMissing());
        return;
    }
    const VpnProtocolIKEv2 &protocol = *m_preferences.protocolConfiguration;
    std::optional<NetworkManagerProfile::IdentityFiles> identity;
    if (protocol.authenticationMethod == VpnProtocolIKEv2::AuthenticationMethod::Certificate
        && !protocol.identityReference.isEmpty() && m_options.resolveIdentity)
        identity = m_options.resolveIdentity(protocol.identityReference);
    const NM::Settings settings = m_profile.settings(protocol, identity);
    const bool handedKey = identity.has_value();
    const quint64 epoch = m_epoch;

    QDBusMessage lookUp = method(NM::settingsPath, NM::settingsInterface,
                                 QStringLiteral("GetConnectionByUuid"));
    lookUp << m_options.profileUuid;
    call(lookUp, [this, epoch, save, settings, handedKey, fail](const QDBusMessage &found) {
        if (isAbsence(found)) {
            if (epoch == m_epoch) {
                m_known = true;
                m_present = false;
            }
            fail(save, notRunning());
            return;
        }
        const bool exists = !isError(found);
        if (!exists && found.errorName() != NM::invalidConnectionError) {
            fail(save, QStringLiteral("NetworkManager did not answer: %1").arg(describe(found)));
            return;
        }
        if (exists) {
            // Update2 replaces every setting: the profile is exactly what we write.
            const QString path = NM::objectPath(found.arguments().value(0));
            QDBusMessage update = method(path, NM::connectionInterface, QStringLiteral("Update2"));
            update << QVariant::fromValue(settings) << NM::saveToDisk << QVariantMap();
            call(update, [this, epoch, save, path, handedKey, fail](const QDBusMessage &reply) {
                noteRefusal(isRefusal(reply));
                if (isRefusal(reply)) {
                    fail(save, refusedText());
                    return;
                }
                if (isError(reply)) {
                    fail(save, QStringLiteral("NetworkManager refused the VPN configuration: %1")
                                   .arg(describe(reply)));
                    return;
                }
                saved(epoch, path, save, handedKey);
            });
            return;
        }
        QDBusMessage add = method(NM::settingsPath, NM::settingsInterface,
                                  QStringLiteral("AddConnection2"));
        add << QVariant::fromValue(settings) << NM::saveToDisk << QVariantMap();
        call(add, [this, epoch, save, handedKey, fail](const QDBusMessage &reply) {
            noteRefusal(isRefusal(reply));
            if (isRefusal(reply)) {
                fail(save, refusedText());
                return;
            }
            if (isError(reply)) {
                fail(save, QStringLiteral("NetworkManager refused the VPN configuration: %1")
                               .arg(describe(reply)));
                return;
            }
            saved(epoch, NM::objectPath(reply.arguments().value(0)), save, handedKey);
        });
    });
}

void NetworkManagerVpnBackend::saved(quint64 epoch, const QString &path, const PendingSave &save,
                                     bool handedKey)
{
    if (handedKey && m_options.grantAccess)
        m_options.grantAccess(save.preferences.protocolConfiguration->identityReference);
    if (epoch == m_epoch) {
        m_known = true;
        m_present = true;
        m_profilePath = path;
    }
    updateStatus();
    if (!m_listed)
        refresh(true, {}); // learns what runs; keeps the tunnel up after
    if (!m_preferences.canConnect()) {
        // Nothing that cannot connect may stay up.
        m_keepUp.cancelRetry();
        if (!m_active.path.isEmpty() || m_activating) {
            m_stopRequested = true;
            updateStatus();
            if (!m_active.path.isEmpty())
                deactivate(m_active.path);
        }
    } else {
        m_keepUp.tryIfWanted();
    }
    if (save.done)
        save.done(Outcome<>::success());
    saveNext();
}

// --- Switching --------------------------------------------------------------

Outcome<> NetworkManagerVpnBackend::startTunnel()
{
    const auto fail = [](const QString &reason) { return Outcome<>::failure(reason); };
    if (!m_preferences.canConnect())
        return fail(QStringLiteral("The VPN configuration cannot connect."));
    if (!m_present) {
        if (!m_refreshing)
            refresh(true, {});
        return fail(m_known ? notRunning() : QStringLiteral("NetworkManager has not answered yet."));
    }
    if (m_profilePath.isEmpty())
        return fail(QStringLiteral("The VPN configuration is not saved in NetworkManager."));
    m_keepUp.resume();
    const bool underWay = (m_activating || !m_active.path.isEmpty()) && !m_stopRequested
                          && m_active.state != NM::ActiveState::Deactivating;
    if (!underWay)
        activate();
    return Outcome<>::success();
}

void NetworkManagerVpnBackend::stopTunnel()
{
    m_keepUp.suspend();
    m_graceTimer.stop();
    if (m_active.path.isEmpty() && !m_activating)
        return;
    m_stopRequested = true;
    updateStatus();
    if (!m_active.path.isEmpty())
        deactivate(m_active.path);
    // else: deactivated as soon as the activation answers
}

void NetworkManagerVpnBackend::activate()
{
    m_keepUp.cancelRetry();
    m_activating = true;
    m_stopRequested = false;
    updateStatus();
    const quint64 epoch = m_epoch;
    QDBusMessage activation = method(NM::path, NM::interface, QStringLiteral("ActivateConnection"));
    activation << QVariant::fromValue(QDBusObjectPath(m_profilePath))
               << QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")))
               << QVariant::fromValue(QDBusObjectPath(baseConnection()));
    call(activation, [this, epoch](const QDBusMessage &reply) {
        if (epoch != m_epoch || !m_activating)
            return;
        noteRefusal(isRefusal(reply));
        if (isError(reply)) {
            m_activating = false;
            m_stopRequested = false;
            updateStatus();
            // Asking again gets the same answer: the user has to be let.
            if (!m_refused)
                m_keepUp.retryLater();
            return;
        }
        const QString path = NM::objectPath(reply.arguments().value(0));
        // The signals that came before the answer; a stop pressed meanwhile
        // is carried out there.
        adopt(path, {}, m_unknown.take(path));
    });
}

void NetworkManagerVpnBackend::deactivate(const QString &path)
{
    const quint64 epoch = m_epoch;
    QDBusMessage deactivation = method(NM::path, NM::interface, QStringLiteral("DeactivateConnection"));
    deactivation << QVariant::fromValue(QDBusObjectPath(path));
    call(deactivation, [this, epoch, path](const QDBusMessage &reply) {
        if (epoch != m_epoch || path != m_active.path || !isError(reply))
            return; // done: the state signals follow
        if (reply.errorName() == NM::connectionNotActiveError) {
            activeGone();
            return;
        }
        m_stopRequested = false;
        updateStatus();
    });
}

// The active connection the VPN is to run over. NetworkManager picks its
// primary connection itself; without one (a default route it does not manage)
// an activated connection of a device is named, or activation fails with
// "Could not find source connection".
QString NetworkManagerVpnBackend::baseConnection() const
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
bool NetworkManagerVpnBackend::canActivate() const
{
    return m_present && m_listed && !m_profilePath.isEmpty() && !m_activating && m_active.path.isEmpty();
}

// --- A tunnel the gateway closed -------------------------------------------

void NetworkManagerVpnBackend::startProbe()
{
    if (!m_probe)
        return;
    const QString path = m_active.path;
    const quint64 epoch = m_epoch;
    QDBusMessage get = method(path, NM::propertiesInterface, QStringLiteral("Get"));
    get << NM::activeInterface << QStringLiteral("Ip4Config");
    call(get, [this, epoch, path](const QDBusMessage &reply) {
        if (epoch != m_epoch || path != m_active.path || isError(reply))
            return;
        const QString config = NM::objectPath(reply.arguments().value(0).value<QDBusVariant>().variant());
        if (config.isEmpty() || config == QLatin1String("/"))
            return;
        QDBusMessage addresses = method(config, NM::propertiesInterface, QStringLiteral("Get"));
        addresses << NM::ip4ConfigInterface << QStringLiteral("AddressData");
        call(addresses, [this, epoch, path](const QDBusMessage &reply) {
            if (epoch != m_epoch || path != m_active.path || isError(reply))
                return;
            const QList<QVariantMap> data = NM::mapList(
                reply.arguments().value(0).value<QDBusVariant>().variant());
            if (data.isEmpty())
                return; // no inner address to find the tunnel's routes by
            const QHostAddress address(data.constFirst().value(QStringLiteral("address")).toString());
            if (address.isNull() || address == m_watchedAddress)
                return; // already watched: its findings stand
            m_watchedAddress = address;
            m_tunnelSeen = false;
            m_probe->watch(address);
        });
    });
}

void NetworkManagerVpnBackend::onCarrying(bool carrying)
{
    if (m_active.path.isEmpty())
        return;
    m_tunnelSeen = true;
    if (carrying) {
        m_tunnelLost = false;
        m_graceTimer.stop();
    } else if (!m_tunnelLost) {
        // charon-nm may get it back by itself: give it the time to.
        m_tunnelLost = true;
        m_graceTimer.start(m_options.reassertGraceMs);
    }
    updateStatus();
}

// --- Status -----------------------------------------------------------------

void NetworkManagerVpnBackend::noteRefusal(bool refused)
{
    if (refused == m_refused)
        return;
    m_refused = refused;
    Q_EMIT reasonChanged();
}

QString NetworkManagerVpnBackend::unavailableReason() const
{
    if (m_refused)
        return refusedText();
    if (!isPluginInstalled(m_options.pluginDirectories))
        return pluginMissing();
    if (m_known && !m_present)
        return notRunning();
    if (m_present && m_profilePath.isEmpty())
        return QCoreApplication::translate("Orvex::VpnBackend", "The VPN configuration is not saved in NetworkManager.");
    return {};
}

VpnStatus NetworkManagerVpnBackend::computeStatus() const
{
    if (!m_present || m_profilePath.isEmpty() || !m_preferences.enabled
        || !m_preferences.protocolConfiguration)
        return VpnStatus::Invalid;
    if (m_active.path.isEmpty()) {
        if (!m_activating)
            return VpnStatus::Disconnected;
        return m_stopRequested ? VpnStatus::Disconnecting : VpnStatus::Connecting;
    }
    if (m_stopRequested || m_active.state == NM::ActiveState::Deactivating)
        return VpnStatus::Disconnecting;
    switch (m_active.vpnState) {
    case NM::VpnState::Prepare:
    case NM::VpnState::NeedAuth:
    case NM::VpnState::Connect:
    case NM::VpnState::IpConfigGet:
        return m_active.wasActivated ? VpnStatus::Reasserting : VpnStatus::Connecting;
    case NM::VpnState::Activated:
        return m_tunnelLost ? VpnStatus::Reasserting : VpnStatus::Connected;
    case NM::VpnState::Failed:
    case NM::VpnState::Disconnected:
        return VpnStatus::Disconnected;
    case NM::VpnState::Unknown:
        break;
    }
    switch (m_active.state) {
    case NM::ActiveState::Activated:
        return VpnStatus::Connected;
    case NM::ActiveState::Deactivating:
        return VpnStatus::Disconnecting;
    case NM::ActiveState::Deactivated:
        return VpnStatus::Disconnected;
    case NM::ActiveState::Unknown:
    case NM::ActiveState::Activating:
        break;
    }
    return VpnStatus::Connecting;
}

void NetworkManagerVpnBackend::updateStatus()
{
    const VpnStatus status = computeStatus();
    if (status == m_status)
        return;
    m_status = status;
    Q_EMIT statusChanged(status);
}

} // namespace Orvex
