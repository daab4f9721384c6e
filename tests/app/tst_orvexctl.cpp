// orvexctl and the client's control interface. The client's own wiring
// (AppWiring) runs in this process on a private session bus, with the real
// orvex-devservice and a fake tunnel backend whose status the test sets; the
// real orvexctl binary talks to it. The real orvex binary is started by a
// private bus through D-Bus activation from the packaged .service file.

#include "DevServiceProcess.h"
#include "FakeVPNBackend.h"
#include "PrivateBus.h"
#include "ProgramRun.h"
#include "TestFiles.h"
#include "TestSession.h"

#include "api/Utility.h"
#include "app/AppWiring.h"
#include "app/ClientControl.h"
#include "config/Config.h"
#include "platform/SystemInfo.h"
#include "platform/VPNManager.h"
#include "vpn/VPNService.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

#include <csignal>

using namespace Qt::StringLiterals;
using namespace Orvex;

namespace {

const QString ctlBinary = QStringLiteral(ORVEX_CTL_BINARY);
const QString clientBinary = QStringLiteral(ORVEX_CLIENT_BINARY);
const QString email = u"ann@example.com"_s;
const QString password = u"pw-Xq7-never-on-the-bus"_s;

// An interface's members as sorted lines ("property State s read", "method
// Diagnostics out:s", "signal Changed a{sv}"); argument names and Qt's
// annotations left out.
QStringList members(const QString &xml, const QString &interface)
{
    QXmlStreamReader reader(xml);
    QStringList list;
    bool inside = false;
    while (!reader.atEnd()) {
        reader.readNext();
        const QXmlStreamAttributes a = reader.attributes();
        if (reader.isEndElement() && reader.name() == "interface"_L1)
            inside = false;
        if (!reader.isStartElement())
            continue;
        if (reader.name() == "interface"_L1)
            inside = a.value("name"_L1) == interface;
        else if (inside && reader.name() == "property"_L1)
            list << u"property %1 %2 %3"_s.arg(a.value("name"_L1), a.value("type"_L1), a.value("access"_L1));
        else if (inside && (reader.name() == "method"_L1 || reader.name() == "signal"_L1))
            list << reader.name().toString() + u' ' + a.value("name"_L1).toString();
        else if (inside && reader.name() == "arg"_L1 && list.last().startsWith("signal"_L1))
            list.last() += u' ' + a.value("type"_L1).toString();
        else if (inside && reader.name() == "arg"_L1)
            list.last() += u" %1:%2"_s.arg(a.hasAttribute("direction"_L1) ? a.value("direction"_L1) : u"in",
                                           a.value("type"_L1));
    }
    list.sort();
    return list;
}

} // namespace

class tst_Orvexctl : public QObject
{
    Q_OBJECT

public Q_SLOTS:
    // org.freedesktop.DBus.Properties.PropertiesChanged of the interface.
    void propertiesChanged(const QString &interface, const QVariantMap &changed, const QStringList &)
    {
        if (interface == ClientControl::interfaceName && changed.contains(u"State"_s))
            m_announcedStates << changed.value(u"State"_s).toString();
    }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void interfaceMatchesItsDescription();
    void commands_data();
    void commands();
    void watchPrintsEachTransitionAndDiagnosticsKeepsThem();
    void activationStartsTheClientInTheTray();

private:
    enum Setup { SignedOut, SignedIn, Connected };
    enum Drive { Nothing, BringUp, GiveUp };

    ProgramRun runCtl(const QStringList &arguments, Drive drive = Nothing, const QString &bus = {});
    void bringUp()
    {
        QTRY_VERIFY(m_backend->calls.contains(u"start"_s));
        m_backend->setLiveStatus(VPNStatus::Connecting);
        m_backend->setLiveStatus(VPNStatus::Connected);
    }
    TunnelController::State state() const { return m_service->tunnel().state(); }

