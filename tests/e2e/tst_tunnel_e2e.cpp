#include "GatewayFixture.h"

#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VPNManager.h"
#include "platform/vici/ViciClient.h"
#include "platform/vici/ViciVPNBackend.h"
#include "session/ClientIdentity.h"
#include "vpn/VPNService.h"
#include "TestSession.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace Orvex;
using namespace Qt::StringLiterals;

namespace {

constexpr int TunnelTimeoutMs = 30000;
// What the client presents on "e2e-machine" for ann@example.com: the MD5 of
// "machine@e-mail" in hex, in the clients' domain.
const QString localIdentifier = u"c92fcf351ce47af3f5eb100325c05bad.clients.orvex.example"_s;

// Asks a charon something and waits for the answer (tests only).
ViciReply ask(const QString &socket, const QByteArray &command, const ViciMessage &request = {})
{
    ViciClient client;
    client.connectToDaemon(socket);
    std::optional<ViciReply> reply;
    client.call(command, request, [&](const ViciReply &r) { reply = r; });
    (void) QTest::qWaitFor([&] { return reply.has_value(); }, 10000);
    return reply.value_or(ViciReply{});
}

// A charon's IKE SA: its unique id, state and outer addresses.
struct IkeSa
{
    QByteArray id;
    QByteArray state;
    QByteArray localHost;
    QByteArray remoteHost;
};

QList<IkeSa> ikeSas(const QString &socket)
{
    ViciClient client;
    client.connectToDaemon(socket);
    QList<IkeSa> sas;
    bool done = false;
    client.stream(
        "list-sas", {}, "list-sa",
        [&](const ViciMessage &item) {
            for (const ViciMessage::Entry &entry : item.entries()) {
                const ViciMessage &sa = entry.section;
                sas << IkeSa{sa.value("uniqueid"), sa.value("state"), sa.value("local-host"),
                             sa.value("remote-host")};
            }
        },
        [&](const ViciReply &) { done = true; });
    (void) QTest::qWaitFor([&] { return done; }, 10000);
    return sas;
}

std::optional<IkeSa> firstIkeSa(const QString &socket)
{
    for (const IkeSa &sa : ikeSas(socket)) {
        if (sa.state == "ESTABLISHED")
            return sa;
    }
    return std::nullopt;
}

} // namespace

class tst_TunnelEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void connectCarriesPacketsDisconnectsAndQuits();
    void onDemandComesUpOnSaveAndAfterADrop();
    void silentGatewayEndsInTheAttemptsRule();
    void certificateFromAnotherCaFails();
    void nothingLeavesBesideTheTunnel_data();
    void nothingLeavesBesideTheTunnel();
    void aChangedNetworkIsCheckedAtOnce_data();
    void aChangedNetworkIsCheckedAtOnce();
    void nothingLeavesWhileTheTunnelIsWanted_data();
    void nothingLeavesWhileTheTunnelIsWanted();

private:
    TestSession m_session;
    // Keeps an identity the gateway's CA (or the one in `caDir`) issued for
    // this machine; `shared` with charon and auto-connect on, or not.
    void useIssuedIdentity(bool shared, const QString &caDir = {});
    void startClient();

    std::unique_ptr<GatewayFixture> m_gateway;
    VPNManager *m_manager = nullptr;
    VPNService *m_service = nullptr;
    QList<VPNStatus> m_statuses;
};

void tst_TunnelEndToEnd::init()
{
    if (!GatewayFixture::isRoot())
        QSKIP("needs root: the gateway runs in network namespaces");
    m_gateway = std::make_unique<GatewayFixture>();
    QString error;
    const bool ipv4Only = QLatin1String(QTest::currentDataTag()).endsWith(QLatin1String("IPv4-only gateway"));
    QStringList arguments;
    if (ipv4Only)
        arguments << u"--ipv4-only"_s;
    // A common set-up: the same resolver named by the pools of both families.
    if (QLatin1String(QTest::currentDataTag()).contains(QLatin1String("one resolver")))
        arguments << u"--one-resolver"_s;
    QVERIFY2(m_gateway->up(&error, arguments), qPrintable(error));

    Config &config = m_session.config;
    config.vpnGatewayHost = m_gateway->host();
    config.viciSocket = m_gateway->clientVici();
    config.caCertificates = {m_gateway->caCertificate()};
    config.viciUpdownScript = QString::fromLocal8Bit(qgetenv("ORVEX_UPDOWN_SCRIPT"));
    config.viciResolverFile = m_gateway->value(u"RESOLV_CONF"_s);
    config.viciNetworkNamespace = m_gateway->clientNamespace();

    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(u"e2e-machine"_s); });
    m_session.defaults.setString(DefaultsKeys::tempEmail, u"ann@example.com"_s);
    QFile::remove(m_session.files.tunnelConfiguration);
    startClient();
}

