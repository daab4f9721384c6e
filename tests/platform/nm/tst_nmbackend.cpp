// The NetworkManager backend against a fake NetworkManager on a private bus
// exported as the system bus; how "auto" chooses between the backends; and
// the rtnetlink reading of the liveness probe.

#include "FakeNetworkManager.h"
#include "FakeVPNBackend.h"
#include "PrivateBus.h"
#include "TestFiles.h"

#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/VPNManager.h"
#include "platform/nm/AutoVPNBackend.h"
#include "platform/nm/DaemonReadAccess.h"
#include "platform/nm/NetworkManagerConnectivity.h"
#include "platform/nm/NetworkManagerVPNBackend.h"
#include "platform/vici/ViciVPNBackend.h"
#include "tunnel/TunnelController.h"

#include <QLocalServer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <QScopeGuard>

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace Orvex;
using namespace Qt::StringLiterals;
namespace NM = Orvex::NetworkManager;
using RouteChange = RouteTunnelProbe::RouteChange;

namespace {

const QByteArray reference(20, '\x11');
const QHostAddress inner(u"198.18.0.1"_s);

class FakeProbe final : public TunnelLivenessProbe
{
public:
    void watch(const QHostAddress &address) override { watched << address; }
    void stop() override {}
    QList<QHostAddress> watched;
};

// Asked through the tunnel; the test answers.
class FakeEcho final : public TunnelEcho
{
public:
    void ask(const QHostAddress &inner, const QHostAddress &resolver, int) override
    {
        asked << inner << resolver;
        asking = true;
    }
    void cancel() override { asking = false; }
    bool isAsking() const override { return asking; }
    void answer(bool carrying)
    {
        asking = false;
        Q_EMIT answered(carrying);
    }
    QList<QHostAddress> asked;
    bool asking = false;
};

VPNPreferences preferences(bool onDemand = false, VPNProtocolIKEv2::AuthenticationMethod method
                                                  = VPNProtocolIKEv2::AuthenticationMethod::Certificate)
{
    VPNProtocolIKEv2 protocol;
    protocol.serverAddress = u"vpn.orvex.example"_s;
    protocol.remoteIdentifier = u"vpn.orvex.example"_s;
    protocol.localIdentifier = u"0123abcd.clients.orvex.example"_s;
    protocol.identityReference = reference;
    protocol.authenticationMethod = method;
    const VPNProtocolIKEv2::SecurityAssociationParameters
        parameters{VPNProtocolIKEv2::EncryptionAlgorithm::AES128, VPNProtocolIKEv2::IntegrityAlgorithm::SHA96,
                   VPNProtocolIKEv2::DiffieHellmanGroup::Group14, 1440};
    protocol.ikeSecurityAssociationParameters = parameters;
    protocol.childSecurityAssociationParameters = parameters;
    VPNPreferences prefs;
    prefs.protocolConfiguration = protocol;
    prefs.enabled = true;
    prefs.onDemandRules = {VPNOnDemandRule{}};
    prefs.onDemandEnabled = onDemand;
    return prefs;
}

NM::StringMap expectedData()
{
    return {{u"address"_s, u"vpn.orvex.example"_s},
            {u"method"_s, u"cert"_s},
            {u"cert-source"_s, u"file"_s},
            {u"usercert"_s, u"/keys/certificate.pem"_s},
            {u"userkey"_s, u"/keys/private-key.pem"_s},
            {u"certificate"_s, u"/trust/ca.pem"_s},
            {u"local-identity"_s, u"0123abcd.clients.orvex.example"_s},
            {u"remote-identity"_s, u"vpn.orvex.example"_s},
            {u"virtual"_s, u"yes"_s},
            {u"proposal"_s, u"yes"_s},
            {u"ike"_s, u"aes128-sha1-modp2048"_s},
            {u"esp"_s, u"aes128-sha1-modp2048"_s},
            {u"encap"_s, u"no"_s},
            {u"ipcomp"_s, u"no"_s}};
}

// Waits for the outcome `start` hands to the completion it is given.
Outcome<> await(const std::function<void(const VPNBackend::Completion &)> &start)
{
    std::optional<Outcome<>> result;
    start([&result](const Outcome<> &outcome) { result = outcome; });
    (void) QTest::qWaitFor([&] { return result.has_value(); }, 5000);
    return result.value_or(Outcome<>::failure(u"no answer"_s));
}

// Whether a process of `uid` without any capability (root then gets no
// more than its ACL entries give) may access `path` under `base` for `mode`
// (R_OK, X_OK): "allowed" or "denied". It starts in `base`, so the folders
// above do not count.
QString mayAccess(const QString &base, const QString &path, int mode, uid_t uid)
{
    const QByteArray folder = QFile::encodeName(base);
    const QByteArray native = QFile::encodeName(path);
    const pid_t child = ::fork();
    if (child == 0) {
        // System calls alone from here: the parent has threads.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct none[2]{};
        if (::chdir(folder.constData()) != 0 || ::setgroups(0, nullptr) != 0
            || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0
            || ::syscall(SYS_capset, &header, none) != 0)
            ::_exit(2);
        ::_exit(::access(native.constData(), mode) == 0 ? 0 : 1);
    }
    int status = 0;
    pid_t waited = -1;
    do
        waited = child < 0 ? -1 : ::waitpid(child, &status, 0);
    while (waited < 0 && errno == EINTR);
    if (waited != child || !WIFEXITED(status) || WEXITSTATUS(status) > 1)
        return u"not asked: the process could not become that user"_s;
    return WEXITSTATUS(status) == 0 ? u"allowed"_s : u"denied"_s;
}

bool setAcl(const QString &path, const char *attribute, QByteArray hex)
{
    const QByteArray acl = QByteArray::fromHex(hex.replace(' ', ""));
    return ::setxattr(QFile::encodeName(path).constData(), attribute, acl.constData(), size_t(acl.size()), 0)
           == 0;
}

QByteArray aclOf(const QString &path)
{
    char acl[512];
    const ssize_t size = ::getxattr(QFile::encodeName(path).constData(), "system.posix_acl_access", acl,
                                    sizeof acl);
    return QByteArray(acl, int(std::max<ssize_t>(size, 0))).toHex();
}

// One RTM_NEWROUTE / RTM_DELROUTE as the kernel sends it: the table in the
// header, and as an attribute when given.
QByteArray route(quint16 type, quint8 rtmTable, std::optional<quint32> tableAttribute,
                 std::optional<QHostAddress> source, quint8 family = AF_INET)
{
    QByteArray attributes;
    const auto attribute = [&attributes](quint16 kind, quint32 value) {
        const rtattr header{quint16(RTA_LENGTH(sizeof value)), kind};
        attributes.append(reinterpret_cast<const char *>(&header), sizeof header);
        attributes.append(reinterpret_cast<const char *>(&value), sizeof value);
        attributes.append(QByteArray(RTA_SPACE(sizeof value) - RTA_LENGTH(sizeof value), '\0'));
    };
    if (tableAttribute)
        attribute(RTA_TABLE, *tableAttribute);
    if (source)
        attribute(RTA_PREFSRC, qToBigEndian(source->toIPv4Address()));
    attribute(RTA_OIF, 7);
    rtmsg body{};
    body.rtm_family = family;
    body.rtm_table = rtmTable;
    body.rtm_type = RTN_UNICAST;
    const nlmsghdr header{quint32(NLMSG_LENGTH(sizeof body) + attributes.size()), type};
    QByteArray message(reinterpret_cast<const char *>(&header), sizeof header);
    message.append(reinterpret_cast<const char *>(&body), sizeof body);
    message.append(attributes);
    return message + QByteArray(NLMSG_ALIGN(message.size()) - message.size(), '\0');
}

} // namespace

