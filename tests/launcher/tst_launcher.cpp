// The session-bus helpers (name ownership, one client per session),
// orvex-launcher run as a process, and the client started from its menu entry,
// on a private dbus-daemon.

#include "PrivateBus.h"

#include "platform/SessionBus.h"
#include "platform/SingleInstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

#include <csignal>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

const QString launcherId = u"com.orvex.launcher"_s;
const QString launcherBinary = QStringLiteral(ORVEX_LAUNCHER_BINARY);

std::optional<bool> askOwned(const QString &name)
{
    std::optional<bool> answer;
    QObject context;
    SessionBus::isNameOwned(name, &context, [&answer](bool owned) { answer = owned; });
    if (!QTest::qWaitFor([&answer] { return answer.has_value(); }, 10000))
        return std::nullopt;
    return answer;
}

bool copyExecutable(const QString &from, const QString &to)
{
    return QFile::copy(from, to) && QFile::setPermissions(to, QFile::ReadOwner | QFile::ExeOwner);
}

} // namespace

class tst_Launcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void nameOwnership();
    void singleInstance();
    void singleInstanceWithoutBus();
    void startingFromTheMenuReopensTheRunningClient();

    void startsClientAndQuitsOnKillLauncher();
    void findsTheClient();
    void failures();

private:
    // Runs a launcher with the fake client (`client` empty: none named).
    QProcess *startLauncher(const QString &client, const QString &program = launcherBinary,
                            const QString &busAddress = QString(), const QString &path = QString());
    int clientStarts() const;
    // Another client, as another process would have it.
    QDBusConnection openConnection(const QString &name)
    {
        m_connections.append(name);
        return QDBusConnection::connectToBus(m_bus.address(), name);
    }

    PrivateBus m_bus;
    QStringList m_connections;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_fakeClient;
    QList<QProcess *> m_launchers;
};

void tst_Launcher::initTestCase()
{
    QVERIFY2(m_bus.isRunning(), qPrintable(m_bus.error()));
    m_bus.exportAsSessionBus();
    QVERIFY(QDBusConnection::sessionBus().isConnected());
}

void tst_Launcher::cleanupTestCase()
{
    for (const QString &name : std::as_const(m_connections))
        QDBusConnection::disconnectFromBus(name);
    m_bus.stop();
}

void tst_Launcher::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    // The stand-in client notes its pid and leaves.
    m_fakeClient = m_dir->filePath(u"fake-orvex"_s);
    QFile script(m_fakeClient);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho $$ >> \"$ORVEX_TEST_MARKER\"\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    QCOMPARE(askOwned(launcherId), std::optional<bool>(false));
}

void tst_Launcher::cleanup()
{
    for (QProcess *launcher : std::as_const(m_launchers)) {
        if (launcher->state() != QProcess::NotRunning) {
            launcher->kill();
            launcher->waitForFinished(5000);
        }
        delete launcher;
    }
    m_launchers.clear();
    // A fake client still there (it leaves at once) is ended by its pid, if
    // that pid still runs the script.
    QFile marker(m_dir->filePath(u"starts"_s));
    if (marker.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : marker.readAll().split('\n')) {
            QFile cmdline(u"/proc/%1/cmdline"_s.arg(line.toInt()));
            if (line.toInt() > 0 && cmdline.open(QIODevice::ReadOnly)
                && cmdline.readAll().contains(m_dir->path().toLocal8Bit()))
                ::kill(line.toInt(), SIGKILL);
        }
    }
    m_dir.reset();
}

QProcess *tst_Launcher::startLauncher(const QString &client, const QString &program,
                                      const QString &busAddress, const QString &path)
{
    auto *launcher = new QProcess;
    m_launchers.append(launcher);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, busAddress.isEmpty() ? m_bus.address() : busAddress);
    env.remove(u"ORVEX_CLIENT_BINARY"_s);
    if (!client.isEmpty())
        env.insert(u"ORVEX_CLIENT_BINARY"_s, client);
    if (!path.isEmpty())
        env.insert(u"PATH"_s, path);
    env.insert(u"ORVEX_TEST_MARKER"_s, m_dir->filePath(u"starts"_s));
    launcher->setProcessEnvironment(env);
    launcher->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    launcher->start(program, QStringList());
    return launcher;
}

int tst_Launcher::clientStarts() const
{
    QFile marker(m_dir->filePath(u"starts"_s));
    return marker.open(QIODevice::ReadOnly) ? int(marker.readAll().count('\n')) : 0;
}

