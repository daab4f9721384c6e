#include "FakeVPNBackend.h"
#include "TestFiles.h"

#include "session/DefaultsKeys.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/RunMarker.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VPNManager.h"
#include "vpn/VPNService.h"

#include "TestSession.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Orvex;
using namespace Qt::StringLiterals;
using P = VPNProtocolIKEv2;

Q_DECLARE_METATYPE(Orvex::VPNStatus)
Q_DECLARE_METATYPE(Orvex::LeakPolicy::Level)
Q_DECLARE_METATYPE(Orvex::VPNBackend::Failure)

using State = TunnelController::State;
using Reason = TunnelController::Reason;
using Level = LeakPolicy::Level;

class tst_VPNService : public QObject
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
    void stateAndBlockFollowTheTunnel_data();
    void stateAndBlockFollowTheTunnel();
    void onlyTheUserLiftsTheBlock();
    void aNewNetworkLooksTheGatewayUpAgain();

private:
    void makeService();
    // Lets the fake backend's short chains of queued completions run out.
    void settle()
    {
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
    }

    std::optional<TestSession> m_session; // each case's own: signed out, nothing saved
    QTemporaryDir m_dir;
    // Imports the archive and makes it the session's identity, as a fetched
    // certificate is kept.
    void keepIdentity()
    {
        const auto identity = m_session->identities.importSingleIdentity(m_archive,
                                                                         m_session->config.pkcs12Passphrase);
        QVERIFY(identity && m_session->session.replaceIdentity(identity->reference));
    }
    TestPkcs12::Credential m_credential = TestPkcs12::makeCredential("client", true);
    QByteArray m_archive;
    FakeVPNBackend *m_backend = nullptr;
    std::unique_ptr<VPNManager> m_manager;
    std::unique_ptr<VPNService> m_service;
    FakeLeakGuard m_guard;
    // Turns the tunnel on as the user does (Turn ON) or as a saved
    // configuration with on-demand does by itself, with a guard on the
    // backend and the gateway given as an address, or as a name the guard's
    // lookup finds at `found`.
    void turnOnGuarded(bool byOnDemand, const QString &gateway = u"192.0.2.1"_s,
                       const QList<QHostAddress> &found = {});
    // Plays the backend's statuses: C connecting, X connected, G
    // disconnecting, D disconnected, I invalid.
    void play(const QByteArray &statuses);
    // Loads the manager as a caller does before it acts; the tunnel's state
    // is known from then on.
    bool load()
    {
        auto loaded = std::make_shared<bool>(false);
        m_manager->loadFromPreferences([loaded](const Outcome<> &outcome) { *loaded = outcome.isSuccess(); });
        return QTest::qWaitFor([loaded] { return *loaded; });
    }
};

void tst_VPNService::turnOnGuarded(bool byOnDemand, const QString &gateway, const QList<QHostAddress> &found)
{
    m_session->config.vpnGatewayHost = gateway;
    m_guard = FakeLeakGuard();
    m_guard.names.insert(gateway, found);
    makeService();
    m_backend->guard = &m_guard;
    m_backend->goesDownOnStop = true;
    keepIdentity();
    if (byOnDemand) {
        m_service->config().isOnDemandEnabled = true;
        m_manager->loadFromPreferences(
            [this](const Outcome<> &) { m_service->configureAndSave(Outcome<>::success(), {}); });
        QTRY_COMPARE(m_backend->applied.size(), 1);
    } else {
        m_service->connect();
        QTRY_VERIFY(m_backend->calls.contains(u"start"_s));
    }
}

void tst_VPNService::play(const QByteArray &statuses)
{
    for (const char step : statuses) {
        const VPNStatus status = step == 'C'   ? VPNStatus::Connecting
                                 : step == 'X' ? VPNStatus::Connected
                                 : step == 'G' ? VPNStatus::Disconnecting
                                 : step == 'D' ? VPNStatus::Disconnected
                                               : VPNStatus::Invalid;
        m_backend->setLiveStatus(status);
        settle();
    }
}