class tst_NetworkManagerBackend : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void profileIsCreatedOnceAndReplacedWholeOnEverySave();
    void loadFindsTheProfileAndItsTunnel();
    void eachVpnStateGivesItsStatusOnce();
    void errorsReachTheCompletions();
    void connectivityIsReadAndFollowed();
    void profileUuidIsEachUsersOwn_data();
    void profileUuidIsEachUsersOwn();
    void anotherUsersProfileIsLeftAlone();
    void theKeysFilesAreOpenedToRootAlone_data();
    void theKeysFilesAreOpenedToRootAlone();
    void theKeyStaysClosedToOtherUsers();
    void tunnelRoutesAreRecognised();
    void echoAnswersAreRecognised();
    void aTunnelFoundDeadIsBroughtBack();
    void autoChooses_data();
    void autoChooses();
    void configurationNamesTheBackend();

private:
    std::unique_ptr<NetworkManagerVPNBackend> makeBackend();
    std::unique_ptr<AutoVPNBackend> makeAuto(const QString &pluginDirectory, const QString &socket);
    Outcome<> save(const VPNPreferences &prefs)
    {
        return await([&](const VPNBackend::Completion &done) { m_backend->apply(prefs, done); });
    }
    Outcome<> load(const VPNPreferences &prefs)
    {
        return await([&](const VPNBackend::Completion &done) { m_backend->attachReporting(prefs, done); });
    }
    QString ourProfile();
    NM::StringMap vpnData(const QString &profile) const
    {
        return NM::stringMap(m_nm->profiles.value(profile).value(u"vpn"_s).value(u"data"_s));
    }

    PrivateBus m_bus;
    QTemporaryDir m_plugins; // strongSwan's plugin; in "other", another VPN's alone
    std::unique_ptr<FakeNetworkManager> m_nm;
    std::unique_ptr<NetworkManagerVPNBackend> m_backend;
    FakeProbe *m_probe = nullptr;
    FakeEcho *m_echo = nullptr;
    QList<VPNStatus> m_statuses;
    QList<QByteArray> m_granted;
    QString m_grantRefusal; // why the key cannot be opened to the VPN service; empty: it can
};

void tst_NetworkManagerBackend::initTestCase()
{
    QVERIFY2(m_bus.isRunning(), qPrintable(m_bus.error()));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toLocal8Bit());
    QVERIFY(writeFile(m_plugins.filePath(u"nm-strongswan-service.name"_s),
                      "[VPN Connection]\nname=strongswan\nservice=org.freedesktop.NetworkManager.strongswan\n"
                      "program=/usr/lib/ipsec/charon-nm\n"));
    QVERIFY(QDir().mkpath(m_plugins.filePath(u"other"_s)));
    QVERIFY(writeFile(m_plugins.filePath(u"other/nm-openvpn-service.name"_s),
                      "[VPN Connection]\nname=openvpn\nservice=org.freedesktop.NetworkManager.openvpn\n"));
}

void tst_NetworkManagerBackend::init()
{
    m_nm = std::make_unique<FakeNetworkManager>(m_bus.address());
    QVERIFY(m_nm->start());
    m_nm->addConnection(u"loopback"_s);
    m_nm->addConnection(u"802-3-ethernet"_s);
    m_backend = makeBackend();
    m_statuses.clear();
    m_granted.clear();
    m_grantRefusal.clear();
}

void tst_NetworkManagerBackend::cleanup()
{
    m_backend.reset();
    m_nm.reset();
}

std::unique_ptr<NetworkManagerVPNBackend> tst_NetworkManagerBackend::makeBackend()
{
    NetworkManagerVPNBackend::Options options;
    options.profileOwner = u"tester"_s;
    options.caCertificateFile = u"/trust/ca.pem"_s;
    options.pluginDirectories = {m_plugins.path()};
    options.resolveIdentity =
        [](const QByteArray &asked) -> std::optional<NetworkManagerProfile::IdentityFiles> {
        if (asked != reference)
            return std::nullopt;
        return NetworkManagerProfile::IdentityFiles{u"/keys/certificate.pem"_s, u"/keys/private-key.pem"_s};
    };
    options.grantAccess = [this](const QByteArray &granted) {
        m_granted << granted;
        return m_grantRefusal.isEmpty() ? Outcome<>::success() : Outcome<>::failure(m_grantRefusal);
    };
    options.makeProbe = [this] {
        auto probe = std::make_unique<FakeProbe>();
        m_probe = probe.get();
        return probe;
    };
    options.makeEcho = [this] {
        auto echo = std::make_unique<FakeEcho>();
        m_echo = echo.get();
        return echo;
    };
    options.retryDelayMs = 20;
    options.reassertGraceMs = 100;
    auto backend = std::make_unique<NetworkManagerVPNBackend>(options);
    connect(backend.get(), &VPNBackend::statusChanged, this,
            [this](VPNStatus status) { m_statuses << status; });
    return backend;
}

QString tst_NetworkManagerBackend::ourProfile()
{
    for (auto it = m_nm->profiles.cbegin(); it != m_nm->profiles.cend(); ++it) {
        if (it->value(u"connection"_s).value(u"uuid"_s) == NetworkManagerVPNBackend::defaultProfileUuid())
            return it.key();
    }
    return {};
}

