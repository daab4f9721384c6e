// The NetworkManager backend end to end: NetworkManager with charon-nm inside
// the client's network namespace, in a mount namespace and on a system bus of
// its own (tests/nm/nm-netns), against the test gateway of scripts/gateway.
// Needs root; skips without it.

#include "GatewayFixture.h"

#include "account/DefaultsKeys.h"
#include "account/Session.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VpnManager.h"
#include "platform/nm/AutoVpnBackend.h"
#include "platform/nm/NetworkManagerVpnBackend.h"
#include "platform/vici/ViciClient.h"
#include "vpn/KeychainService.h"
#include "vpn/VPNService.h"

#include <QCryptographicHash>
#include <QDBusConnection>
#include <QDBusReply>
#include <QProcess>
#include <QTest>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

using namespace Orvex;
namespace NM = Orvex::NetworkManager;

namespace {

constexpr int TunnelTimeoutMs = 30000;
constexpr int GraceMs = 3000;

QString script()
{
    return QString::fromLocal8Bit(qgetenv("ORVEX_NM_NETNS_SCRIPT"));
}

// Asks a charon something over VICI and waits for the answer (tests only).
ViciReply ask(const QString &socket, const QByteArray &command, const ViciMessage &request)
{
    ViciClient client;
    client.connectToDaemon(socket);
    std::optional<ViciReply> reply;
    client.call(command, request, [&](const ViciReply &r) { reply = r; });
    (void)QTest::qWaitFor([&] { return reply.has_value(); }, 10000);
    return reply.value_or(ViciReply{});
}

} // namespace

class TestNetworkManagerEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void autoChoosesNetworkManager();
    void tunnelThroughNetworkManager();
    void nothingLeavesBesideTheTunnel();
    void gatewayClosingTheTunnelIsDetected();

private:
    bool run(const QStringList &arguments, QByteArray *output = nullptr);
    bool stopClientCharon();
    bool enterNamespace(const QString &name);
    void leaveNamespace();
    // How many profiles NetworkManager holds with our UUID.
    int profilesOfOurs();
    bool vpnActive();

    std::unique_ptr<GatewayFixture> m_gateway;
    QString m_nmDir;
    bool m_nmUp = false;
    int m_originalNamespace = -1;
    QString m_nmLog;
    QString m_charonLog;

    VpnManager *m_manager = nullptr;
    VPNService *m_service = nullptr;
    QList<VpnStatus> m_statuses;
};

