#include "ControlClient.h"

#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

namespace {

const QString service = QStringLiteral("org.orvex.Client1");
const QString path = QStringLiteral("/org/orvex/Client");
const QString interface = QStringLiteral("org.orvex.Client1");

const char *const textNames[] = {"State", "Status", "Reason", "LastChange", "Gateway", "Email"};
constexpr int maxAddresses = 16;

} // namespace

ControlClient::ControlClient(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{}

QString ControlClient::printable(const QString &text, int limit)
{
    QString out = text.left(limit);
    for (QChar &c : out) {
        // C0 and C1 controls, DEL: nothing the client sends may steer the
        // terminal (a reason may quote the service or a path).
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            c = u'?';
    }
    return out;
}

std::optional<QVariantMap> ControlClient::properties(QString *error)
{
    QDBusMessage question = QDBusMessage::createMethodCall(service, path,
                                                           QStringLiteral("org.freedesktop.DBus.Properties"),
                                                           QStringLiteral("GetAll"));
    question << interface;
    const QDBusMessage reply = m_bus.call(question, QDBus::Block, callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        *error = reply.errorMessage().isEmpty() ? QStringLiteral("no answer") : reply.errorMessage();
        return std::nullopt;
    }
    return checked(qdbus_cast<QVariantMap>(reply.arguments().constFirst()), error);
}

std::optional<QVariantMap> ControlClient::checked(const QVariantMap &given, QString *error)
{
    QVariantMap checked;
    for (const char *name : textNames) {
        const QVariant value = given.value(QLatin1String(name));
        if (value.metaType() != QMetaType::fromType<QString>()) {
            *error = QStringLiteral("the client's answer lacks %1").arg(QLatin1String(name));
            return std::nullopt;
        }
        checked.insert(QLatin1String(name), value.toString().left(2000));
    }
    QStringList addresses;
    for (const QString &address :
         given.value(QStringLiteral("VirtualAddresses")).toStringList().mid(0, maxAddresses))
        addresses << address.left(64);
    checked.insert(QStringLiteral("VirtualAddresses"), addresses);
    return checked;
}

QDBusMessage ControlClient::call(const QString &method)
{
    return m_bus.call(QDBusMessage::createMethodCall(service, path, interface, method), QDBus::Block,
                      callTimeoutMs);
}

bool ControlClient::follow()
{
    auto *watcher = new QDBusServiceWatcher(service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this] { Q_EMIT presence(true); });
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { Q_EMIT presence(false); });
    return m_bus.connect(service, path, interface, QStringLiteral("Changed"), this,
                         SLOT(onChanged(QVariantMap)));
}

void ControlClient::onChanged(const QVariantMap &properties)
{
    // The signal carries every property: each transition is seen, also
    // those that follow one another at once. Checked as a read is.
    QString error;
    if (const std::optional<QVariantMap> now = checked(properties, &error))
        Q_EMIT changed(*now);
}

QString ControlClient::line(const QVariantMap &p)
{
    const QString state = p.value(QStringLiteral("State")).toString();
    const QString gateway = printable(p.value(QStringLiteral("Gateway")).toString(), 255);
    const QString reason = printable(p.value(QStringLiteral("Reason")).toString());
    const QStringList addresses = p.value(QStringLiteral("VirtualAddresses")).toStringList();
    QString text;
    if (state == QLatin1String("Connected")) {
        text = QStringLiteral("Connected to %1").arg(gateway);
        if (!addresses.isEmpty())
            text += QStringLiteral(", address %1").arg(printable(addresses.join(QStringLiteral(", "))));
    } else if (state == QLatin1String("Connecting") || state == QLatin1String("Reconnecting")) {
        text = QStringLiteral("%1 to %2").arg(state, gateway);
    } else if (state == QLatin1String("Blocked")) {
        text = QStringLiteral("Blocked, nothing leaves outside the VPN: %1").arg(reason);
    } else {
        text = printable(state, 32);
        if (!reason.isEmpty())
            text += QStringLiteral(": ") + reason;
    }
    if (p.value(QStringLiteral("Email")).toString().isEmpty())
        text += QStringLiteral(" (signed out)");
    return text;
}

QByteArray ControlClient::json(const QVariantMap &properties)
{
    return QJsonDocument(QJsonObject::fromVariantMap(properties)).toJson(QJsonDocument::Compact);
}

QVariantMap ControlClient::notRunning()
{
    return QVariantMap{{QStringLiteral("State"), QStringLiteral("Off")},
                       {QStringLiteral("Status"), QStringLiteral("Invalid")},
                       {QStringLiteral("Reason"), QStringLiteral("Orvex is not running.")},
                       {QStringLiteral("LastChange"), QString()},
                       {QStringLiteral("Gateway"), QString()},
                       {QStringLiteral("VirtualAddresses"), QStringList()},
                       {QStringLiteral("Email"), QString()}};
}
