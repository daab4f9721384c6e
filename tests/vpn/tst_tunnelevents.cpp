// What the desktop hears from the tunnel (notifications, through dbusmock's
// notification server) and what the tunnel hears from the desktop (wake-up from
// a logind mock, default-route changes in a network namespace of its own).

#include "DBusMock.h"
#include "FakeVPNBackend.h"
#include "PrivateBus.h"
#include "TestSession.h"

#include "session/DefaultsKeys.h"
#include "config/Config.h"
#include "platform/DesktopNotifier.h"
#include "platform/NetworkChangeMonitor.h"
#include "platform/UserDefaults.h"
#include "platform/VPNManager.h"
#include "vpn/TunnelNotifications.h"
#include "vpn/VPNService.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sched.h>
#include <unistd.h>

using namespace Orvex;
using namespace Qt::StringLiterals;

namespace {

const QString notificationsService = u"org.freedesktop.Notifications"_s;
const QString notificationsPath = u"/org/freedesktop/Notifications"_s;
const QString notificationsInterface = u"org.freedesktop.Notifications"_s;
const QString mockInterface = u"org.freedesktop.DBus.Mock"_s;

QStringList steps(const char *text)
{
    return QString::fromUtf8(text).split(u'|');
}

struct Shown
{
    uint replacesId = 0;
    QString summary;
    QString body;
};

} // namespace

class tst_TunnelEvents : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void notifications_data();
    void notifications();
    void aNewNotificationReplacesTheLastOneAsPlainText_data();
    void aNewNotificationReplacesTheLastOneAsPlainText();
    void wakingUpChecksTheTunnelAtOnce();
    // Last: it moves the process into a network namespace of its own.
    void aNewDefaultRouteChecksTheTunnel();

private:
    std::optional<TestSession> m_session; // each case's own, with nothing saved
    QList<Shown> shown();
    void step(const QString &what);

    PrivateBus m_sessionBus;
    PrivateBus m_systemBus;
    std::unique_ptr<DBusMock> m_notificationServer;
    FakeVPNBackend *m_backend = nullptr;
    std::unique_ptr<VPNManager> m_manager;
    std::unique_ptr<VPNService> m_service;
    std::unique_ptr<TunnelNotifications> m_notifications;
    FakeConnectivity m_connectivity;
};

void tst_TunnelEvents::initTestCase()
{
    QVERIFY2(m_sessionBus.isRunning(), qPrintable(m_sessionBus.error()));
    QVERIFY2(m_systemBus.isRunning(), qPrintable(m_systemBus.error()));
    m_sessionBus.exportAsSessionBus();
    // Never the machine's system bus: logind is a mock on a bus of our own.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_systemBus.address().toLocal8Bit());
    QVERIFY(QDBusConnection::sessionBus().isConnected());

    m_notificationServer = std::make_unique<DBusMock>(u"notification_daemon"_s);
    QVERIFY2(m_notificationServer->started(), "python3-dbusmock is needed (scripts/install-deps)");
    QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::sessionBus().interface()->isServiceRegistered(
                                 notificationsService),
                             30000);
}

void tst_TunnelEvents::init()
{
    m_session.emplace();
    auto backend = std::make_unique<FakeVPNBackend>();
    m_backend = backend.get();
    m_manager = std::make_unique<VPNManager>(std::move(backend), m_session->files.tunnelConfiguration);
    m_service = std::make_unique<VPNService>(m_manager.get(), m_session->session, m_session->config);
    m_notifications = std::make_unique<TunnelNotifications>(*m_service,
                                                            new FreedesktopNotifier(m_service.get()));
    m_connectivity.report(NetworkConnectivity::State::Full);
    m_service->setConnectivity(&m_connectivity);
    const QDBusMessage cleared = askBus(QDBusConnection::sessionBus(), notificationsService,
                                        notificationsPath, mockInterface, u"ClearCalls"_s);
    QCOMPARE(cleared.type(), QDBusMessage::ReplyMessage);
}

void tst_TunnelEvents::cleanup()
{
    m_notifications.reset();
    m_service.reset();
    m_manager.reset();
}

