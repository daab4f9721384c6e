#pragma once

// A python3-dbusmock server for one test, on the session bus (make that a
// PrivateBus first) or with "--system" on whatever DBUS_SYSTEM_BUS_ADDRESS
// names; stopped by its own process when the object goes. Its record of calls
// tells what the client asked.
//
//     DBusMock notifications(QStringLiteral("notification_daemon"));
//     QVERIFY2(notifications.started(), "python3-dbusmock is needed (scripts/install-deps)");

#include "ProgramRun.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace DBusMockText {

// A StatusNotifierWatcher with a tray host registered, as KDE or GNOME's
// AppIndicator extension provide.
inline constexpr char trayHost[] = R"py(
import dbus
BUS_NAME = 'org.kde.StatusNotifierWatcher'
MAIN_OBJ = '/StatusNotifierWatcher'
MAIN_IFACE = 'org.kde.StatusNotifierWatcher'
SYSTEM_BUS = False

def load(mock, parameters):
    mock.AddProperties(MAIN_IFACE, {
        'IsStatusNotifierHostRegistered': dbus.Boolean(True),
        'ProtocolVersion': dbus.Int32(0),
        'RegisteredStatusNotifierItems': dbus.Array([], signature='s'),
    })
    mock.AddMethods(MAIN_IFACE, [
        ('RegisterStatusNotifierItem', 's', '', ''),
        ('RegisterStatusNotifierHost', 's', '', ''),
    ])
)py";

} // namespace DBusMockText

// Asks without blocking this thread: what answers may live in this very
// process and need its event loop.
inline QDBusMessage askBus(const QDBusConnection &bus, const QString &service, const QString &path,
                           const QString &interface, const QString &method,
                           const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    QDBusPendingCall pending = bus.asyncCall(call, 15000);
    if (!QTest::qWaitFor([&pending] { return pending.isFinished(); }, 20000))
        return {};
    return pending.reply();
}

class DBusMock
{
public:
    // `templateName` is one of dbusmock's templates, or empty with
    // `templateText` the Python of one.
    explicit DBusMock(const QString &templateName, const QByteArray &templateText = {},
                      const QString &busOption = QStringLiteral("--session"))
    {
        QString chosen = templateName;
        if (!templateText.isEmpty()) {
            chosen = m_dir.filePath(QStringLiteral("template.py"));
            QFile file(chosen);
            if (!file.open(QIODevice::WriteOnly) || file.write(templateText) != templateText.size())
                return;
        }
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        endsWithThisProcess(m_process);
        m_process.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-m"), QStringLiteral("dbusmock"),
                                                             busOption, QStringLiteral("-t"), chosen});
    }
    ~DBusMock() { endProcess(m_process); }
    DBusMock(const DBusMock &) = delete;
    DBusMock &operator=(const DBusMock &) = delete;

    bool started() { return m_process.waitForStarted(10000); }

    // The arguments of each call of `method` the mock at `service`/`path` on
    // the session bus received, oldest first.
    static QList<QVariantList> calls(const QString &service, const QString &path, const QString &method)
    {
        const QDBusMessage reply = askBus(QDBusConnection::sessionBus(), service, path,
                                          QStringLiteral("org.freedesktop.DBus.Mock"),
                                          QStringLiteral("GetMethodCalls"), {method});
        QList<QVariantList> list;
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return list;
        const auto calls = reply.arguments().constFirst().value<QDBusArgument>();
        calls.beginArray();
        while (!calls.atEnd()) {
            qulonglong time = 0;
            QVariantList arguments;
            calls.beginStructure();
            calls >> time >> arguments;
            calls.endStructure();
            list << arguments;
        }
        calls.endArray();
        return list;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
};