// As a start of the client: a new tunnel service on what is saved.
void tst_TunnelEndToEnd::startClient()
{
    m_manager = new VPNManager(VPNManager::makeConfiguredBackend(m_session.config, m_session.identities,
                                                                 m_session.files.tunnelConfiguration),
                               m_session.files.tunnelConfiguration);
    m_service = new VPNService(m_manager, m_session.session, m_session.config);
    m_statuses.clear();
    connect(m_manager->connection(), &VPNConnection::statusDidChange, this,
            [this] { m_statuses << m_manager->connection()->status(); });
}

void tst_TunnelEndToEnd::cleanup()
{
    delete m_service;
    delete m_manager;
    m_service = nullptr;
    m_manager = nullptr;
    if (m_gateway && QTest::currentTestFailed())
        qWarning().noquote() << m_gateway->logs();
    m_gateway.reset();
    m_session.session.logout();
    m_session.defaults.remove(DefaultsKeys::isAutoConnectEnabled);
    SystemInfo::setMachineIdSourceForTesting({});
}

void tst_TunnelEndToEnd::useIssuedIdentity(bool shared, const QString &caDir)
{
    const QByteArray archive = m_gateway->issueClientIdentity(localIdentifier,
                                                              m_session.config.pkcs12Passphrase, caDir);
    QVERIFY(!archive.isEmpty());
    const auto identity = m_session.identities.importSingleIdentity(archive,
                                                                    m_session.config.pkcs12Passphrase);
    QVERIFY(identity && m_session.session.replaceIdentity(identity->reference));
    const QByteArray reference = identity->reference;
    if (shared) {
        QVERIFY(m_session.identities.grantAccess(reference, ViciVPNBackend::daemonApplication()));
        m_session.defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled, true);
    }
}

void tst_TunnelEndToEnd::connectCarriesPacketsDisconnectsAndQuits()
{
    useIssuedIdentity(false);
    QVERIFY(!m_gateway->pingInnerAddress()); // no route before the tunnel

    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_statuses.contains(VPNStatus::Connecting));
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled); // key was not shared yet
    QVERIFY(m_gateway->pingInnerAddress());

    // Handing the key to charon made it shared.
    const QByteArray reference = m_session.session.identityReference().value();
    QVERIFY(ClientIdentity::isPrivateKeyShared(m_session.identities, reference));
    QVERIFY(m_session.identities.accessList(reference)->front().applications.contains(
        ViciVPNBackend::daemonApplication()));

    bool stopped = false;
    m_service->disconnect([&] { stopped = true; });
    QTRY_VERIFY(stopped);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Disconnected, TunnelTimeoutMs);
    QVERIFY(m_statuses.contains(VPNStatus::Disconnecting));
    QVERIFY(ikeSas(m_gateway->clientVici()).isEmpty());
    QVERIFY(!m_gateway->pingInnerAddress());

    // Turn ON from disconnected brings it back, without loading into charon
    // again what it already holds.
    QFile log(QFileInfo(m_gateway->clientVici()).dir().filePath(u"charon.log"_s));
    const auto loads = [&log] {
        log.open(QIODevice::ReadOnly);
        const QByteArray text = log.readAll();
        log.close();
        // Loads only: a key this client's home remembers from an earlier
        // run is unloaded ("unloaded private key") at the first save.
        static const QRegularExpression keyLoaded(u"\\bloaded \\w+ private key"_s);
        qsizetype keys = 0;
        for (auto match = keyLoaded.globalMatch(QString::fromLatin1(text)); match.hasNext(); match.next())
            ++keys;
        return QList<qsizetype>{text.count("vici connection: orvex"), keys};
    };
    QCOMPARE(loads(), (QList<qsizetype>{1, 1})); // the connection and the key, loaded once
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    QCOMPARE(loads(), (QList<qsizetype>{1, 1}));
    m_service->disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Disconnected, TunnelTimeoutMs);

    // Another tool cleared charon: the next switch loads everything again.
    ViciMessage connection;
    connection.set("name", "orvex");
    QVERIFY(ask(m_gateway->clientVici(), "unload-conn", connection).isSuccess());
    QVERIFY(ask(m_gateway->clientVici(), "clear-creds").isSuccess());
    m_statuses.clear();
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    // One attempt, tried again once charon had what it lost: no failure shown.
    QCOMPARE(m_statuses, (QList<VPNStatus>{VPNStatus::Connecting, VPNStatus::Connected}));
    QVERIFY(m_gateway->pingInnerAddress());

    // Quit leaves nothing loaded in charon, and a configuration that cannot
    // come up by itself.
    QCOMPARE(ask(m_gateway->clientVici(), "get-keys").message.list("keys").size(), 1);
    bool terminated = false;
    m_service->quit([&] { terminated = true; });
    QTRY_VERIFY_WITH_TIMEOUT(terminated, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(ikeSas(m_gateway->clientVici()).isEmpty(), TunnelTimeoutMs);
    QVERIFY(ask(m_gateway->clientVici(), "get-conns").message.list("conns").isEmpty());
    QVERIFY(ask(m_gateway->clientVici(), "get-keys").message.list("keys").isEmpty());
    QCOMPARE(m_manager->savedPreferences().protocolConfiguration->authenticationMethod,
             VPNProtocolIKEv2::AuthenticationMethod::SharedSecret);
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled);
    QVERIFY(!m_manager->connection()->startVPNTunnel().isSuccess()); // cannot come up
}