void tst_VPNService::initTestCase()
{
    m_archive = TestPkcs12::makeIdentityArchive(m_credential, Config::parse({}, {}).value().pkcs12Passphrase);
}

void tst_VPNService::init()
{
    m_session.emplace();
    makeService();
}

void tst_VPNService::makeService()
{
    m_service.reset();
    m_backend = new FakeVPNBackend;
    m_manager = std::make_unique<VPNManager>(std::unique_ptr<VPNBackend>(m_backend),
                                             m_session->files.tunnelConfiguration);
    m_service = std::make_unique<VPNService>(m_manager.get(), m_session->session, m_session->config);
}

void tst_VPNService::cleanup()
{
    m_service.reset();
    m_manager.reset();
    SystemInfo::setMachineIdSourceForTesting({});
}

void tst_VPNService::connectWritesTheWholeConfigurationThenStarts()
{
    keepIdentity();
    m_service->connect();
    QVERIFY(!m_backend->calls.contains(u"apply"_s)); // no save inside the call
    // One load; the saved configuration is not read back before the start.
    QTRY_COMPARE(m_backend->calls, QStringList({u"attach"_s, u"apply"_s, u"start"_s}));
    const VPNPreferences saved = m_backend->applied.constLast();
    QVERIFY(saved.protocolConfiguration);
    const P &p = *saved.protocolConfiguration;
    QCOMPARE(p.serverAddress, u"vpn.orvex.example"_s);
    QCOMPARE(p.remoteIdentifier, u"vpn.orvex.example"_s);
    QCOMPARE(p.identityReference, m_credential.sha1());
    QCOMPARE(p.authenticationMethod, P::AuthenticationMethod::Certificate);
    QCOMPARE(p.deadPeerDetectionRate, P::DeadPeerDetectionRate::Medium);
    QVERIFY(p.disableRedirect);
    const P::SecurityAssociationParameters expected{P::EncryptionAlgorithm::AES128,
                                                    P::IntegrityAlgorithm::SHA96,
                                                    P::DiffieHellmanGroup::Group14, 1440};
    QCOMPARE(p.ikeSecurityAssociationParameters, expected);
    QCOMPARE(p.childSecurityAssociationParameters, expected);
    QVERIFY(saved.enabled);
    QCOMPARE(saved.onDemandRules, QList<VPNOnDemandRule>({VPNOnDemandRule{}})); // connect on any interface
    QVERIFY(!saved.onDemandEnabled);                                            // the key is not shared yet

    // Without a stored certificate: no identity reference, and still a start.
    QFile::remove(m_session->files.account);
    m_backend->calls.clear();
    m_service->connect();
    QTRY_COMPARE(m_backend->calls.size(), 3);
    QCOMPARE(m_backend->calls.constLast(), u"start"_s);
    QVERIFY(m_backend->applied.constLast().protocolConfiguration->identityReference.isEmpty());
}

void tst_VPNService::localIdentifier()
{
    QCOMPARE(m_service->localIdentifier(), QString()); // no e-mail stored
    m_session->defaults.setString(DefaultsKeys::tempEmail, u"ann@example.com"_s);
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(u"f00d"_s); });
    // MD5 of "machine@e-mail", in hex.
    QCOMPARE(m_service->localIdentifier(), u"02714222d9458e5061670b6f98098c8a.clients.orvex.example"_s);
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(); });
    QCOMPARE(m_service->localIdentifier(), u".clients.orvex.example"_s);
}

void tst_VPNService::onDemandFollowsTheSharedKeyAndTheSetting_data()
{
    QTest::addColumn<bool>("shared");
    QTest::addColumn<int>("setting"); // -1: never set
    QTest::addColumn<bool>("expected");
    QTest::newRow("not shared, setting on") << false << 1 << false;
    QTest::newRow("shared, setting on") << true << 1 << true;
    QTest::newRow("shared, setting off") << true << 0 << false;
    QTest::newRow("shared, setting absent") << true << -1 << false;
}

