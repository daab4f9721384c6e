// What every tunnel driver owes the tunnel's owner, the same cases through
// VPNService, VPNManager and TunnelController on each: the fake, VICI against
// a stand-in charon, NetworkManager against a fake NetworkManager on a
// private bus. Each runs with a fake leak guard, so what each state lets out
// is checked too.

#include "FakeNetworkManager.h"
#include "FakeVPNBackend.h"
#include "PrivateBus.h"
#include "StandInCharon.h"
#include "TestFiles.h"
#include "TestSession.h"

#include "session/DefaultsKeys.h"
#include "platform/VPNManager.h"
#include "platform/nm/NetworkManagerVPNBackend.h"
#include "platform/vici/ViciVPNBackend.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Orvex;
using namespace Qt::StringLiterals;
using State = TunnelController::State;
using Reason = TunnelController::Reason;
using Level = LeakPolicy::Level;

namespace {

// The daemon behind a driver, with the gateway's part scripted.
class Driver
{
public:
    virtual ~Driver() = default;
    virtual std::unique_ptr<VPNBackend> makeBackend(const std::shared_ptr<FakeLeakGuard> &guard) = 0;
    // Attempts the daemon was asked to make.
    virtual int attempts() const = 0;
    // The attempt under way comes up or fails.
    virtual void endAttempt(bool up) = 0;
    // The gateway deletes the tunnel that is up.
    virtual void drop() = 0;
    // Answers to the attempts are late: they cross a stop.
    virtual void answerLate() {}
    // The daemon restarts (as after a reboot): what it held only in memory
    // is gone.
    virtual void restart() {}
    // Once the stop reached the daemon, the attempt it abandoned comes up
    // after all; returns when the backend has heard of it.
    virtual void lateUp() = 0;
    // A tunnel up or under way, or anything in the daemon that could bring
    // one up.
    virtual bool leftOver() const = 0;
};

class FakeDriver final : public Driver
{
public:
    std::unique_ptr<VPNBackend> makeBackend(const std::shared_ptr<FakeLeakGuard> &guard) override
    {
        auto backend = std::make_unique<FakeVPNBackend>();
        backend->runAttempts();
        backend->guard = guard.get();
        m_backend = backend.get();
        return backend;
    }
    int attempts() const override { return m_backend->attemptsMade; }
    void endAttempt(bool up) override { m_backend->endAttempt(up); }
    void drop() override { m_backend->drop(); }
    void lateUp() override
    {
        QTRY_VERIFY(m_backend->calls.contains(u"stop"_s));
        m_backend->endAttempt(true);
    }
    bool leftOver() const override { return m_backend->status() != VPNStatus::Disconnected; }

private:
    FakeVPNBackend *m_backend = nullptr;
};

class ViciDriver final : public Driver
{
public:
    ViciDriver() { m_charon.answerAsCharon(); }
    std::unique_ptr<VPNBackend> makeBackend(const std::shared_ptr<FakeLeakGuard> &guard) override
    {
        ViciVPNBackend::Options options;
        options.socketPath = m_dir.filePath(u"charon.vici"_s);
        options.resolveIdentity = [this](const QByteArray &) {
            return std::optional<ViciVPNBackend::Identity>({m_credential.certificateDer(), {}, u"ecdsa"_s});
        };
        options.retryDelayMs = 10;
        options.livenessTimeoutMs = 50; // the stand-in never answers a rekey
        options.leakGuard = guard;
        return std::make_unique<ViciVPNBackend>(options);
    }
    int attempts() const override { return m_charon.initiates; }
    void endAttempt(bool up) override { m_charon.endAttempt(up); }
    void drop() override { m_charon.deleteSa(); }
    void restart() override
    {
        m_charon.conns.clear();
        m_charon.keys.clear();
    }
    void lateUp() override
    {
        QTRY_VERIFY(m_charon.commands().contains("terminate"));
        m_charon.endAttempt(true);
        QTRY_VERIFY(m_charon.sa == StandInCharon::Sa::None); // taken down again
    }
    bool leftOver() const override
    {
        return m_charon.sa != StandInCharon::Sa::None || !m_charon.conns.isEmpty()
               || !m_charon.keys.isEmpty();
    }

private:
    QTemporaryDir m_dir;
    StandInCharon m_charon{m_dir.filePath(u"charon.vici"_s)};
    TestPkcs12::Credential m_credential = TestPkcs12::makeCredential("client");
};

class NetworkManagerDriver final : public Driver
{
public:
    explicit NetworkManagerDriver(const QString &busAddress)
        : m_nm(busAddress)
    {
        QVERIFY(writeFile(
            m_plugins.filePath(u"nm-strongswan-service.name"_s),
            "[VPN Connection]\nname=strongswan\nservice=org.freedesktop.NetworkManager.strongswan\n"));
        QVERIFY(m_nm.start());
        m_nm.addConnection(u"802-3-ethernet"_s);
    }
    std::unique_ptr<VPNBackend> makeBackend(const std::shared_ptr<FakeLeakGuard> &guard) override
    {
        NetworkManagerVPNBackend::Options options;
        options.profileOwner = m_nm.user;
        options.pluginDirectories = {m_plugins.path()};
        options.resolveIdentity = [](const QByteArray &) {
            return std::optional<NetworkManagerProfile::IdentityFiles>({u"/keys/c.pem"_s, u"/keys/k.pem"_s});
        };
        options.makeProbe = [] { return std::make_unique<SilentProbe>(); };
        options.makeEcho = [] { return std::make_unique<SilentEcho>(); };
        options.livenessTimeoutMs = 50;
        options.retryDelayMs = 10;
        options.leakGuard = guard;
        return std::make_unique<NetworkManagerVPNBackend>(options);
    }
    int attempts() const override { return m_nm.count(u"ActivateConnection"_s); }
    void endAttempt(bool up) override
    {
        m_nm.releaseActivation();
        m_nm.setVpnState(vpn(), up ? 5 : 6);
    }
    void drop() override { m_nm.setVpnState(vpn(), 7); }
    void answerLate() override { m_nm.holdActivation = true; }
    void lateUp() override
    {
        QTRY_VERIFY(m_nm.count(u"DeactivateConnection"_s) > 0);
        m_nm.releaseActivation();
        m_nm.setVpnState(vpn(), 5);
        // Heard: the backend looks at a connection announced after it.
        const int looks = m_nm.count(u"GetAll"_s);
        m_nm.addConnection(u"802-11-wireless"_s);
        QTRY_VERIFY(m_nm.count(u"GetAll"_s) > looks);
    }
    bool leftOver() const override { return !vpn().isEmpty(); }

private:
    class SilentProbe final : public TunnelLivenessProbe
    {
        void watch(const QHostAddress &) override {}
        void stop() override {}
    };
    class SilentEcho final : public TunnelEcho
    {
        void ask(const QHostAddress &, const QHostAddress &, int) override { m_asking = true; }
        void cancel() override { m_asking = false; }
        bool isAsking() const override { return m_asking; }
        bool m_asking = false;
    };
    QString vpn() const { return m_nm.activeVpn(); }

