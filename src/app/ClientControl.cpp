#include "ClientControl.h"

#include "app/ClientControlAdaptor.h"
#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "api/Utility.h"
#include "config/Config.h"
#include "platform/UserDefaults.h"
#include "platform/VPNManager.h"
#include "home/MainHandler.h"
#include "vpn/VPNService.h"

#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>
#include <QPointer>
#include <QSysInfo>

namespace Orvex {

namespace {

namespace Keys = DefaultsKeys;

QString statusName(VPNStatus status)
{
    switch (status) {
    case VPNStatus::Invalid:
        return QStringLiteral("Invalid");
    case VPNStatus::Disconnected:
        return QStringLiteral("Disconnected");
    case VPNStatus::Connecting:
        return QStringLiteral("Connecting");
    case VPNStatus::Connected:
        return QStringLiteral("Connected");
    case VPNStatus::Reasserting:
        return QStringLiteral("Reasserting");
    case VPNStatus::Disconnecting:
        return QStringLiteral("Disconnecting");
    }
    return QStringLiteral("Invalid");
}

QString stamp(const QDateTime &at)
{
    return at.toUTC().toString(Qt::ISODate);
}

QJsonArray entries(const auto &list, const char *textName)
{
    QJsonArray array;
    for (const auto &entry : list) {
        QJsonObject item{{QStringLiteral("at"), stamp(entry.at)}, {QLatin1String(textName), entry.text}};
        if (!entry.state.isEmpty()) {
            item.insert(QStringLiteral("state"), entry.state);
            item.insert(QStringLiteral("status"), entry.status);
        }
        array.append(item);
    }
    return array;
}

} // namespace

ClientControl::ClientControl(VPNService &service, NetworkService &network, const Config &config,
                             QObject *parent)
    : QObject(parent)
    , m_service(service)
    , m_network(network)
    , m_config(config)
    , m_bus(QString())
{
    new ClientControlAdaptor(this);
    QObject::connect(&service, &VPNService::statusDidChange, this, &ClientControl::refresh);
    QObject::connect(&service, &VPNService::tunnelStateChanged, this, &ClientControl::refresh);
    QObject::connect(&service.tunnel(), &TunnelController::changed, this, &ClientControl::refresh);
    QObject::connect(&service.session(), &Session::identityChanged, this, &ClientControl::refresh);
    QObject::connect(&service, &VPNService::certificateRenewalFailed, this, [this](const QString &reason) {
        m_errors.push_back(Entry{QDateTime::currentDateTimeUtc(), {}, {}, reason});
        prune(m_errors, errorsLimit);
    });
    if (VPNBackend *backend = service.manager()->backend())
        QObject::connect(backend, &VPNBackend::reasonChanged, this, &ClientControl::refresh);
    m_properties = read();
    m_properties.insert(QStringLiteral("LastChange"), stamp(QDateTime::currentDateTimeUtc()));
    m_history.push_back(Entry{QDateTime::currentDateTimeUtc(),
                              m_properties.value(QStringLiteral("State")).toString(),
                              m_properties.value(QStringLiteral("Status")).toString(), reason()});
}

ClientControl::~ClientControl()
{
    if (!m_published)
        return;
    m_bus.unregisterObject(objectPath);
    // The name goes with the connection anyway; a client that stays on the
    // bus (a test) gives it back now.
    QDBusMessage release = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                          QStringLiteral("/org/freedesktop/DBus"),
                                                          QStringLiteral("org.freedesktop.DBus"),
                                                          QStringLiteral("ReleaseName"));
    release << QString(serviceName);
    m_bus.send(release);
}

