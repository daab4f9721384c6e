#include "GatewayFixture.h"

#include "account/DefaultsKeys.h"
#include "account/Session.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/RunMarker.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VpnManager.h"
#include "platform/vici/ViciClient.h"
#include "platform/vici/ViciVpnBackend.h"
#include "vpn/KeychainService.h"
#include "vpn/VPNService.h"
#include "TestSession.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <csignal>

using namespace Orvex;

namespace {

constexpr int TunnelTimeoutMs = 30000;

// Asks a charon something and waits for the answer (tests only).
ViciReply ask(const QString &socket, const QByteArray &command, const ViciMessage &request = {})
{
    ViciClient client;
    client.connectToDaemon(socket);
    std::optional<ViciReply> reply;
    client.call(command, request, [&](const ViciReply &r) { reply = r; });
    (void)QTest::qWaitFor([&] { return reply.has_value(); }, 10000);
    return reply.value_or(ViciReply{});
}

// Names of the IKE SAs a charon has.
QList<QByteArray> ikeSas(const QString &socket)
{
    ViciClient client;
    client.connectToDaemon(socket);
    QList<QByteArray> names;
    bool done = false;
    client.stream("list-sas", {}, "list-sa",
                  [&](const ViciMessage &item) {
                      for (const ViciMessage::Entry &entry : item.entries())
                          names << entry.name;
                  },
                  [&](const ViciReply &) { done = true; });
    (void)QTest::qWaitFor([&] { return done; }, 10000);
    return names;
}

// The unique id and the outer addresses of a charon's first IKE SA.
struct IkeSa
{
    QByteArray id;
    QByteArray localHost;
    QByteArray remoteHost;
};

std::optional<IkeSa> firstIkeSa(const QString &socket)
{
    ViciClient client;
    client.connectToDaemon(socket);
    std::optional<IkeSa> sa;
    bool done = false;
    client.stream("list-sas", {}, "list-sa",
                  [&](const ViciMessage &item) {
                      for (const ViciMessage::Entry &entry : item.entries()) {
                          if (!sa && entry.kind == ViciMessage::Entry::Section
                              && entry.section.value("state") == "ESTABLISHED")
                              sa = IkeSa{entry.section.value("uniqueid"), entry.section.value("local-host"),
                                         entry.section.value("remote-host")};
                      }
                  },
                  [&](const ViciReply &) { done = true; });
    (void)QTest::qWaitFor([&] { return done; }, 10000);
    return sa;
}

// Gone, or a zombie that nobody reaps: either way its sockets are closed.
bool hasEnded(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close >= 0 && line.mid(close + 2, 1) == "Z";
}

// One ping through the tunnel with a short wait, so the time to "carrying
// again" is measured finely.
bool quickPing(const QString &ns)
{
    return QProcess::execute(QStringLiteral("ip"), QStringLiteral("netns exec %1 ping -c1 -W0.2 198.51.100.1")
                                                      .arg(ns)
                                                      .split(u' '))
           == 0;
}

// `ip` with the words of `arguments`.
int ip(const QString &arguments)
{
    return QProcess::execute(QStringLiteral("ip"), arguments.split(u' '));
}

// The name of the namespace's veth end ("oc…" on the client side).
QString vethIn(const QString &ns)
{
    QProcess list;
    list.start(QStringLiteral("ip"), {QStringLiteral("-n"), ns, QStringLiteral("-o"), QStringLiteral("link"),
                                      QStringLiteral("show"), QStringLiteral("type"), QStringLiteral("veth")});
    list.waitForFinished();
    const QList<QByteArray> fields = list.readAllStandardOutput().split(' ');
    return fields.size() > 1 ? QString::fromLatin1(fields.at(1).split('@').constFirst()).remove(QLatin1Char(':'))
                             : QString();
}

} // namespace

class TestTunnelEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void connectCarriesPacketsAndDisconnects();
    void onDemandComesUpOnSaveAndAfterADrop();
    void silentGatewayEndsInTheAttemptsRule();
    void quitLeavesNothingLoaded();
    void certificateFromAnotherCaFails();
    void nothingLeavesBesideTheTunnel_data();
    void nothingLeavesBesideTheTunnel();
    void aChangedNetworkIsCheckedAtOnce_data();
    void aChangedNetworkIsCheckedAtOnce();
    void redirectsAreNotFollowed();

