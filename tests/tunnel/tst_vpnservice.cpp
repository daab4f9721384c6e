#include "FakeVpnBackend.h"
#include "TestFiles.h"

#include "account/DefaultsKeys.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/RunMarker.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VpnManager.h"
#include "vpn/KeychainService.h"
#include "vpn/VPNService.h"

#include "TestSession.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Orvex;
using namespace Qt::StringLiterals;
using P = VpnProtocolIKEv2;

Q_DECLARE_METATYPE(Orvex::VpnStatus)

class TestVPNService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void connectWritesTheWholeConfigurationThenStarts();
    void localIdentifier();
    void onDemandFollowsTheSharedKeyAndTheSetting_data();
    void onDemandFollowsTheSharedKeyAndTheSetting();
    void toggleFollowsTheLiveState_data();
    void toggleFollowsTheLiveState();
    void saveFailurePostsOneNotificationAndRunsNothing();
    void loadFailureEndsSilently();
    void quitPath();
    void failedQuitLeavesCertificateAuthentication_data();
    void failedQuitLeavesCertificateAuthentication();
    void leftoversOfAKilledClient();
    void runMarkerTellsAKilledRun_data();
    void runMarkerTellsAKilledRun();

private:
    void makeService();
    // Lets the fake backend's short chains of queued completions run out.
    void settle()
    {
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
    }

    TestSession m_session;
    QTemporaryDir m_dir;
    // Imports the archive and makes it the session's identity, as a fetched
    // certificate is kept.
    void keepIdentity()
    {
        QVERIFY(m_session.session.replaceIdentity(KeychainService::persistentReference(m_archive).value()));
    }
    QByteArray m_archive;
    FakeVpnBackend *m_backend = nullptr;
    std::unique_ptr<VpnManager> m_manager;
    std::unique_ptr<VPNService> m_service;
};

void TestVPNService::initTestCase()
{
    Config config = *Config::parse({}, {}, nullptr);
    Config::setCurrent(config);
    m_archive = TestPkcs12::makeIdentityArchive(TestPkcs12::makeCredential("client", true),
                                                config.pkcs12Passphrase);
}

void TestVPNService::init()
{
    UserDefaults &defaults = UserDefaults::standard();
    for (const QLatin1String key : {DefaultsKeys::tempEmail, DefaultsKeys::isAutoConnectEnabled})
        defaults.remove(key);
    QFile::remove(Session::standardAccountFile());
    QFile::remove(VpnManager::defaultStoragePath());
    makeService();
}

void TestVPNService::makeService()
{
    m_service.reset();
    m_backend = new FakeVpnBackend;
    m_manager = std::make_unique<VpnManager>(std::unique_ptr<VpnBackend>(m_backend),
                                             VpnManager::defaultStoragePath());
    m_service = std::make_unique<VPNService>(m_manager.get(), m_session.session);
}

void TestVPNService::cleanup()
{
    m_service.reset();
    m_manager.reset();
    SystemInfo::setMachineIdSourceForTesting({});
}

void TestVPNService::connectWritesTheWholeConfigurationThenStarts()
{
    keepIdentity();
    m_service->connect();
    QVERIFY(!m_backend->calls.contains(u"apply"_s)); // no save inside the call
    // One load; the saved configuration is not read back before the start.
    QTRY_COMPARE(m_backend->calls, QStringList({u"attach"_s, u"apply"_s, u"start"_s}));
    const VpnPreferences saved = m_backend->applied.constLast();
    QVERIFY(saved.protocolConfiguration);
    const P &p = *saved.protocolConfiguration;
    QCOMPARE(p.serverAddress, u"vpn.orvex.example"_s);
    QCOMPARE(p.remoteIdentifier, u"vpn.orvex.example"_s);
    QCOMPARE(p.identityReference, KeychainService::persistentReference(m_archive).value());
    QCOMPARE(p.authenticationMethod, P::AuthenticationMethod::Certificate);
    QCOMPARE(p.deadPeerDetectionRate, P::DeadPeerDetectionRate::Medium);
    QVERIFY(p.disableRedirect);
    const P::SecurityAssociationParameters expected{P::EncryptionAlgorithm::AES128,
                                                    P::IntegrityAlgorithm::SHA96,
                                                    P::DiffieHellmanGroup::Group14, 1440};
    QCOMPARE(p.ikeSecurityAssociationParameters, expected);
    QCOMPARE(p.childSecurityAssociationParameters, expected);
    QVERIFY(saved.enabled);
    QCOMPARE(saved.onDemandRules, QList<VpnOnDemandRule>({VpnOnDemandRule{}})); // connect on any interface
    QVERIFY(!saved.onDemandEnabled);                                            // the key is not shared yet

    // Without a stored certificate: no identity reference, and still a start.
    QFile::remove(Session::standardAccountFile());
    m_backend->calls.clear();
    m_service->connect();
    QTRY_COMPARE(m_backend->calls.size(), 3);
    QCOMPARE(m_backend->calls.constLast(), u"start"_s);
    QVERIFY(m_backend->applied.constLast().protocolConfiguration->identityReference.isEmpty());
}