void tst_NetworkManagerBackend::profileIsCreatedOnceAndReplacedWholeOnEverySave()
{
    QVERIFY(save(preferences()).isSuccess());
    QCOMPARE(m_nm->profiles.size(), 1);
    QCOMPARE(m_nm->count(u"AddConnection2"_s), 1);
    QCOMPARE(m_nm->count(u"AddConnection"_s), 0);
    QCOMPARE(m_nm->callsOf(u"AddConnection2"_s).constFirst().arguments.value(1).toUInt(), NM::saveToDisk);
    const QString path = ourProfile();
    QCOMPARE(m_backend->profilePath(), path);

    const NM::Settings settings = m_nm->profiles.value(path);
    QCOMPARE(settings.keys(), (QStringList{u"connection"_s, u"ipv4"_s, u"ipv6"_s, u"vpn"_s}));
    QCOMPARE(settings.value(u"connection"_s),
             (QVariantMap{{u"id"_s, u"Orvex"_s},
                          {u"uuid"_s, NetworkManagerVPNBackend::defaultProfileUuid()},
                          {u"type"_s, u"vpn"_s},
                          {u"autoconnect"_s, false},
                          {u"permissions"_s, QStringList{u"user:tester:"_s}}}));
    const QVariantMap vpn = settings.value(u"vpn"_s);
    QCOMPARE(vpn.value(u"service-type"_s).toString(), u"org.freedesktop.NetworkManager.strongswan"_s);
    QCOMPARE(NM::stringMap(vpn.value(u"data"_s)), expectedData());
    QCOMPARE(vpn.size(), 2);
    QCOMPARE(settings.value(u"ipv4"_s), (QVariantMap{{u"method"_s, u"auto"_s}, {u"dns-priority"_s, -50}}));
    // IPv6 the gateway does not carry is refused while the tunnel is up.
    QVariantMap ipv6 = settings.value(u"ipv6"_s);
    QCOMPARE(NM::mapList(ipv6.take(u"route-data"_s)),
             (QList<QVariantMap>{{{u"dest"_s, u"::"_s}, {u"prefix"_s, 0u}, {u"type"_s, u"unreachable"_s}}}));
    QCOMPARE(ipv6, (QVariantMap{{u"method"_s, u"auto"_s}, {u"dns-priority"_s, -50}}));
    // The key's files went to NetworkManager's VPN service: it may use the key.
    QCOMPARE(m_granted, QList<QByteArray>{reference});

    // Saved again with another identity: the same profile, replaced whole.
    VPNPreferences changed = preferences();
    changed.protocolConfiguration->localIdentifier = u"ffff.clients.orvex.example"_s;
    QVERIFY(save(changed).isSuccess());
    QCOMPARE(m_nm->profiles.size(), 1);
    QCOMPARE(m_nm->count(u"AddConnection2"_s), 1);
    const auto updates = m_nm->callsOf(u"Update2"_s);
    QCOMPARE(updates.size(), 1);
    QCOMPARE(updates.constFirst().arguments.value(1).toUInt(), NM::saveToDisk);
    NM::StringMap data = expectedData();
    data.insert(u"local-identity"_s, u"ffff.clients.orvex.example"_s);
    QCOMPARE(vpnData(path), data);

    // The quit path's configuration: nothing that could come up, no key handed.
    QVERIFY(save(preferences(false, VPNProtocolIKEv2::AuthenticationMethod::SharedSecret)).isSuccess());
    data = expectedData();
    data.insert(u"method"_s, u"psk"_s);
    for (const QString &key : {u"cert-source"_s, u"usercert"_s, u"userkey"_s})
        data.remove(key);
    QCOMPARE(vpnData(path), data);
    QCOMPARE(m_granted.size(), 2);
    QCOMPARE(m_nm->profiles.size(), 1);

    // A profile with our UUID that someone else wrote is taken over, not doubled.
    m_nm->profiles.clear();
    NM::Settings stale;
    stale.insert(u"connection"_s, {{u"uuid"_s, NetworkManagerVPNBackend::defaultProfileUuid()},
                                   {u"id"_s, u"edited by hand"_s}});
    const QString foreign = m_nm->addProfile(stale);
    QVERIFY(save(preferences()).isSuccess());
    QCOMPARE(m_nm->profiles.keys(), QStringList{foreign});
    QCOMPARE(vpnData(foreign), expectedData());
    QCOMPARE(m_nm->count(u"AddConnection2"_s), 1);
}

void tst_NetworkManagerBackend::loadFindsTheProfileAndItsTunnel()
{
    // No profile yet: nothing to run, and the reason says so.
    QVERIFY(load(preferences()).isSuccess());
    QCOMPARE(m_backend->status(), VPNStatus::Invalid);
    QVERIFY(m_backend->unavailableReason().contains(QLatin1String("not saved")));

    QVERIFY(save(preferences()).isSuccess());
    QTRY_COMPARE(m_backend->status(), VPNStatus::Disconnected);

    // A tunnel of ours that another program started, beside a VPN of another profile.
    NM::Settings other;
    other.insert(u"connection"_s, {{u"uuid"_s, u"someone-else"_s}});
    m_nm->addConnection(u"vpn"_s, m_nm->addProfile(other), 2, 5);
    m_nm->addConnection(u"vpn"_s, ourProfile(), 2, 5);
    auto fresh = makeBackend();
    m_backend.swap(fresh);
    fresh.reset();
    QVERIFY(load(preferences()).isSuccess());
    QCOMPARE(m_backend->status(), VPNStatus::Connected);
    // Its inner address is what the liveness probe watches.
    QTRY_COMPARE(m_probe->watched, QList<QHostAddress>{QHostAddress(u"198.18.0.1"_s)});

    // The profile deleted behind our back: nothing saved to run any more.
    m_nm->removeProfile(ourProfile());
    QTRY_COMPARE(m_backend->status(), VPNStatus::Invalid);
}