    QTemporaryDir m_plugins;
    FakeNetworkManager m_nm;
};

} // namespace

class tst_DriverContract : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void attemptsRule_data() { drivers(); }
    void attemptsRule();
    void firstLoadConnects_data() { drivers(); }
    void firstLoadConnects();
    void peerDropsTheTunnel_data();
    void peerDropsTheTunnel();
    void quitStopsAndLifts_data() { drivers(); }
    void quitStopsAndLifts();
    void stopWhileStarting_data() { drivers(); }
    void stopWhileStarting();
    void silentAfterWakeUp_data() { drivers(); }
    void silentAfterWakeUp();

private:
    static void drivers();
    // A run of the client on the driver's daemon, ending the one before.
    void makeService();
    // The user's Turn ON; with on-demand, the key is shared and auto-connect
    // on. Returns once the daemon was asked for the attempt.
    void turnOn(bool onDemand);
    State state() const { return m_service->tunnel().state(); }
    // The tunnel comes back with the `attempt`th attempt, blocked until it
    // is up.
    void comesBack(int attempt);
    Level level() const { return m_guard->inForce.level; }

    PrivateBus m_bus;
    std::optional<TestSession> m_session; // each case's own, with nothing saved
    std::unique_ptr<Driver> m_driver;
    std::shared_ptr<FakeLeakGuard> m_guard;
    VPNBackend *m_backend = nullptr;
    std::unique_ptr<VPNManager> m_manager;
    std::unique_ptr<VPNService> m_service;
    QStringList m_trace; // each status of the backend, with the attempts counted then
    QList<VPNStatus> m_shown;
};

void tst_DriverContract::drivers()
{
    QTest::addColumn<QString>("driver");
    for (const char *driver : {"fake", "vici", "networkmanager"})
        QTest::newRow(driver) << QString::fromLatin1(driver);
}

