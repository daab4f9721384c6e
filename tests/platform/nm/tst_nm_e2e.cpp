// The NetworkManager backend end to end: NetworkManager with charon-nm inside
// the client's network namespace, in a mount namespace and on a system bus of
// its own (tests/platform/nm/nm-netns), against the test gateway of scripts/gateway.
// Needs root; skips without it.

#include "GatewayFixture.h"

#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VPNManager.h"
#include "platform/nm/NetworkManagerLeakGuard.h"
#include "platform/nm/NetworkManagerProfile.h"
#include "platform/nm/NetworkManagerVPNBackend.h"
#include "vpn/VPNService.h"
#include "TestSession.h"

#include <QDBusConnection>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <csignal>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace Orvex;
using namespace Qt::StringLiterals;
namespace NM = Orvex::NetworkManager;

namespace {

constexpr int TunnelTimeoutMs = 30000;
constexpr int GraceMs = 3000;

QString script()
{
    return QString::fromLocal8Bit(qgetenv("ORVEX_NM_NETNS_SCRIPT"));
}

// Asks NetworkManager on the test's system bus and waits for the answer's
// first value (tests only).
QVariant askNetworkManager(const QString &path, const QString &interface, const QString &member,
                           const QVariantList &arguments = {})
{
    QDBusMessage call = QDBusMessage::createMethodCall(NM::service, path, interface, member);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call).arguments().value(0);
}

// What the client presents on "nm-e2e-machine" for ann@example.com: the MD5
// of "machine@e-mail" in hex, in the clients' domain.
const QString clientIdentifier = u"b24d809250ff7ab7f0c81f2abb6fb70b.clients.orvex.example"_s;

// The IPv6 default routes of the namespace this thread is in.
QByteArray ipv6DefaultRoutes()
{
    QByteArray routes;
    GatewayFixture::execute(u"ip"_s, {u"-6"_s, u"route"_s, u"show"_s, u"default"_s}, &routes);
    return routes;
}

// Whether the client's traffic block is in force in this thread's namespace.
bool blockInForce()
{
    const NetworkManagerLeakGuard::Options block;
    return NetworkManagerLeakGuard::blockInForce(AF_INET, block.priority, block.table).value_or(false);
}

} // namespace

class tst_NetworkManagerEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void nothingLeavesBesideTheTunnel_data();
    void nothingLeavesBesideTheTunnel();
    void gatewayClosingTheTunnelIsDetected();
    void nothingLeavesWhileTheTunnelIsWanted_data();
    void nothingLeavesWhileTheTunnelIsWanted();
    void anOrdinaryUserRunsTheTunnel();

private:
    TestSession m_session;
    // tests/platform/nm/nm-netns with `arguments`.
    bool run(const QStringList &arguments, QByteArray *output = nullptr)
    {
        return GatewayFixture::execute(script(), arguments, output, true) == 0;
    }
    bool enterNamespace(const QString &name);
    void startClient();
    // What the client's charon-nm logged so far.
    QByteArray charonLog() const
    {
        QFile log(m_logs.value(1));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }
    void leaveNamespace();
    bool vpnActive(const QString &uuid = NetworkManagerVPNBackend::defaultProfileUuid());

    std::unique_ptr<GatewayFixture> m_gateway;
    std::unique_ptr<QTemporaryDir> m_nmParent;
    QString m_nmDir;
    bool m_nmUp = false;
    int m_originalNamespace = -1;
    QStringList m_logs; // NetworkManager's and charon-nm's

    VPNManager *m_manager = nullptr;
    VPNService *m_service = nullptr;
    QList<VPNStatus> m_statuses;
};

// The backend watches routes in the network namespace its process runs in;
// the client side of the tunnel is in the fixture's, so this thread joins it.
bool tst_NetworkManagerEndToEnd::enterNamespace(const QString &name)
{
    m_originalNamespace = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(qPrintable(u"/run/netns/"_s + name), O_RDONLY | O_CLOEXEC);
    const bool entered = m_originalNamespace >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        ::close(target);
    return entered;
}