void tst_NetworkManagerBackend::eachVpnStateGivesItsStatusOnce()
{
    QVERIFY(save(preferences()).isSuccess());
    QVERIFY(load(preferences()).isSuccess());
    QCOMPARE(m_backend->status(), VPNStatus::Disconnected);
    m_statuses.clear();

    QVERIFY(m_backend->startTunnel().isSuccess());
    QTRY_COMPARE(m_nm->count(u"ActivateConnection"_s), 1);
    const QList<QVariant> arguments = m_nm->callsOf(u"ActivateConnection"_s).constFirst().arguments;
    QCOMPARE(qvariant_cast<QDBusObjectPath>(arguments.value(0)).path(), ourProfile());
    QCOMPARE(qvariant_cast<QDBusObjectPath>(arguments.value(1)).path(), u"/"_s);
    // Without a primary connection the VPN is built on the activated device, not loopback.
    QCOMPARE(m_nm->active.value(qvariant_cast<QDBusObjectPath>(arguments.value(2)).path()).type,
             u"802-3-ethernet"_s);
    QTRY_VERIFY(m_nm->active.size() == 3);
    const QString active = m_nm->active.lastKey();

    for (uint state : {2u, 3u, 4u})
        m_nm->setVpnState(active, state);
    m_nm->setVpnState(active, 5);
    QTRY_COMPARE(m_backend->status(), VPNStatus::Connected);
    QCOMPARE(m_statuses, (QList<VPNStatus>{VPNStatus::Connecting, VPNStatus::Connected}));

    // Back to keying while still active: NetworkManager re-establishing it.
    m_nm->setVpnState(active, 3);
    m_nm->setVpnState(active, 4);
    m_nm->setVpnState(active, 5);
    QTRY_COMPARE(m_statuses.size(), 4);
    m_nm->setVpnState(active, 6);
    QTRY_COMPARE(m_backend->status(), VPNStatus::Disconnected);
    QCOMPARE(m_statuses, (QList<VPNStatus>{VPNStatus::Connecting, VPNStatus::Connected, VPNStatus::Reasserting,
                                           VPNStatus::Connected, VPNStatus::Disconnected}));
    // A second start while one runs does not ask twice.
    QVERIFY(m_backend->startTunnel().isSuccess());
    QVERIFY(m_backend->startTunnel().isSuccess());
    QTRY_COMPARE(m_nm->count(u"ActivateConnection"_s), 2);
    m_nm->setVpnState(m_nm->active.lastKey(), 5);
    QTRY_COMPARE(m_backend->status(), VPNStatus::Connected);
    QCOMPARE(m_nm->count(u"ActivateConnection"_s), 2);

    // Stopped: NetworkManager takes that connection down.
    const QString second = m_nm->active.lastKey();
    m_statuses.clear();
    m_backend->stopTunnel();
    QCOMPARE(m_backend->status(), VPNStatus::Disconnecting);
    QTRY_COMPARE(m_backend->status(), VPNStatus::Disconnected);
    QCOMPARE(m_statuses, (QList<VPNStatus>{VPNStatus::Disconnecting, VPNStatus::Disconnected}));
    const QList<FakeNetworkManager::Call> stops = m_nm->callsOf(u"DeactivateConnection"_s);
    QCOMPARE(qvariant_cast<QDBusObjectPath>(stops.constLast().arguments.value(0)).path(), second);

    // Stopped before NetworkManager answered the activation: taken down all the same.
    m_nm->holdActivation = true;
    QVERIFY(m_backend->startTunnel().isSuccess());
    QTRY_COMPARE(m_nm->count(u"ActivateConnection"_s), 3);
    m_backend->stopTunnel();
    QCOMPARE(m_backend->status(), VPNStatus::Disconnecting);
    // NetworkManager announces the connection before it answers: the stop
    // reaches it whether the answer or the announcement is read first.
    QTRY_COMPARE(m_nm->count(u"DeactivateConnection"_s), int(stops.size()) + 1);
    m_nm->releaseActivation();
    QTRY_COMPARE(m_backend->status(), VPNStatus::Disconnected);
    QTRY_VERIFY(m_nm->active.size() == 2); // the devices' own

    // Why the tunnel failed, as far as NetworkManager's reason tells; each
    // attempt starts out not knowing.
    const struct
    {
        uint reason;
        VPNBackend::Failure failure;
    } failures[] = {{6, VPNBackend::Failure::NoAnswer},
                    {10, VPNBackend::Failure::Refused},
                    {8, VPNBackend::Failure::DaemonUnavailable},
                    {2, VPNBackend::Failure::Unknown}};
    int activations = 3;
    m_nm->holdActivation = false;
    for (const auto &[reason, failure] : failures) {
        QVERIFY(m_backend->startTunnel().isSuccess());
        ++activations;
        QTRY_COMPARE(m_nm->count(u"ActivateConnection"_s), activations);
        QTRY_VERIFY(m_nm->active.size() == 3);
        const QString vpn = m_nm->activeVpn();
        m_nm->setVpnState(vpn, 5);
        QTRY_COMPARE(m_backend->status(), VPNStatus::Connected);
        QCOMPARE(m_backend->lastFailure(), VPNBackend::Failure::Unknown);
        m_nm->setVpnState(vpn, 6, reason);
        QTRY_COMPARE(m_backend->status(), VPNStatus::Disconnected);
        QCOMPARE(m_backend->lastFailure(), failure);
        QTRY_VERIFY(m_nm->active.size() == 2);
    }

    // With a primary connection NetworkManager picks the base itself.
    m_nm->setPrimaryConnection(m_nm->active.lastKey());
    QVERIFY(load(preferences()).isSuccess());
    QVERIFY(m_backend->startTunnel().isSuccess());
    QTRY_COMPARE(m_nm->count(u"ActivateConnection"_s), 8);
    const QList<QVariant> last = m_nm->callsOf(u"ActivateConnection"_s).constLast().arguments;
    QCOMPARE(qvariant_cast<QDBusObjectPath>(last.value(2)).path(), u"/"_s);
}