void tst_TunnelEndToEnd::onDemandComesUpOnSaveAndAfterADrop()
{
    useIssuedIdentity(true);
    // Saved with on-demand on, never started by hand.
    m_service->config().isOnDemandEnabled = true;
    bool saved = false;
    m_manager->loadFromPreferences(
        [&](const Outcome<> &loaded) { m_service->configureAndSave(loaded, [&] { saved = true; }); });
    QTRY_VERIFY(saved);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_gateway->pingInnerAddress());

    // The gateway drops the tunnel; it comes back by itself.
    m_statuses.clear();
    QVERIFY(m_gateway->terminateAtGateway());
    QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VPNStatus::Disconnected), TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_statuses.indexOf(VPNStatus::Connecting) > m_statuses.indexOf(VPNStatus::Disconnected));
    QCOMPARE(m_service->attempts(), 0);
    QVERIFY(m_gateway->pingInnerAddress());
}

void tst_TunnelEndToEnd::silentGatewayEndsInTheAttemptsRule()
{
    useIssuedIdentity(true);
    QVERIFY(m_gateway->stopResponder());
    m_service->connect();
    QTRY_VERIFY(m_manager->savedPreferences().onDemandEnabled); // saved on at first
    // Four keying attempts that get no answer, then the rule switches it off.
    QTRY_VERIFY_WITH_TIMEOUT(!m_manager->savedPreferences().onDemandEnabled, 90000);
    QCOMPARE(m_statuses.count(VPNStatus::Connecting), 4);
    QCOMPARE(m_service->attempts(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Disconnected, TunnelTimeoutMs);
    // No fifth attempt over several retry pauses.
    QVERIFY(!QTest::qWaitFor([this] { return m_statuses.count(VPNStatus::Connecting) > 4; }, 3000));
}

void tst_TunnelEndToEnd::certificateFromAnotherCaFails()
{
    const QString otherCa = m_gateway->makeOtherCa();
    QVERIFY(!otherCa.isEmpty());
    useIssuedIdentity(false, otherCa);
    m_service->connect();
    QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VPNStatus::Connecting), TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Disconnected, TunnelTimeoutMs);
    QVERIFY(!m_statuses.contains(VPNStatus::Connected));
    QVERIFY(!m_gateway->pingInnerAddress());
}

void tst_TunnelEndToEnd::nothingLeavesBesideTheTunnel_data()
{
    QTest::addColumn<bool>("gatewayOffersIpv6");
    QTest::newRow("dual-stack gateway") << true;
    QTest::newRow("dual-stack gateway, one resolver for both families") << true;
    QTest::newRow("IPv4-only gateway") << false;
}