void tst_NetworkManagerEndToEnd::leaveNamespace()
{
    if (m_originalNamespace < 0)
        return;
    (void) ::setns(m_originalNamespace, CLONE_NEWNET);
    ::close(m_originalNamespace);
    m_originalNamespace = -1;
}

void tst_NetworkManagerEndToEnd::initTestCase()
{
    if (!GatewayFixture::isRoot())
        QSKIP("needs root: NetworkManager and the gateway run in namespaces");
    QVERIFY2(!script().isEmpty(), "ORVEX_NM_NETNS_SCRIPT is not set");
    m_gateway = std::make_unique<GatewayFixture>();
    QString error;
    QVERIFY2(m_gateway->up(&error), qPrintable(error));
    // The fixture's own client charon would hold the IKE ports charon-nm needs.
    QVERIFY(m_gateway->killCharon(GatewayFixture::Side::Client));

    // Outside /tmp, which need not be open to the ordinary user who reaches
    // the bus socket in here; the folder may be passed, not listed.
    m_nmParent = std::make_unique<QTemporaryDir>(u"/var/tmp/orvex-nm-XXXXXX"_s);
    QVERIFY(m_nmParent->isValid());
    QVERIFY(QFile::setPermissions(m_nmParent->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                          | QFile::ExeGroup | QFile::ExeOther));
    m_nmDir = m_nmParent->path() + u"/nm"_s;
    QByteArray output;
    m_nmUp = true; // whatever happens, cleanupTestCase takes it down
    const bool started = run({u"up"_s, u"--dir"_s, m_nmDir, u"--netns"_s, m_gateway->value(u"CLIENT_NS"_s),
                              u"--polkit"_s},
                             &output);
    QVERIFY2(started, output.constData());
    QString bus;
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith("BUS_ADDRESS="))
            bus = QString::fromUtf8(line.mid(12));
        else if (line.startsWith("NM_LOG=") || line.startsWith("CHARON_LOG="))
            m_logs << QString::fromUtf8(line.mid(line.indexOf('=') + 1));
    }
    QVERIFY(!bus.isEmpty());
    // Before the first use of Qt D-Bus, which reads it once.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.toLocal8Bit());
    // The outer link as a desktop has it: a profile of NetworkManager's with
    // the LAN's addresses, router and resolvers, which NetworkManager then
    // writes into the resolver configuration.
    const QString lan = u"lan-%1"_s.arg(::getpid());
    QCOMPARE(m_gateway->runInClient(
                 u"nmcli connection add type ethernet ifname %1 con-name %2 ipv4.method manual "
                 "ipv4.addresses 192.0.2.2/24 ipv4.gateway 192.0.2.1 ipv4.dns 192.0.2.53 ipv6.method manual "
                 "ipv6.addresses 2001:db8:1::2/64 ipv6.gateway 2001:db8:1::1 ipv6.dns 2001:db8:1::53"_s
                     .arg(m_gateway->value(u"CLIENT_IF"_s), lan)
                     .split(u' ')),
             0);
    QCOMPARE(m_gateway->runInClient({u"nmcli"_s, u"connection"_s, u"up"_s, lan}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(),
                              QByteArray("# Generated by NetworkManager\n"
                                         "nameserver 192.0.2.53\n"
                                         "nameserver 2001:db8:1::53\n"),
                              TunnelTimeoutMs);
    QVERIFY(enterNamespace(m_gateway->value(u"CLIENT_NS"_s)));

    Config &config = m_session.config;
    config.vpnGatewayHost = m_gateway->host();
    config.caCertificates = {m_gateway->caCertificate()};
    config.vpnBackend = u"networkmanager"_s;
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(u"nm-e2e-machine"_s); });
    m_session.defaults.setString(DefaultsKeys::tempEmail, u"ann@example.com"_s);
    const QByteArray archive = m_gateway->issueClientIdentity(clientIdentifier,
                                                              m_session.config.pkcs12Passphrase);
    QVERIFY(!archive.isEmpty());
    const auto identity = m_session.identities.importSingleIdentity(archive,
                                                                    m_session.config.pkcs12Passphrase);
    QVERIFY(identity && m_session.session.replaceIdentity(identity->reference));
}