void tst_NetworkManagerBackend::errorsReachTheCompletions()
{
    // A refused look-up during a load reaches the manager's completion.
    QTemporaryDir storage;
    VPNManager manager(makeBackend(), storage.filePath(u"vpn.json"_s));
    const auto loadThroughManager = [&] {
        return await([&](const VPNBackend::Completion &done) { manager.loadFromPreferences(done); });
    };
    m_nm->failNext(u"GetConnectionByUuid"_s, u"org.freedesktop.DBus.Error.AccessDenied"_s,
                   u"Rejected send message"_s);
    const QString loadError = loadThroughManager().error();
    QVERIFY2(loadError.contains(QLatin1String("Rejected send message")), qPrintable(loadError));
    QVERIFY(loadThroughManager().isSuccess());

    // polkit's "no" is said as such, and stays the reason until a change goes through.
    const QString refused = u"NetworkManager did not allow this user to manage VPN connections."_s;
    QSignalSpy reasons(m_backend.get(), &VPNBackend::reasonChanged);
    m_nm->failNext(u"AddConnection2"_s, u"org.freedesktop.NetworkManager.Settings.PermissionDenied"_s,
                   u"Insufficient privileges"_s);
    QCOMPARE(save(preferences()).error(), refused);
    QCOMPARE(m_backend->unavailableReason(), refused);
    QCOMPARE(reasons.size(), 1);
    QVERIFY(m_nm->profiles.isEmpty());
    QVERIFY(m_granted.isEmpty());

    QVERIFY(save(preferences()).isSuccess());
    QCOMPARE(m_backend->unavailableReason(), QString());
    QCOMPARE(reasons.size(), 2);

    // A key the VPN service cannot be let at (a home on NFS): the save says
    // why, that stays the reason until a save goes through, and on-demand
    // does not bring up a tunnel bound to fail for want of "secrets".
    m_grantRefusal = u"NetworkManager's VPN service cannot be allowed to read the VPN key: the file system "
                     "holding /home/ann/.local/share/orvex/identities does not support access control lists."_s;
    QCOMPARE(save(preferences(true)).error(), m_grantRefusal);
    QCOMPARE(m_backend->unavailableReason(), m_grantRefusal);
    QCOMPARE(reasons.size(), 3);
    m_grantRefusal.clear();
    QVERIFY(save(preferences()).isSuccess());
    QCOMPARE(m_backend->unavailableReason(), QString());
    QCOMPARE(reasons.size(), 4);
    QCOMPARE(m_nm->count(u"ActivateConnection"_s), 0);
    m_nm->failNext(u"Update2"_s, u"org.freedesktop.NetworkManager.Settings.InvalidSetting"_s,
                   u"vpn.data: invalid"_s);
    VPNPreferences changed = preferences();
    changed.protocolConfiguration->serverAddress = u"elsewhere.example"_s;
    QVERIFY(save(changed).error().contains(QLatin1String("vpn.data: invalid")));
    QCOMPARE(vpnData(ourProfile()).value(u"address"_s), u"vpn.orvex.example"_s);

    // A refused activation is an attempt that failed.
    QVERIFY(load(preferences()).isSuccess());
    m_statuses.clear();
    m_nm->failNext(u"ActivateConnection"_s, u"org.freedesktop.NetworkManager.UnknownDevice"_s,
                   u"Could not find source connection."_s);
    QVERIFY(m_backend->startTunnel().isSuccess());
    QTRY_COMPARE(m_statuses, (QList<VPNStatus>{VPNStatus::Connecting, VPNStatus::Disconnected}));
    QCOMPARE(m_backend->unavailableReason(), QString());

    // So is an activation polkit refused.
    m_statuses.clear();
    m_nm->failNext(u"ActivateConnection"_s, u"org.freedesktop.NetworkManager.PermissionDenied"_s,
                   u"Not authorized to control networking."_s);
    QVERIFY(m_backend->startTunnel().isSuccess());
    QTRY_COMPARE(m_statuses, (QList<VPNStatus>{VPNStatus::Connecting, VPNStatus::Disconnected}));
    QCOMPARE(m_backend->unavailableReason(), refused);

    // NetworkManager gone while a tunnel is being keyed: a save or start fails
    // with the reason; a load does not fail, it finds Invalid.
    m_statuses.clear();
    QVERIFY(m_backend->startTunnel().isSuccess());
    QTRY_VERIFY(m_nm->active.size() == 3);
    m_nm->setVpnState(m_nm->active.lastKey(), 3);
    m_nm->vanish();
    QTRY_COMPARE(m_backend->status(), VPNStatus::Invalid);
    QCOMPARE(m_backend->unavailableReason(), u"NetworkManager is not running."_s);
    QCOMPARE(m_backend->startTunnel().error(), u"NetworkManager is not running."_s);
    QCOMPARE(save(preferences()).error(), u"NetworkManager is not running."_s);
    QVERIFY(load(preferences()).isSuccess());
    QCOMPARE(m_backend->status(), VPNStatus::Invalid);
    // Back again: the profile is on disk, nothing runs.
    QVERIFY(m_nm->start());
    QTRY_COMPARE(m_backend->status(), VPNStatus::Disconnected);
    QCOMPARE(m_statuses,
             (QList<VPNStatus>{VPNStatus::Connecting, VPNStatus::Invalid, VPNStatus::Disconnected}));

    // Nor without the plugin, whatever NetworkManager would accept.
    NetworkManagerVPNBackend::Options options;
    options.pluginDirectories = {storage.path()};
    NetworkManagerVPNBackend withoutPlugin(options);
    const QString error = await([&](const VPNBackend::Completion &done) {
                              withoutPlugin.apply(preferences(), done);
                          }).error();
    QVERIFY(error.contains(QLatin1String("strongSwan plugin")));
    QCOMPARE(withoutPlugin.unavailableReason(), error);
}

// NetworkManager's connectivity, which tells a network's sign-in page:
// read at start, followed, a value of another type than its `u` ignored, and
// unknown while NetworkManager is not there.
void tst_NetworkManagerBackend::connectivityIsReadAndFollowed()
{
    using State = NetworkConnectivity::State;
    m_nm->connectivity = 4u;
    auto connectivity = std::make_unique<NetworkManagerConnectivity>(QDBusConnection::systemBus());
    QSignalSpy changes(connectivity.get(), &NetworkConnectivity::changed);
    QTRY_COMPARE(connectivity->state(), State::Full);

    m_nm->setConnectivity(2u);
    QTRY_COMPARE(connectivity->state(), State::Portal);
    m_nm->setConnectivity(4u);
    QTRY_COMPARE(connectivity->state(), State::Full);
    m_nm->setConnectivity(2);           // `i`
    m_nm->setConnectivity(u"portal"_s); // `s`
    m_nm->setConnectivity(QVariant::fromValue(QDBusVariant(2u)));
    m_nm->setConnectivity(3u);
    QTRY_COMPARE(connectivity->state(), State::Limited);
    m_nm->setConnectivity(9u); // a value of a later NetworkManager
    QTRY_COMPARE(connectivity->state(), State::Unknown);
    m_nm->setConnectivity(2u);
    QTRY_COMPARE(connectivity->state(), State::Portal);
    m_nm->vanish();
    QTRY_COMPARE(connectivity->state(), State::Unknown);
    QList<State> told;
    for (const QList<QVariant> &change : std::as_const(changes))
        told << change.value(0).value<State>();
    QCOMPARE(told, (QList<State>{State::Full, State::Portal, State::Full, State::Limited, State::Unknown,
                                 State::Portal, State::Unknown}));

    // Absent at start: unknown, until a NetworkManager comes and is asked.
    connectivity.reset();
    m_backend.reset();
    m_nm.reset();
    connectivity = std::make_unique<NetworkManagerConnectivity>(QDBusConnection::systemBus());
    QCOMPARE(connectivity->state(), State::Unknown);
    m_nm = std::make_unique<FakeNetworkManager>(m_bus.address());
    m_nm->connectivity = 2u;
    QVERIFY(m_nm->start());
    QTRY_COMPARE(connectivity->state(), State::Portal);
}

// The version 5 UUID of "<machine id>:<uid>" in the namespace
// c695c31f-4d73-471a-a674-455e1d3424a1, as Python's uuid.uuid5 makes it.
void tst_NetworkManagerBackend::profileUuidIsEachUsersOwn_data()
{
    QTest::addColumn<QString>("machineId");
    QTest::addColumn<uint>("uid");
    QTest::addColumn<QString>("expected");
    const QString machine = u"0123456789abcdef0123456789abcdef"_s;
    QTest::newRow("uid 1000") << machine << 1000u << u"dd503843-e100-507e-bc56-be1ca2ca4a09"_s;
    QTest::newRow("the next user") << machine << 1001u << u"52b9eef4-8371-54bd-889c-b665341f386b"_s;
    QTest::newRow("another machine") << u"fedcba9876543210fedcba9876543210"_s << 1000u
                                     << u"902c740b-d704-5f3b-8050-f7a18e040a44"_s;
}

void tst_NetworkManagerBackend::profileUuidIsEachUsersOwn()
{
    QFETCH(QString, machineId);
    QFETCH(uint, uid);
    QFETCH(QString, expected);
    QCOMPARE(NetworkManagerProfile::uuidFor(machineId, uid), expected);
}