    PrivateBus m_bus;
    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_devService;
    FakeLeakGuard m_guard;
    FakeVPNBackend *m_backend = nullptr;
    std::unique_ptr<VPNManager> m_manager;
    std::optional<TestSession> m_session; // each case's own: signed out, nothing saved
    std::unique_ptr<VPNService> m_service;
    std::unique_ptr<AppWiring> m_app;
    QStringList m_announcedStates;
};

void tst_Orvexctl::initTestCase()
{
    QVERIFY2(m_bus.isRunning(), qPrintable(m_bus.error()));
    m_bus.exportAsSessionBus();
    QVERIFY(m_dir.isValid());
    m_devService = std::make_unique<DevServiceProcess>(m_dir.filePath(u"devservice"_s));
    QVERIFY2(m_devService->start({u"--seed-demo"_s}), "orvex-devservice did not start");
    SystemInfo::setMachineIdSourceForTesting(
        [] { return std::optional<QString>(u"7d0c3f4e2b1a49c8a6e5d4c3b2a10987"_s); });
}

void tst_Orvexctl::init()
{
    m_session.emplace();
    m_session->config.apiBaseURL = m_devService->origin();
    m_session->config.caCertificates = {m_devService->caCertificate()};
    m_guard = FakeLeakGuard();
    auto backend = std::make_unique<FakeVPNBackend>();
    m_backend = backend.get();
    m_backend->guard = &m_guard;
    m_backend->goesDownOnStop = true;
    m_manager = std::make_unique<VPNManager>(std::move(backend), m_session->files.tunnelConfiguration);
    m_service = std::make_unique<VPNService>(m_manager.get(), m_session->session, m_session->config);
    m_app = std::make_unique<AppWiring>(qApp, m_session->config, &m_session->session,
                                        AppWiring::Tunnel{m_service.get()});
    m_app->publishControl(QDBusConnection::sessionBus());
    QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(ClientControl::serviceName));
    // The backend's first reading, as the client starts with it.
    m_backend->setLiveStatus(VPNStatus::Disconnected);
}

void tst_Orvexctl::cleanup()
{
    m_app.reset();
    QTRY_VERIFY(!QDBusConnection::sessionBus().interface()->isServiceRegistered(ClientControl::serviceName));
    m_service.reset();
    m_manager.reset();
}

ProgramRun tst_Orvexctl::runCtl(const QStringList &arguments, Drive drive, const QString &bus)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, bus.isEmpty() ? m_bus.address() : bus);
    process.setProcessEnvironment(environment);
    process.start(ctlBinary, arguments);
    // This process answers orvexctl's calls: the event loop runs meanwhile.
    if (drive == BringUp) {
        bringUp();
    } else if (drive == GiveUp
               && QTest::qWaitFor([this] { return m_backend->calls.contains(u"start"_s); }, 30000)) {
        // The daemon goes away while connecting: the client gives up and
        // keeps the block.
        m_backend->setLiveStatus(VPNStatus::Connecting);
        m_backend->setLiveStatus(VPNStatus::Invalid);
    }
    if (!QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 60000))
        endProcess(process);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

void tst_Orvexctl::interfaceMatchesItsDescription()
{
    // What the bus is told, from another connection, against the file kept
    // in the tree for those who write against the interface.
    // This thread answers it: the call must not block.
    QDBusMessage reply;
    {
        QDBusConnection other = QDBusConnection::connectToBus(m_bus.address(), u"introspection"_s);
        QDBusPendingCall pending = other.asyncCall(
            QDBusMessage::createMethodCall(ClientControl::serviceName, ClientControl::objectPath,
                                           u"org.freedesktop.DBus.Introspectable"_s, u"Introspect"_s));
        QTRY_VERIFY(pending.isFinished());
        reply = pending.reply();
    }
    QDBusConnection::disconnectFromBus(u"introspection"_s);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const QStringList described = members(QString::fromUtf8(readFile(QStringLiteral(ORVEX_INTERFACE_XML))),
                                          u"org.orvex.Client1"_s);
    QCOMPARE(described,
             (QStringList{u"method Connect"_s, u"method Diagnostics out:s"_s, u"method Disconnect"_s,
                          u"property Email s read"_s, u"property Gateway s read"_s,
                          u"property LastChange s read"_s, u"property Reason s read"_s,
                          u"property State s read"_s, u"property Status s read"_s,
                          u"property VirtualAddresses as read"_s, u"signal Changed a{sv}"_s}));
    QCOMPARE(members(reply.arguments().value(0).toString(), u"org.orvex.Client1"_s), described);
}