bool TestNetworkManagerEndToEnd::run(const QStringList &arguments, QByteArray *output)
{
    QProcess process;
    process.start(script(), arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    if (output)
        *output = process.readAllStandardOutput() + process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// The fixture's own client charon would hold the IKE ports charon-nm needs.
bool TestNetworkManagerEndToEnd::stopClientCharon()
{
    QFile pidFile(m_gateway->directory() + QStringLiteral("/client/charon.pid"));
    if (!pidFile.open(QIODevice::ReadOnly))
        return false;
    const pid_t pid = pid_t(pidFile.readAll().trimmed().toLongLong());
    if (pid <= 0 || ::kill(pid, SIGTERM) != 0)
        return false;
    return QTest::qWaitFor([pid] { return ::kill(pid, 0) != 0; }, 10000);
}

// The backend watches routes in the network namespace its process runs in;
// the client side of the tunnel is in the fixture's, so this thread joins it.
bool TestNetworkManagerEndToEnd::enterNamespace(const QString &name)
{
    m_originalNamespace = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = ::open(qPrintable(QStringLiteral("/run/netns/") + name), O_RDONLY | O_CLOEXEC);
    const bool entered = m_originalNamespace >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        ::close(target);
    return entered;
}

void TestNetworkManagerEndToEnd::leaveNamespace()
{
    if (m_originalNamespace < 0)
        return;
    (void)::setns(m_originalNamespace, CLONE_NEWNET);
    ::close(m_originalNamespace);
    m_originalNamespace = -1;
}

void TestNetworkManagerEndToEnd::initTestCase()
{
    if (!GatewayFixture::isRoot())
        QSKIP("needs root: NetworkManager and the gateway run in namespaces");
    QVERIFY2(!script().isEmpty(), "ORVEX_NM_NETNS_SCRIPT is not set");
    m_gateway = std::make_unique<GatewayFixture>();
    QString error;
    QVERIFY2(m_gateway->up(&error), qPrintable(error));
    QVERIFY(stopClientCharon());

    m_nmDir = m_gateway->directory() + QStringLiteral("/nm");
    QByteArray output;
    m_nmUp = true; // whatever happens, cleanupTestCase takes it down
    const bool started = run({QStringLiteral("up"), QStringLiteral("--dir"), m_nmDir,
                              QStringLiteral("--netns"), m_gateway->value(QStringLiteral("CLIENT_NS"))},
                             &output);
    QVERIFY2(started, output.constData());
    QString bus;
    for (const QByteArray &line : output.split('\n')) {
        if (line.startsWith("BUS_ADDRESS="))
            bus = QString::fromUtf8(line.mid(12));
        else if (line.startsWith("NM_LOG="))
            m_nmLog = QString::fromUtf8(line.mid(7));
        else if (line.startsWith("CHARON_LOG="))
            m_charonLog = QString::fromUtf8(line.mid(11));
    }
    QVERIFY(!bus.isEmpty());
    // Before the first use of Qt D-Bus, which reads it once.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.toLocal8Bit());
    // The outer link as a desktop has it: a profile of NetworkManager's with
    // the LAN's addresses, router and resolvers, which NetworkManager then
    // writes into the resolver configuration.
    const QString lan = QStringLiteral("lan-%1").arg(::getpid());
    const QStringList nmcli{QStringLiteral("netns"), QStringLiteral("exec"), m_gateway->value(QStringLiteral("CLIENT_NS")),
                            QStringLiteral("nmcli")};
    QCOMPARE(QProcess::execute(QStringLiteral("ip"),
                               nmcli + QStringList{QStringLiteral("connection"), QStringLiteral("add"),
                                                   QStringLiteral("type"), QStringLiteral("ethernet"),
                                                   QStringLiteral("ifname"), m_gateway->value(QStringLiteral("CLIENT_IF")),
                                                   QStringLiteral("con-name"), lan,
                                                   QStringLiteral("ipv4.method"), QStringLiteral("manual"),
                                                   QStringLiteral("ipv4.addresses"), QStringLiteral("192.0.2.2/24"),
                                                   QStringLiteral("ipv4.gateway"), QStringLiteral("192.0.2.1"),
                                                   QStringLiteral("ipv4.dns"), QStringLiteral("192.0.2.53"),
                                                   QStringLiteral("ipv6.method"), QStringLiteral("manual"),
                                                   QStringLiteral("ipv6.addresses"), QStringLiteral("2001:db8:1::2/64"),
                                                   QStringLiteral("ipv6.gateway"), QStringLiteral("2001:db8:1::1"),
                                                   QStringLiteral("ipv6.dns"), QStringLiteral("2001:db8:1::53")}),
             0);
    QCOMPARE(QProcess::execute(QStringLiteral("ip"),
                               nmcli + QStringList{QStringLiteral("connection"), QStringLiteral("up"), lan}),
             0);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(),
                              QByteArray("# Generated by NetworkManager\n"
                                         "nameserver 192.0.2.53\n"
                                         "nameserver 2001:db8:1::53\n"),
                              TunnelTimeoutMs);
    QVERIFY(enterNamespace(m_gateway->value(QStringLiteral("CLIENT_NS"))));

    Config config = *Config::parse({}, {}, nullptr);
    config.vpnGatewayHost = m_gateway->host();
    config.caCertificates = {m_gateway->caCertificate()};
    config.vpnBackend = QStringLiteral("networkmanager");
    Config::setCurrent(config);
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(QStringLiteral("nm-e2e-machine")); });
    UserDefaults::standard().setString(DefaultsKeys::tempEmail, QStringLiteral("ann@example.com"));
    const QString id = QString::fromLatin1(QCryptographicHash::hash("nm-e2e-machine@ann@example.com",
                                                                    QCryptographicHash::Md5)
                                               .toHex())
                       + QStringLiteral(".clients.orvex.example");
    const QByteArray archive = m_gateway->issueClientIdentity(id, Config::current().pkcs12Passphrase);
    QVERIFY(!archive.isEmpty());
    const std::optional<QByteArray> reference = KeychainService::persistentReference(archive);
    QVERIFY(reference && Session::shared().replaceIdentity(*reference));
}

void TestNetworkManagerEndToEnd::cleanupTestCase()
{
    leaveNamespace();
    if (m_nmUp)
        run({QStringLiteral("down"), QStringLiteral("--dir"), m_nmDir});
    m_nmUp = false;
    m_gateway.reset();
    Session::shared().logout();
    SystemInfo::setMachineIdSourceForTesting({});
}

void TestNetworkManagerEndToEnd::init()
{
    // What forConfiguration() makes, with a grace period short enough for a test.
    NetworkManagerVpnBackend::Options options;
    options.caCertificateFile = Config::current().caCertificates.value(0);
    options.resolveIdentity = [](const QByteArray &reference) -> std::optional<NetworkManagerProfile::IdentityFiles> {
        const auto material = IdentityStore::standard().resolve(reference);
        if (!material)
            return std::nullopt;
        return NetworkManagerProfile::IdentityFiles{material->certificatePath, material->privateKeyPath};
    };
    options.grantAccess = [](const QByteArray &reference) {
        IdentityStore::standard().grantAccess(reference, NetworkManagerVpnBackend::daemonApplication());
    };
    options.reassertGraceMs = GraceMs;
    QFile::remove(VpnManager::defaultStoragePath());
    m_manager = new VpnManager(std::make_unique<NetworkManagerVpnBackend>(options),
                               VpnManager::defaultStoragePath());
    m_service = new VPNService(m_manager);
    m_statuses.clear();
    connect(m_manager->connection(), &VpnConnection::statusDidChange, this,
            [this] { m_statuses << m_manager->connection()->status(); });
}