void tst_NetworkManagerEndToEnd::cleanupTestCase()
{
    leaveNamespace();
    if (m_nmUp)
        run({u"down"_s, u"--dir"_s, m_nmDir});
    m_nmUp = false;
    m_nmParent.reset();
    m_gateway.reset();
    m_session.session.logout();
    SystemInfo::setMachineIdSourceForTesting({});
}

void tst_NetworkManagerEndToEnd::init()
{
    QFile::remove(m_session.files.tunnelConfiguration);
    startClient();
}

void tst_NetworkManagerEndToEnd::startClient()
{
    // What the client makes, with a grace period short enough for a test.
    NetworkManagerVPNBackend::Options options = NetworkManagerVPNBackend::optionsFor(m_session.config,
                                                                                     m_session.identities);
    options.reassertGraceMs = GraceMs;
    m_manager = new VPNManager(std::make_unique<NetworkManagerVPNBackend>(options),
                               m_session.files.tunnelConfiguration);
    m_service = new VPNService(m_manager, m_session.session, m_session.config);
    m_statuses.clear();
    connect(m_manager->connection(), &VPNConnection::statusDidChange, this,
            [this] { m_statuses << m_manager->connection()->status(); });
}

void tst_NetworkManagerEndToEnd::cleanup()
{
    delete m_service;
    delete m_manager;
    m_service = nullptr;
    m_manager = nullptr;
    if (m_gateway && QTest::currentTestFailed()) {
        qWarning().noquote() << m_gateway->logs();
        for (const QString &log : std::as_const(m_logs)) {
            QFile file(log);
            if (file.open(QIODevice::ReadOnly))
                qWarning().noquote() << "---" << log << "---\n" << file.readAll().right(4000);
        }
    }
}

bool tst_NetworkManagerEndToEnd::vpnActive(const QString &uuid)
{
    QByteArray active;
    m_gateway->runInClient(u"nmcli -t -f UUID connection show --active"_s.split(u' '), &active);
    return active.contains(uuid.toLatin1());
}

void tst_NetworkManagerEndToEnd::nothingLeavesBesideTheTunnel_data()
{
    QTest::addColumn<bool>("gatewayOffersIpv6");
    QTest::newRow("dual-stack gateway") << true;
    QTest::newRow("IPv4-only gateway") << false;
}

// NetworkManager applies the gateway's resolvers and both families go through
// the tunnel: names resolve with the gateway's answer, the host behind it
// answers on IPv4 and IPv6 (from an IPv4-only gateway, IPv6 is refused on the
// spot), and the outer link carries nothing but IKE, ESP in UDP and link
// housekeeping. Turned off, the resolver configuration is NetworkManager's
// own again, byte for byte.
void tst_NetworkManagerEndToEnd::nothingLeavesBesideTheTunnel()
{
    QFETCH(bool, gatewayOffersIpv6);
    QVERIFY(m_gateway->offerIpv6(gatewayOffersIpv6));
    const QString hostName = m_gateway->value(u"HOST_NAME"_s);
    const QByteArray resolverBefore = m_gateway->resolverConfiguration();
    QCOMPARE(resolverBefore, QByteArray("# Generated by NetworkManager\n"
                                        "nameserver 192.0.2.53\n"
                                        "nameserver 2001:db8:1::53\n"));
    QCOMPARE(m_gateway->resolve(hostName, 4), u"192.0.2.66"_s); // the LAN's answer

    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_gateway->resolverConfiguration().contains("nameserver 198.51.100.53"),
                             TunnelTimeoutMs);
    QVERIFY2(!m_gateway->resolverConfiguration().contains("192.0.2.53"), m_gateway->resolverConfiguration());
    QVERIFY2(ipv6DefaultRoutes().startsWith("unreachable default dev lo proto static metric 50 "),
             ipv6DefaultRoutes().constData());

    m_gateway->expectOnlyTunnelTraffic(gatewayOffersIpv6);
    if (QTest::currentTestFailed())
        return;

    m_service->disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Disconnected, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!blockInForce(), TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
    // IPv6 may take the LAN's default route again.
    QTRY_COMPARE_WITH_TIMEOUT(ipv6DefaultRoutes(),
                              QByteArray("default via 2001:db8:1::1 dev ")
                                  + m_gateway->value(u"CLIENT_IF"_s).toLatin1()
                                  + " proto static metric 100 pref medium\n",
                              TunnelTimeoutMs);
}