// The Notify calls the server received, oldest first.
QList<Shown> tst_TunnelEvents::shown()
{
    QList<Shown> list;
    for (const QVariantList &arguments :
         DBusMock::calls(notificationsService, notificationsPath, u"Notify"_s)) {
        if (arguments.size() >= 5)
            list << Shown{arguments.at(1).toUInt(), arguments.at(3).toString(), arguments.at(4).toString()};
    }
    return list;
}

// One thing happening: the configuration loaded, the user's Turn ON, Turn
// OFF (or the switch, as the tray and the main screen flip it) or Quit, the setting switched off, a failure reason from the daemon,
// the network's connectivity, or a live state.
void tst_TunnelEvents::step(const QString &what)
{
    if (what == QLatin1String("turn on")) {
        m_service->noteUserRequest();
        m_service->connect();
    } else if (what == QLatin1String("turn off")) {
        m_service->noteUserRequest();
        m_service->disconnect();
    } else if (what == QLatin1String("switch")) {
        m_service->noteUserRequest();
        m_service->toggleLoaded();
    } else if (what == QLatin1String("loaded")) { // as a running client has its configuration
        m_manager->loadFromPreferences({});
        QTRY_VERIFY(m_manager->hasLoaded());
    } else if (what == QLatin1String("quit")) {
        m_service->quit({});
    } else if (what == QLatin1String("notifications off")) {
        m_session->defaults.setBoolean(DefaultsKeys::isNotificationsEnabled, false);
    } else if (what == QLatin1String("no answer")) {
        m_backend->failure = VPNBackend::Failure::NoAnswer;
    } else if (what == QLatin1String("refused")) {
        m_backend->failure = VPNBackend::Failure::Refused;
    } else if (what == QLatin1String("portal")) { // the network asks for its sign-in page
        m_connectivity.report(NetworkConnectivity::State::Portal);
    } else if (what == QLatin1String("full")) {
        m_connectivity.report(NetworkConnectivity::State::Full);
    } else {
        static const QHash<QString, VPNStatus> states{{u"connecting"_s, VPNStatus::Connecting},
                                                      {u"connected"_s, VPNStatus::Connected},
                                                      {u"disconnecting"_s, VPNStatus::Disconnecting},
                                                      {u"disconnected"_s, VPNStatus::Disconnected},
                                                      {u"invalid"_s, VPNStatus::Invalid}};
        QVERIFY2(states.contains(what), qPrintable(what));
        m_backend->setLiveStatus(states.value(what));
    }
}

void tst_TunnelEvents::notifications_data()
{
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("expected"); // summary, body, summary, body, ...

    const QString connected = u"VPN connected"_s;
    const QString connectedBody = u"Your traffic now goes through the VPN."_s;
    const QString dropped = u"VPN disconnected"_s;
    const QString droppedBody = u"The connection to the VPN server was lost."_s;
    const QString failed = u"VPN connection failed"_s;

    QTest::newRow("up by itself") << steps("disconnected|connecting|connected")
                                  << QStringList{connected, connectedBody};
    QTest::newRow("up by the user's Turn ON")
        << steps("disconnected|turn on|connecting|connected") << QStringList{};
    QTest::newRow("down by the user's Turn OFF")
        << steps("connected|turn off|disconnecting|disconnected") << QStringList{connected, connectedBody};
    QTest::newRow("down by the switch") << steps("loaded|connected|switch|disconnecting|disconnected")
                                        << QStringList{connected, connectedBody};
    QTest::newRow("down by Quit") << steps("loaded|disconnected|turn on|connected|quit|disconnected")
                                  << QStringList{};
    QTest::newRow("dropped by the gateway")
        << steps("disconnected|turn on|connected|disconnected") << QStringList{dropped, droppedBody};
    QTest::newRow("the daemon went away")
        << steps("disconnected|turn on|connected|invalid") << QStringList{dropped, droppedBody};
    QTest::newRow("dropped, then back by itself")
        << steps("disconnected|turn on|connected|disconnected|connecting|connected")
        << QStringList{dropped, droppedBody, connected, connectedBody};
    QTest::newRow("the user's attempt: no answer")
        << steps("disconnected|turn on|no answer|connecting|disconnected")
        << QStringList{failed, u"The VPN server did not answer."_s};
    QTest::newRow("an attempt refused") << steps("disconnected|connecting|refused|disconnected")
                                        << QStringList{failed, u"The VPN server refused the connection."_s};
    QTest::newRow("an attempt, the reason unknown")
        << steps("disconnected|connecting|disconnected")
        << QStringList{failed, u"The connection could not be established."_s};
    QTest::newRow("lost while coming back")
        << steps("disconnected|turn on|connected|connecting|no answer|disconnected")
        << QStringList{failed, u"The VPN server did not answer."_s};
    const QString portal = u"Sign-in needed for this network"_s;
    const QString portalBody
        = u"This network asks you to sign in on a web page before it lets you online. "
          "Until you turn the VPN off, nothing leaves this computer outside it, so that page "
          "cannot open. To sign in: Turn OFF, sign in in your browser, then Turn ON."_s;
    QTest::newRow("a sign-in page while the tunnel is tried, once each time it is asked for")
        << steps("disconnected|turn on|connecting|portal|disconnected|connecting|full|portal")
        << QStringList{portal, portalBody, failed, u"The connection could not be established."_s,
                       portal, portalBody};
    QTest::newRow("a sign-in page found before Turn ON")
        << steps("disconnected|portal|turn on|connecting") << QStringList{portal, portalBody};
    QTest::newRow("a sign-in page while off, or up, is no news")
        << steps("disconnected|portal|full|turn on|connecting|connected|portal") << QStringList{};
    QTest::newRow("switched off in the settings")
        << steps("notifications off|disconnected|connecting|connected|disconnected") << QStringList{};
}