private:
    TestSession m_session;
    QString localIdentifier() const;
    void useIdentity(const QByteArray &archive, bool shared);
    void recordStatuses();
    void startClient();

    std::unique_ptr<GatewayFixture> m_gateway;
    VpnManager *m_manager = nullptr;
    VPNService *m_service = nullptr;
    QList<VpnStatus> m_statuses;
};

void TestTunnelEndToEnd::init()
{
    if (!GatewayFixture::isRoot())
        QSKIP("needs root: the gateway runs in network namespaces");
    m_gateway = std::make_unique<GatewayFixture>();
    QString error;
    const bool ipv4Only = QLatin1String(QTest::currentDataTag()) == QLatin1String("IPv4-only gateway");
    QVERIFY2(m_gateway->up(&error, ipv4Only ? QStringList{QStringLiteral("--ipv4-only")} : QStringList{}),
             qPrintable(error));

    Config config = *Config::parse({}, {}, nullptr);
    config.vpnGatewayHost = m_gateway->host();
    config.viciSocket = m_gateway->clientVici();
    config.caCertificates = {m_gateway->caCertificate()};
    config.viciUpdownScript = QString::fromLocal8Bit(qgetenv("ORVEX_UPDOWN_SCRIPT"));
    config.viciResolverFile = m_gateway->value(QStringLiteral("RESOLV_CONF"));
    Config::setCurrent(config);

    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(QStringLiteral("e2e-machine")); });
    UserDefaults::standard().setString(DefaultsKeys::tempEmail, QStringLiteral("ann@example.com"));
    QFile::remove(VpnManager::defaultStoragePath());
    startClient();
}

// As a start of the client: a new tunnel service on what is saved.
void TestTunnelEndToEnd::startClient()
{
    m_manager = new VpnManager(VpnManager::makeConfiguredBackend(), VpnManager::defaultStoragePath());
    m_service = new VPNService(m_manager, m_session.session);
    m_statuses.clear();
    connect(m_manager->connection(), &VpnConnection::statusDidChange, this,
            [this] { m_statuses << m_manager->connection()->status(); });
}

void TestTunnelEndToEnd::cleanup()
{
    delete m_service;
    delete m_manager;
    m_service = nullptr;
    m_manager = nullptr;
    if (m_gateway && QTest::currentTestFailed())
        qWarning().noquote() << m_gateway->logs();
    m_gateway.reset();
    m_session.session.logout();
    UserDefaults::standard().remove(DefaultsKeys::isAutoConnectEnabled);
    SystemInfo::setMachineIdSourceForTesting({});
}

QString TestTunnelEndToEnd::localIdentifier() const
{
    return QString::fromLatin1(
                   QCryptographicHash::hash("e2e-machine@ann@example.com", QCryptographicHash::Md5).toHex())
           + QStringLiteral(".clients.orvex.example");
}

void TestTunnelEndToEnd::useIdentity(const QByteArray &archive, bool shared)
{
    QVERIFY(!archive.isEmpty());
    const QByteArray reference = KeychainService::persistentReference(archive).value();
    QVERIFY(m_session.session.replaceIdentity(reference));
    if (shared) {
        QVERIFY(IdentityStore::standard().grantAccess(reference, ViciVpnBackend::daemonApplication()));
        UserDefaults::standard().setBoolean(DefaultsKeys::isAutoConnectEnabled, true);
    }
}

