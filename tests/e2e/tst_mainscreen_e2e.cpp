// From a signed-in account to a running tunnel through the main screen, with
// everything real: the dev service over loopback HTTPS issues the
// certificate, and a strongSwan gateway in a network namespace (trusting the
// service's CA) answers the client's charon. Needs root; skips without it.

#include "DevServiceProcess.h"
#include "GatewayFixture.h"

#include "account/DefaultsKeys.h"
#include "account/Session.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "ui/AppStoryboard.h"
#include "ui/Navigator.h"
#include "account/StartViewController.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "controls/Button.h"
#include "platform/IdentityStore.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VpnManager.h"
#include "usage/MainViewController.h"
#include "usage/UsageChartView.h"
#include "vpn/VPNService.h"
#include "TestSession.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTest>

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

namespace {

constexpr int tunnelTimeoutMs = 30000;

} // namespace

class tst_MainScreenEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void signInThenSwitchTheTunnel();

private:
    TestSession m_session;
    MainViewController *mainScreen() const;

    DevServiceProcess m_devService;
    std::unique_ptr<GatewayFixture> m_gateway;
    std::unique_ptr<WindowController> m_window;
};

void tst_MainScreenEndToEnd::initTestCase()
{
    if (!GatewayFixture::isRoot())
        QSKIP("needs root: the gateway runs in network namespaces");
    QVERIFY2(m_devService.start({QStringLiteral("--seed-demo"), QStringLiteral("--seed-usage")}),
             qPrintable(m_devService.errors()));

    // The gateway trusts the certificates the service issues: it is given the
    // service's CA as its own.
    m_gateway = std::make_unique<GatewayFixture>();
    QString error;
    QVERIFY2(m_gateway->upTrusting(m_devService.dataDir(), &error), qPrintable(error));

    Config config = *Config::parse({}, {}, nullptr);
    config.apiBaseURL = m_devService.origin();
    config.caCertificates = {m_devService.caCertificate()};
    config.vpnGatewayHost = m_gateway->host();
    // The gateway's client side is charon over VICI, whatever the desktop has.
    config.vpnBackend = QStringLiteral("vici");
    config.viciSocket = m_gateway->clientVici();
    Config::setCurrent(config);
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(QStringLiteral("main-e2e")); });
    // Nothing left from an earlier run: no session, no certificate of
    // another run's CA, no saved tunnel.
    QFile::remove(UserDefaults::standardFilePath());
    QFile::remove(VpnManager::defaultStoragePath());
    // The identity lives in the key store: one of an earlier run's CA would
    // be used as it is and refused by this run's gateway.
    QFile::remove(Session::standardAccountFile());
    QFile::remove(Session::standardFallbackFile());
    QDir(IdentityStore::standardDirectory()).removeRecursively();
}

void tst_MainScreenEndToEnd::cleanupTestCase()
{
    if (m_window && VPNService::shared(m_session.session).status() == VpnStatus::Connected) {
        VPNService::shared(m_session.session).disconnect();
        QTRY_COMPARE_WITH_TIMEOUT(VPNService::shared(m_session.session).status(), VpnStatus::Disconnected,
                                  tunnelTimeoutMs);
    }
    m_window.reset();
    m_gateway.reset();
    m_devService.stop();
}

void tst_MainScreenEndToEnd::cleanup()
{
    if (m_gateway && QTest::currentTestFailed())
        qWarning().noquote() << m_gateway->logs();
}

MainViewController *tst_MainScreenEndToEnd::mainScreen() const
{
    return qobject_cast<MainViewController *>(m_window->contentViewController());
}

void tst_MainScreenEndToEnd::signInThenSwitchTheTunnel()
{
    // Sign in as the sign-in screen does: the account is checked, e-mail and
    // password stored, this machine registered.
    const QString email = m_devService.demoEmail();
    const QString password = m_devService.demoPassword();
    std::optional<Result<UserResponse>> user;
    NetworkService::shared().getUser(email, password, [&](const Result<UserResponse> &r) { user = r; });
    QTRY_VERIFY_WITH_TIMEOUT(user.has_value(), tunnelTimeoutMs);
    QVERIFY(user->isSuccess());
    m_session.session.setCredentials(email, password);
    std::optional<bool> added;
    NetworkService::shared().addDevice(Utility::udid(email), email,
                                       [&](const Result<Empty> &r) { added = r.isSuccess(); });
    QTRY_VERIFY_WITH_TIMEOUT(added.has_value(), tunnelTimeoutMs);
    QVERIFY(*added);

    // From the start screen, as the sign-in screen leaves the window.
    m_window = std::make_unique<WindowController>();
    m_window->setContentViewController(instantiate<StartViewController>(AppStoryboard::Auth));
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    Navigator::showMain();
    QTRY_VERIFY_WITH_TIMEOUT(mainScreen(), 10000);
    MainViewController *screen = mainScreen();

    // The first load fetched the certificate and brought the tunnel up.
    QTRY_COMPARE_WITH_TIMEOUT(screen->statusLabel()->text(), QStringLiteral("Turn OFF"), tunnelTimeoutMs);
    QVERIFY(m_session.session.identityReference());
    QCOMPARE(VPNService::shared(m_session.session).status(), VpnStatus::Connected);
    QVERIFY(m_gateway->pingInnerAddress());
    // The month's usage arrived from the service.
    QTRY_VERIFY_WITH_TIMEOUT(!screen->lineChartView()->points().isEmpty(), tunnelTimeoutMs);

    // Turn OFF.
    QTest::mouseClick(screen->mainButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(screen->statusLabel()->text(), QStringLiteral("Turn ON"), tunnelTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(screen->progressContainer()->isHidden(), tunnelTimeoutMs);
    QCOMPARE(screen->statusImageName(), QStringLiteral("ic_disable"));
    QVERIFY(!m_gateway->pingInnerAddress());

    // Turn ON: the stored certificate is used, the tunnel really carries packets.
    QTest::mouseClick(screen->mainButton(), Qt::LeftButton);
    QVERIFY(!screen->progressContainer()->isHidden());
    QTRY_COMPARE_WITH_TIMEOUT(screen->statusLabel()->text(), QStringLiteral("Turn OFF"), tunnelTimeoutMs);
    QVERIFY(screen->progressContainer()->isHidden());
    QCOMPARE(screen->statusImageName(), QStringLiteral("ic_enable"));
    QVERIFY(m_gateway->pingInnerAddress());

    // Turn OFF again.
    QTest::mouseClick(screen->mainButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(screen->statusLabel()->text(), QStringLiteral("Turn ON"), tunnelTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(VPNService::shared(m_session.session).status(), VpnStatus::Disconnected, tunnelTimeoutMs);
    QVERIFY(!m_gateway->pingInnerAddress());
}

QTEST_MAIN(tst_MainScreenEndToEnd)
#include "tst_mainscreen_e2e.moc"
