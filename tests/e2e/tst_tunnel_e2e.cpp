#include "GatewayFixture.h"

#include "account/DefaultsKeys.h"
#include "account/Session.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VpnManager.h"
#include "platform/vici/ViciClient.h"
#include "platform/vici/ViciVpnBackend.h"
#include "vpn/KeychainService.h"
#include "vpn/VPNService.h"

#include <QCryptographicHash>
#include <QTest>

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

private:
    QString localIdentifier() const;
    void useIdentity(const QByteArray &archive, bool shared);
    void recordStatuses();

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
    Config::setCurrent(config);

    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(QStringLiteral("e2e-machine")); });
    UserDefaults::standard().setString(DefaultsKeys::tempEmail, QStringLiteral("ann@example.com"));
    QFile::remove(VpnManager::defaultStoragePath());

    m_manager = new VpnManager(VpnManager::makeConfiguredBackend(), VpnManager::defaultStoragePath());
    m_service = new VPNService(m_manager);
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
    Session::shared().logout();
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
    QVERIFY(Session::shared().replaceIdentity(reference));
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
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::connected, TunnelTimeoutMs);
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
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::disconnected, TunnelTimeoutMs);
    QVERIFY(m_statuses.contains(VpnStatus::Disconnecting));
    QVERIFY(ikeSas(m_gateway->clientVici()).isEmpty());
    QVERIFY(!m_gateway->pingInnerAddress());

    // toggle from disconnected brings it back.
    m_service->toggle();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::connected, TunnelTimeoutMs);
    m_service->toggle();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::disconnected, TunnelTimeoutMs);
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
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::connected, TunnelTimeoutMs);
    QVERIFY(m_gateway->pingInnerAddress());

    // The gateway drops the tunnel; it comes back by itself.
    m_statuses.clear();
    ViciMessage terminate;
    terminate.set("ike", m_gateway->value(QStringLiteral("CONN")).toUtf8());
    terminate.set("timeout", "2000");
    QVERIFY2(ask(m_gateway->gatewayVici(), "terminate", terminate).isSuccess(), "gateway terminate");
    QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VpnStatus::Disconnected), TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::connected, TunnelTimeoutMs);
    QVERIFY(m_statuses.indexOf(VpnStatus::Connecting) > m_statuses.indexOf(VpnStatus::Disconnected));
    QCOMPARE(m_service->attempts(), 0);
    QVERIFY(m_gateway->pingInnerAddress());

    // connect() with the key shared and auto-connect on saves on-demand on.
    m_service->connect();
    QTRY_VERIFY(m_manager->savedPreferences().onDemandEnabled);
    m_service->disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::disconnected, TunnelTimeoutMs);
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
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::disconnected, TunnelTimeoutMs);

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
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::connected, TunnelTimeoutMs);
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
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::disconnected, TunnelTimeoutMs);
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
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::connected, TunnelTimeoutMs);
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
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::disconnected, TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!m_gateway->ipv6Refused(), TunnelTimeoutMs);
    QCOMPARE(m_gateway->resolve(hostName, 4), QStringLiteral("192.0.2.66"));

    // Up again, then the gateway goes away: the same.
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), ConnectionStatus::connected, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_gateway->resolverConfiguration() != resolverBefore, TunnelTimeoutMs);
    QVERIFY(m_gateway->stopResponder());
    QTRY_VERIFY_WITH_TIMEOUT(m_service->status() != ConnectionStatus::connected, TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!m_gateway->ipv6Refused(), TunnelTimeoutMs);
}

QTEST_GUILESS_MAIN(TestTunnelEndToEnd)
#include "tst_tunnel_e2e.moc"