void TestTunnelEndToEnd::connectCarriesPacketsAndDisconnects()
{
    const QByteArray archive = m_gateway->issueClientIdentity(localIdentifier(),
                                                              Config::current().pkcs12Passphrase);
    useIdentity(archive, false);
    QVERIFY(!m_gateway->pingInnerAddress()); // no route before the tunnel

    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_statuses.contains(VpnStatus::Connecting));
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled); // key was not shared yet
    QVERIFY(m_gateway->pingInnerAddress());

    // Handing the key to charon made it shared.
    const QByteArray reference = KeychainService::persistentReference(archive).value();
    QVERIFY(KeychainService::isPrivateKeyShared(IdentityStore::standard(), reference));
    QVERIFY(IdentityStore::standard().accessList(reference)->front().applications.contains(
            ViciVpnBackend::daemonApplication()));

    bool stopped = false;
    m_service->disconnect([&] { stopped = true; });
    QTRY_VERIFY(stopped);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);
    QVERIFY(m_statuses.contains(VpnStatus::Disconnecting));
    QVERIFY(ikeSas(m_gateway->clientVici()).isEmpty());
    QVERIFY(!m_gateway->pingInnerAddress());

    // toggle from disconnected brings it back, without loading into charon
    // again what it already holds.
    QFile log(QFileInfo(m_gateway->clientVici()).dir().filePath(QStringLiteral("charon.log")));
    const auto loads = [&log] {
        log.open(QIODevice::ReadOnly);
        const QByteArray text = log.readAll();
        log.close();
        return QList<qsizetype>{text.count("vici connection: orvex"), text.count("private key")};
    };
    QCOMPARE(loads(), (QList<qsizetype>{1, 1})); // the connection and the key, loaded once
    m_service->toggle();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QCOMPARE(loads(), (QList<qsizetype>{1, 1}));
    m_service->toggle();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);

    // Another tool cleared charon: the next switch loads everything again.
    ViciMessage connection;
    connection.set("name", "orvex");
    QVERIFY(ask(m_gateway->clientVici(), "unload-conn", connection).isSuccess());
    QVERIFY(ask(m_gateway->clientVici(), "clear-creds").isSuccess());
    m_service->toggle();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_gateway->pingInnerAddress());
}

void TestTunnelEndToEnd::onDemandComesUpOnSaveAndAfterADrop()
{
    useIdentity(m_gateway->issueClientIdentity(localIdentifier(), Config::current().pkcs12Passphrase),
                true);
    // Saved with on-demand on, never started by hand.
    m_service->config().isOnDemandEnabled = true;
    bool saved = false;
    m_manager->loadFromPreferences([&](const std::optional<QString> &error) {
        m_service->configureAndSave(error, [&] { saved = true; });
    });
    QTRY_VERIFY(saved);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_gateway->pingInnerAddress());

    // The gateway drops the tunnel; it comes back by itself.
    m_statuses.clear();
    ViciMessage terminate;
    terminate.set("ike", m_gateway->value(QStringLiteral("CONN")).toUtf8());
    terminate.set("timeout", "2000");
    QVERIFY2(ask(m_gateway->gatewayVici(), "terminate", terminate).isSuccess(), "gateway terminate");
    QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VpnStatus::Disconnected), TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_statuses.indexOf(VpnStatus::Connecting) > m_statuses.indexOf(VpnStatus::Disconnected));
    QCOMPARE(m_service->attempts(), 0);
    QVERIFY(m_gateway->pingInnerAddress());

    // connect() with the key shared and auto-connect on saves on-demand on.
    m_service->connect();
    QTRY_VERIFY(m_manager->savedPreferences().onDemandEnabled);
    m_service->disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled);
}

