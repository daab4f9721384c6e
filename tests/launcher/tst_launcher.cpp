// On a private dbus-daemon: one client per session, orvex-launcher and the
// menu entry run as processes, the autostart entry, and the client's command
// line run as the real program.

#include "PrivateBus.h"
#include "TestFiles.h"

#include "platform/LoginItem.h"
#include "platform/SessionBus.h"
#include "platform/SingleInstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
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

// desktop-file-validate, when installed, must find no error in the entry.
void validate(const QString &path)
{
    const QString validator = QStandardPaths::findExecutable(u"desktop-file-validate"_s, {u"/usr/bin"_s});
    if (validator.isEmpty()) {
        qWarning("desktop-file-validate is not installed; the entry's syntax is not checked");
        return;
    }
    const ProgramRun run = runProgram(validator, {path}, 30000);
    QVERIFY2(run.exitCode == 0, qPrintable(run.out + run.err));
}

const QString clientBinary = QStringLiteral(ORVEX_CLIENT_BINARY);
const QString version = QStringLiteral(ORVEX_PROJECT_VERSION);

// No display of any kind: a client that built its application object before
// reading the command line would abort here.
ProgramRun runClient(const QStringList &arguments, const QString &config = QString())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(u"ORVEX_CONFIG"_s, config);
    return runProgram(clientBinary, arguments, 30000, environment);
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

    void singleInstance();
    void startingFromTheMenuReopensTheRunningClient();

    void startsClientAndQuitsOnKillLauncher();
    void findsTheClient();
    void failures();

    void commandLine_data();
    void commandLine();
    void printsHelp();

    void loginEntryLifecycle();

private:
    QString autostartDir() const { return m_configHome.path() + u"/autostart"_s; }
    QTemporaryDir m_configHome;
    QByteArray m_path = qgetenv("PATH");
    QString m_launcher;

    // Runs a launcher with the fake client (`client` empty: none named).
    QProcess *startLauncher(const QString &client, const QString &program = launcherBinary,
                            const QString &busAddress = QString(), const QString &path = QString());
    int clientStarts() const { return int(readFile(m_dir->filePath(u"starts"_s)).count('\n')); }
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
    // setEnabled prefers a launcher beside the running binary, here this test.
    QVERIFY(!QFileInfo::exists(QCoreApplication::applicationDirPath() + u"/orvex-launcher"_s));
    // The login item's cases empty the autostart folder: never the user's own.
    QVERIFY(m_configHome.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome.path()));
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
    QVERIFY(writeFile(m_fakeClient, "#!/bin/sh\necho $$ >> \"$ORVEX_TEST_MARKER\"\n", true));
    QCOMPARE(askOwned(launcherId), std::optional<bool>(false));
}

