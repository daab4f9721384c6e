#include "NetworkManagerDBus.h"

#include "platform/Logging.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QTimer>

namespace Orvex::NetworkManager {

void registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<StringMap>();
        qDBusRegisterMetaType<Settings>();
        qDBusRegisterMetaType<QList<QVariantMap>>();
        return true;
    }();
    Q_UNUSED(registered)
}

namespace {

template<typename T>
T demarshalled(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<T>())
        return value.value<T>();
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return qdbus_cast<T>(value.value<QDBusArgument>());
    return {};
}

// A read of an object NetworkManager has just taken off the bus: the bus
// answers for the object's path, which no longer has the interface asked.
bool objectGone(const QDBusMessage &reply)
{
    const QString error = reply.errorName();
    return error == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod")
           || error == QLatin1String("org.freedesktop.DBus.Error.UnknownObject")
           || error == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface");
}

} // namespace

QList<QDBusObjectPath> objectPaths(const QVariant &value)
{
    registerTypes();
    return demarshalled<QList<QDBusObjectPath>>(value);
}

QString objectPath(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return {};
}

QList<QVariantMap> mapList(const QVariant &value)
{
    registerTypes();
    return demarshalled<QList<QVariantMap>>(value);
}

Settings settings(const QVariant &value)
{
    registerTypes();
    return demarshalled<Settings>(value);
}

StringMap stringMap(const QVariant &value)
{
    registerTypes();
    return demarshalled<StringMap>(value);
}

QDBusMessage method(const QString &path, const QString &interface, const QString &name)
{
    return QDBusMessage::createMethodCall(service, path, interface, name);
}

void call(const QDBusConnection &bus, const QDBusMessage &message, QObject *context,
          std::function<void(const QDBusMessage &reply)> handler)
{
    if (!bus.isConnected()) {
        const QDBusMessage error = message.createErrorReply(QDBusError::Disconnected,
                                                            QStringLiteral("no system bus"));
        QTimer::singleShot(0, context, [handler, error] { handler(error); });
        return;
    }
    // The method's name and the answer's error name only: the arguments and
    // settings carry the account's identity and the paths of its key.
    const QString name = message.interface().section(u'.', -1) + u'.' + message.member();
    const bool reads = message.interface() == QLatin1String("org.freedesktop.DBus.Properties");
    qCDebug(lcNetworkManager, "%s", qUtf8Printable(name));
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [watcher, name, reads, handler = std::move(handler)](QDBusPendingCallWatcher *) {
                         watcher->deleteLater();
                         const QDBusMessage reply = watcher->reply();
                         if (isError(reply) && reads && objectGone(reply))
                             // NetworkManager took the object away between
                             // the path's news and this read: the news that
                             // it went is on its way.
                             qCDebug(lcNetworkManager, "%s: object gone", qUtf8Printable(name));
                         else if (isError(reply))
                             qCWarning(lcNetworkManager, "%s failed: %s", qUtf8Printable(name),
                                       qUtf8Printable(reply.errorName()));
                         else
                             qCDebug(lcNetworkManager, "%s: done", qUtf8Printable(name));
                         handler(reply);
                     });
}

bool isError(const QDBusMessage &reply)
{
    return reply.type() != QDBusMessage::ReplyMessage;
}

bool isAbsence(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ErrorMessage)
        return false;
    const QDBusError::ErrorType type = QDBusError(reply).type();
    return type == QDBusError::ServiceUnknown || type == QDBusError::Disconnected
           || type == QDBusError::NoServer
           || reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
}

bool isRefusal(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ErrorMessage
           && (reply.errorName().endsWith(QLatin1String(".PermissionDenied"))
               || reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.AccessDenied"));
}

QString describe(const QDBusMessage &reply)
{
    const QString message = reply.errorMessage();
    return message.isEmpty() ? reply.errorName() : message;
}

QString notRunningText()
{
    return QCoreApplication::translate("Orvex::VPNBackend", "NetworkManager is not running.");
}

QString pluginMissingText()
{
    return QCoreApplication::translate(
        "Orvex::VPNBackend",
        "NetworkManager's strongSwan plugin (network-manager-strongswan) is not installed.");
}

QString refusedText()
{
    return QCoreApplication::translate("Orvex::VPNBackend",
                                       "NetworkManager did not allow this user to manage VPN connections.");
}

} // namespace Orvex::NetworkManager