void TestTunnelEndToEnd::silentGatewayEndsInTheAttemptsRule()
{
    useIdentity(m_gateway->issueClientIdentity(localIdentifier(), Config::current().pkcs12Passphrase),
                true);
    QVERIFY(m_gateway->stopResponder());
    m_service->connect();
    QTRY_VERIFY(m_manager->savedPreferences().onDemandEnabled); // saved on at first
    // Four keying attempts that get no answer, then the rule switches it off.
    QTRY_VERIFY_WITH_TIMEOUT(!m_manager->savedPreferences().onDemandEnabled, 90000);
    QCOMPARE(m_statuses.count(VpnStatus::Connecting), 4);
    QCOMPARE(m_service->attempts(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);

    // What is saved on disk says so too, and nothing tries again.
    VpnManager reader(std::make_unique<ViciVpnBackend>(ViciVpnBackend::Options{}),
                      VpnManager::defaultStoragePath());
    std::optional<std::optional<QString>> loaded;
    reader.loadFromPreferences([&](const std::optional<QString> &error) { loaded = error; });
    QTRY_VERIFY(loaded.has_value());
    QVERIFY(!loaded->has_value());
    QVERIFY(!reader.isOnDemandEnabled());
    QTest::qWait(3000); // several retry pauses
    QCOMPARE(m_statuses.count(VpnStatus::Connecting), 4);
}

void TestTunnelEndToEnd::quitLeavesNothingLoaded()
{
    useIdentity(m_gateway->issueClientIdentity(localIdentifier(), Config::current().pkcs12Passphrase),
                false);
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    const ViciReply keysBefore = ask(m_gateway->clientVici(), "get-keys");
    QCOMPARE(keysBefore.message.list("keys").size(), 1);

    bool terminated = false;
    m_service->quit([&] { terminated = true; });
    QTRY_VERIFY_WITH_TIMEOUT(terminated, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(ikeSas(m_gateway->clientVici()).isEmpty(), TunnelTimeoutMs);
    QVERIFY(ask(m_gateway->clientVici(), "get-conns").message.list("conns").isEmpty());
    QVERIFY(ask(m_gateway->clientVici(), "get-keys").message.list("keys").isEmpty());
    QCOMPARE(m_manager->savedPreferences().protocolConfiguration->authenticationMethod,
             VpnProtocolIKEv2::AuthenticationMethod::SharedSecret);
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled);
    QString error;
    QVERIFY(!m_manager->connection()->startVPNTunnel(&error)); // cannot come up
}

void TestTunnelEndToEnd::certificateFromAnotherCaFails()
{
    const QString otherCa = m_gateway->makeOtherCa();
    QVERIFY(!otherCa.isEmpty());
    useIdentity(m_gateway->issueClientIdentity(localIdentifier(), Config::current().pkcs12Passphrase,
                                               otherCa),
                false);
    m_service->connect();
    QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VpnStatus::Connecting), TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);
    QVERIFY(!m_statuses.contains(VpnStatus::Connected));
    QVERIFY(!m_gateway->pingInnerAddress());
}

void TestTunnelEndToEnd::nothingLeavesBesideTheTunnel_data()
{
    QTest::addColumn<bool>("gatewayOffersIpv6");
    QTest::newRow("dual-stack gateway") << true;
    QTest::newRow("IPv4-only gateway") << false;
}