void TestNetworkManagerEndToEnd::cleanup()
{
    delete m_service;
    delete m_manager;
    m_service = nullptr;
    m_manager = nullptr;
    if (m_gateway && QTest::currentTestFailed()) {
        QStringList seen;
        for (VpnStatus status : std::as_const(m_statuses))
            seen << QString::number(int(status));
        qWarning().noquote() << "statuses seen:" << seen.join(QLatin1Char(' '));
        qWarning().noquote() << m_gateway->logs();
        for (const QString &log : {m_nmLog, m_charonLog}) {
            QFile file(log);
            if (file.open(QIODevice::ReadOnly))
                qWarning().noquote() << "---" << log << "---\n" << QString::fromUtf8(file.readAll().right(4000));
        }
    }
}

int TestNetworkManagerEndToEnd::profilesOfOurs()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    QDBusMessage list = QDBusMessage::createMethodCall(NM::service, NM::settingsPath, NM::settingsInterface,
                                                       QStringLiteral("ListConnections"));
    const QDBusReply<QList<QDBusObjectPath>> paths = bus.call(list);
    int ours = 0;
    for (const QDBusObjectPath &path : paths.value()) {
        const QDBusMessage get = QDBusMessage::createMethodCall(NM::service, path.path(), NM::connectionInterface,
                                                                QStringLiteral("GetSettings"));
        const QDBusMessage reply = bus.call(get);
        const NM::Settings settings = NM::settings(reply.arguments().value(0));
        if (settings.value(QStringLiteral("connection")).value(QStringLiteral("uuid"))
            == NetworkManagerVpnBackend::defaultProfileUuid())
            ++ours;
    }
    return ours;
}

bool TestNetworkManagerEndToEnd::vpnActive()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    QDBusMessage get = QDBusMessage::createMethodCall(NM::service, NM::path, NM::propertiesInterface,
                                                      QStringLiteral("Get"));
    get << NM::interface << QStringLiteral("ActiveConnections");
    const QDBusMessage reply = bus.call(get);
    for (const QDBusObjectPath &path :
         NM::objectPaths(reply.arguments().value(0).value<QDBusVariant>().variant())) {
        QDBusMessage uuid = QDBusMessage::createMethodCall(NM::service, path.path(), NM::propertiesInterface,
                                                           QStringLiteral("Get"));
        uuid << NM::activeInterface << QStringLiteral("Uuid");
        const QDBusMessage answer = bus.call(uuid);
        if (answer.arguments().value(0).value<QDBusVariant>().variant().toString()
            == NetworkManagerVpnBackend::defaultProfileUuid())
            return true;
    }
    return false;
}

void TestNetworkManagerEndToEnd::autoChoosesNetworkManager()
{
    auto backend = AutoVpnBackend::forConfiguration(Config::current(), [] { return nullptr; });
    bool attached = false;
    backend->attachReporting({}, [&](const QString &) { attached = true; });
    QTRY_VERIFY(attached);
    QCOMPARE(backend->choice(), QStringLiteral("networkmanager"));
}

void TestNetworkManagerEndToEnd::tunnelThroughNetworkManager()
{
    QVERIFY(!m_gateway->pingInnerAddress()); // no route before the tunnel

    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_statuses.contains(VpnStatus::Connecting));
    QVERIFY(m_gateway->pingInnerAddress());
    QCOMPARE(profilesOfOurs(), 1);

    // Handing the key's files to the profile shared the key with the VPN service.
    const QByteArray reference = Session::shared().identityReference().value();
    QVERIFY(KeychainService::isPrivateKeyShared(IdentityStore::standard(), reference));
    QVERIFY(IdentityStore::standard().accessList(reference)->front().applications.contains(
        NetworkManagerVpnBackend::daemonApplication()));

    bool stopped = false;
    m_service->disconnect([&] { stopped = true; });
    QTRY_VERIFY(stopped);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);
    QVERIFY(m_statuses.contains(VpnStatus::Disconnecting));
    QVERIFY(!vpnActive());
    QVERIFY(!m_gateway->pingInnerAddress());

    // Saved again on the way up: replaced in place, still one profile.
    m_service->toggle();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QCOMPARE(profilesOfOurs(), 1);
    QVERIFY(m_gateway->pingInnerAddress());
    m_service->toggle();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);
}