void tst_Orvexctl::commands_data()
{
    QTest::addColumn<int>("setup");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("drive");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out"); // exactly
    QTest::addColumn<QString>("err"); // contains
    QTest::addColumn<QStringList>("calls");

    const QStringList none;
    // The switch reads the configuration once; the button's handler, made
    // for it, does not read it again.
    const QStringList on{u"attach"_s, u"apply"_s, u"start"_s};
    QTest::newRow("status, signed out") << int(SignedOut) << QStringList{u"status"_s} << int(Nothing) << 1
                                        << u"Off (signed out)\n"_s << QString() << none;
    QTest::newRow("on, signed out") << int(SignedOut) << QStringList{u"on"_s} << int(Nothing) << 3
                                    << QString()
                                    << u"Nobody is signed in to Orvex. Sign in in the Orvex window first."_s
                                    << none;
    QTest::newRow("status, connected") << int(Connected) << QStringList{u"status"_s} << int(Nothing) << 0
                                       << u"Connected to vpn.orvex.example\n"_s << QString() << none;
    QTest::newRow("status --json, off")
        << int(SignedIn) << QStringList{u"status"_s, u"--json"_s} << int(Nothing) << 1
        << uR"({"Email":"ann@example.com","Gateway":"vpn.orvex.example","Reason":"","State":"Off","Status":"Disconnected","VirtualAddresses":[]})"_s
        << QString() << none;
    QTest::newRow("on --wait, comes up")
        << int(SignedIn) << QStringList{u"on"_s, u"--wait"_s, u"30"_s} << int(BringUp) << 0
        << u"Connected to vpn.orvex.example\n"_s << QString() << on;
    QTest::newRow("on --wait, given up")
        << int(SignedIn) << QStringList{u"on"_s, u"--wait"_s} << int(GiveUp) << 1 << QString()
        << u"orvexctl: Blocked, nothing leaves outside the VPN: The VPN service on this computer stopped.\n"_s
        << on;
    QTest::newRow("off, connected") << int(Connected) << QStringList{u"off"_s} << int(Nothing) << 0
                                    << QString() << QString()
                                    << QStringList{u"attach"_s, u"apply"_s, u"stop"_s};
    QTest::newRow("unknown command") << int(SignedIn) << QStringList{u"of"_s} << int(Nothing) << 2
                                     << QString() << u"Usage: orvexctl COMMAND"_s << none;
    QTest::newRow("wait out of range")
        << int(SignedIn) << QStringList{u"on"_s, u"--wait"_s, u"0"_s} << int(Nothing) << 2 << QString()
        << u"Usage: orvexctl COMMAND"_s << none;
}