// With the tunnel up a name only the gateway's resolver knows resolves to
// its inside answer, the host behind the gateway answers on both families
// (or, from an IPv4-only gateway, IPv6 is refused on the spot), and the
// client's outer link carries nothing but IKE, ESP in UDP and link
// housekeeping. Down again, by hand or by the gateway, the resolver
// configuration is what it was, byte for byte.
void TestTunnelEndToEnd::nothingLeavesBesideTheTunnel()
{
    QFETCH(bool, gatewayOffersIpv6);
    QCOMPARE(m_gateway->value(QStringLiteral("IPV6")), gatewayOffersIpv6 ? QStringLiteral("yes") : QStringLiteral("no"));
    const QString hostName = m_gateway->value(QStringLiteral("HOST_NAME"));
    const QString lanName = m_gateway->value(QStringLiteral("LAN_NAME"));
    const QByteArray resolverBefore = m_gateway->resolverConfiguration();
    QCOMPARE(resolverBefore, QByteArray("# LAN resolver (test gateway)\n"
                                        "nameserver 192.0.2.53\n"
                                        "nameserver 2001:db8:1::53\n"
                                        "options edns0\n"));
    // Before the tunnel the LAN's resolver answers, with its outside answer.
    QCOMPARE(m_gateway->resolve(hostName, 4), QStringLiteral("192.0.2.66"));
    QVERIFY(!m_gateway->ping(QStringLiteral("198.51.100.10")));

    useIdentity(m_gateway->issueClientIdentity(localIdentifier(), Config::current().pkcs12Passphrase),
                false);
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    // charon applies the resolvers and runs the updown script just after it
    // reports the tunnel up.
    QTRY_VERIFY_WITH_TIMEOUT(m_gateway->resolverConfiguration() != resolverBefore, TunnelTimeoutMs);
    if (!gatewayOffersIpv6)
        QTRY_VERIFY_WITH_TIMEOUT(m_gateway->ipv6Refused(), TunnelTimeoutMs);
    QCOMPARE(m_gateway->ipv6Refused(), !gatewayOffersIpv6);

    GatewayFixture::Capture capture(*m_gateway);
    QString error;
    QVERIFY2(capture.start(&error), qPrintable(error));
    QCOMPARE(m_gateway->resolve(hostName, 4), QStringLiteral("198.51.100.10"));
    QCOMPARE(m_gateway->resolve(hostName, 6), QStringLiteral("2001:db8:51::10"));
    QVERIFY(m_gateway->ping(QStringLiteral("198.51.100.10")));
    QCOMPARE(m_gateway->ping(QStringLiteral("2001:db8:51::10")), gatewayOffersIpv6);
    const QString lanAnswer = m_gateway->resolve(lanName, 4);
    QVERIFY2(capture.stop(&error), qPrintable(error));
    qInfo().noquote() << QTest::currentDataTag() << "outer link with the tunnel up:" << capture.summary()
                      << "| LAN name:" << (lanAnswer.isEmpty() ? QStringLiteral("unresolved") : lanAnswer);
    QVERIFY2(capture.others.isEmpty(), qPrintable(capture.others.join(u'\n')));
    QVERIFY(capture.counts.value(QStringLiteral("ESP in UDP")) >= 4); // at least one ping each way

    // Turn OFF: the resolvers and the refusal go with the tunnel.
    m_service->disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!m_gateway->ipv6Refused(), TunnelTimeoutMs);
    QCOMPARE(m_gateway->resolve(hostName, 4), QStringLiteral("192.0.2.66"));

    // Up again, then the gateway goes away: the same.
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_gateway->resolverConfiguration() != resolverBefore, TunnelTimeoutMs);
    QVERIFY(m_gateway->stopResponder());
    QTRY_VERIFY_WITH_TIMEOUT(m_service->status() != VpnStatus::Connected, TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!m_gateway->ipv6Refused(), TunnelTimeoutMs);
    if (!gatewayOffersIpv6)
        return;

    // Killed with the tunnel up (the client, charon, or both), the next start
    // or the client still running puts the resolvers back as they were.
    QVERIFY(m_gateway->startCharon(GatewayFixture::Side::Gateway));
    for (const char *killed : {"client", "client and charon", "charon"}) {
        m_service->connect();
        QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(m_gateway->resolverConfiguration() != resolverBefore, TunnelTimeoutMs);
        if (qstrcmp(killed, "charon") != 0) {
            delete m_service; // nothing of the quit path runs
            delete m_manager;
        }
        if (qstrcmp(killed, "client") != 0) {
            QVERIFY(m_gateway->killCharon(GatewayFixture::Side::Client));
            QVERIFY(m_gateway->startCharon(GatewayFixture::Side::Client));
        }
        if (qstrcmp(killed, "charon") != 0) {
            startClient();
            RunMarker::runLeftoverCleanups();
            bool cleared = false;
            m_service->clearLeftovers([&] { cleared = true; });
            QTRY_VERIFY_WITH_TIMEOUT(cleared, TunnelTimeoutMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(ikeSas(m_gateway->clientVici()).isEmpty(), TunnelTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);
    }
}

// After a wake-up or a new default route the client checks the tunnel at
// once (the desktop side of it is tested with logind and rtnetlink apart):
// a tunnel whose path survived keeps its SA, moved by MOBIKE when only the
// outer address changed; one the gateway has forgotten is brought up anew
// instead of waiting minutes for dead-peer detection.
void TestTunnelEndToEnd::aChangedNetworkIsCheckedAtOnce_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("reconnected");
    QTest::addColumn<QByteArray>("localHost");
    QTest::newRow("the outer address changes") << QStringLiteral("address") << false << QByteArray("192.0.2.3");
    QTest::newRow("the link is replaced") << QStringLiteral("link") << false << QByteArray("192.0.2.2");
    QTest::newRow("woken up, nothing changed") << QStringLiteral("sleep") << false << QByteArray("192.0.2.2");
    QTest::newRow("woken up, the gateway forgot the tunnel") << QStringLiteral("gateway") << true
                                                             << QByteArray("192.0.2.2");
}