// Earlier versions gave every user's profile one UUID, and NetworkManager
// keeps one profile per UUID for the whole machine.
void tst_NetworkManagerBackend::anotherUsersProfileIsLeftAlone()
{
    const auto saveAs = [this](const QString &uuid, const QString &user) {
        NM::Settings settings;
        settings.insert(u"connection"_s, {{u"uuid"_s, uuid},
                                          {u"id"_s, u"Orvex"_s},
                                          {u"permissions"_s, QStringList{u"user:%1:"_s.arg(user)}}});
        return m_nm->addProfile(settings);
    };
    // Another user's under the old UUID, out of this user's reach: it stays,
    // and this user's profile is made all the same.
    const QString others = saveAs(NetworkManagerProfile::legacyUuid(), u"bob"_s);
    QVERIFY(load(preferences()).isSuccess());
    QVERIFY(save(preferences()).isSuccess());
    QVERIFY(!ourProfile().isEmpty());
    QCOMPARE(m_backend->profilePath(), ourProfile());
    QCOMPARE(m_nm->profiles.size(), 2);
    QVERIFY(m_nm->profiles.contains(others));
    QCOMPARE(m_nm->count(u"Delete"_s), 0);

    // This user's own under the old UUID goes once the new one is made.
    m_nm->removeProfile(others);
    m_nm->removeProfile(ourProfile());
    QTRY_COMPARE(m_backend->profilePath(), QString());
    const QString old = saveAs(NetworkManagerProfile::legacyUuid(), u"tester"_s);
    QVERIFY(save(preferences()).isSuccess());
    QCOMPARE(m_nm->profiles.keys(), QStringList{ourProfile()});
    QVERIFY(ourProfile() != old);

    // This user's UUID held by another user: not an error to load, and a
    // save says why it cannot be made.
    m_nm->removeProfile(ourProfile());
    saveAs(NetworkManagerVPNBackend::defaultProfileUuid(), u"bob"_s);
    QVERIFY(load(preferences()).isSuccess());
    QCOMPARE(m_backend->status(), VPNStatus::Invalid);
    QCOMPARE(save(preferences()).error(),
             u"Another user of this computer holds this user's VPN profile in NetworkManager."_s);
}

// Access lists as the kernel keeps them: a version, then (tag, permissions, id)
// entries; uid 34 and gid 50 stand for another user and group.
void tst_NetworkManagerBackend::theKeysFilesAreOpenedToRootAlone_data()
{
    QTest::addColumn<QByteArray>("acl");
    QTest::addColumn<unsigned>("permissions");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray keyFile("02000000 01000600ffffffff 0200040000000000 04000000ffffffff 10000400ffffffff "
                             "20000000ffffffff");
    QTest::newRow("a 0600 file, none yet") << QByteArray() << 4u << keyFile;
    QTest::newRow("a file another user and group were masked off by chmod")
        << QByteArray("02000000 01000600ffffffff 0200040022000000 04000400ffffffff 08000500 32000000 "
                      "10000000ffffffff 20000000ffffffff")
        << 4u << keyFile;
    QTest::newRow("a file readable by its group and everybody")
        << QByteArray("02000000 01000700ffffffff 0200010000000000 04000400ffffffff 10000500ffffffff "
                      "20000400ffffffff")
        << 4u << keyFile;
    // On a folder, what root held before stays: opening it to root only adds.
    const QByteArray rootWrites(
        "02000000 01000700ffffffff 0200070000000000 04000500ffffffff 10000700ffffffff "
        "20000000ffffffff");
    QTest::newRow("a folder root could already write") << rootWrites << 1u << rootWrites;
    QTest::newRow("a folder another user may enter")
        << QByteArray("02000000 01000700ffffffff 02000500e8030000 04000000ffffffff 10000500ffffffff "
                      "20000000ffffffff")
        << 1u
        << QByteArray("02000000 01000700ffffffff 0200010000000000 02000500e8030000 04000000ffffffff "
                      "10000500ffffffff 20000000ffffffff");
    QTest::newRow("a folder whose mask holds search back from others")
        << QByteArray("02000000 01000700ffffffff 0200070022000000 04000500ffffffff 08000100 32000000 "
                      "10000400ffffffff 20000000ffffffff")
        << 1u
        << QByteArray("02000000 01000700ffffffff 0200010000000000 0200060022000000 04000400ffffffff "
                      "08000000 32000000 10000500ffffffff 20000000ffffffff");
    QTest::newRow("a 0750 folder, none yet")
        << QByteArray() << 1u
        << QByteArray("02000000 01000700ffffffff 0200010000000000 04000500ffffffff 10000500ffffffff "
                      "20000000ffffffff");
    QTest::newRow("not an access list") << QByteArray("0100000001") << 4u << QByteArray();
}

void tst_NetworkManagerBackend::theKeysFilesAreOpenedToRootAlone()
{
    QFETCH(QByteArray, acl);
    QFETCH(unsigned, permissions);
    QFETCH(QByteArray, expected);
    const unsigned mode = permissions == 4 ? 0600 : 0750;
    QCOMPARE(DaemonReadAccess::withRootEntry(QByteArray::fromHex(acl.replace(' ', "")), mode, permissions)
                 .toHex(),
             expected.replace(' ', ""));
    // Nobody but the owner and root reads the key once it is opened to root.
    if (permissions == 4 && !expected.isEmpty())
        QVERIFY(DaemonReadAccess::onlyOwnerAndRootRead(QByteArray::fromHex(expected)));
}