void TestVPNService::localIdentifier()
{
    QCOMPARE(m_service->localIdentifier(), QString()); // no e-mail stored
    UserDefaults::standard().setString(DefaultsKeys::tempEmail, u"ann@example.com"_s);
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(u"f00d"_s); });
    // MD5 of "machine@e-mail", in hex.
    QCOMPARE(m_service->localIdentifier(), u"02714222d9458e5061670b6f98098c8a.clients.orvex.example"_s);
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(); });
    QCOMPARE(m_service->localIdentifier(), u".clients.orvex.example"_s);
}

void TestVPNService::onDemandFollowsTheSharedKeyAndTheSetting_data()
{
    QTest::addColumn<bool>("shared");
    QTest::addColumn<int>("setting"); // -1: never set
    QTest::addColumn<bool>("expected");
    QTest::newRow("not shared, setting on") << false << 1 << false;
    QTest::newRow("shared, setting on") << true << 1 << true;
    QTest::newRow("shared, setting off") << true << 0 << false;
    QTest::newRow("shared, setting absent") << true << -1 << false;
}

void TestVPNService::onDemandFollowsTheSharedKeyAndTheSetting()
{
    QFETCH(bool, shared);
    QFETCH(int, setting);
    QFETCH(bool, expected);
    keepIdentity();
    const QByteArray reference = KeychainService::persistentReference(m_archive).value();
    if (shared)
        QVERIFY(IdentityStore::standard().grantAccess(reference, u"charon"_s));
    if (setting >= 0)
        UserDefaults::standard().setBoolean(DefaultsKeys::isAutoConnectEnabled, setting == 1);
    m_service->connect();
    QTRY_COMPARE(m_backend->applied.size(), 1);
    QCOMPARE(m_backend->applied.front().onDemandEnabled, expected);
    QCOMPARE(m_service->config().isOnDemandEnabled, expected);
    // Each run starts from a fresh store.
    QVERIFY(IdentityStore::standard().remove({reference}));
}

void TestVPNService::toggleFollowsTheLiveState_data()
{
    QTest::addColumn<VpnStatus>("live");
    QTest::addColumn<QString>("action");
    QTest::addColumn<bool>("loadedByCaller"); // toggleLoaded() after the caller's own load
    QTest::newRow("connected") << VpnStatus::Connected << "stop" << false;
    QTest::newRow("disconnected") << VpnStatus::Disconnected << "start" << false;
    QTest::newRow("connecting") << VpnStatus::Connecting << "start" << false;
    QTest::newRow("connected, loaded by the caller") << VpnStatus::Connected << "stop" << true;
}

void TestVPNService::toggleFollowsTheLiveState()
{
    QFETCH(VpnStatus, live);
    QFETCH(QString, action);
    QFETCH(bool, loadedByCaller);
    m_backend->setLiveStatus(live);
    m_service->setStatus(VpnStatus::Invalid);
    m_backend->calls.clear();
    if (loadedByCaller) {
        bool loaded = false;
        m_manager->loadFromPreferences([&](const Outcome<> &) { loaded = true; });
        QTRY_VERIFY(loaded);
        m_service->toggleLoaded();
    } else {
        m_service->toggle();
    }
    // One load for the whole switch, then the save and the start or stop.
    QTRY_COMPARE(m_backend->calls.size(), 3);
    QCOMPARE(m_backend->calls, (QStringList{u"attach"_s, u"apply"_s, action}));
    QCOMPARE(m_service->status(), live);
    if (action == QLatin1String("stop"))
        QVERIFY(!m_backend->applied.constLast().onDemandEnabled);
}