// With the tunnel up a name only the gateway's resolver knows resolves to
// its inside answer, and nothing leaves beside the tunnel (from an IPv4-only
// gateway, IPv6 is refused on the spot). Down again, by hand or by the gateway, the resolver
// configuration is what it was, byte for byte.
void tst_TunnelEndToEnd::nothingLeavesBesideTheTunnel()
{
    QFETCH(bool, gatewayOffersIpv6);
    QCOMPARE(m_gateway->value(u"IPV6"_s), gatewayOffersIpv6 ? u"yes"_s : u"no"_s);
    const QString hostName = m_gateway->value(u"HOST_NAME"_s);
    const QByteArray resolverBefore = m_gateway->resolverConfiguration();
    QCOMPARE(resolverBefore, QByteArray("# LAN resolver (test gateway)\n"
                                        "nameserver 192.0.2.53\n"
                                        "nameserver 2001:db8:1::53\n"
                                        "options edns0\n"));
    // Before the tunnel the LAN's resolver answers, with its outside answer.
    QCOMPARE(m_gateway->resolve(hostName, 4), u"192.0.2.66"_s);
    QVERIFY(!m_gateway->ping(u"198.51.100.10"_s));

    useIssuedIdentity(false);
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    // charon applies the resolvers and runs the updown script just after it
    // reports the tunnel up.
    QTRY_VERIFY_WITH_TIMEOUT(m_gateway->resolverConfiguration() != resolverBefore, TunnelTimeoutMs);
    if (!gatewayOffersIpv6)
        QTRY_VERIFY_WITH_TIMEOUT(m_gateway->ipv6Refused(), TunnelTimeoutMs);
    QCOMPARE(m_gateway->ipv6Refused(), !gatewayOffersIpv6);

    m_gateway->expectOnlyTunnelTraffic(gatewayOffersIpv6);
    if (QTest::currentTestFailed())
        return;

    // Turn OFF: the resolvers and the refusal go with the tunnel.
    m_service->disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Disconnected, TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!m_gateway->ipv6Refused(), TunnelTimeoutMs);
    QCOMPARE(m_gateway->resolve(hostName, 4), u"192.0.2.66"_s);

    // Up again, then the gateway goes away: the same.
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_gateway->resolverConfiguration() != resolverBefore, TunnelTimeoutMs);
    QVERIFY(m_gateway->stopResponder());
    QTRY_VERIFY_WITH_TIMEOUT(m_service->status() != VPNStatus::Connected, TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!m_gateway->ipv6Refused(), TunnelTimeoutMs);
    if (!gatewayOffersIpv6)
        return;

    // Killed with the tunnel up (the client, charon, or both), the next start
    // or the client still running puts the resolvers back as they were.
    QVERIFY(m_gateway->startCharon(GatewayFixture::Side::Gateway));
    for (const char *killed : {"client", "client and charon", "charon"}) {
        m_service->connect();
        QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
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
            VPNManager::repairLeftovers(m_session.config);
            bool cleared = false;
            m_service->clearLeftovers([&] { cleared = true; });
            QTRY_VERIFY_WITH_TIMEOUT(cleared, TunnelTimeoutMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(ikeSas(m_gateway->clientVici()).isEmpty(), TunnelTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Disconnected, TunnelTimeoutMs);
    }
}

// After a wake-up or a new default route the client checks the tunnel at
// once (the desktop side of it is tested with logind and rtnetlink apart):
// a tunnel whose path survived keeps its SA, moved by MOBIKE when only the
// outer address changed; one the gateway has forgotten is brought up anew
// instead of waiting minutes for dead-peer detection.
void tst_TunnelEndToEnd::aChangedNetworkIsCheckedAtOnce_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("reconnected");
    QTest::addColumn<QByteArray>("localHost");
    QTest::newRow("the outer address changes") << u"address"_s << false << QByteArray("192.0.2.3");
    QTest::newRow("woken up, nothing changed") << u"sleep"_s << false << QByteArray("192.0.2.2");
    QTest::newRow("woken up, the gateway forgot the tunnel")
        << u"gateway"_s << true << QByteArray("192.0.2.2");
    // The client does not offer to follow redirects (the charon settings the
    // package installs), so a gateway cannot move it to another address.
    QTest::newRow("told by the gateway to go elsewhere") << u"redirect"_s << false << QByteArray("192.0.2.2");
}