void tst_Launcher::startsClientAndQuitsOnKillLauncher()
{
    QProcess *launcher = startLauncher(m_fakeClient);
    QTRY_COMPARE(askOwned(launcherId), std::optional<bool>(true));
    QTRY_COMPARE(clientStarts(), 1);

    // A second launcher finds the name taken and leaves without a client.
    QProcess *second = startLauncher(m_fakeClient);
    QVERIFY(second->waitForFinished(10000));
    QCOMPARE(second->exitCode(), 0);

    // Near misses of the broadcast: other member, other interface, other path.
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QStringList nearMisses = {u"/com/orvex/launcher com.orvex.Notifications killClient"_s,
                                    u"/com/orvex/launcher org.example.Other killLauncher"_s,
                                    u"/com/orvex/other com.orvex.Notifications killLauncher"_s};
    for (const QString &nearMiss : nearMisses) {
        const QStringList parts = nearMiss.split(u' ');
        QDBusMessage signal = QDBusMessage::createSignal(parts[0], parts[1], parts[2]);
        QVERIFY(bus.send(signal << u"com.orvex.client"_s));
    }
    // The bus delivers one sender's messages in order: after this round trip
    // the launcher has them, and one that wrongly quit on them would be gone
    // within the grace that follows.
    const QDBusMessage ping = QDBusMessage::createMethodCall(launcherId, u"/"_s,
                                                             u"org.freedesktop.DBus.Peer"_s, u"Ping"_s);
    QCOMPARE(bus.call(ping, QDBus::Block, 10000).type(), QDBusMessage::ReplyMessage);
    QTest::qWait(200);
    QCOMPARE(launcher->state(), QProcess::Running);

    QVERIFY(SessionBus::postKillLauncher(u"com.orvex.client"_s));
    QVERIFY(launcher->waitForFinished(10000));
    QCOMPARE(launcher->exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher->exitCode(), 0);
    QCOMPARE(askOwned(launcherId), std::optional<bool>(false));
    QCOMPARE(clientStarts(), 1);
}

void tst_Launcher::findsTheClient()
{
    // Installed together: `orvex` beside the launcher, nothing on PATH.
    const QString bin = m_dir->filePath(u"bin"_s);
    const QString lonely = m_dir->filePath(u"lonely"_s);
    QVERIFY(QDir().mkpath(bin) && QDir().mkpath(lonely));
    QVERIFY(copyExecutable(launcherBinary, bin + u"/orvex-launcher"_s));
    QVERIFY(copyExecutable(m_fakeClient, bin + u"/orvex"_s));
    QProcess *beside = startLauncher(QString(), bin + u"/orvex-launcher"_s, QString(), u"/nonexistent"_s);
    QTRY_COMPARE(clientStarts(), 1);
    QVERIFY(SessionBus::postKillLauncher(u"com.orvex.client"_s));
    QVERIFY(beside->waitForFinished(10000));
    QTRY_COMPARE(askOwned(launcherId), std::optional<bool>(false));

    // Nothing beside the launcher: the first `orvex` on PATH.
    QVERIFY(copyExecutable(launcherBinary, lonely + u"/orvex-launcher"_s));
    QProcess *onPath = startLauncher(QString(), lonely + u"/orvex-launcher"_s, QString(),
                                     u"/nonexistent:"_s + bin);
    QTRY_COMPARE(clientStarts(), 2);
    QVERIFY(SessionBus::postKillLauncher(u"com.orvex.client"_s));
    QVERIFY(onPath->waitForFinished(10000));
    QCOMPARE(onPath->exitCode(), 0);
}

void tst_Launcher::failures()
{
    // The client cannot be started: status 1, and the name is let go.
    QProcess *missing = startLauncher(m_dir->filePath(u"no-such-orvex"_s));
    QVERIFY(missing->waitForFinished(10000));
    QCOMPARE(missing->exitCode(), 1);
    QTRY_COMPARE(askOwned(launcherId), std::optional<bool>(false));

    // No session bus: nobody could stop it later, so it starts the client and leaves.
    QProcess *noBus = startLauncher(m_fakeClient, launcherBinary, u"unix:path=/nonexistent/bus"_s);
    QVERIFY(noBus->waitForFinished(10000));
    QCOMPARE(noBus->exitCode(), 0);
    QTRY_COMPARE(clientStarts(), 1);
}

void tst_Launcher::nameOwnership()
{
    const QString name = u"com.orvex.test.owned"_s;
    QCOMPARE(askOwned(name), std::optional<bool>(false));
    QDBusConnection other = openConnection(u"owner"_s);
    QVERIFY(other.registerService(name));
    QCOMPARE(askOwned(name), std::optional<bool>(true));
    QVERIFY(other.unregisterService(name));
    QCOMPARE(askOwned(name), std::optional<bool>(false));

    // An answer whose context is gone is dropped. The bus answers in order, so
    // once the later question is answered the earlier answer has come in.
    bool droppedCalled = false;
    auto *gone = new QObject;
    SessionBus::isNameOwned(name, gone, [&droppedCalled](bool) { droppedCalled = true; });
    delete gone;
    QCOMPARE(askOwned(name), std::optional<bool>(false));
    QCoreApplication::processEvents();
    QVERIFY(!droppedCalled);
}