void TestVPNService::saveFailurePostsOneNotificationAndRunsNothing()
{
    m_backend->applyError = u"refused"_s;
    StatusObserver observer(m_manager->connection());
    QList<QObject *> &senders = observer.senders;
    m_service->connect();
    QTRY_VERIFY(!senders.isEmpty());
    settle();
    QCOMPARE(senders, QList<QObject *>{m_manager->connection()});
    QCOMPARE(m_backend->calls, QStringList({u"attach"_s, u"apply"_s}));

    m_service->setStatus(VpnStatus::Connected);
    bool completed = false;
    m_service->disconnect([&] { completed = true; });
    QTRY_COMPARE(senders.size(), 2);
    settle();
    QVERIFY(!completed);
    QCOMPARE(m_backend->calls.count(u"stop"_s), 0);
}

void TestVPNService::loadFailureEndsSilently()
{
    QVERIFY(QDir().mkpath(QFileInfo(VpnManager::defaultStoragePath()).absolutePath()));
    QVERIFY(writeFile(VpnManager::defaultStoragePath(), "{broken"));
    QSignalSpy notifications(m_manager->connection(), &VpnConnection::statusDidChange);
    m_service->connect();
    m_service->toggle();
    settle();
    QVERIFY(m_backend->calls.isEmpty());
    QCOMPARE(notifications.size(), 0);
}

void TestVPNService::quitPath()
{
    // Nothing to stop: a disconnect completes at once, inside the call, and
    // writes nothing; nothing known yet: a quit terminates at once.
    for (const VpnStatus status : {VpnStatus::Invalid, VpnStatus::Disconnected}) {
        m_service->setStatus(status);
        m_service->config().isOnDemandEnabled = true;
        bool completed = false;
        m_service->disconnect([&] { completed = true; });
        QVERIFY(completed);
        settle();
        QVERIFY(m_service->config().isOnDemandEnabled);
    }
    m_service->setStatus(VpnStatus::Invalid);
    bool terminated = false;
    m_service->quit([&] { terminated = true; });
    QVERIFY(terminated);
    settle();
    QVERIFY(m_backend->calls.isEmpty());

    // Known state (even disconnected): shared secret, on-demand off, stop, then terminate.
    m_service->setStatus(VpnStatus::Disconnected);
    m_service->config().isOnDemandEnabled = true;
    terminated = false;
    m_service->quit([&] {
        terminated = true;
        QCOMPARE(m_backend->calls.constLast(), u"stop"_s);
    });
    QVERIFY(!terminated);
    QTRY_VERIFY(terminated);
    const VpnPreferences saved = m_backend->applied.constLast();
    QCOMPARE(saved.protocolConfiguration->authenticationMethod, P::AuthenticationMethod::SharedSecret);
    QVERIFY(!saved.onDemandEnabled);
    QVERIFY(!saved.canConnect());

    // The next process writes certificate authentication again.
    makeService();
    m_service->connect();
    QTRY_VERIFY(m_backend->calls.contains(u"start"_s));
    QCOMPARE(m_backend->applied.constLast().protocolConfiguration->authenticationMethod,
             P::AuthenticationMethod::Certificate);
}

void TestVPNService::failedQuitLeavesCertificateAuthentication_data()
{
    QTest::addColumn<bool>("loadFails");
    QTest::newRow("the configuration cannot be read") << true;
    QTest::newRow("the configuration cannot be saved") << false;
}