// NetworkManager applies the gateway's resolvers and both families go through
// the tunnel: names resolve with the gateway's answer, the host behind it
// answers on IPv4 and IPv6, and the outer link carries nothing but IKE, ESP
// in UDP and link housekeeping. Turned off, the resolver configuration is
// NetworkManager's own again, byte for byte.
void TestNetworkManagerEndToEnd::nothingLeavesBesideTheTunnel()
{
    const QString hostName = m_gateway->value(QStringLiteral("HOST_NAME"));
    const QByteArray resolverBefore = m_gateway->resolverConfiguration();
    QCOMPARE(resolverBefore, QByteArray("# Generated by NetworkManager\n"
                                        "nameserver 192.0.2.53\n"
                                        "nameserver 2001:db8:1::53\n"));
    QCOMPARE(m_gateway->resolve(hostName, 4), QStringLiteral("192.0.2.66")); // the LAN's answer

    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_gateway->resolverConfiguration().contains("nameserver 198.51.100.53"),
                             TunnelTimeoutMs);
    QVERIFY2(!m_gateway->resolverConfiguration().contains("192.0.2.53"), m_gateway->resolverConfiguration());

    GatewayFixture::Capture capture(*m_gateway);
    QString error;
    QVERIFY2(capture.start(&error), qPrintable(error));
    QCOMPARE(m_gateway->resolve(hostName, 4), QStringLiteral("198.51.100.10"));
    QCOMPARE(m_gateway->resolve(hostName, 6), QStringLiteral("2001:db8:51::10"));
    QVERIFY(m_gateway->ping(QStringLiteral("198.51.100.10")));
    QVERIFY(m_gateway->ping(QStringLiteral("2001:db8:51::10")));
    const QString lanAnswer = m_gateway->resolve(m_gateway->value(QStringLiteral("LAN_NAME")), 4);
    QVERIFY2(capture.stop(&error), qPrintable(error));
    qInfo().noquote() << "NetworkManager, dual-stack gateway, outer link with the tunnel up:" << capture.summary()
                      << "| LAN name:" << (lanAnswer.isEmpty() ? QStringLiteral("unresolved") : lanAnswer);
    QVERIFY2(capture.others.isEmpty(), qPrintable(capture.others.join(u'\n')));
    QVERIFY(capture.counts.value(QStringLiteral("ESP in UDP")) >= 4);

    m_service->disconnect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_gateway->resolverConfiguration(), resolverBefore, TunnelTimeoutMs);
}

void TestNetworkManagerEndToEnd::gatewayClosingTheTunnelIsDetected()
{
    m_service->connect();
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    QVERIFY(m_gateway->pingInnerAddress());
    auto *backend = static_cast<NetworkManagerVpnBackend *>(m_manager->backend());
    // The routes of the tunnel have been seen: from now on their loss counts.
    QTRY_VERIFY(backend->isTunnelWatched());

    // The gateway deletes the SA but takes the client back: charon-nm
    // re-establishes it by itself and NetworkManager mostly never notices
    // (sometimes it drops the VPN when charon-nm sends the new address). Either
    // way the SA's loss shows, and what the status settles on is true.
    m_statuses.clear();
    ViciMessage terminate;
    terminate.set("ike", m_gateway->value(QStringLiteral("CONN")).toUtf8());
    terminate.set("timeout", "2000");
    QVERIFY2(ask(m_gateway->gatewayVici(), "terminate", terminate).isSuccess(), "gateway terminate");
    QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VpnStatus::Reasserting), TunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(m_service->status() == VpnStatus::Connected
                                 || m_service->status() == VpnStatus::Disconnected,
                             TunnelTimeoutMs);
    if (m_service->status() == VpnStatus::Connected) {
        QVERIFY(m_gateway->pingInnerAddress());
    } else {
        QVERIFY(!vpnActive());
        m_service->connect();
        QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Connected, TunnelTimeoutMs);
    }
    QTRY_VERIFY(backend->isTunnelWatched());

    // The gateway goes away for good (deleting the SA as it stops): NetworkManager
    // still says activated, the status must not.
    m_statuses.clear();
    QVERIFY(m_gateway->stopResponder());
    QTRY_VERIFY_WITH_TIMEOUT(m_statuses.contains(VpnStatus::Reasserting), TunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_service->status(), VpnStatus::Disconnected, TunnelTimeoutMs);
    QCOMPARE(m_statuses.constLast(), VpnStatus::Disconnected);
    QVERIFY(!vpnActive());
    QVERIFY(!m_gateway->pingInnerAddress());
}

QTEST_GUILESS_MAIN(TestNetworkManagerEndToEnd)
#include "tst_nm_e2e.moc"