void TestTunnelEndToEnd::aChangedNetworkIsCheckedAtOnce()
{
    QFETCH(QString, change);
    QFETCH(bool, reconnected);
    QFETCH(QByteArray, localHost);
    useIdentity(m_gateway->issueClientIdentity(localIdentifier(), Config::current().pkcs12Passphrase),
                false);
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_gateway->pingInnerAddress());
    const std::optional<IkeSa> before = firstIkeSa(m_gateway->clientVici());
    QVERIFY(before.has_value());
    QCOMPARE(before->localHost, QByteArray("192.0.2.2"));

    const QString client = m_gateway->value(QStringLiteral("CLIENT_NS"));
    const QString gateway = m_gateway->value(QStringLiteral("GATEWAY_NS"));
    const QString clientLink = vethIn(client);
    const QString gatewayLink = vethIn(gateway);
    QVERIFY(!clientLink.isEmpty() && !gatewayLink.isEmpty());
    QElapsedTimer clock;
    clock.start();
    if (change == QLatin1String("address")) {
        // As a new lease would: the old address goes, the new one comes.
        QCOMPARE(ip(QStringLiteral("-n %1 addr del 192.0.2.2/24 dev %2").arg(client, clientLink)), 0);
        QCOMPARE(ip(QStringLiteral("-n %1 addr add 192.0.2.3/24 dev %2").arg(client, clientLink)), 0);
    } else if (change == QLatin1String("link")) {
        // As a new network adapter: the old pair goes, a new one comes.
        QCOMPARE(ip(QStringLiteral("-n %1 link del %2").arg(client, clientLink)), 0);
        QCOMPARE(ip(QStringLiteral("link add %1 netns %2 type veth peer name %3 netns %4").arg(gatewayLink, gateway, clientLink, client)),
                 0);
        QCOMPARE(ip(QStringLiteral("-n %1 addr add 192.0.2.1/24 dev %2").arg(gateway, gatewayLink)), 0);
        QCOMPARE(ip(QStringLiteral("-n %1 addr add 192.0.2.2/24 dev %2").arg(client, clientLink)), 0);
        QCOMPARE(ip(QStringLiteral("-n %1 link set %2 up").arg(gateway, gatewayLink)), 0);
        QCOMPARE(ip(QStringLiteral("-n %1 link set %2 up").arg(client, clientLink)), 0);
    } else if (change == QLatin1String("gateway")) {
        // Killed and started again: its SAs are gone without a word.
        const QString dir = m_gateway->directory() + QStringLiteral("/gateway");
        QFile pidFile(dir + QStringLiteral("/charon.pid"));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        const pid_t pid = pid_t(pidFile.readAll().trimmed().toLongLong());
        pidFile.close();
        QVERIFY(pid > 0);
        QCOMPARE(::kill(pid, SIGKILL), 0);
        QTRY_VERIFY(hasEnded(pid)); // its sockets are free again
        QFile::remove(dir + QStringLiteral("/charon.vici"));
        QProcess charon;
        charon.setProgram(QStringLiteral("ip"));
        charon.setArguments(QStringLiteral("netns exec %1 env STRONGSWAN_CONF=%2/strongswan.conf setsid "
                                           "/usr/sbin/charon-systemd")
                                .arg(gateway, dir)
                                .split(u' '));
        charon.setStandardOutputFile(dir + QStringLiteral("/charon.out"), QIODevice::Append);
        charon.setStandardErrorFile(dir + QStringLiteral("/charon.out"), QIODevice::Append);
        qint64 newPid = 0;
        QVERIFY(charon.startDetached(&newPid));
        QVERIFY(pidFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
        pidFile.write(QByteArray::number(newPid)); // for the fixture's clean-up
        pidFile.close();
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir + QStringLiteral("/charon.vici")), 10000);
        QProcess load;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("SWANCTL_DIR"), dir + QStringLiteral("/swanctl"));
        load.setProcessEnvironment(environment);
        load.start(QStringLiteral("swanctl"),
                   {QStringLiteral("--load-all"), QStringLiteral("--uri"), QStringLiteral("unix://%1/charon.vici").arg(dir)});
        QVERIFY(load.waitForFinished(30000));
        QCOMPARE(load.exitCode(), 0);
    }
    const qint64 changedMs = clock.elapsed();
    m_statuses.clear();
    // What the wake-up or the new route sets off in the client.
    const bool resumed = change == QLatin1String("gateway") || change == QLatin1String("sleep");
    m_service->checkTunnel(resumed ? VpnBackend::Change::Resumed : VpnBackend::Change::RouteChanged);
    QTRY_VERIFY_WITH_TIMEOUT(m_service->status() == VpnStatus::Connected && quickPing(client), TunnelTimeoutMs);
    qInfo().noquote() << QStringLiteral("%1: carrying again %2 ms after the check (%3 ms after the change began)")
                             .arg(QLatin1String(QTest::currentDataTag()))
                             .arg(clock.elapsed() - changedMs)
                             .arg(clock.elapsed());
    std::optional<IkeSa> after;
    // A rekey's old SA goes a moment after the new one is up.
    QTRY_VERIFY_WITH_TIMEOUT((after = firstIkeSa(m_gateway->clientVici())).has_value(), TunnelTimeoutMs);
    // Moved, not made anew (a wake-up's rekey gives the IKE SA a new id).
    if (!resumed)
        QCOMPARE(after->id, before->id);
    QCOMPARE(after->localHost, localHost);
    QCOMPARE(after->remoteHost, QByteArray("192.0.2.1"));
    // A surviving tunnel never looked down.
    QCOMPARE(m_statuses.contains(VpnStatus::Disconnected), reconnected);
}