void tst_Orvexctl::commands()
{
    QFETCH(int, setup);
    QFETCH(QStringList, arguments);
    QFETCH(int, drive);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(QStringList, calls);

    if (setup != SignedOut) {
        m_session->session.setCredentials(email, password);
        QVERIFY(m_session->keepIdentity("ann"));
    }
    if (setup == Connected) {
        QVERIFY(m_app->control()->turnOn().isSuccess());
        bringUp();
        QTRY_COMPARE(state(), TunnelController::State::Connected);
    }
    const qsizetype before = m_backend->calls.size();

    const ProgramRun run = runCtl(arguments, Drive(drive));
    QVERIFY2(run.err.contains(err), qPrintable(run.err));
    if (arguments.contains(u"--json"_s)) {
        QJsonObject shown = QJsonDocument::fromJson(run.out.toUtf8()).object();
        static const QRegularExpression iso(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"_s);
        QVERIFY2(iso.match(shown.take(u"LastChange"_s).toString()).hasMatch(), qPrintable(run.out));
        QCOMPARE(shown, QJsonDocument::fromJson(out.toUtf8()).object());
    } else {
        QCOMPARE(run.out, out);
    }
    QCOMPARE(run.exitCode, exitCode);
    QTRY_COMPARE(m_backend->calls.mid(before), calls);
    if (arguments == QStringList{u"off"_s})
        QTRY_COMPARE(state(), TunnelController::State::Off);
}

void tst_Orvexctl::watchPrintsEachTransitionAndDiagnosticsKeepsThem()
{
    m_session->session.setCredentials(email, password);
    QVERIFY(m_session->keepIdentity("ann"));
    QProcess watch;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, m_bus.address());
    watch.setProcessEnvironment(environment);
    watch.start(ctlBinary, {u"watch"_s});
    QStringList lines;
    const auto seen = [&watch, &lines] {
        while (watch.canReadLine()) {
            const QJsonObject line = QJsonDocument::fromJson(watch.readLine()).object();
            lines << line.value(u"State"_s).toString() + u'/' + line.value(u"Status"_s).toString();
        }
        return lines;
    };
    QTRY_COMPARE(seen(), (QStringList{u"Off/Disconnected"_s}));
    QVERIFY(QDBusConnection::sessionBus().connect(ClientControl::serviceName, ClientControl::objectPath,
                                                  u"org.freedesktop.DBus.Properties"_s,
                                                  u"PropertiesChanged"_s, this,
                                                  SLOT(propertiesChanged(QString, QVariantMap, QStringList))));

    QCOMPARE(runCtl({u"on"_s, u"--wait"_s}, BringUp).exitCode, 0);
    QCOMPARE(runCtl({u"off"_s}).exitCode, 0);
    // Turn ON raises the block before the backend starts; Turn OFF keeps it
    // until the tunnel is down.
    const QStringList transitions{u"Off/Disconnected"_s,        u"Connecting/Disconnected"_s,
                                  u"Connecting/Connecting"_s,   u"Connected/Connected"_s,
                                  u"Disconnecting/Connected"_s, u"Disconnecting/Disconnecting"_s,
                                  u"Off/Disconnected"_s};
    QTRY_COMPARE(seen(), transitions);
    endProcess(watch);
    // The standard signal names what changed: here each change of State.
    QTRY_COMPARE(m_announcedStates,
                 (QStringList{u"Connecting"_s, u"Connected"_s, u"Disconnecting"_s, u"Off"_s}));

    // The report keeps them, with nothing of the account but its domain.
    const ProgramRun report = runCtl({u"diagnostics"_s, u"--json"_s});
    QCOMPARE(report.exitCode, 0);
    QVERIFY(!report.out.contains(password));
    QVERIFY(!report.out.contains(email));
    const QJsonObject json = QJsonDocument::fromJson(report.out.toUtf8()).object();
    QCOMPARE(json.value(u"tunnel"_s).toObject().value(u"Email"_s).toString(), u"…@example.com"_s);
    QStringList history;
    for (const QJsonValue &entry : json.value(u"history"_s).toArray())
        history << entry[u"state"_s].toString() + u'/' + entry[u"status"_s].toString();
    QCOMPARE(history.mid(history.size() - transitions.size()), transitions);
    QCOMPARE(json.value(u"errors"_s).toArray(), QJsonArray());
    QCOMPARE(json.value(u"client"_s).toObject().value(u"version"_s).toString(), Utility::applicationVersion());

    // The history is bounded: a flapping backend leaves the last 256 changes.
    for (int i = 0; i < 150; ++i) {
        m_backend->setLiveStatus(VPNStatus::Connecting);
        m_backend->setLiveStatus(VPNStatus::Disconnected);
    }
    const ProgramRun flapped = runCtl({u"diagnostics"_s, u"--json"_s});
    const QJsonArray kept = QJsonDocument::fromJson(flapped.out.toUtf8())[u"history"_s].toArray();
    QCOMPARE(kept.size(), 256);
    QCOMPARE(kept.last()[u"status"_s].toString(), u"Disconnected"_s);
}