Outcome<> ClientControl::publish(const QDBusConnection &bus)
{
    if (!bus.isConnected())
        return Outcome<>::failure(QStringLiteral("no session bus"));
    m_bus = bus;
    if (!m_bus.registerObject(objectPath, this, QDBusConnection::ExportAdaptors))
        return Outcome<>::failure(m_bus.lastError().message());
    m_published = true;
    // DBUS_NAME_FLAG_DO_NOT_QUEUE: the session has one client; should the
    // name be taken, queueing behind its owner would answer nothing.
    QDBusMessage request = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                          QStringLiteral("/org/freedesktop/DBus"),
                                                          QStringLiteral("org.freedesktop.DBus"),
                                                          QStringLiteral("RequestName"));
    request << QString(serviceName) << 4u;
    m_bus.send(request);
    return Outcome<>::success();
}

Outcome<> ClientControl::turnOn()
{
    if (!m_service.session().isSignedIn())
        //: control_signed_out
        return Outcome<>::failure(tr("Nobody is signed in to Orvex. Sign in in the Orvex window first."));
    m_failure.clear();
    handler().turnOn();
    refresh();
    return Outcome<>::success();
}

void ClientControl::turnOff()
{
    m_failure.clear();
    handler().turnOff();
    refresh();
}

MainHandler &ClientControl::handler()
{
    // Made at the first switch: its credential re-check is the button's too.
    if (!m_handler) {
        m_handler = new MainHandler(m_service, m_network, this);
        QPointer<ClientControl> self(this);
        m_handler->resultHandler = [self](const std::optional<Error> &error) {
            if (self && error)
                self->failed(error->localizedDescription());
        };
    }
    return *m_handler;
}

void ClientControl::failed(const QString &reason)
{
    m_failure = reason;
    m_errors.push_back(Entry{QDateTime::currentDateTimeUtc(), {}, {}, reason});
    prune(m_errors, errorsLimit);
    refresh();
}

QString ClientControl::reason() const
{
    if (m_service.isBlocked())
        return m_service.blockedReason();
    if (!m_failure.isEmpty())
        return m_failure;
    if (m_service.status() == VPNStatus::Invalid)
        if (VPNBackend *backend = m_service.manager()->backend())
            return backend->unavailableReason();
    return {};
}

QVariantMap ClientControl::read() const
{
    const Session &session = m_service.session();
    QStringList addresses;
    if (VPNBackend *backend = m_service.manager()->backend()) {
        for (const QHostAddress &address : backend->virtualAddresses())
            addresses << address.toString();
    }
    const char *state = QMetaEnum::fromType<TunnelController::State>().valueToKey(
        int(m_service.tunnel().state()));
    return QVariantMap{
        {QStringLiteral("State"), QString::fromLatin1(state)},
        {QStringLiteral("Status"), statusName(m_service.tunnel().status())},
        {QStringLiteral("Reason"), reason()},
        {QStringLiteral("LastChange"), m_properties.value(QStringLiteral("LastChange"))},
        {QStringLiteral("Gateway"), m_service.config().hostname},
        {QStringLiteral("VirtualAddresses"), addresses},
        {QStringLiteral("Email"), session.isSignedIn() ? session.email().value_or(QString()) : QString()},
    };
}

void ClientControl::refresh()
{
    if (!m_failure.isEmpty() && m_service.tunnel().state() == TunnelController::State::Connected)
        m_failure.clear();
    QVariantMap now = read();
    QVariantMap changedProperties;
    for (auto it = now.cbegin(); it != now.cend(); ++it) {
        if (m_properties.value(it.key()) != it.value())
            changedProperties.insert(it.key(), it.value());
    }
    if (changedProperties.isEmpty())
        return;
    const QDateTime at = QDateTime::currentDateTimeUtc();
    now.insert(QStringLiteral("LastChange"), stamp(at));
    changedProperties.insert(QStringLiteral("LastChange"), stamp(at));
    m_properties = now;
    const QString state = now.value(QStringLiteral("State")).toString();
    const QString status = now.value(QStringLiteral("Status")).toString();
    const QString why = now.value(QStringLiteral("Reason")).toString();
    if (changedProperties.contains(QStringLiteral("State"))
        || changedProperties.contains(QStringLiteral("Status"))
        || changedProperties.contains(QStringLiteral("Reason")))
        m_history.push_back(Entry{at, state, status, why});
    if (state == QLatin1String("Blocked") && changedProperties.contains(QStringLiteral("State")))
        m_errors.push_back(Entry{at, {}, {}, why});
    prune(m_history, historyLimit);
    prune(m_errors, errorsLimit);
    announce(changedProperties);
}