// The client does not offer to follow redirects, so a gateway cannot move it
// to another address: the charon settings the package installs.
void TestTunnelEndToEnd::redirectsAreNotFollowed()
{
    useIdentity(m_gateway->issueClientIdentity(localIdentifier(), Config::current().pkcs12Passphrase),
                false);
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    const std::optional<IkeSa> before = firstIkeSa(m_gateway->clientVici());
    QVERIFY(before.has_value());

    // The gateway logged what the client offered in its first message.
    QFile log(m_gateway->value(QStringLiteral("GATEWAY_LOG")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    const qsizetype init = text.indexOf("parsed IKE_SA_INIT request 0");
    QVERIFY2(init >= 0, text.right(2000).constData());
    const QByteArray line = text.mid(init, text.indexOf('\n', init) - init);
    QVERIFY2(!line.contains("REDIR_SUP"), line.constData());

    // Told to go elsewhere all the same, it stays where it is.
    m_statuses.clear();
    ViciMessage redirect;
    redirect.set("ike", m_gateway->value(QStringLiteral("CONN")).toUtf8());
    redirect.set("gateway", "192.0.2.99");
    ask(m_gateway->gatewayVici(), "redirect", redirect);
    m_service->checkTunnel(VpnBackend::Change::Resumed); // an exchange after the redirect's
    QTRY_VERIFY_WITH_TIMEOUT(m_gateway->pingInnerAddress(), TunnelTimeoutMs);
    std::optional<IkeSa> after;
    QTRY_VERIFY_WITH_TIMEOUT((after = firstIkeSa(m_gateway->clientVici())).has_value(), TunnelTimeoutMs);
    QCOMPARE(after->remoteHost, QByteArray("192.0.2.1"));
    QCOMPARE(m_service->status(), VpnStatus::Connected);
    QVERIFY(!m_statuses.contains(VpnStatus::Disconnected));
}

QTEST_GUILESS_MAIN(TestTunnelEndToEnd)
#include "tst_tunnel_e2e.moc"