void tst_NetworkManagerEndToEnd::gatewayClosingTheTunnelIsDetected()
{
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_gateway->pingInnerAddress());
    // Handing the key's files to the profile shared the key with the VPN service.
    const QByteArray reference = m_session.session.identityReference().value();
    QVERIFY(m_session.identities.accessList(reference)->front().applications.contains(
        NetworkManagerVPNBackend::daemonApplication()));
    auto *backend = static_cast<NetworkManagerVPNBackend *>(m_manager->backend());
    // The routes of the tunnel have been seen: from now on their loss counts.
    QTRY_VERIFY(backend->isTunnelWatched());

    // The gateway deletes the SA but takes the client back: charon-nm
    // re-establishes it by itself and NetworkManager mostly never notices
    // (sometimes it drops the VPN when charon-nm sends the new address). Either
    // way the SA's loss shows, and what the status settles on is true.
    m_statuses.clear();
    QVERIFY(m_gateway->terminateAtGateway());
    QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VPNStatus::Reasserting), TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_service->status() == VPNStatus::Connected
                                 || m_service->status() == VPNStatus::Disconnected,
                             TunnelTimeoutMs);
    if (m_service->status() == VPNStatus::Connected) {
        QVERIFY(m_gateway->pingInnerAddress());
    } else {
        QVERIFY(!vpnActive());
        m_service->connect();
        QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    }
    QTRY_VERIFY(backend->isTunnelWatched());

    // The gateway goes away for good (deleting the SA as it stops): NetworkManager
    // still says activated, the status must not.
    m_statuses.clear();
    QVERIFY(m_gateway->stopResponder());
    QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VPNStatus::Reasserting), TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Disconnected, TunnelTimeoutMs);
    QCOMPARE(m_statuses.constLast(), VPNStatus::Disconnected);
    QVERIFY(!vpnActive());
    QVERIFY(!m_gateway->pingInnerAddress());
}

void tst_NetworkManagerEndToEnd::nothingLeavesWhileTheTunnelIsWanted_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("gatewayOffersIpv6");
    for (const bool ipv6 : {true, false}) {
        for (const char *fault : {"a silent gateway while connecting",
                                  "the gateway refuses the client, until the attempts rule gives up",
                                  "the gateway ends the tunnel and goes silent", "the link goes down and up",
                                  "charon-nm is killed", "woken up, the gateway forgot the tunnel",
                                  "the client is killed, then the gateway ends the tunnel"})
            QTest::newRow(qPrintable(u"%1, %2"_s.arg(QLatin1String(fault), ipv6 ? u"dual-stack gateway"_s
                                                                                : u"IPv4-only gateway"_s)))
                << QString::fromLatin1(fault) << ipv6;
    }
}

