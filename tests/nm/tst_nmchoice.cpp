// `vpnBackend`: which backend "auto" settles on, found out without blocking.

#include "FakeNetworkManager.h"
#include "PrivateBus.h"

#include "config/Config.h"
#include "platform/VpnManager.h"
#include "platform/nm/AutoVpnBackend.h"
#include "platform/nm/NetworkManagerVpnBackend.h"
#include "platform/vici/ViciVpnBackend.h"

#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>

using namespace Orvex;

namespace {

// Stands for the backend that was chosen; only its existence matters here.
class StubBackend final : public VpnBackend
{
public:
    void attach(const VpnPreferences &, std::function<void()> done) override
    {
        QTimer::singleShot(0, this, std::move(done));
    }
    void apply(const VpnPreferences &, Completion done) override { done(Outcome<>::success()); }
    VpnStatus status() const override { return VpnStatus::Disconnected; }
    Outcome<> startTunnel() override { return Outcome<>::success(); }
    void stopTunnel() override {}
};

} // namespace

class TestBackendChoice : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void autoChooses_data();
    void autoChooses();
    void nothingAvailableIsInvalidWithItsReason();
    void configurationNamesTheBackend();

private:
    std::unique_ptr<AutoVpnBackend> makeAuto(const QString &pluginDirectory, const QString &socket);
    Outcome<> attach(AutoVpnBackend &backend);

    PrivateBus m_bus;
    QTemporaryDir m_dir;
    QString m_withPlugin;
    QString m_withoutPlugin;
};

void TestBackendChoice::initTestCase()
{
    QVERIFY2(m_bus.isRunning(), qPrintable(m_bus.error()));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus.address().toLocal8Bit());
    m_withPlugin = m_dir.filePath(QStringLiteral("with"));
    m_withoutPlugin = m_dir.filePath(QStringLiteral("without"));
    QDir().mkpath(m_withPlugin);
    QDir().mkpath(m_withoutPlugin);
    QFile name(m_withPlugin + QStringLiteral("/nm-strongswan-service.name"));
    QVERIFY(name.open(QIODevice::WriteOnly));
    name.write("[VPN Connection]\nname=strongswan\nservice=org.freedesktop.NetworkManager.strongswan\n");
    // Another VPN's plugin is not ours.
    QFile other(m_withoutPlugin + QStringLiteral("/nm-openvpn-service.name"));
    QVERIFY(other.open(QIODevice::WriteOnly));
    other.write("[VPN Connection]\nname=openvpn\nservice=org.freedesktop.NetworkManager.openvpn\n");
}

std::unique_ptr<AutoVpnBackend> TestBackendChoice::makeAuto(const QString &pluginDirectory,
                                                             const QString &socket)
{
    AutoVpnBackend::Options options;
    options.probeNetworkManager = [pluginDirectory](QObject *context, VpnBackend::Completion done) {
        NetworkManagerVpnBackend::probe({pluginDirectory}, context, std::move(done));
    };
    options.makeNetworkManager = [] { return std::make_unique<StubBackend>(); };
    options.probeVici = AutoVpnBackend::viciSocketProbe(socket);
    options.makeVici = [] { return std::make_unique<StubBackend>(); };
    return std::make_unique<AutoVpnBackend>(options);
}

Outcome<> TestBackendChoice::attach(AutoVpnBackend &backend)
{
    std::optional<Outcome<>> result;
    backend.attachReporting({}, [&](const Outcome<> &outcome) { result = outcome; });
    (void)QTest::qWaitFor([&] { return result.has_value(); }, 5000);
    return result.value_or(Outcome<>::failure(QStringLiteral("no answer")));
}

void TestBackendChoice::autoChooses_data()
{
    QTest::addColumn<bool>("plugin");
    QTest::addColumn<bool>("networkManager");
    QTest::addColumn<bool>("vici");
    QTest::addColumn<QString>("expected");
    QTest::newRow("NetworkManager first") << true << true << true << QStringLiteral("networkmanager");
    QTest::newRow("NetworkManager alone") << true << true << false << QStringLiteral("networkmanager");
    QTest::newRow("plugin missing") << false << true << true << QStringLiteral("vici");
    QTest::newRow("NetworkManager not running") << true << false << true << QStringLiteral("vici");
}

void TestBackendChoice::autoChooses()
{
    QFETCH(bool, plugin);
    QFETCH(bool, networkManager);
    QFETCH(bool, vici);
    QFETCH(QString, expected);

    std::unique_ptr<FakeNetworkManager> nm;
    if (networkManager) {
        nm = std::make_unique<FakeNetworkManager>(m_bus.address());
        QVERIFY(nm->start());
    }
    const QString socket = m_dir.filePath(QStringLiteral("charon.vici"));
    QLocalServer server;
    if (vici) {
        QLocalServer::removeServer(socket);
        QVERIFY(server.listen(socket));
    }
    auto backend = makeAuto(plugin ? m_withPlugin : m_withoutPlugin, socket);
    QCOMPARE(backend->status(), VpnStatus::Invalid);
    QVERIFY(attach(*backend).isSuccess());
    QCOMPARE(backend->choice(), expected);
    QVERIFY(backend->chosen());
    // What is chosen answers from now on.
    QCOMPARE(backend->status(), VpnStatus::Disconnected);
    QVERIFY(backend->startTunnel().isSuccess());
}

void TestBackendChoice::nothingAvailableIsInvalidWithItsReason()
{
    const QString socket = m_dir.filePath(QStringLiteral("nobody.vici"));
    auto backend = makeAuto(m_withPlugin, socket);
    QVERIFY(attach(*backend).isSuccess());
    QCOMPARE(backend->choice(), QString());
    QCOMPARE(backend->status(), VpnStatus::Invalid);
    const QString reason = backend->unavailableReason();
    QVERIFY2(reason.contains(QLatin1String("NetworkManager is not running")), qPrintable(reason));
    QVERIFY2(reason.contains(socket), qPrintable(reason));

    std::optional<Outcome<>> saved;
    backend->apply({}, [&](const Outcome<> &outcome) { saved = outcome; });
    QTRY_VERIFY(saved.has_value());
    QCOMPARE(saved->error(), reason);
    QCOMPARE(backend->startTunnel().error(), reason);
    backend->stopTunnel(); // nothing to stop, and no crash

    // NetworkManager started later is found by the next load.
    FakeNetworkManager nm(m_bus.address());
    QVERIFY(nm.start());
    QVERIFY(attach(*backend).isSuccess());
    QCOMPARE(backend->choice(), QStringLiteral("networkmanager"));
    QVERIFY(backend->unavailableReason().isEmpty());
}

void TestBackendChoice::configurationNamesTheBackend()
{
    Config config = *Config::parse({}, {}, nullptr);
    config.vpnBackend = QStringLiteral("vici");
    Config::setCurrent(config);
    QVERIFY(dynamic_cast<ViciVpnBackend *>(VpnManager::makeConfiguredBackend().get()));
    config.vpnBackend = QStringLiteral("networkmanager");
    Config::setCurrent(config);
    QVERIFY(dynamic_cast<NetworkManagerVpnBackend *>(VpnManager::makeConfiguredBackend().get()));
    config.vpnBackend = QStringLiteral("auto");
    Config::setCurrent(config);
    QVERIFY(dynamic_cast<AutoVpnBackend *>(VpnManager::makeConfiguredBackend().get()));
}

QTEST_GUILESS_MAIN(TestBackendChoice)
#include "tst_nmchoice.moc"