void tst_VPNService::onDemandFollowsTheSharedKeyAndTheSetting()
{
    QFETCH(bool, shared);
    QFETCH(int, setting);
    QFETCH(bool, expected);
    keepIdentity();
    if (shared)
        QVERIFY(m_session->identities.grantAccess(m_credential.sha1(), u"charon"_s));
    if (setting >= 0)
        m_session->defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled, setting == 1);
    m_service->connect();
    QTRY_COMPARE(m_backend->applied.size(), 1);
    QCOMPARE(m_backend->applied.front().onDemandEnabled, expected);
    QCOMPARE(m_service->config().isOnDemandEnabled, expected);
}

void tst_VPNService::toggleFollowsTheLiveState_data()
{
    QTest::addColumn<VPNStatus>("live");
    QTest::addColumn<QString>("action");
    QTest::newRow("connected") << VPNStatus::Connected << "stop";
    QTest::newRow("disconnected") << VPNStatus::Disconnected << "start";
    QTest::newRow("connecting") << VPNStatus::Connecting << "start";
}

void tst_VPNService::toggleFollowsTheLiveState()
{
    QFETCH(VPNStatus, live);
    QFETCH(QString, action);
    m_backend->setLiveStatus(live);
    // What the backend says before anything has been loaded is not known
    // yet.
    QCOMPARE(m_service->status(), VPNStatus::Invalid);
    m_backend->calls.clear();
    // The caller's own load, as the menus do before they switch.
    QVERIFY(load());
    m_service->toggleLoaded();
    // One load for the whole switch, then the save and the start or stop.
    QTRY_COMPARE(m_backend->calls.size(), 3);
    QCOMPARE(m_backend->calls, (QStringList{u"attach"_s, u"apply"_s, action}));
    QCOMPARE(m_service->status(), live);
    if (action == QLatin1String("stop"))
        QVERIFY(!m_backend->applied.constLast().onDemandEnabled);
}

void tst_VPNService::saveFailurePostsOneNotificationAndRunsNothing()
{
    m_backend->applyError = u"refused"_s;
    StatusObserver observer(m_manager->connection());
    QList<QObject *> &senders = observer.senders;
    m_service->connect();
    QTRY_VERIFY(!senders.isEmpty());
    settle();
    QCOMPARE(senders, QList<QObject *>{m_manager->connection()});
    QCOMPARE(m_backend->calls, QStringList({u"attach"_s, u"apply"_s}));

    // Wanted since the connect: the Turn OFF has on-demand to save off.
    QCOMPARE(m_service->tunnel().state(), State::Connecting);
    bool completed = false;
    m_service->disconnect([&] { completed = true; });
    QTRY_COMPARE(senders.size(), 2);
    settle();
    QVERIFY(!completed);
    QCOMPARE(m_backend->calls.count(u"stop"_s), 0);
}

void tst_VPNService::loadFailureEndsSilently()
{
    QVERIFY(QDir().mkpath(QFileInfo(m_session->files.tunnelConfiguration).absolutePath()));
    QVERIFY(writeFile(m_session->files.tunnelConfiguration, "{broken"));
    QSignalSpy notifications(m_manager->connection(), &VPNConnection::statusDidChange);
    m_service->connect();
    settle();
    QVERIFY(m_backend->calls.isEmpty());
    QCOMPARE(notifications.size(), 0);
}