void tst_DriverContract::initTestCase()
{
    QVERIFY2(m_bus.isRunning(), qPrintable(m_bus.error()));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toLocal8Bit());
}

void tst_DriverContract::init()
{
    QFETCH(QString, driver);
    m_session.emplace();
    m_session->config.vpnGatewayHost = u"192.0.2.1"_s;
    QVERIFY(m_session->keepIdentity());
    if (driver == u"fake")
        m_driver = std::make_unique<FakeDriver>();
    else if (driver == u"vici")
        m_driver = std::make_unique<ViciDriver>();
    else
        m_driver = std::make_unique<NetworkManagerDriver>(m_bus.address());
    makeService();
}

void tst_DriverContract::cleanup()
{
    m_service.reset();
    m_manager.reset();
    m_driver.reset();
}

void tst_DriverContract::makeService()
{
    m_service.reset();
    m_manager.reset();
    m_guard = std::make_shared<FakeLeakGuard>();
    auto backend = m_driver->makeBackend(m_guard);
    m_backend = backend.get();
    m_manager = std::make_unique<VPNManager>(std::move(backend), m_session->files.tunnelConfiguration);
    m_service = std::make_unique<VPNService>(m_manager.get(), m_session->session, m_session->config);
    m_trace.clear();
    m_shown.clear();
    connect(m_backend, &VPNBackend::statusChanged, this, [this](VPNStatus status) {
        m_trace << QStringLiteral("IDCXRG").at(int(status)) + QString::number(m_service->attempts());
    });
    connect(m_manager->connection(), &VPNConnection::statusDidChange, this,
            [this] { m_shown << m_manager->connection()->status(); });
}

void tst_DriverContract::turnOn(bool onDemand)
{
    if (onDemand) {
        QVERIFY(m_session->identities.grantAccess(*m_session->session.identityReference(), u"charon"_s));
        m_session->defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled, true);
    }
    m_service->connect();
    QTRY_COMPARE(m_driver->attempts(), 1);
    QTRY_COMPARE(state(), State::Connecting);
    QCOMPARE(level(), Level::Blocking);
    QCOMPARE(m_guard->inForce.gateway, QList<QHostAddress>{QHostAddress(u"192.0.2.1"_s)});
    QCOMPARE(m_manager->savedPreferences().onDemandEnabled, onDemand);
}

void tst_DriverContract::comesBack(int attempt)
{
    QTRY_COMPARE(m_driver->attempts(), attempt);
    QTRY_COMPARE(state(), State::Reconnecting);
    QCOMPARE(level(), Level::Blocking);
    m_driver->endAttempt(true);
    QTRY_COMPARE(state(), State::Connected);
    QCOMPARE(level(), Level::Tunnel);
}

// Attempts count from the last time the tunnel was up; a disconnected
// notification between them does not reset them. The fourth in a row gives
// up: blocked, on-demand saved off, the attempt stopped.
void tst_DriverContract::attemptsRule()
{
    turnOn(true);
    for (int attempt = 1; attempt <= 7; ++attempt) {
        QTRY_COMPARE(m_driver->attempts(), attempt);
        QTRY_COMPARE(state(), attempt == 7   ? State::Blocked
                              : attempt <= 3 ? State::Connecting
                                             : State::Reconnecting);
        QCOMPARE(level(), Level::Blocking);
        if (attempt == 3) {
            m_driver->endAttempt(true);
            QTRY_COMPARE(state(), State::Connected);
            QCOMPARE(level(), Level::Tunnel);
            m_driver->drop();
        } else if (attempt < 7) {
            m_driver->endAttempt(false);
        }
    }
    QCOMPARE(m_service->tunnel().reason(), Reason::AttemptsExhausted);
    QTRY_VERIFY(!m_manager->savedPreferences().onDemandEnabled);
    QTRY_COMPARE(m_backend->status(), VPNStatus::Disconnected);
    QCOMPARE(state(), State::Blocked);
    QCOMPARE(level(), Level::Blocking);
    QCOMPARE(m_driver->attempts(), 7);
    const QStringList trace = m_trace.mid(m_trace.indexOf(u"C1"_s), 14);
    QCOMPARE(trace.join(u' '), u"C1 D1 C2 D2 C3 X0 D0 C1 D1 C2 D2 C3 D3 C0"_s);
}