void tst_TunnelEvents::notifications()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, expected);
    for (const QString &what : steps)
        step(what);
    // Notifications reach the server in the order they are made: once a last
    // one has arrived, every one before it has too.
    m_session->defaults.remove(DefaultsKeys::isNotificationsEnabled);
    m_notifications->certificateNotRenewed(u"end of row"_s);
    QTRY_VERIFY(!shown().isEmpty() && shown().constLast().body == QLatin1String("end of row"));
    QStringList got;
    for (const Shown &one : shown())
        got << one.summary << one.body;
    got.resize(got.size() - 2);
    QCOMPARE(got, expected);
}

void tst_TunnelEvents::aNewNotificationReplacesTheLastOneAsPlainText_data()
{
    QTest::addColumn<QString>("capabilities"); // what the server says it can do
    QTest::addColumn<QString>("body");         // the failure's body as the server gets it
    QTest::newRow("server reads markup")
        << u"'body', 'body-markup'"_s
        << u"&lt;a href=&quot;https://x.example&quot;&gt;renew&lt;/a&gt; &amp; retry"_s;
    // It would show "&amp;" as it stands.
    QTest::newRow("server shows the body as it is")
        << u"'body', 'actions'"_s << u"<a href=\"https://x.example\">renew</a> & retry"_s;
}

void tst_TunnelEvents::aNewNotificationReplacesTheLastOneAsPlainText()
{
    QFETCH(QString, capabilities);
    QFETCH(QString, body);
    const QDBusMessage changed = askBus(QDBusConnection::sessionBus(), notificationsService,
                                        notificationsPath, mockInterface, u"AddMethod"_s,
                                        {notificationsInterface, u"GetCapabilities"_s, QString(), u"as"_s,
                                         u"ret = [%1]"_s.arg(capabilities)});
    QCOMPARE(changed.type(), QDBusMessage::ReplyMessage);
    for (const char *what :
         {"disconnected", "connecting", "connected", "disconnected", "connecting", "connected"})
        step(QLatin1String(what));
    // As the tunnel service reports a renewal that failed.
    Q_EMIT m_service->certificateRenewalFailed(u"<a href=\"https://x.example\">renew</a> & retry"_s);
    m_notifications->certificateNotRenewed({});
    QTRY_COMPARE(shown().size(), 5);
    const QList<Shown> list = shown();
    // The server's ids run from 1 in the mock: each one replaces the last.
    QCOMPARE(list.at(0).replacesId, 0u);
    QVERIFY(list.at(1).replacesId != 0u);
    QCOMPARE(list.at(2).replacesId, list.at(1).replacesId);
    QCOMPARE(list.at(3).summary, u"VPN certificate not renewed"_s);
    QCOMPARE(list.at(3).body, body);
    QCOMPARE(list.at(4).body,
             u"The certificate of this computer could not be renewed. Sign in again to get a new one."_s);
}