void tst_VPNService::quitPath()
{
    // Nothing to stop: a disconnect completes at once, inside the call, and
    // writes nothing; nothing known yet: a quit terminates at once.
    for (const VPNStatus status : {VPNStatus::Invalid, VPNStatus::Disconnected}) {
        if (status != VPNStatus::Invalid) { // known once loaded
            m_backend->setLiveStatus(status);
            QVERIFY(load());
        }
        QCOMPARE(m_service->status(), status);
        m_service->config().isOnDemandEnabled = true;
        bool completed = false;
        m_service->disconnect([&] { completed = true; });
        QVERIFY(completed);
        settle();
        QVERIFY(m_service->config().isOnDemandEnabled);
    }
    // Down between attempts, on-demand saved on: the Turn OFF must save it
    // off and stop the backend's retries, or the tunnel comes back by itself.
    turnOnGuarded(true);
    play("CXD");
    QCOMPARE(m_service->tunnel().state(), State::Reconnecting);
    QVERIFY(m_manager->savedPreferences().onDemandEnabled);
    bool stopped = false;
    m_service->disconnect([&] { stopped = true; });
    // Held back at once, before the save: a daemon that says it could take
    // an attempt now is not given one after the user's Turn OFF.
    m_backend->runAttempts();
    Q_EMIT m_backend->attemptPossible();
    QCOMPARE(m_backend->attemptsMade, 0);
    play("CD");
    QTRY_VERIFY(stopped);
    QCOMPARE(m_backend->calls.constLast(), u"stop"_s);
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled);
    QCOMPARE(m_service->tunnel().state(), State::Off);
    QCOMPARE(m_guard.inForce.level, Level::Open);

    // Quit with the tunnel up: the save that takes the connection out may
    // end the tunnel before the stop. That is the Quit, not a lost tunnel:
    // never shown as one being retried or blocked.
    turnOnGuarded(false);
    play("CX");
    QList<State> states;
    QObject listening;
    connect(&m_service->tunnel(), &TunnelController::changed, &listening,
            [&] { states << m_service->tunnel().state(); });
    bool terminated = false;
    m_service->quit([&] { terminated = true; });
    play("D");
    QTRY_VERIFY(terminated);
    QCOMPARE(states.constFirst(), State::Disconnecting);
    QCOMPARE(states.constLast(), State::Off);
    QVERIFY(!states.contains(State::Reconnecting) && !states.contains(State::Blocked));
    QCOMPARE(m_guard.inForce.level, Level::Open);
    makeService();

    m_backend->setLiveStatus(VPNStatus::Disconnected); // told, but nothing loaded
    QCOMPARE(m_service->status(), VPNStatus::Invalid);
    terminated = false;
    m_service->quit([&] { terminated = true; });
    QVERIFY(terminated);
    settle();
    QVERIFY(m_backend->calls.isEmpty());

    // Known state (even disconnected): shared secret, on-demand off, stop, then terminate.
    QVERIFY(load());
    QCOMPARE(m_service->status(), VPNStatus::Disconnected);
    m_service->config().isOnDemandEnabled = true;
    terminated = false;
    m_service->quit([&] {
        terminated = true;
        QCOMPARE(m_backend->calls.constLast(), u"stop"_s);
    });
    QVERIFY(!terminated);
    QTRY_VERIFY(terminated);
    const VPNPreferences saved = m_backend->applied.constLast();
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

void tst_VPNService::failedQuitLeavesCertificateAuthentication_data()
{
    QTest::addColumn<bool>("loadFails");
    QTest::newRow("the configuration cannot be read") << true;
    QTest::newRow("the configuration cannot be saved") << false;
}