void tst_Launcher::singleInstance()
{
    const QString appId = u"com.orvex.test.client"_s;
    auto first = std::make_unique<SingleInstance>();
    QSignalSpy reopened(first.get(), &SingleInstance::reopenRequested);
    QCOMPARE(first->claim(appId), SingleInstance::Claim::FirstInstance);

    SingleInstance second(openConnection(u"second"_s));
    QCOMPARE(second.claim(appId), SingleInstance::Claim::AlreadyRunning);
    std::optional<bool> delivered;
    second.requestReopen([&delivered](bool ok) { delivered = ok; });
    QTRY_COMPARE(delivered, std::optional<bool>(true));
    QCOMPARE(reopened.size(), 1);

    // The first quits: nobody answers any more, and the next client is first.
    first.reset();
    QTRY_COMPARE(askOwned(appId), std::optional<bool>(false));
    delivered.reset();
    second.requestReopen([&delivered](bool ok) { delivered = ok; });
    QTRY_COMPARE(delivered, std::optional<bool>(false));
    SingleInstance third(openConnection(u"third"_s));
    QCOMPARE(third.claim(appId), SingleInstance::Claim::FirstInstance);
}

void tst_Launcher::singleInstanceWithoutBus()
{
    m_connections.append(u"dead"_s);
    SingleInstance instance(QDBusConnection::connectToBus(u"unix:path=/nonexistent/bus"_s, u"dead"_s));
    QCOMPARE(instance.claim(u"com.orvex.test.nobus"_s), SingleInstance::Claim::FirstInstance);

    // Answered later, like a real call, never from inside requestReopen.
    std::optional<bool> delivered;
    instance.requestReopen([&delivered](bool ok) { delivered = ok; });
    QVERIFY(!delivered.has_value());
    QTRY_COMPARE(delivered, std::optional<bool>(false));
}

void tst_Launcher::startingFromTheMenuReopensTheRunningClient()
{
    // The menu entry as a desktop runs it: its Exec line, looked up on PATH,
    // in a session where the client already runs. On a desktop without a
    // tray this is how the user gets a hidden or buried client back.
    SingleInstance running;
    QCOMPARE(running.claim(SessionBus::clientAppId), SingleInstance::Claim::FirstInstance);
    QSignalSpy reopened(&running, &SingleInstance::reopenRequested);

    QFile entryFile(QStringLiteral(ORVEX_DESKTOP_ENTRY));
    QVERIFY(entryFile.open(QIODevice::ReadOnly | QIODevice::Text));
    QString exec;
    while (!entryFile.atEnd()) {
        const QString line = QString::fromUtf8(entryFile.readLine()).trimmed();
        if (line.startsWith("Exec="_L1))
            exec = line.mid(5);
    }
    const QStringList command = exec.split(u' ', Qt::SkipEmptyParts);
    QVERIFY(!command.isEmpty());

    // The build folder stands in for /usr/bin on PATH.
    const QString builtClient = QStringLiteral(ORVEX_CLIENT_BINARY);
    const QString path = QFileInfo(builtClient).absolutePath() + u':' + qEnvironmentVariable("PATH");
    const QString program = QStandardPaths::findExecutable(command.constFirst(), path.split(u':'));
    QCOMPARE(QFileInfo(program).canonicalFilePath(), QFileInfo(builtClient).canonicalFilePath());

    // Should the hand-over fail and the new client start for real, it finds
    // only stand-ins: no tunnel daemon, the private bus as the system bus.
    const QString config = m_dir->filePath(u"config.json"_s);
    QFile configFile(config);
    QVERIFY(configFile.open(QIODevice::WriteOnly));
    configFile.write(
        uR"({"vpnBackend": "vici", "viciSocket": "%1"})"_s.arg(m_dir->filePath(u"none.vici"_s)).toUtf8());
    configFile.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"PATH"_s, path);
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, m_bus.address());
    environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, m_bus.address());
    environment.insert(u"ORVEX_CONFIG"_s, config);

    QProcess second;
    second.setProcessEnvironment(environment);
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    second.start(program, command.mid(1));
    QVERIFY(second.waitForStarted(10000));
    // This process answers the request: keep its event loop going.
    const bool finished = QTest::qWaitFor([&second] { return second.state() == QProcess::NotRunning; }, 60000);
    if (!finished) {
        second.kill();
        second.waitForFinished(5000);
        QFAIL("the second client did not leave");
    }
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QTRY_COMPARE(reopened.count(), 1);
    // The running client is still the session's one.
    QVERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(SessionBus::clientAppId));
}

QTEST_GUILESS_MAIN(tst_Launcher)
#include "tst_launcher.moc"