void tst_TunnelEvents::wakingUpChecksTheTunnelAtOnce()
{
    DBusMock logind(u"logind"_s, {}, u"--system"_s);
    QVERIFY(logind.started());
    QDBusConnection system = QDBusConnection::systemBus();
    QVERIFY(system.isConnected());
    QTRY_VERIFY_WITH_TIMEOUT(system.interface()->isServiceRegistered(u"org.freedesktop.login1"_s), 30000);

    NetworkChangeMonitor monitor;
    QVERIFY(monitor.watchesSleep());
    connect(&monitor, &NetworkChangeMonitor::changed, m_service.get(),
            [this] { m_service->checkTunnel(VPNBackend::Change::Resumed); });
    QSignalSpy changes(&monitor, &NetworkChangeMonitor::changed);
    const auto prepareForSleep = [&system](bool start) {
        return askBus(system, u"org.freedesktop.login1"_s, u"/org/freedesktop/login1"_s, mockInterface,
                      u"EmitSignal"_s,
                      {u"org.freedesktop.login1.Manager"_s, u"PrepareForSleep"_s, u"b"_s, QVariantList{start}})
            .type();
    };
    // Going to sleep is nothing to act on; waking up is.
    QCOMPARE(prepareForSleep(true), QDBusMessage::ReplyMessage);
    QCOMPARE(prepareForSleep(false), QDBusMessage::ReplyMessage);
    // The signal may have come while the call's answer was awaited.
    QTRY_COMPARE_WITH_TIMEOUT(changes.size(), 1, 10000);
    QCOMPARE(changes.constFirst().constFirst().value<NetworkChangeMonitor::Reason>(),
             NetworkChangeMonitor::Reason::Resumed);
    QCOMPARE(m_backend->calls.count(u"check resumed"_s), 1);
}

void tst_TunnelEvents::aNewDefaultRouteChecksTheTunnel()
{
    if (::geteuid() != 0)
        QSKIP("needs root for a network namespace of its own");
    QCOMPARE(::unshare(CLONE_NEWNET), 0);
    const auto ip = [](const QString &arguments) {
        return QProcess::execute(u"ip"_s, arguments.split(QLatin1Char(' ')));
    };
    QCOMPARE(ip(u"link set lo up"_s), 0);
    QCOMPARE(ip(u"addr add 10.77.0.2/24 dev lo"_s), 0);

    NetworkChangeMonitor monitor;
    QVERIFY(monitor.watchesRoutes());
    connect(&monitor, &NetworkChangeMonitor::changed, m_service.get(),
            [this] { m_service->checkTunnel(VPNBackend::Change::RouteChanged); });
    QSignalSpy changes(&monitor, &NetworkChangeMonitor::changed);

    // A route that is not the default one says nothing.
    QCOMPARE(ip(u"route add 10.78.0.0/16 via 10.77.0.1 dev lo"_s), 0);
    // Nor does a default route in a table other than main (charon's own).
    QCOMPARE(ip(u"route add default via 10.77.0.1 dev lo table 220"_s), 0);
    // A new default route does, once for the burst of a replace.
    QCOMPARE(ip(u"route add default via 10.77.0.1 dev lo"_s), 0);
    QVERIFY(changes.wait(10000));
    QCOMPARE(changes.constFirst().constFirst().value<NetworkChangeMonitor::Reason>(),
             NetworkChangeMonitor::Reason::DefaultRouteChanged);
    QCOMPARE(m_backend->calls.count(u"check route"_s), 1);
    QCOMPARE(ip(u"route replace default via 10.77.0.3 dev lo"_s), 0);
    QVERIFY(changes.wait(10000));
    QCOMPARE(m_backend->calls.count(u"check route"_s), 2);
    QCOMPARE(ip(u"route del default"_s), 0);
    QVERIFY(changes.wait(10000));
    QCOMPARE(changes.size(), 3);
}

QTEST_GUILESS_MAIN(tst_TunnelEvents)
#include "tst_tunnelevents.moc"