// The NetworkManager backend's block, for a user without root: from Turn ON
// until Turn OFF, whatever fails, nothing leaves on the outer link beside
// the tunnel; after Turn OFF the probes go out in the clear and nothing of
// the block is left in NetworkManager or in the routing rules.
void tst_NetworkManagerEndToEnd::nothingLeavesWhileTheTunnelIsWanted()
{
    QFETCH(QString, fault);
    QFETCH(bool, gatewayOffersIpv6);
    if (!m_gateway->securityAssociations(GatewayFixture::Side::Gateway))
        QVERIFY(m_gateway->startCharon(GatewayFixture::Side::Gateway));
    QVERIFY(m_gateway->offerIpv6(gatewayOffersIpv6));
    // Kept up: every fault is followed by new attempts. But after a sleep:
    // a tunnel found dead is brought back also without that.
    const bool wokenUp = fault.startsWith(u"woken up"_s);
    const QByteArray reference = m_session.session.identityReference().value();
    QVERIFY(m_session.identities.grantAccess(reference, NetworkManagerVPNBackend::daemonApplication()));
    m_session.defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled, !wokenUp);
    const auto autoConnectOff = qScopeGuard(
        [this] { m_session.defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled, false); });
    const QByteArray resolverBefore = m_gateway->resolverConfiguration();

    const bool silent = fault.startsWith(u"a silent gateway"_s);
    if (silent)
        QVERIFY(m_gateway->stopResponder());
    // A gateway that refuses answers at once: each attempt fails within a
    // second or two, where a silent one holds charon-nm for most of a minute.
    const bool refusing = fault.startsWith(u"the gateway refuses"_s);
    const auto admit = qScopeGuard([this, refusing] {
        if (refusing)
            m_gateway->admitClients(true);
    });
    if (refusing)
        QVERIFY(m_gateway->admitClients(false));
    const qsizetype logged = charonLog().size();
    m_service->connect();
    if (silent || refusing)
        QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VPNStatus::Connecting), TunnelTimeoutMs);
    else
        QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(blockInForce(), TunnelTimeoutMs);
    QVERIFY(m_gateway->startCapture());
    const qsizetype captured = charonLog().size();
    m_gateway->sendProbes();

    using State = TunnelController::State;
    std::unique_ptr<QSignalSpy> afterGivingUp; // the backend's changes once the client gave up
    if (silent) {
        // (charon-nm waits long on a silent gateway before an attempt
        // counts as failed; the attempts rule itself is the contract
        // suite's.) Until its requests have gone unanswered twice, and one
        // was sent while the capture ran (on a loaded machine the block may
        // take long enough to come up that the second was sent before).
        QTRY_VERIFY_WITH_TIMEOUT(charonLog().mid(logged).contains("retransmit 2 of request")
                                     && charonLog().mid(captured).contains("retransmit "),
                                 2 * TunnelTimeoutMs);
        QCOMPARE(m_service->tunnel().state(), State::Connecting);
    } else if (refusing) {
        QTRY_COMPARE_WITH_TIMEOUT(m_service->tunnel().state(), State::Blocked, TunnelTimeoutMs);
        QCOMPARE(m_service->tunnel().reason(), TunnelController::Reason::AttemptsExhausted);
        // Given up for good: the tunnel is stopped and no attempt follows
        // (the probes below outlast the pause before a retry), while the
        // block stays.
        QTRY_VERIFY_WITH_TIMEOUT(!m_manager->savedPreferences().onDemandEnabled, TunnelTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(m_manager->backend()->status(), VPNStatus::Disconnected, TunnelTimeoutMs);
        afterGivingUp = std::make_unique<QSignalSpy>(m_manager->backend(), &VPNBackend::statusChanged);
    } else if (fault.startsWith(u"the gateway ends"_s)) {
        QVERIFY(m_gateway->stopResponder());
        QTRY_VERIFY_WITH_TIMEOUT(m_service->tunnel().state() != State::Connected, TunnelTimeoutMs);
    } else if (fault.startsWith(u"the link"_s)) {
        QVERIFY(m_gateway->setLinkUp(false));
        m_gateway->sendProbes();
        QVERIFY(m_gateway->setLinkUp(true));
    } else if (fault.startsWith(u"charon-nm"_s)) {
        // The one charon-nm in the client's namespace.
        QByteArray pids;
        GatewayFixture::execute(u"ip"_s, {u"netns"_s, u"pids"_s, m_gateway->value(u"CLIENT_NS"_s)}, &pids);
        QByteArray charon;
        for (const QByteArray &pid : pids.split('\n')) {
            QFile comm(u"/proc/%1/comm"_s.arg(QString::fromLatin1(pid.trimmed())));
            if (!pid.trimmed().isEmpty() && comm.open(QIODevice::ReadOnly) && comm.readAll() == "charon-nm\n")
                charon = pid;
        }
        QVERIFY2(charon.trimmed().toInt() > 0, pids.constData());
        QCOMPARE(::kill(charon.trimmed().toInt(), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_service->tunnel().state() != State::Connected, TunnelTimeoutMs);
    } else if (wokenUp) {
        // A tunnel that carries is left as it is.
        auto *backend = static_cast<NetworkManagerVPNBackend *>(m_manager->backend());
        QTRY_VERIFY_WITH_TIMEOUT(backend->isTunnelWatched(), TunnelTimeoutMs);
        m_statuses.clear();
        m_service->checkTunnel(VPNBackend::Change::Resumed);
        QVERIFY(backend->isCheckingTunnel());
        QTRY_VERIFY_WITH_TIMEOUT(!backend->isCheckingTunnel(), TunnelTimeoutMs);
        QCOMPARE(m_statuses, QList<VPNStatus>());
        // While the machine slept the gateway restarted: charon-nm still
        // holds the tunnel and its routes, the gateway nothing of it.
        QVERIFY(m_gateway->killCharon(GatewayFixture::Side::Gateway));
        QVERIFY(m_gateway->startCharon(GatewayFixture::Side::Gateway));
        m_statuses.clear();
        m_service->checkTunnel(VPNBackend::Change::Resumed);
        QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VPNStatus::Disconnected), TunnelTimeoutMs);
        m_gateway->sendProbes();
        // Brought back: a new tunnel that carries.
        QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VPNStatus::Connected, TunnelTimeoutMs);
        QVERIFY(m_gateway->pingInnerAddress());
    } else {
        delete m_service; // killed: nothing of the quit path runs
        delete m_manager;
        m_service = nullptr;
        m_manager = nullptr;
        QVERIFY(m_gateway->terminateAtGateway());
        m_gateway->sendProbes();
        startClient();
        bool cleared = false;
        m_service->clearLeftovers([&] { cleared = true; });
        QTRY_VERIFY_WITH_TIMEOUT(cleared, TunnelTimeoutMs);
        QCOMPARE(m_service->tunnel().state(), State::Blocked);
        QCOMPARE(m_service->tunnel().reason(), TunnelController::Reason::EarlierRun);
    }
    m_gateway->sendProbes();
    QVERIFY(blockInForce());
    if (afterGivingUp)
        QCOMPARE(afterGivingUp->count(), 0);
    m_gateway->expectNothingBesideTheTunnelSinceCapture();
    if (QTest::currentTestFailed())
        return;

    // Turn OFF lifts the block: nothing of it is left, and the gateway
    // answers in the clear.
    m_service->disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->tunnel().state(), State::Off, TunnelTimeoutMs);
    // Saved so that nothing brings it back, even when it was down between
    // attempts at the Turn OFF.
    QTRY_VERIFY_WITH_TIMEOUT(!m_manager->savedPreferences().onDemandEnabled, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(!blockInForce(), TunnelTimeoutMs);
    const auto blockProfile = [this] {
        QByteArray profiles;
        m_gateway->runInClient(u"nmcli -t -f NAME connection show"_s.split(u' '), &profiles);
        return profiles.contains("Orvex traffic block");
    };
    QTRY_VERIFY_WITH_TIMEOUT(!blockProfile(), TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_gateway->ping(m_gateway->value(u"GATEWAY_ADDR"_s)), TunnelTimeoutMs);
}

