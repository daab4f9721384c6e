#include "Launcher.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>

namespace Orvex {

namespace {

// The bus contract with the client (its SessionBus names the same).
const QString launcherAppId = QStringLiteral("com.orvex.launcher");
const QString notificationsPath = QStringLiteral("/com/orvex/launcher");
const QString notificationsInterface = QStringLiteral("com.orvex.Notifications");
const QString killLauncherName = QStringLiteral("killLauncher");

// RequestName's flag and answer, as the bus daemon defines them.
constexpr uint nameFlagDoNotQueue = 4;
constexpr uint namePrimaryOwner = 1;
constexpr uint nameAlreadyOwner = 4;

// Named after the program: Qt writes "orvex-launcher: ..." on stderr, which a
// desktop under systemd hands to the journal.
Q_LOGGING_CATEGORY(lcLauncher, "orvex-launcher", QtWarningMsg)

void report(const QString &text)
{
    qCWarning(lcLauncher, "%s", qPrintable(text));
}

bool isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

} // namespace

Launcher::Launcher(QObject *parent)
    : QObject(parent)
    , m_bus(QDBusConnection::sessionBus())
{}

QString Launcher::clientBinary()
{
    const QString overridden = qEnvironmentVariable("ORVEX_CLIENT_BINARY");
    if (!overridden.isEmpty())
        return overridden;
    const QString beside = QDir(QCoreApplication::applicationDirPath())
                               .absoluteFilePath(QStringLiteral("orvex"));
    if (isExecutableFile(beside))
        return beside;
    return QStandardPaths::findExecutable(QStringLiteral("orvex"));
}

void Launcher::start()
{
    if (!m_bus.isConnected()) {
        // Nobody could tell this launcher to quit: start the client and go.
        startClient(false);
        return;
    }

    // Listen before owning the name: a client that sees the name owned may
    // broadcast at once, and the bus handles this connection's requests in
    // order, so the match rule is in place by the time the name is ours.
    m_bus.connect(QString(), notificationsPath, notificationsInterface, killLauncherName, this,
                  SLOT(killLauncher(QString)));

    QDBusMessage request = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                          QStringLiteral("/org/freedesktop/DBus"),
                                                          QStringLiteral("org.freedesktop.DBus"),
                                                          QStringLiteral("RequestName"));
    request << launcherAppId << nameFlagDoNotQueue;
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(request), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *w) {
        const QDBusPendingReply<uint> reply = *w;
        w->deleteLater();
        if (!reply.isValid()) {
            onNameRequested(false, false);
            return;
        }
        const uint result = reply.value();
        onNameRequested(result == namePrimaryOwner || result == nameAlreadyOwner, true);
    });
}

void Launcher::onNameRequested(bool owned, bool busAnswered)
{
    if (!busAnswered) {
        startClient(false);
        return;
    }
    if (!owned) {
        // Another launcher runs and has started the client already.
        QCoreApplication::exit(0);
        return;
    }
    startClient(true);
}

void Launcher::startClient(bool stayForKill)
{
    const QString binary = clientBinary();
    if (binary.isEmpty()) {
        report(QStringLiteral("cannot find the orvex program"));
        QCoreApplication::exit(1);
        return;
    }
    if (!QProcess::startDetached(binary, {})) {
        report(QStringLiteral("cannot start %1").arg(binary));
        QCoreApplication::exit(1);
        return;
    }
    if (!stayForKill)
        QCoreApplication::exit(0);
}

void Launcher::killLauncher(const QString &senderAppId)
{
    // Any sender will do: the argument names the client that sent it, which
    // the launcher has no reason to doubt.
    Q_UNUSED(senderAppId)
    QCoreApplication::exit(0);
}

} // namespace Orvex