void tst_TunnelEndToEnd::aChangedNetworkIsCheckedAtOnce()
{
    QFETCH(QString, change);
    QFETCH(bool, reconnected);
    QFETCH(QByteArray, localHost);
    useIssuedIdentity(false);
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_gateway->pingInnerAddress());
    const std::optional<IkeSa> before = firstIkeSa(m_gateway->clientVici());
    QVERIFY(before.has_value());
    QCOMPARE(before->localHost, QByteArray("192.0.2.2"));

    const QString clientLink = m_gateway->link(GatewayFixture::Side::Client);
    QVERIFY(!clientLink.isEmpty());
    if (change == QLatin1String("address")) {
        // As a new lease would: the old address goes, the new one comes.
        QCOMPARE(m_gateway->runInClient(u"ip addr del 192.0.2.2/24 dev %1"_s.arg(clientLink).split(u' ')), 0);
        QCOMPARE(m_gateway->runInClient(u"ip addr add 192.0.2.3/24 dev %1"_s.arg(clientLink).split(u' ')), 0);
    } else if (change == QLatin1String("gateway")) {
        // Killed and started again: its SAs are gone without a word.
        QVERIFY(m_gateway->killCharon(GatewayFixture::Side::Gateway));
        QVERIFY(m_gateway->startCharon(GatewayFixture::Side::Gateway));
    } else if (change == QLatin1String("redirect")) {
        // The gateway logged what the client offered in its first message.
        QFile log(m_gateway->value(u"GATEWAY_LOG"_s));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        const qsizetype init = text.indexOf("parsed IKE_SA_INIT request 0");
        QVERIFY2(init >= 0, text.right(2000).constData());
        const QByteArray line = text.mid(init, text.indexOf('\n', init) - init);
        QVERIFY2(!line.contains("REDIR_SUP"), line.constData());
        ViciMessage redirect;
        redirect.set("ike", m_gateway->value(u"CONN"_s).toUtf8());
        redirect.set("gateway", "192.0.2.99");
        ask(m_gateway->gatewayVici(), "redirect", redirect);
    }
    m_statuses.clear();
    // What the wake-up or the new route sets off in the client (after a
    // redirect: an exchange after the redirect's).
    const bool resumed = change != QLatin1String("address");
    m_service->checkTunnel(resumed ? VPNBackend::Change::Resumed : VPNBackend::Change::RouteChanged);
    QTRY_VERIFY_WITH_TIMEOUT(m_service->status() == VPNStatus::Connected
                                 && m_gateway->runInClient(u"ping -c1 -W0.2 198.51.100.1"_s.split(u' ')) == 0,
                             TunnelTimeoutMs);
    std::optional<IkeSa> after;
    // A rekey's old SA goes a moment after the new one is up.
    QTRY_VERIFY_WITH_TIMEOUT((after = firstIkeSa(m_gateway->clientVici())).has_value(), TunnelTimeoutMs);
    // Moved, not made anew (a wake-up's rekey gives the IKE SA a new id).
    if (!resumed)
        QCOMPARE(after->id, before->id);
    QCOMPARE(after->localHost, localHost);
    QCOMPARE(after->remoteHost, QByteArray("192.0.2.1"));
    // A surviving tunnel never looked down.
    QCOMPARE(m_statuses.contains(VPNStatus::Disconnected), reconnected);
}

void tst_TunnelEndToEnd::nothingLeavesWhileTheTunnelIsWanted_data()
{
    QTest::addColumn<QString>("fault");
    for (const char *family : {"dual-stack gateway", "IPv4-only gateway"}) {
        for (const char *fault : {"a silent gateway, until the attempts rule gives up",
                                  "the gateway ends the tunnel and goes silent", "the link goes down and up",
                                  "the client's charon is killed", "woken up, the gateway forgot the tunnel",
                                  "the client is killed, then the gateway ends the tunnel"})
            QTest::newRow(qPrintable(u"%1, %2"_s.arg(QLatin1String(fault), QLatin1String(family))))
                << QString::fromLatin1(fault);
    }
}