// The run before saved the configuration with on-demand and ended while its
// attempt was under way, which then failed; the daemon restarted since. The
// next run's first look at the tunnel brings it up.
void tst_DriverContract::firstLoadConnects()
{
    turnOn(true);
    makeService();
    m_driver->endAttempt(false);
    m_driver->restart();
    const int before = m_driver->attempts();
    QCOMPARE(level(), Level::Open);
    m_manager->loadFromPreferences([](const Outcome<> &) {});
    QTRY_COMPARE(m_driver->attempts(), before + 1);
    QTRY_COMPARE(state(), State::Connecting);
    QCOMPARE(level(), Level::Blocking);
    m_driver->endAttempt(true);
    QTRY_COMPARE(state(), State::Connected);
    QCOMPARE(level(), Level::Tunnel);
    QCOMPARE(m_service->status(), VPNStatus::Connected);
}

void tst_DriverContract::peerDropsTheTunnel_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<bool>("onDemand");
    for (const char *driver : {"fake", "vici", "networkmanager"}) {
        QTest::addRow("%s, on-demand on", driver) << QString::fromLatin1(driver) << true;
        QTest::addRow("%s, on-demand off", driver) << QString::fromLatin1(driver) << false;
    }
}

// With on-demand the tunnel comes back by itself, blocked meanwhile; without
// it stays down and blocked until the user decides.
void tst_DriverContract::peerDropsTheTunnel()
{
    QFETCH(bool, onDemand);
    turnOn(onDemand);
    m_driver->endAttempt(true);
    QTRY_COMPARE(state(), State::Connected);
    m_driver->drop();
    if (onDemand) {
        comesBack(2);
    } else {
        QTRY_COMPARE(state(), State::Blocked);
        QCOMPARE(m_service->tunnel().reason(), Reason::TunnelLost);
        QCOMPARE(level(), Level::Blocking);
        QCOMPARE(m_backend->status(), VPNStatus::Disconnected);
        QCOMPARE(m_driver->attempts(), 1);
    }
}

// Quit stops the tunnel, lifts the block before the process ends, and leaves
// nothing in the daemon that runs or could come up by itself.
void tst_DriverContract::quitStopsAndLifts()
{
    turnOn(true);
    m_driver->endAttempt(true);
    QTRY_COMPARE(state(), State::Connected);
    bool terminated = false;
    m_service->quit([&] {
        terminated = true;
        QCOMPARE(level(), Level::Open);
    });
    QTRY_VERIFY(terminated);
    QCOMPARE(state(), State::Off);
    QTRY_VERIFY(!m_driver->leftOver());
    QTRY_COMPARE(m_backend->status(), VPNStatus::Disconnected);
    QVERIFY(!m_manager->savedPreferences().canConnect());
    QCOMPARE(state(), State::Off);
    QCOMPARE(level(), Level::Open);
    QCOMPARE(m_driver->attempts(), 1);
}

// Turn OFF while the attempt is under way ends Off; the attempt coming up
// after the stop neither brings the tunnel back nor shows Connected.
void tst_DriverContract::stopWhileStarting()
{
    m_driver->answerLate();
    turnOn(false);
    m_service->disconnect();
    m_driver->lateUp();
    QTRY_COMPARE(state(), State::Off);
    QTRY_COMPARE(m_backend->status(), VPNStatus::Disconnected);
    QCOMPARE(level(), Level::Open);
    QVERIFY(!m_shown.contains(VPNStatus::Connected));
    QCOMPARE(m_service->status(), VPNStatus::Disconnected);
    QCOMPARE(m_driver->attempts(), 1);
}

// After a wake-up the tunnel is asked whether it carries; the gateway,
// restarted meanwhile, never answers. The tunnel is taken down and brought
// back at once, also without on-demand, blocked meanwhile.
void tst_DriverContract::silentAfterWakeUp()
{
    turnOn(false);
    m_driver->endAttempt(true);
    QTRY_COMPARE(state(), State::Connected);
    m_service->checkTunnel(VPNBackend::Change::RouteChanged); // the daemon's own business
    QVERIFY(!m_service->tunnel().isCheckingTunnel());
    // Asked as soon as the backend knows what to ask through the tunnel.
    QTRY_VERIFY((m_service->checkTunnel(VPNBackend::Change::Resumed), m_service->tunnel().isCheckingTunnel()));
    comesBack(2);
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled);
}

QTEST_GUILESS_MAIN(tst_DriverContract)
#include "tst_drivercontract.moc"
