// The launcher menu entry as a desktop runs it: its Exec line, looked up on
// PATH, in a session where the client already runs. On a desktop without a
// tray this is how the user gets a hidden or buried client back.

#include "PrivateBus.h"

#include "platform/SessionBus.h"
#include "platform/SingleInstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace Orvex;

class tst_MenuEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase() { m_bus.stop(); }
    void startingFromTheMenuReopensTheRunningClient();

private:
    PrivateBus m_bus;
    QTemporaryDir m_dir;
};

void tst_MenuEntry::initTestCase()
{
    QVERIFY2(m_bus.isRunning(), qPrintable(m_bus.error()));
    m_bus.exportAsSessionBus();
    QVERIFY(QDBusConnection::sessionBus().isConnected());
    QVERIFY(m_dir.isValid());
}

void tst_MenuEntry::startingFromTheMenuReopensTheRunningClient()
{
    // The client already running in this session.
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
    const QString config = m_dir.filePath(u"config.json"_s);
    QFile configFile(config);
    QVERIFY(configFile.open(QIODevice::WriteOnly));
    configFile.write(QStringLiteral(R"({"vpnBackend": "vici", "viciSocket": "%1"})")
                             .arg(m_dir.filePath(u"none.vici"_s))
                             .toUtf8());
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

QTEST_GUILESS_MAIN(tst_MenuEntry)

#include "tst_menuentry.moc"