void tst_Orvexctl::activationStartsTheClientInTheTray()
{
    // A bus of its own, whose service folder holds the packaged .service file
    // pointing at the client of this build.
    const QString services = m_dir.filePath(u"services"_s);
    const QString home = m_dir.filePath(u"activated-home"_s);
    QVERIFY(QDir().mkpath(services) && QDir().mkpath(home));
    QString service = QString::fromUtf8(readFile(QStringLiteral(ORVEX_SERVICE_TEMPLATE)));
    QVERIFY(service.contains(u"Exec=@ORVEX_SERVICE_BINDIR@/orvex --tray\n"_s));
    service.replace(u"@ORVEX_SERVICE_BINDIR@"_s, QFileInfo(clientBinary).absolutePath());
    QVERIFY(writeFile(services + u"/org.orvex.Client1.service"_s, service.toUtf8()));
    // The session configuration's policy, with this folder as the only one
    // of services.
    const QString config = m_dir.filePath(u"bus.conf"_s);
    QVERIFY(writeFile(config,
                      u"<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>"
                      "<servicedir>%1</servicedir><policy context=\"default\">"
                      "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                      "<allow own=\"*\"/></policy></busconfig>"_s.arg(services)
                          .toUtf8()));
    const QString noCharon = m_dir.filePath(u"client.json"_s);
    QVERIFY(
        writeFile(noCharon, uR"({"vpnBackend": "vici", "viciSocket": "%1", "viciNetworkNamespace": "%2"})"_s
                                .arg(m_dir.filePath(u"none.vici"_s), m_dir.filePath(u"no-netns"_s))
                                .toUtf8()));

    // What the started client inherits: no display but offscreen, folders
    // of its own (nobody signed in), no system bus.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    environment.insert(u"HOME"_s, home);
    environment.insert(u"XDG_CONFIG_HOME"_s, home + u"/config"_s);
    environment.insert(u"XDG_DATA_HOME"_s, home + u"/data"_s);
    environment.insert(u"XDG_CACHE_HOME"_s, home + u"/cache"_s);
    environment.insert(u"ORVEX_CONFIG"_s, noCharon);
    environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s,
                       u"unix:path=%1"_s.arg(m_dir.filePath(u"no-system-bus"_s)));
    PrivateBus bus(config, environment);
    QVERIFY2(bus.isRunning(), qPrintable(bus.error()));

    const ProgramRun status = runCtl({u"status"_s}, Nothing, bus.address());
    // The one who answered is the client of this build, started for the tray;
    // it ends with the test.
    const ProgramRun owner = runProgram(u"dbus-send"_s,
                                        {u"--bus="_s + bus.address(), u"--print-reply"_s,
                                         u"--dest=org.freedesktop.DBus"_s, u"/org/freedesktop/DBus"_s,
                                         u"org.freedesktop.DBus.GetConnectionUnixProcessID"_s,
                                         u"string:org.orvex.Client1"_s});
    static const QRegularExpression uint32(u"uint32 (\\d+)"_s);
    const uint pid = uint32.match(owner.out).captured(1).toUInt();
    const auto endClient = qScopeGuard([pid] {
        if (pid > 0 && ::kill(pid_t(pid), SIGTERM) == 0
            && !QTest::qWaitFor([pid] { return !PrivateBus::isAlive(pid_t(pid)); }, 10000))
            ::kill(pid_t(pid), SIGKILL);
    });
    QVERIFY2(pid > 0, qPrintable(status.err));
    QFile cmdline(u"/proc/%1/cmdline"_s.arg(pid));
    QVERIFY(cmdline.open(QIODevice::ReadOnly));
    QCOMPARE(cmdline.readAll(), QFile::encodeName(clientBinary) + QByteArray("\0--tray\0", 8));

    QVERIFY2(status.out.startsWith(u"Off"_s) && status.out.endsWith(u" (signed out)\n"_s),
             qPrintable(status.out + status.err));
    QCOMPARE(status.exitCode, 1);
}

QTEST_MAIN(tst_Orvexctl)
#include "tst_orvexctl.moc"