void tst_VPNService::failedQuitLeavesCertificateAuthentication()
{
    QFETCH(bool, loadFails);
    m_backend->setLiveStatus(VPNStatus::Connected);
    QVERIFY(load()); // a known state: the quit saves before it ends
    if (loadFails) {
        QVERIFY(QDir().mkpath(QFileInfo(m_session->files.tunnelConfiguration).absolutePath()));
        QVERIFY(writeFile(m_session->files.tunnelConfiguration, "{broken"));
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
    QFile::remove(m_session->files.tunnelConfiguration);
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
void tst_VPNService::leftoversOfAKilledClient()
{
    m_session->defaults.setData(DefaultsKeys::certificate, m_archive);
    m_service->config().isOnDemandEnabled = true;
    m_manager->loadFromPreferences(
        [this](const Outcome<> &) { m_service->configureAndSave(Outcome<>::success(), {}); });
    QTRY_COMPARE(m_backend->applied.size(), 1);
    makeService(); // the next run
    m_backend->setLiveStatus(VPNStatus::Connected);
    bool done = false;
    m_service->clearLeftovers([&] { done = true; });
    QTRY_VERIFY(done);
    QCOMPARE(m_backend->calls, (QStringList{u"attach"_s, u"apply"_s, u"stop"_s}));
    const VPNPreferences after = m_backend->applied.constLast();
    QVERIFY(!after.onDemandEnabled);
    QCOMPARE(after.protocolConfiguration->authenticationMethod, P::AuthenticationMethod::Certificate);
}

void tst_VPNService::runMarkerTellsAKilledRun_data()
{
    QTest::addColumn<QByteArray>("left"); // what the last run left; "-" for nothing
    QTest::addColumn<bool>("killed");
    QTest::newRow("first run") << QByteArray("-") << false;
    QTest::newRow("its process is gone") << QByteArray("DEAD") << true;
    QTest::newRow("its pid belongs to another program now") << QByteArray("OTHER") << true;
    QTest::newRow("a torn mark") << QByteArray("12ab\n") << true;
    QTest::newRow("a huge mark") << QByteArray(4096, '7') << true;
}

void tst_VPNService::runMarkerTellsAKilledRun()
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

void tst_VPNService::stateAndBlockFollowTheTunnel_data()
{
    QTest::addColumn<bool>("byOnDemand"); // else Turn ON, with a key not shared: nothing retries
    QTest::addColumn<QByteArray>("statuses");
    QTest::addColumn<VPNBackend::Failure>("failure");
    QTest::addColumn<QString>("guardFails");
    QTest::addColumn<State>("state");
    QTest::addColumn<Reason>("reason");
    QTest::addColumn<Level>("level");
    QTest::addColumn<VPNStatus>("shown");
    const auto F = VPNBackend::Failure::Unknown;
    QTest::newRow("refused") << false << QByteArray("CD") << VPNBackend::Failure::Refused << QString()
                             << State::Blocked << Reason::Refused << Level::Blocking
                             << VPNStatus::Disconnected;
    QTest::newRow("never answered") << false << QByteArray("CD") << VPNBackend::Failure::NoAnswer << QString()
                                    << State::Blocked << Reason::NoAnswer << Level::Blocking
                                    << VPNStatus::Disconnected;
    QTest::newRow("the daemon went away")
        << true << QByteArray("CXI") << F << QString() << State::Blocked << Reason::DaemonUnavailable
        << Level::Blocking << VPNStatus::Invalid;
    // Never Connected over a policy that is not in force.
    QTest::newRow("the block cannot be put up")
        << false << QByteArray("CX") << F << u"no nftables"_s << State::Blocked << Reason::GuardFailed
        << Level::Blocking << VPNStatus::Disconnected;
}

void tst_VPNService::stateAndBlockFollowTheTunnel()
{
    QFETCH(bool, byOnDemand);
    QFETCH(QByteArray, statuses);
    QFETCH(VPNBackend::Failure, failure);
    QFETCH(QString, guardFails);
    QFETCH(State, state);
    QFETCH(Reason, reason);
    QFETCH(Level, level);
    QFETCH(VPNStatus, shown);

    turnOnGuarded(byOnDemand);
    m_guard.failWith = guardFails;
    m_backend->failure = failure;
    QList<VPNStatus> seen;
    connect(m_manager->connection(), &VPNConnection::statusDidChange, this,
            [&] { seen << m_manager->connection()->status(); });
    play(statuses);
    QCOMPARE(m_service->tunnel().state(), state);
    QCOMPARE(m_service->tunnel().reason(), reason);
    QCOMPARE(m_guard.inForce.level, level);
    if (level != Level::Open)
        QCOMPARE(m_guard.inForce.gateway, QList<QHostAddress>{QHostAddress(u"192.0.2.1"_s)});
    QCOMPARE(m_backend->pinned, QList<QHostAddress>{QHostAddress(u"192.0.2.1"_s)});
    QCOMPARE(m_service->status(), shown);
    if (!guardFails.isEmpty())
        QVERIFY(!seen.contains(VPNStatus::Connected));
    if (state == State::Blocked && reason != Reason::DaemonUnavailable) {
        // Given up: no attempt follows, and nothing comes back by itself.
        QTRY_VERIFY(m_backend->calls.contains(u"stop"_s));
        QTRY_VERIFY(!m_manager->savedPreferences().onDemandEnabled);
        QCOMPARE(m_service->attempts(), 0);
    }
}

// The block stays from Turn ON until the user's own Turn OFF, sign-out
// (a Turn OFF too) or Quit; what someone else changes is put back at the
// next change, and a killed run's block is taken over.
void tst_VPNService::onlyTheUserLiftsTheBlock()
{
    turnOnGuarded(false);
    play("CX");
    m_service->disconnect();
    QCOMPARE(m_service->tunnel().state(), State::Disconnecting);
    QCOMPARE(m_guard.inForce.level, Level::Tunnel); // only the tunnel, while it carries
    QTRY_COMPARE(m_service->tunnel().state(), State::Off);
    QCOMPARE(m_guard.inForce.level, Level::Open);

    // Given up: the daemon's news changes nothing; Turn OFF lifts it at once.
    m_backend->failure = VPNBackend::Failure::Refused;
    m_service->connect();
    QTRY_COMPARE(m_guard.inForce.level, Level::Blocking);
    play("CDGDX");
    QCOMPARE(m_service->tunnel().state(), State::Blocked);
    QCOMPARE(m_guard.inForce.level, Level::Blocking);
    play("D");
    m_service->disconnect();
    QCOMPARE(m_service->tunnel().state(), State::Off);
    QCOMPARE(m_guard.inForce.level, Level::Open);

    // Changed behind its back: put back at the next change of state.
    m_service->connect();
    play("C");
    const int applies = m_guard.applies;
    m_guard.tampered = true;
    play("G");
    QCOMPARE(m_guard.applies, applies + 1);
    QVERIFY(!m_guard.tampered);

    // A killed run left its block: the next start keeps it, and says why.
    m_guard.inForce.level = Level::Blocking;
    makeService();
    m_backend->guard = &m_guard;
    bool cleared = false;
    m_service->clearLeftovers([&] { cleared = true; });
    QTRY_VERIFY(cleared);
    QCOMPARE(m_service->tunnel().state(), State::Blocked);
    QCOMPARE(m_service->tunnel().reason(), Reason::EarlierRun);
    QCOMPARE(m_guard.inForce.level, Level::Blocking);
    m_service->disconnect();
    QCOMPARE(m_guard.inForce.level, Level::Open);
}

// On a new network the gateway's name is looked up again where a lookup
// gets out: through the tunnel while it carries, the new addresses joining
// the pinned ones. Behind the block alone nothing is looked up, and the next
// Turn ON looks the name up afresh.
void tst_VPNService::aNewNetworkLooksTheGatewayUpAgain()
{
    turnOnGuarded(false, u"gw.example"_s, {QHostAddress(u"192.0.2.1"_s)});
    play("CX");
    QCOMPARE(m_guard.inForce.gateway, QList<QHostAddress>{QHostAddress(u"192.0.2.1"_s)});

    m_guard.names.insert(u"gw.example"_s, {QHostAddress(u"198.51.100.7"_s), QHostAddress(u"192.0.2.1"_s)});
    m_service->checkTunnel(VPNBackend::Change::RouteChanged);
    const QList<QHostAddress> both{QHostAddress(u"192.0.2.1"_s), QHostAddress(u"198.51.100.7"_s)};
    QTRY_COMPARE(m_guard.inForce.gateway, both);
    QCOMPARE(m_guard.inForce.level, Level::Tunnel);
    QCOMPARE(m_backend->pinned, both);

    play("D");
    QVERIFY(m_service->tunnel().state() != State::Connected);
    m_guard.names.insert(u"gw.example"_s, {QHostAddress(u"203.0.113.9"_s)});
    m_service->checkTunnel(VPNBackend::Change::Resumed);
    settle();
    QCOMPARE(m_guard.inForce.gateway, both);

    m_service->disconnect();
    QTRY_COMPARE(m_service->tunnel().state(), State::Off);
    m_service->connect();
    QTRY_COMPARE(m_guard.inForce.gateway, QList<QHostAddress>{QHostAddress(u"203.0.113.9"_s)});
    QCOMPARE(m_backend->pinned, QList<QHostAddress>{QHostAddress(u"203.0.113.9"_s)});
}

QTEST_GUILESS_MAIN(tst_VPNService)
#include "tst_vpnservice.moc"