void ClientControl::prune(std::deque<Entry> &entries, std::size_t limit) const
{
    const QDateTime oldest = QDateTime::currentDateTimeUtc().addSecs(-historySeconds);
    while (!entries.empty() && (entries.size() > limit || entries.front().at < oldest))
        entries.pop_front();
}

void ClientControl::announce(const QVariantMap &changedProperties)
{
    Q_EMIT changed(m_properties);
    if (!m_published)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(objectPath,
                                                     QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString(interfaceName) << changedProperties << QStringList();
    m_bus.send(signal);
}

QString ClientControl::redactedEmail(const QString &email)
{
    const qsizetype at = email.lastIndexOf(u'@');
    if (email.isEmpty())
        return {};
    return at < 0 ? QStringLiteral("…") : QStringLiteral("…") + email.mid(at);
}

void ClientControl::diagnostics(std::function<void(const QString &report)> done)
{
    prune(m_history, historyLimit);
    prune(m_errors, errorsLimit);
    const Config &config = m_config;
    const UserDefaults &defaults = m_service.session().defaults();
    QJsonObject tunnel = QJsonObject::fromVariantMap(m_properties);
    tunnel.insert(QStringLiteral("Email"),
                  redactedEmail(m_properties.value(QStringLiteral("Email")).toString()));
    QJsonObject report{
        {QStringLiteral("client"), QJsonObject{{QStringLiteral("version"), Utility::applicationVersion()},
                                               {QStringLiteral("qt"), QString::fromLatin1(qVersion())}}},
        {QStringLiteral("system"),
         QJsonObject{{QStringLiteral("distribution"), QSysInfo::prettyProductName()},
                     {QStringLiteral("kernel"), QSysInfo::kernelVersion()},
                     {QStringLiteral("architecture"), QSysInfo::currentCpuArchitecture()}}},
        {QStringLiteral("tunnel"), tunnel},
        {QStringLiteral("history"), entries(m_history, "reason")},
        {QStringLiteral("errors"), entries(m_errors, "error")},
        // What decides the client's behaviour; the check values, the help
        // desk's credential and the archive passphrase are left out.
        {QStringLiteral("settings"),
         QJsonObject{
             {QStringLiteral("apiBaseURL"), config.apiBaseURL},
             {QStringLiteral("vpnGatewayHost"), config.vpnGatewayHost},
             {QStringLiteral("vpnDomain"), config.vpnDomain},
             {QStringLiteral("vpnBackend"), config.vpnBackend},
             {QStringLiteral("viciSocket"), config.viciSocket},
             {QStringLiteral("viciNetworkNamespace"), config.viciNetworkNamespace},
             {QStringLiteral("isAutoConnectEnabled"), defaults.boolean(Keys::isAutoConnectEnabled)},
             {QStringLiteral("isAutoStartEnabled"), defaults.boolean(Keys::isAutoStartEnabled)},
             {QStringLiteral("isNotificationsEnabled"), !defaults.contains(Keys::isNotificationsEnabled)
                                                            || defaults.boolean(Keys::isNotificationsEnabled)},
             {QStringLiteral("isBlockWhenDisconnectedEnabled"),
              defaults.boolean(Keys::isBlockWhenDisconnectedEnabled)},
         }},
    };
    VPNBackend *backend = m_service.manager()->backend();
    auto finish = [report, done = std::move(done)](const QString &daemon) mutable {
        report.insert(QStringLiteral("backend"), QJsonObject{{QStringLiteral("daemon"), daemon}});
        done(QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Indented)));
    };
    if (backend)
        backend->describeDaemon(this, std::move(finish));
    else
        finish(QString());
}

} // namespace Orvex