// The client run by an ordinary user: NetworkManager asks polkit (the
// stand-in answers as a desktop session's rules would), the profile is the
// user's own, the key's files are open to NetworkManager's VPN service and to
// no other user; ON, OFF, on-demand and Quit work as for root. Refused by
// polkit, the user is told so.
void tst_NetworkManagerEndToEnd::anOrdinaryUserRunsTheTunnel()
{
    const QString name = u"orvex%1"_s.arg(::getpid());
    QTemporaryDir home(u"/var/tmp/orvex-user-XXXXXX"_s);
    QVERIFY(home.isValid());
    QCOMPARE(QProcess::execute(u"useradd"_s, {u"-M"_s, u"-N"_s, u"-d"_s, home.path(), u"-s"_s,
                                              u"/usr/sbin/nologin"_s, name}),
             0);
    QDBusConnection bus = QDBusConnection::systemBus();
    // Each user's profile has a UUID of its own.
    QString uuid = NetworkManagerVPNBackend::defaultProfileUuid();
    const auto profile = [&uuid] {
        return NM::objectPath(
            askNetworkManager(NM::settingsPath, NM::settingsInterface, u"GetConnectionByUuid"_s, {uuid}));
    };
    const auto deleteProfile = [&profile] {
        if (!profile().isEmpty())
            askNetworkManager(profile(), NM::connectionInterface, u"Delete"_s);
    };
    // root's, from the cases before, so that the user's is the only one. The
    // last of them also stopped the gateway.
    deleteProfile();
    if (!m_gateway->securityAssociations(GatewayFixture::Side::Gateway))
        QVERIFY(m_gateway->startCharon(GatewayFixture::Side::Gateway));
    const auto removeAll = qScopeGuard([&] {
        deleteProfile();
        QProcess::execute(u"userdel"_s, {name});
    });
    const passwd *user = ::getpwnam(qPrintable(name));
    QVERIFY(user);
    const uid_t uid = user->pw_uid;
    const gid_t gid = user->pw_gid;
    uuid = NetworkManagerProfile::uuidFor(SystemInfo::machineId().value_or(QString()), uid);
    // The files the user starts with: the client (the build tree need not be
    // open to the user) and the identity the service would hand out.
    const QString client = home.filePath(u"nm-user-client"_s);
    const QString archive = home.filePath(u"identity.p12"_s);
    QVERIFY(QFile::copy(QStringLiteral(ORVEX_NM_USER_CLIENT), client));
    QFile archiveFile(archive);
    QVERIFY(archiveFile.open(QIODevice::WriteOnly));
    archiveFile.write(m_gateway->issueClientIdentity(clientIdentifier, m_session.config.pkcs12Passphrase));
    archiveFile.close();
    for (const QString &path : {home.path(), client, archive})
        QCOMPARE(::chown(qPrintable(path), uid, gid), 0);
    QCOMPARE(::chmod(qPrintable(home.path()), 0700), 0);
    // A desktop session of the user's, as logind records it.
    QVERIFY(QDir().mkpath(m_nmDir + u"/run/systemd/users"_s));
    QFile session(m_nmDir + u"/run/systemd/users/%1"_s.arg(uid));
    QVERIFY(session.open(QIODevice::WriteOnly));
    session.write("ONLINE_SESSIONS=c1\nACTIVE_SESSIONS=c1\n");
    session.close();
    const auto allow = [&bus](const QStringList &actions) {
        QDBusMessage set = QDBusMessage::createMethodCall(u"org.freedesktop.PolicyKit1"_s,
                                                          u"/org/freedesktop/PolicyKit1/Authority"_s,
                                                          u"org.freedesktop.DBus.Mock"_s, u"SetAllowed"_s);
        set << actions;
        return bus.call(set).type() == QDBusMessage::ReplyMessage;
    };
    QVERIFY(allow({u"org.freedesktop.NetworkManager.settings.modify.own"_s,
                   u"org.freedesktop.NetworkManager.network-control"_s,
                   u"org.freedesktop.NetworkManager.enable-disable-network"_s}));

    QProcess process;
    QByteArray said;
    connect(&process, &QProcess::readyReadStandardOutput, this,
            [&] { said += process.readAllStandardOutput(); });
    const auto start = [&] {
        QProcessEnvironment environment;
        environment.insert(u"HOME"_s, home.path());
        environment.insert(u"XDG_RUNTIME_DIR"_s, home.path());
        environment.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s,
                           QString::fromLocal8Bit(qgetenv("DBUS_SYSTEM_BUS_ADDRESS")));
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent"_s);
        for (const char *sanitizer : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
            if (qEnvironmentVariableIsSet(sanitizer))
                environment.insert(QLatin1String(sanitizer), qEnvironmentVariable(sanitizer));
        }
        process.setProcessEnvironment(environment);
        said.clear();
        process.start(u"ip"_s, {u"netns"_s, u"exec"_s, m_gateway->value(u"CLIENT_NS"_s), u"setpriv"_s,
                                u"--reuid=%1"_s.arg(uid), u"--regid=%1"_s.arg(gid), u"--clear-groups"_s,
                                client, m_gateway->host(), m_gateway->caCertificate(), archive});
        return process.waitForStarted();
    };
    // Waits until the client has said `line` since the last look; what it
    // said up to there is used up.
    const auto hears = [&](const QByteArray &line) {
        const bool heard = QTest::qWaitFor([&] { return said.contains(line + '\n'); }, TunnelTimeoutMs);
        if (heard)
            said.remove(0, said.indexOf(line + '\n') + line.size() + 1);
        else
            qWarning() << "the client said:" << said << process.readAllStandardError() << process.state()
                       << process.exitCode();
        return heard;
    };
    const auto tell = [&](const QByteArray &command) { process.write(command + '\n'); };
    const auto stop = qScopeGuard([&] {
        process.kill();
        process.waitForFinished();
    });

    QVERIFY(start());
    tell("connect");
    QVERIFY(hears("status connected"));
    QVERIFY(m_gateway->pingInnerAddress());
    QVERIFY(!profile().isEmpty());
    const NM::Settings settings = NM::settings(
        askNetworkManager(profile(), NM::connectionInterface, u"GetSettings"_s));
    QCOMPARE(settings.value(u"connection"_s).value(u"permissions"_s).toStringList(),
             QStringList{u"user:%1:"_s.arg(name)});
    const NM::StringMap data = NM::stringMap(settings.value(u"vpn"_s).value(u"data"_s));
    // Owner read-write, root (uid 0) read, nobody else anything.
    const QByteArray rootReads = QByteArray::fromHex(
        "02000000 01000600ffffffff 0200040000000000 04000000ffffffff 10000400ffffffff 20000000ffffffff");
    for (const QString &key : {u"usercert"_s, u"userkey"_s}) {
        const QString file = data.value(key);
        QVERIFY2(file.startsWith(home.path()), qPrintable(file));
        QFileInfo info(file);
        QCOMPARE(info.ownerId(), uid);
        QCOMPARE(info.permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::ExeOther),
                 QFile::Permissions());
        char acl[256];
        const ssize_t size = ::getxattr(qPrintable(file), "system.posix_acl_access", acl, sizeof acl);
        QCOMPARE(QByteArray(acl, int(std::max<ssize_t>(size, 0))).toHex(), rootReads.toHex());
    }

    tell("disconnect");
    QVERIFY(hears("status disconnected"));
    QVERIFY(!vpnActive(uuid));
    QVERIFY(!m_gateway->pingInnerAddress());

    // On-demand: up by itself, and back after the tunnel is taken away.
    tell("on-demand");
    QVERIFY(hears("status connected"));
    QCOMPARE(QProcess::execute(u"nmcli"_s, {u"connection"_s, u"down"_s, u"uuid"_s, uuid}), 0);
    QVERIFY(hears("status disconnected"));
    QVERIFY(hears("status connected"));
    QVERIFY(m_gateway->pingInnerAddress());

    tell("quit");
    QVERIFY(hears("quit"));
    // (It may have ended while the line was being waited for.)
    QTRY_COMPARE_WITH_TIMEOUT(process.state(), QProcess::NotRunning, TunnelTimeoutMs);
    QVERIFY2(process.exitCode() == 0, process.readAllStandardError().constData());
    // Quit asks NetworkManager to take the tunnel down; it goes soon after.
    QTRY_VERIFY_WITH_TIMEOUT(!vpnActive(uuid), TunnelTimeoutMs);

    // Refused: the main screen's notice says why.
    QVERIFY(allow({}));
    QVERIFY(start());
    tell("connect");
    QVERIFY(hears("reason NetworkManager did not allow this user to manage VPN connections."));
    QVERIFY(!vpnActive(uuid));
}

QTEST_GUILESS_MAIN(tst_NetworkManagerEndToEnd)
#include "tst_nm_e2e.moc"