// From Turn ON until the user's Turn OFF, whatever fails, ordinary programs'
// packets never leave on the outer link beside the tunnel; after Turn OFF
// they go out in the clear again, and nothing of the client is left.
void tst_TunnelEndToEnd::nothingLeavesWhileTheTunnelIsWanted()
{
    QFETCH(QString, fault);
    const QByteArray resolverBefore = m_gateway->resolverConfiguration();
    useIssuedIdentity(true); // kept up: every fault is followed by new attempts
    const bool silent = fault.startsWith(u"a silent gateway"_s);
    if (silent)
        QVERIFY(m_gateway->stopResponder());
    m_service->connect();
    if (silent)
        QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VPNStatus::Connecting), TunnelTimeoutMs);
    else
        QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_gateway->firewallTables().contains(u"inet orvex"_s));
    QVERIFY(m_gateway->startCapture());
    m_gateway->sendProbes();

    using State = TunnelController::State;
    if (silent) {
        QTRY_COMPARE_WITH_TIMEOUT(m_service->tunnel().state(), State::Blocked, 90000);
        QCOMPARE(m_service->tunnel().reason(), TunnelController::Reason::AttemptsExhausted);
    } else if (fault.startsWith(u"the gateway ends"_s)) {
        QVERIFY(m_gateway->stopResponder());
        QTRY_VERIFY_WITH_TIMEOUT(m_service->tunnel().state() != State::Connected, TunnelTimeoutMs);
    } else if (fault.startsWith(u"the link"_s)) {
        QVERIFY(m_gateway->setLinkUp(false));
        m_gateway->sendProbes();
        QVERIFY(m_gateway->setLinkUp(true));
    } else if (fault.startsWith(u"the client's charon"_s)) {
        QVERIFY(m_gateway->killCharon(GatewayFixture::Side::Client));
        QTRY_VERIFY_WITH_TIMEOUT(m_service->tunnel().state() == State::Blocked, TunnelTimeoutMs);
        QCOMPARE(m_service->tunnel().reason(), TunnelController::Reason::DaemonUnavailable);
        m_gateway->sendProbes();
        QVERIFY(m_gateway->startCharon(GatewayFixture::Side::Client));
    } else if (fault.startsWith(u"woken up"_s)) {
        QVERIFY(m_gateway->killCharon(GatewayFixture::Side::Gateway));
        QVERIFY(m_gateway->startCharon(GatewayFixture::Side::Gateway));
        m_statuses.clear();
        m_service->checkTunnel(VPNBackend::Change::Resumed);
        QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VPNStatus::Disconnected), TunnelTimeoutMs);
    } else {
        delete m_service; // killed: nothing of the quit path runs
        delete m_manager;
        m_service = nullptr;
        QVERIFY(m_gateway->terminateAtGateway());
        QTRY_VERIFY_WITH_TIMEOUT(ikeSas(m_gateway->clientVici()).isEmpty(), TunnelTimeoutMs);
        m_gateway->sendProbes();
        startClient();
        VPNManager::repairLeftovers(m_session.config);
        bool cleared = false;
        m_service->clearLeftovers([&] { cleared = true; });
        QTRY_VERIFY_WITH_TIMEOUT(cleared, TunnelTimeoutMs);
        QCOMPARE(m_service->tunnel().state(), State::Blocked);
        QCOMPARE(m_service->tunnel().reason(), TunnelController::Reason::EarlierRun);
    }
    m_gateway->sendProbes();
    m_gateway->expectNothingBesideTheTunnelSinceCapture();
    if (QTest::currentTestFailed())
        return;

    // Turn OFF lifts the block: the probes leave in the clear, and nothing
    // of the client is left in the namespace or in the resolver file.
    m_service->disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->tunnel().state(), State::Off, TunnelTimeoutMs);
    // Saved so that nothing brings it back, even when it was down between
    // attempts at the Turn OFF.
    QTRY_VERIFY_WITH_TIMEOUT(!m_manager->savedPreferences().onDemandEnabled, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!m_gateway->firewallTables().contains(u"inet orvex"_s), TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
    // The gateway itself answers in the clear (a link that went down took
    // the default route with it, so not the host behind it).
    QTRY_VERIFY_WITH_TIMEOUT(m_gateway->ping(m_gateway->value(u"GATEWAY_ADDR"_s)), TunnelTimeoutMs);
}

QTEST_GUILESS_MAIN(tst_TunnelEndToEnd)
#include "tst_tunnel_e2e.moc"