// On a real file system, as another user and as root without its
// capabilities (the way charon-nm runs) find it: an identity whose key folder
// hands a default ACL down, beside a folder that holds a named entry back
// with its mask and is reached through a link.
void tst_NetworkManagerBackend::theKeyStaysClosedToOtherUsers()
{
    QTemporaryDir mountPoint;
    const QByteArray native = QFile::encodeName(mountPoint.path());
    QVERIFY2(::mount("orvex-acl", native.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0711") == 0,
             std::strerror(errno));
    const auto unmount = qScopeGuard([&] { ::umount2(native.constData(), MNT_DETACH); });
    const uid_t owner = 4242, nobody = 65534;
    const QDir root(mountPoint.path());
    const auto folder = [&](const QString &name, mode_t mode) {
        const QString path = root.filePath(name);
        return ::mkdir(QFile::encodeName(path).constData(), mode) == 0
               && ::chmod(QFile::encodeName(path).constData(), mode) == 0
               && ::chown(QFile::encodeName(path).constData(), owner, owner) == 0;
    };
    const auto file = [&](const QString &name) {
        const int fd = ::open(QFile::encodeName(root.filePath(name)).constData(), O_CREAT | O_WRONLY | O_EXCL,
                              0600);
        return fd >= 0 && ::fchown(fd, owner, owner) == 0 && ::write(fd, "pem\n", 4) == 4 && ::close(fd) == 0;
    };
    QVERIFY(folder(u"home"_s, 0711));
    // Keys: what the folder hands down names another user and group, held
    // back only by the 0600 of the files made in it.
    QVERIFY(folder(u"home/keys"_s, 0711));
    QVERIFY(setAcl(root.filePath(u"home/keys"_s), "system.posix_acl_default",
                   "02000000 01000700ffffffff 02000400feff0000 04000000ffffffff 08000400feff0000 "
                   "10000700ffffffff 20000000ffffffff"));
    QVERIFY(file(u"home/keys/private-key.pem"_s));
    // Held back: a folder that lets another user in, masked off by chmod 0700.
    QVERIFY(folder(u"home/held"_s, 0700));
    QVERIFY(setAcl(root.filePath(u"home/held"_s), "system.posix_acl_access",
                   "02000000 01000700ffffffff 02000700feff0000 04000000ffffffff 10000000ffffffff "
                   "20000000ffffffff"));
    QVERIFY(folder(u"home/held/deep"_s, 0700));
    QVERIFY(file(u"home/held/deep/certificate.pem"_s));
    QVERIFY(QFile::link(root.filePath(u"home/held/deep"_s), root.filePath(u"home/link"_s)));
    const QString key = u"home/keys/private-key.pem"_s, certificate = u"home/held/deep/certificate.pem"_s;
    // Asked from the mount's top: the folders above it are not the case's.
    const auto may = [&](const QString &path, int mode, uid_t uid) {
        return mayAccess(root.path(), path, mode, uid);
    };
    // The other user reaches the key's folder; neither it nor root reads the key yet.
    QCOMPARE(may(u"home/keys"_s, X_OK, nobody), u"allowed"_s);
    QCOMPARE(may(key, R_OK, nobody), u"denied"_s);
    QCOMPARE(may(key, R_OK, 0), u"denied"_s);
    QCOMPARE(may(u"home/held"_s, X_OK, nobody), u"denied"_s);

    const Outcome<> granted = DaemonReadAccess::grantFor({root.filePath(u"home/link/certificate.pem"_s),
                                                          root.filePath(key)},
                                                         root.filePath(u"home"_s), owner);
    QVERIFY2(granted.isSuccess(), qPrintable(granted.error()));
    QCOMPARE(may(key, R_OK, 0), u"allowed"_s);
    QCOMPARE(may(certificate, R_OK, 0), u"allowed"_s);
    QCOMPARE(may(key, R_OK, nobody), u"denied"_s);
    QCOMPARE(may(u"home/held"_s, X_OK, nobody), u"denied"_s);
    QCOMPARE(may(u"home/held/deep"_s, X_OK, nobody), u"denied"_s);
    QCOMPARE(aclOf(root.filePath(key)),
             QByteArray(
                 "0200000001000600ffffffff020004000000000004000000ffffffff10000400ffffffff20000000ffffffff"));
    QCOMPARE(aclOf(root.filePath(certificate)), aclOf(root.filePath(key)));

    // A file system without access lists, as NFS is to them: said so.
    QVERIFY(folder(u"home/nfs"_s, 0700));
    const QByteArray nfs = QFile::encodeName(root.filePath(u"home/nfs"_s));
    QVERIFY2(::mount("orvex-noacl", nfs.constData(), "ramfs", MS_NOSUID | MS_NODEV, "mode=0700") == 0,
             std::strerror(errno));
    const auto unmountNfs = qScopeGuard([&] { ::umount2(nfs.constData(), MNT_DETACH); });
    QVERIFY(::chown(nfs.constData(), owner, owner) == 0);
    QVERIFY(file(u"home/nfs/private-key.pem"_s));
    const QString unlisted = QFileInfo(root.filePath(u"home/nfs/private-key.pem"_s)).canonicalFilePath();
    QCOMPARE(
        DaemonReadAccess::grantFor({unlisted}, root.filePath(u"home"_s), owner).error(),
        u"NetworkManager's VPN service cannot be allowed to read the VPN key: the file system holding %1 "
        "does not support access control lists."_s.arg(unlisted));
}

// One datagram: charon's table (in the attribute and the header, in the
// header only, past 255 in the attribute alone while the header says
// "compat"), the main and local tables, another or no source, an IPv6 route
// (skipped), a removal, the end of a dump and a truncated tail (not read past).
void tst_NetworkManagerBackend::tunnelRoutesAreRecognised()
{
    const QByteArray added = route(RTM_NEWROUTE, 220, 220u, inner);
    const nlmsghdr done{NLMSG_LENGTH(sizeof(int)), NLMSG_DONE};
    const QList<RouteChange> changes = RouteTunnelProbe::parse(
        added + route(RTM_NEWROUTE, RT_TABLE_COMPAT, 1000u, inner)
        + route(RTM_NEWROUTE, 220, std::nullopt, inner) + route(RTM_NEWROUTE, RT_TABLE_MAIN, 254u, inner)
        + route(RTM_NEWROUTE, RT_TABLE_LOCAL, 255u, inner)
        + route(RTM_NEWROUTE, 220, 220u, QHostAddress(u"192.0.2.2"_s))
        + route(RTM_NEWROUTE, 220, 220u, std::nullopt)
        + route(RTM_NEWROUTE, 220, 220u, std::nullopt, AF_INET6) + route(RTM_DELROUTE, 220, 220u, inner)
        + QByteArray(reinterpret_cast<const char *>(&done), sizeof done) + QByteArray(sizeof(int), '\0')
        + added.left(20));
    QStringList seen;
    for (const RouteChange &change : changes) {
        QVERIFY(!RouteTunnelProbe::isTunnelRoute(change, QHostAddress()));
        if (change.kind == RouteChange::Added)
            seen << u"added %1%2"_s.arg(change.table)
                        .arg(RouteTunnelProbe::isTunnelRoute(change, inner) ? u" tunnel"_s : QString());
        else
            seen << (change.kind == RouteChange::Removed ? u"removed %1"_s.arg(change.table) : u"done"_s);
    }
    QCOMPARE(seen, (QStringList{u"added 220 tunnel"_s, u"added 1000 tunnel"_s, u"added 220 tunnel"_s,
                                u"added 254"_s, u"added 255"_s, u"added 220"_s, u"added 220"_s,
                                u"removed 220"_s, u"done"_s}));
    // The removal names the same route as the addition.
    QCOMPARE(changes.at(7).key, changes.at(0).key);
    QVERIFY(changes.at(0).key
            != RouteTunnelProbe::parse(route(RTM_NEWROUTE, 221, 221u, inner)).constFirst().key);
}

// The question asked through the tunnel after a sleep, and what counts as
// its answer: any response with its id, a refusal too; not another id, not
// the question itself, not less than a header.
void tst_NetworkManagerBackend::echoAnswersAreRecognised()
{
    const QByteArray question = ResolverEcho::question(0x1234);
    QCOMPARE(question.toHex(), QByteArray("1234000000010000000000000000020001"));
    const QByteArray refused = QByteArray::fromHex("123480050001000000000000");
    QVERIFY(ResolverEcho::answers(refused, 0x1234));
    QVERIFY(ResolverEcho::answers(QByteArray::fromHex("1234808000010000000000000000020001"), 0x1234));
    QVERIFY(!ResolverEcho::answers(refused, 0x1235));
    QVERIFY(!ResolverEcho::answers(question, 0x1234));
    QVERIFY(!ResolverEcho::answers(refused.left(11), 0x1234));
}

// After a sleep the tunnel is asked through; one that answers stays, one
// that does not is taken down and brought up anew at once, also without
// on-demand. An attempt NetworkManager fails before its VPN service took it
// on (the service still stopping the dead tunnel) is made once more, not a
// third time.
void tst_NetworkManagerBackend::aTunnelFoundDeadIsBroughtBack()
{
    // Checking and bringing it back are the tunnel's owner's; on-demand is
    // off.
    TunnelController owner({[] { return false; }, {}});
    owner.follow(m_backend.get());
    QVERIFY(save(preferences()).isSuccess());
    QVERIFY(load(preferences()).isSuccess());
    QVERIFY(m_backend->startTunnel().isSuccess());
    QTRY_VERIFY(!m_nm->activeVpn().isEmpty());
    m_nm->setVpnState(m_nm->activeVpn(), 5);
    QTRY_VERIFY(!m_probe->watched.isEmpty());
    owner.checkTunnel(VPNBackend::Change::Resumed);
    QCOMPARE(m_echo->asked, (QList<QHostAddress>{inner, QHostAddress(u"198.51.100.53"_s)}));
    m_statuses.clear();
    m_echo->answer(true);
    QVERIFY(!owner.isCheckingTunnel());
    owner.checkTunnel(VPNBackend::Change::Resumed);
    QVERIFY(owner.isCheckingTunnel());
    m_echo->answer(false);
    for (int attempt = 2; attempt <= 3; ++attempt) {
        QTRY_COMPARE(m_nm->count(u"ActivateConnection"_s), attempt);
        QTRY_VERIFY(!m_nm->activeVpn().isEmpty());
        m_nm->setVpnState(m_nm->activeVpn(), 2);
        m_nm->setVpnState(m_nm->activeVpn(), 6);
    }
    QTRY_COMPARE(m_statuses.size(), 6);
    QCOMPARE(m_statuses,
             (QList<VPNStatus>{VPNStatus::Disconnecting, VPNStatus::Disconnected, VPNStatus::Connecting,
                               VPNStatus::Disconnected, VPNStatus::Connecting, VPNStatus::Disconnected}));
    QCOMPARE(m_nm->count(u"ActivateConnection"_s), 3);
    QCOMPARE(m_nm->count(u"DeactivateConnection"_s), 1);
}

std::unique_ptr<AutoVPNBackend> tst_NetworkManagerBackend::makeAuto(const QString &pluginDirectory,
                                                                    const QString &socket)
{
    AutoVPNBackend::Options options;
    options.probeNetworkManager = [pluginDirectory](QObject *context, VPNBackend::Completion done) {
        NetworkManagerVPNBackend::probe({pluginDirectory}, context, std::move(done));
    };
    // Stands for the backend "auto" chose; only its existence matters.
    const auto chosen = [] {
        auto backend = std::make_unique<FakeVPNBackend>();
        backend->setLiveStatus(VPNStatus::Disconnected);
        return std::unique_ptr<VPNBackend>(std::move(backend));
    };
    options.makeNetworkManager = chosen;
    options.probeVici = AutoVPNBackend::viciSocketProbe(socket);
    options.makeVici = chosen;
    return std::make_unique<AutoVPNBackend>(options);
}

void tst_NetworkManagerBackend::autoChooses_data()
{
    QTest::addColumn<bool>("plugin");
    QTest::addColumn<bool>("networkManager");
    QTest::addColumn<bool>("vici");
    QTest::addColumn<QString>("expected");
    QTest::newRow("NetworkManager first") << true << true << true << u"networkmanager"_s;
    QTest::newRow("plugin missing") << false << true << true << u"vici"_s;
    QTest::newRow("NetworkManager not running") << true << false << true << u"vici"_s;
    QTest::newRow("nothing available") << true << false << false << QString();
}

void tst_NetworkManagerBackend::autoChooses()
{
    QFETCH(bool, plugin);
    QFETCH(bool, networkManager);
    QFETCH(bool, vici);
    QFETCH(QString, expected);
    if (!networkManager)
        m_nm->vanish();
    const QString socket = m_plugins.filePath(u"charon.vici"_s);
    QLocalServer server;
    if (vici) {
        QLocalServer::removeServer(socket);
        QVERIFY(server.listen(socket));
    }
    auto backend = makeAuto(plugin ? m_plugins.path() : m_plugins.filePath(u"other"_s), socket);
    const auto attach = [&backend] {
        return await([&](const VPNBackend::Completion &done) { backend->attachReporting({}, done); });
    };
    QCOMPARE(backend->status(), VPNStatus::Invalid);
    QVERIFY(attach().isSuccess());
    QCOMPARE(backend->choice(), expected);
    if (!expected.isEmpty()) {
        // What is chosen answers from now on.
        QCOMPARE(backend->status(), VPNStatus::Disconnected);
        QVERIFY(backend->startTunnel().isSuccess());
        return;
    }
    QCOMPARE(backend->status(), VPNStatus::Invalid);
    const QString reason = backend->unavailableReason();
    QVERIFY2(reason.contains(QLatin1String("NetworkManager is not running")), qPrintable(reason));
    QVERIFY2(reason.contains(socket), qPrintable(reason));
    QCOMPARE(await([&](const VPNBackend::Completion &done) { backend->apply({}, done); }).error(), reason);
    QCOMPARE(backend->startTunnel().error(), reason);
    backend->stopTunnel(); // nothing to stop, and no crash
    // NetworkManager started later is found by the next load.
    QVERIFY(m_nm->start());
    QVERIFY(attach().isSuccess());
    QCOMPARE(backend->choice(), u"networkmanager"_s);
    QVERIFY(backend->unavailableReason().isEmpty());
}

void tst_NetworkManagerBackend::configurationNamesTheBackend()
{
    Config config = Config::parse({}, {}).value();
    QTemporaryDir folder;
    IdentityStore identities(folder.filePath(u"identities"_s));
    const QString storage = folder.filePath(u"vpn.json"_s);
    QStringList classes;
    for (const char *name : {"vici", "networkmanager", "auto"}) {
        config.vpnBackend = QString::fromLatin1(name);
        classes << QString::fromLatin1(
            VPNManager::makeConfiguredBackend(config, identities, storage)->metaObject()->className());
    }
    QCOMPARE(classes, (QStringList{u"Orvex::ViciVPNBackend"_s, u"Orvex::NetworkManagerVPNBackend"_s,
                                   u"Orvex::AutoVPNBackend"_s}));
}

QTEST_GUILESS_MAIN(tst_NetworkManagerBackend)
#include "tst_nmbackend.moc"