void TestVPNService::failedQuitLeavesCertificateAuthentication()
{
    QFETCH(bool, loadFails);
    m_service->setStatus(VpnStatus::Connected);
    if (loadFails) {
        QVERIFY(QDir().mkpath(QFileInfo(VpnManager::defaultStoragePath()).absolutePath()));
        QVERIFY(writeFile(VpnManager::defaultStoragePath(), "{broken"));
    } else {
        m_backend->applyError = u"refused"_s;
    }
    bool terminated = false;
    bool failed = false;
    m_service->quit([&] { terminated = true; }, [&] { failed = true; });
    QTRY_VERIFY(failed);
    QVERIFY(!terminated);
    QVERIFY(!m_backend->calls.contains(u"stop"_s));
    QCOMPARE(m_service->config().authMethod, P::AuthenticationMethod::Certificate);

    // The client runs on; its next Turn ON saves what a fresh process would.
    QFile::remove(VpnManager::defaultStoragePath());
    m_backend->applyError.clear();
    m_backend->applied.clear();
    m_service->connect();
    QTRY_VERIFY(m_backend->calls.contains(u"start"_s));
    QCOMPARE(m_backend->applied.size(), 1);
    QCOMPARE(m_backend->applied.constFirst().protocolConfiguration->authenticationMethod,
             P::AuthenticationMethod::Certificate);
    QVERIFY(m_backend->applied.constFirst().canConnect());
}

// A killed run's tunnel is stopped at the next start and on-demand turned
// off, still with a configuration this run can connect with.
void TestVPNService::leftoversOfAKilledClient()
{
    UserDefaults::standard().setData(DefaultsKeys::certificate, m_archive);
    m_service->config().isOnDemandEnabled = true;
    m_manager->loadFromPreferences(
        [this](const Outcome<> &) { m_service->configureAndSave(Outcome<>::success(), {}); });
    QTRY_COMPARE(m_backend->applied.size(), 1);
    makeService(); // the next run
    m_backend->setLiveStatus(VpnStatus::Connected);
    bool done = false;
    m_service->clearLeftovers([&] { done = true; });
    QTRY_VERIFY(done);
    QCOMPARE(m_backend->calls, (QStringList{u"attach"_s, u"apply"_s, u"stop"_s}));
    const VpnPreferences after = m_backend->applied.constLast();
    QVERIFY(!after.onDemandEnabled);
    QCOMPARE(after.protocolConfiguration->authenticationMethod, P::AuthenticationMethod::Certificate);
}

void TestVPNService::runMarkerTellsAKilledRun_data()
{
    QTest::addColumn<QByteArray>("left"); // what the last run left; "-" for nothing
    QTest::addColumn<bool>("killed");
    QTest::newRow("first run") << QByteArray("-") << false;
    QTest::newRow("its process is gone") << QByteArray("DEAD") << true;
    QTest::newRow("its pid belongs to another program now") << QByteArray("OTHER") << true;
    QTest::newRow("a torn mark") << QByteArray("12ab\n") << true;
    QTest::newRow("a huge mark") << QByteArray(4096, '7') << true;
}

void TestVPNService::runMarkerTellsAKilledRun()
{
    QFETCH(QByteArray, left);
    QFETCH(bool, killed);
    const QString path = m_dir.filePath(u"marker/running"_s);
    QFile::remove(path);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QProcess other;
    if (left == "DEAD") {
        QProcess gone;
        gone.start(u"true"_s, QStringList());
        QVERIFY(gone.waitForStarted());
        left = QByteArray::number(gone.processId());
        QVERIFY(gone.waitForFinished());
    } else if (left == "OTHER") {
        other.start(u"cat"_s, QStringList()); // runs until its input closes
        QVERIFY(other.waitForStarted());
        left = QByteArray::number(other.processId());
    }
    if (left != "-")
        QVERIFY(writeFile(path, left));
    RunMarker marker(path);
    QCOMPARE(marker.begin(), killed);
    QVERIFY(QFile::exists(path));
    // Ended the orderly way: the next run finds nothing to clear.
    marker.end();
    QVERIFY(!QFile::exists(path));
    RunMarker next(path);
    QVERIFY(!next.begin());
    next.end();
    if (other.state() != QProcess::NotRunning) {
        other.closeWriteChannel();
        QVERIFY(other.waitForFinished());
    }
}

QTEST_GUILESS_MAIN(TestVPNService)
#include "tst_vpnservice.moc"