void tst_Launcher::cleanup()
{
    for (QProcess *launcher : std::as_const(m_launchers)) {
        endProcess(*launcher);
        delete launcher;
    }
    m_launchers.clear();
    qputenv("PATH", m_path);
    // A fake client still there (it leaves at once) is ended by its pid, if
    // that pid still runs the script.
    for (const QByteArray &line : readFile(m_dir->filePath(u"starts"_s)).split('\n')) {
        if (line.toInt() > 0
            && readFile(u"/proc/%1/cmdline"_s.arg(line.toInt())).contains(m_dir->path().toLocal8Bit()))
            ::kill(line.toInt(), SIGKILL);
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

void tst_Launcher::startsClientAndQuitsOnKillLauncher()
{
    QProcess *launcher = startLauncher(m_fakeClient);
    QTRY_COMPARE(askOwned(launcherId), std::optional<bool>(true));
    QTRY_COMPARE(clientStarts(), 1);

    // A second launcher finds the name taken and leaves without a client.
    QProcess *second = startLauncher(m_fakeClient);
    QVERIFY(second->waitForFinished(10000));
    QCOMPARE(second->exitCode(), 0);

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

void tst_Launcher::singleInstance()
{
    const QString appId = u"com.orvex.test.client"_s;
    // Whether a name is owned is answered true and false in the launcher's
    // cases; here an answer whose context is gone is dropped. The bus answers
    // in order, so once the later question is answered the earlier one is in.
    bool droppedCalled = false;
    auto *gone = new QObject;
    SessionBus::isNameOwned(appId, gone, [&droppedCalled](bool) { droppedCalled = true; });
    delete gone;
    QCOMPARE(askOwned(appId), std::optional<bool>(false));
    QCoreApplication::processEvents();
    QVERIFY(!droppedCalled);

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

    // Without a session bus the client runs, unchecked.
    m_connections.append(u"dead"_s);
    SingleInstance alone(QDBusConnection::connectToBus(u"unix:path=/nonexistent/bus"_s, u"dead"_s));
    QCOMPARE(alone.claim(appId), SingleInstance::Claim::FirstInstance);
}

void tst_Launcher::startingFromTheMenuReopensTheRunningClient()
{
    // The menu entry as a desktop runs it: its Exec line, looked up on PATH,
    // in a session where the client already runs. On a desktop without a
    // tray this is how the user gets a hidden or buried client back.
    SingleInstance running;
    QCOMPARE(running.claim(SessionBus::clientAppId), SingleInstance::Claim::FirstInstance);
    QSignalSpy reopened(&running, &SingleInstance::reopenRequested);

    QString exec;
    for (const QString &line : QString::fromUtf8(readFile(QStringLiteral(ORVEX_DESKTOP_ENTRY))).split(u'\n')) {
        if (line.startsWith("Exec="_L1))
            exec = line.mid(5).trimmed();
    }
    const QStringList command = exec.split(u' ', Qt::SkipEmptyParts);
    QVERIFY(!command.isEmpty());

    // The build folder stands in for /usr/bin on PATH.
    const QString path = QFileInfo(clientBinary).absolutePath() + u':' + qEnvironmentVariable("PATH");
    const QString program = QStandardPaths::findExecutable(command.constFirst(), path.split(u':'));
    QCOMPARE(QFileInfo(program).canonicalFilePath(), QFileInfo(clientBinary).canonicalFilePath());

    // Should the hand-over fail and the new client start for real, it finds
    // only stand-ins: no tunnel daemon, the private bus as the system bus.
    const QString config = m_dir->filePath(u"config.json"_s);
    const QString noCharon = uR"({"vpnBackend": "vici", "viciSocket": "%1", "viciNetworkNamespace": "%2"})"_s
                                 .arg(m_dir->filePath(u"none.vici"_s), m_dir->filePath(u"no-netns"_s));
    QVERIFY(writeFile(config, noCharon.toUtf8()));
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
    // Should it stay, QProcess ends it when the test returns.
    QVERIFY(QTest::qWaitFor([&second] { return second.state() == QProcess::NotRunning; }, 60000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QTRY_COMPARE(reopened.count(), 1);
    // The running client is still the session's one.
    QVERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(SessionBus::clientAppId));
}

// Each answered before any display or session bus is touched; a bad
// configuration stops only a real start.
void tst_Launcher::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("badConfiguration");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("named"); // in the one line on stderr (empty: nothing there)
    const QString shown = u"orvex %1\n"_s.arg(version);
    const auto row = [](const char *name, const QStringList &arguments, bool bad, int exitCode,
                        const QString &out, const QString &named) {
        QTest::newRow(name) << arguments << bad << exitCode << out << named;
    };
    row("--version", {u"--version"_s}, false, 0, shown, {});
    // Qt's own options are passed over, as desktops and developers use them.
    row("after -session", {u"-session"_s, u"1234abcd"_s, u"-v"_s}, false, 0, shown, {});
    row("version despite a bad configuration", {u"--version"_s}, true, 0, shown, {});
    row("start with a bad configuration", {}, true, 2, {}, u"apiBaseURL"_s);
    // Logging on: the configuration's error is still its one line.
    row("verbose start with a bad configuration", {u"--verbose"_s}, true, 2, {}, u"apiBaseURL"_s);
    row("unknown long", {u"--frobnicate"_s}, false, 2, {}, u"frobnicate"_s);
    row("unknown after a good one", {u"--version"_s, u"--nope"_s}, false, 2, {}, u"nope"_s);
    row("value for a flag", {u"--version=2"_s}, false, 2, {}, u"version"_s);
    row("argument", {u"notes.txt"_s}, false, 2, {}, u"notes.txt"_s);
    row("toolkit option without its value", {u"-style"_s}, false, 2, {}, u"style"_s);
}

void tst_Launcher::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, badConfiguration);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, named);
    const QString config = m_dir->filePath(u"config.json"_s);
    const QByteArray plainHttp = R"({"apiBaseURL": "http://plain.example"})";
    QVERIFY(writeFile(config, plainHttp));
    const ProgramRun run = runClient(arguments, badConfiguration ? config : QString());
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(run.out, out);
    if (named.isEmpty()) {
        QCOMPARE(run.err, QString());
    } else {
        QCOMPARE(run.err.count(u'\n'), 1);
        QVERIFY2(run.err.startsWith(u"orvex: "_s) && run.err.endsWith(u'\n') && run.err.contains(named),
                 qPrintable(run.err));
    }
}

void tst_Launcher::printsHelp()
{
    for (const QString &option : {u"--help"_s, u"-h"_s}) {
        const ProgramRun run = runClient({option});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.startsWith(u"Usage: orvex [options]\n"_s), qPrintable(run.out));
        QVERIFY(run.out.contains(u"--version"_s));
        QVERIFY(run.out.contains(u"--help"_s));
        QVERIFY(run.out.contains(u"--verbose"_s));
        // Qt's options work but are not the client's to document.
        QVERIFY2(!run.out.contains(u"platform"_s), qPrintable(run.out));
        QCOMPARE(run.err, QString());
    }
}

