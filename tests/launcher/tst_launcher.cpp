#include "PrivateBus.h"

#include "platform/SessionBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

#include <csignal>

using namespace Orvex;

namespace {

const QString launcherId = QStringLiteral("com.orvex.launcher");
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
    void cleanupTestCase() { m_bus.stop(); }

    void startsClientAndQuitsOnKillLauncher();
    void findsTheClient();
    void failures();

private:
    // Runs a launcher with the fake client (`client` empty: none named).
    QProcess *startLauncher(const QString &client,
                            const QString &program = launcherBinary,
                            const QString &busAddress = QString(),
                            const QString &path = QString());
    int clientStarts() const;

    PrivateBus m_bus;
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

void tst_Launcher::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    // The stand-in client notes its pid and leaves.
    m_fakeClient = m_dir->filePath(QStringLiteral("fake-orvex"));
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
    QFile marker(m_dir->filePath(QStringLiteral("starts")));
    if (marker.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : marker.readAll().split('\n')) {
            QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(line.toInt()));
            if (line.toInt() > 0 && cmdline.open(QIODevice::ReadOnly)
                && cmdline.readAll().contains(m_dir->path().toLocal8Bit()))
                ::kill(line.toInt(), SIGKILL);
        }
    }
    m_dir.reset();
}

QProcess *tst_Launcher::startLauncher(const QString &client,
                                      const QString &program,
                                      const QString &busAddress,
                                      const QString &path)
{
    auto *launcher = new QProcess;
    m_launchers.append(launcher);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
               busAddress.isEmpty() ? m_bus.address() : busAddress);
    env.remove(QStringLiteral("ORVEX_CLIENT_BINARY"));
    if (!client.isEmpty())
        env.insert(QStringLiteral("ORVEX_CLIENT_BINARY"), client);
    if (!path.isEmpty())
        env.insert(QStringLiteral("PATH"), path);
    env.insert(QStringLiteral("ORVEX_TEST_MARKER"), m_dir->filePath(QStringLiteral("starts")));
    launcher->setProcessEnvironment(env);
    launcher->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    launcher->start(program, QStringList());
    return launcher;
}

int tst_Launcher::clientStarts() const
{
    QFile marker(m_dir->filePath(QStringLiteral("starts")));
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
    const QStringList nearMisses
            = {QStringLiteral("/com/orvex/launcher com.orvex.Notifications killClient"),
               QStringLiteral("/com/orvex/launcher org.example.Other killLauncher"),
               QStringLiteral("/com/orvex/other com.orvex.Notifications killLauncher")};
    for (const QString &nearMiss : nearMisses) {
        const QStringList parts = nearMiss.split(u' ');
        QDBusMessage signal = QDBusMessage::createSignal(parts[0], parts[1], parts[2]);
        QVERIFY(bus.send(signal << QStringLiteral("com.orvex.client")));
    }
    // The bus delivers one sender's messages in order: after this round trip
    // the launcher has them, and one that wrongly quit on them would be gone
    // within the grace that follows.
    const QDBusMessage ping = QDBusMessage::createMethodCall(launcherId,
                                                             QStringLiteral("/"),
                                                             QStringLiteral(
                                                                     "org.freedesktop.DBus.Peer"),
                                                             QStringLiteral("Ping"));
    QCOMPARE(bus.call(ping, QDBus::Block, 10000).type(), QDBusMessage::ReplyMessage);
    QTest::qWait(200);
    QCOMPARE(launcher->state(), QProcess::Running);

    QVERIFY(SessionBus::postKillLauncher(QStringLiteral("com.orvex.client")));
    QVERIFY(launcher->waitForFinished(10000));
    QCOMPARE(launcher->exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher->exitCode(), 0);
    QCOMPARE(askOwned(launcherId), std::optional<bool>(false));
    QCOMPARE(clientStarts(), 1);
}

void tst_Launcher::findsTheClient()
{
    // Installed together: `orvex` beside the launcher, nothing on PATH.
    const QString bin = m_dir->filePath(QStringLiteral("bin"));
    const QString lonely = m_dir->filePath(QStringLiteral("lonely"));
    QVERIFY(QDir().mkpath(bin) && QDir().mkpath(lonely));
    QVERIFY(copyExecutable(launcherBinary, bin + QStringLiteral("/orvex-launcher")));
    QVERIFY(copyExecutable(m_fakeClient, bin + QStringLiteral("/orvex")));
    QProcess *beside = startLauncher(QString(),
                                     bin + QStringLiteral("/orvex-launcher"),
                                     QString(),
                                     QStringLiteral("/nonexistent"));
    QTRY_COMPARE(clientStarts(), 1);
    QVERIFY(SessionBus::postKillLauncher(QStringLiteral("com.orvex.client")));
    QVERIFY(beside->waitForFinished(10000));
    QTRY_COMPARE(askOwned(launcherId), std::optional<bool>(false));

    // Nothing beside the launcher: the first `orvex` on PATH.
    QVERIFY(copyExecutable(launcherBinary, lonely + QStringLiteral("/orvex-launcher")));
    QProcess *onPath = startLauncher(QString(),
                                     lonely + QStringLiteral("/orvex-launcher"),
                                     QString(),
                                     QStringLiteral("/nonexistent:") + bin);
    QTRY_COMPARE(clientStarts(), 2);
    QVERIFY(SessionBus::postKillLauncher(QStringLiteral("com.orvex.client")));
    QVERIFY(onPath->waitForFinished(10000));
    QCOMPARE(onPath->exitCode(), 0);
}

void tst_Launcher::failures()
{
    // The client cannot be started: status 1, and the name is let go.
    QProcess *missing = startLauncher(m_dir->filePath(QStringLiteral("no-such-orvex")));
    QVERIFY(missing->waitForFinished(10000));
    QCOMPARE(missing->exitCode(), 1);
    QTRY_COMPARE(askOwned(launcherId), std::optional<bool>(false));

    // No session bus: nobody could stop it later, so it starts the client and leaves.
    QProcess *noBus = startLauncher(m_fakeClient,
                                    launcherBinary,
                                    QStringLiteral("unix:path=/nonexistent/bus"));
    QVERIFY(noBus->waitForFinished(10000));
    QCOMPARE(noBus->exitCode(), 0);
    QTRY_COMPARE(clientStarts(), 1);
}

QTEST_GUILESS_MAIN(tst_Launcher)
#include "tst_launcher.moc"