void tst_Launcher::loginEntryLifecycle()
{
    // A fake launcher, the only one on PATH.
    QDir(autostartDir()).removeRecursively();
    m_launcher = m_dir->filePath(u"orvex-launcher"_s);
    QVERIFY(writeFile(m_launcher, "#!/bin/sh\n", true));
    qputenv("PATH", QFile::encodeName(m_dir->path()));
    const QString path = LoginItem::entryPath(launcherId);
    QCOMPARE(path, autostartDir() + u"/com.orvex.launcher.desktop"_s);
    QVERIFY(!LoginItem::isEnabled(launcherId));

    // An old entry is replaced by a new file renamed over it, never rewritten
    // in place where the session could read it half written.
    QVERIFY(QDir().mkpath(autostartDir()));
    QVERIFY(writeFile(path, "[Desktop Entry]\nType=Application\nName=Old\nExec=/old\n"));
    const ino_t before = inodeOf(path);
    QVERIFY(LoginItem::setEnabled(launcherId, true));
    QVERIFY(inodeOf(path) != before);
    QVERIFY(LoginItem::isEnabled(launcherId));
    QCOMPARE(QDir(autostartDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{u"com.orvex.launcher.desktop"_s});

    const QString written = QString::fromUtf8(readFile(path));
    const QStringList lines = written.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.value(0), u"[Desktop Entry]"_s);
    for (const QString &expected : {u"Type=Application"_s, u"Name=Orvex"_s, u"Exec="_s + m_launcher,
                                    u"NoDisplay=true"_s, u"X-GNOME-Autostart-enabled=true"_s})
        QVERIFY2(lines.contains(expected), qPrintable(expected));
    validate(path);

    // Off twice, then on: removed, still removed, and the same entry again.
    QVERIFY(LoginItem::setEnabled(launcherId, false));
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!LoginItem::isEnabled(launcherId));
    QVERIFY(LoginItem::setEnabled(launcherId, false));
    QVERIFY(LoginItem::setEnabled(launcherId, true));
    QCOMPARE(QString::fromUtf8(readFile(path)), written);

    // The user's own switch in the entry, in its own group only.
    const QByteArray head = "[Desktop Entry]\nType=Application\nName=Orvex\nExec=/x/orvex-launcher\n";
    QVERIFY(writeFile(path, head + "Hidden=true\n"));
    QVERIFY(!LoginItem::isEnabled(launcherId));
    QVERIFY(writeFile(path, head + "X-GNOME-Autostart-enabled=false\n"));
    QVERIFY(!LoginItem::isEnabled(launcherId));
    QVERIFY(writeFile(path, head + "[Desktop Action Quit]\nName=Quit\nHidden=true\n"));
    QVERIFY(LoginItem::isEnabled(launcherId));

    const QString dir = m_dir->filePath(u"My Apps/100%$x"_s);
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(writeFile(dir + u"/orvex-launcher"_s, "#!/bin/sh\n", true));
    qputenv("PATH", QFile::encodeName(dir));

    QVERIFY(LoginItem::setEnabled(launcherId, true));
    // Quoted for the space, '$' escaped inside the quotes, '%' doubled, and
    // that escaping backslash escaped again by the key-file format.
    const QString expected = u"Exec=\""_s + m_dir->path() + u"/My Apps/100%%\\\\$x/orvex-launcher\""_s;
    const QString entry = QString::fromUtf8(readFile(path));
    QVERIFY2(entry.split(u'\n').contains(expected), qPrintable(entry));
    validate(path);

    // A launcher beside the client is preferred, if it can run.
    qputenv("PATH", QFile::encodeName(m_dir->path()));
    QTemporaryDir clientDir;
    const QString beside = clientDir.filePath(u"orvex-launcher"_s);
    QCOMPARE(LoginItem::findLauncher(clientDir.path()), m_launcher);
    QVERIFY(writeFile(beside, "#!/bin/sh\n")); // cannot run: does not count
    QCOMPARE(LoginItem::findLauncher(clientDir.path()), m_launcher);
    QVERIFY(QFile::setPermissions(beside, QFile::ReadOwner | QFile::ExeOwner));
    QCOMPARE(LoginItem::findLauncher(clientDir.path()), beside);

    // No launcher anywhere: an existing entry stays as it was.
    QVERIFY(writeFile(path, "[Desktop Entry]\nType=Application\nName=Kept\nExec=/kept\n"));
    qputenv("PATH", "/nonexistent");
    QVERIFY(!LoginItem::setEnabled(launcherId, true));
    QVERIFY(readFile(path).contains("Name=Kept"));

    // An id that is not a plain file name never leaves the autostart folder.
    qputenv("PATH", QFile::encodeName(m_dir->path()));
    QVERIFY(!LoginItem::setEnabled(u"../escaped"_s, true));
    QVERIFY(!QFileInfo::exists(m_configHome.filePath(u"escaped.desktop"_s)));
    QVERIFY(!LoginItem::setEnabled(QString(), true));
}

QTEST_GUILESS_MAIN(tst_Launcher)
#include "tst_launcher.moc"
