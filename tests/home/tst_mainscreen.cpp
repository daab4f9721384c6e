// The main screen in an offscreen window against the real dev service and a
// fake tunnel: what each tunnel state shows, the overlay, and the requests
// the switch and the usage chart send.

#include "Capture.h"
#include "DevServiceProcess.h"
#include "FakeVPNBackend.h"

#include "session/DefaultsKeys.h"
#include "api/Utility.h"
#include "api/JsonReader.h"
#include "api/NetworkService.h"
#include "ui/AlertController.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "controls/Button.h"
#include "platform/IdentityStore.h"
#include "platform/SystemInfo.h"
#include "platform/VPNManager.h"
#include "home/MainViewController.h"
#include "usage/UsageChartView.h"
#include "home/MainHandler.h"
#include "vpn/VPNService.h"

#include "TestSession.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScatterSeries>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

Q_DECLARE_METATYPE(Orvex::VPNStatus)

namespace {

const QString commandPath = u"/portableapi/portable.php"_s;
const QString usageApi = u"getdesktopdevicehistoricalusage"_s;

// The alert over a window of the test, if one is shown.
AlertController *shownAlert()
{
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (auto *alert = window->findChild<AlertController *>())
            return alert;
    }
    return nullptr;
}

// Counts the usage answers handlers announce and keeps the last model.
struct UsagePosts : QObject
{
    void follow(MainHandler *handler)
    {
        connect(handler, &MainHandler::didRecieveDeviceUsage, this, [this](const DeviceUsageModel &usage) {
            ++count;
            last = usage;
        });
    }
    int count = 0;
    std::optional<DeviceUsageModel> last;
};

} // namespace

class tst_MainScreen : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void liveStateIsReadAtSetup();
    void presentationFollowsEachStatus_data();
    void presentationFollowsEachStatus();
    void blockedSaysWhyAndOffersTheWayOut_data();
    void blockedSaysWhyAndOffersTheWayOut();
    void switchingOffATunnelThatDropsMeanwhileStartsNothing();
    void silentTunnelEndsTheOverlay();
    void unreadableTunnelConfigurationIsReported();
    void certificateIsFetchedOrRenewedBeforeConnecting_data();
    void certificateIsFetchedOrRenewedBeforeConnecting();

    void usageAnswerFillsLabelsAndChart();
    void usageIsAskedAgainASecondAfterDisconnected();
    void usageAnswerForAGoneHandlerIsDropped();

    void keyboardAloneSwitchesOnAndOff();

private:
    // Shows `screen` (a new one when none is given) as the window's root.
    MainViewController *showScreen(MainViewController *screen = nullptr);
    // Shows the screen over a tunnel that is up when the screen first loads,
    // so that load connects nothing, then lets the tunnel go to `live` and
    // waits until the screen's first requests are answered.
    MainViewController *showScreenOver(VPNStatus live, bool keepIdentity = false);
    // Loads the saved configuration and waits until it has: loads complete
    // in the order they were asked, so every earlier one has completed too.
    bool loadPreferences();
    void waitUntilIdle();

    Config m_config = Config::parse({}, {}).value();
    std::optional<TestSession> m_session; // each case's own
    DevServiceProcess m_devService;
    // What the handlers of this test function announced.
    UsagePosts m_posts;
    QTemporaryDir m_dir;
    std::unique_ptr<WindowController> m_window;
    FakeVPNBackend *m_backend = nullptr;
    VPNManager *m_manager = nullptr;
    VPNService *m_service = nullptr;
    QString m_email;
};

void tst_MainScreen::initTestCase()
{
    QLocale::setDefault(QLocale::c());
    QVERIFY2(m_devService.start({u"--seed-demo"_s, u"--seed-usage"_s, u"--dev-routes"_s}),
             qPrintable(m_devService.errors()));
    m_config.apiBaseURL = m_devService.origin();
    m_config.caCertificates = {m_devService.caCertificate()};
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(u"main-screen-test"_s); });

    // This machine registered among the account's devices.
    m_email = m_devService.demoEmail();
    QVERIFY(!m_email.isEmpty());
    NetworkService network(m_config);
    Capture<Empty> added;
    network.addDevice(Utility::udid(m_email), m_email, added.completion());
    QVERIFY(added.wait() && added.result->isSuccess());
}

void tst_MainScreen::init()
{
    m_posts.count = 0;
    m_posts.last.reset();
    m_devService.clearFaults();
    // Signed in as the sign-in screen leaves it, with no identity kept yet.
    m_session.emplace();
    m_session->context.pace.setSpeedUp(100);
    m_session->config = m_config;
    m_session->session.setCredentials(m_email, m_devService.demoPassword());
    auto backend = std::make_unique<FakeVPNBackend>();
    m_backend = backend.get();
    m_manager = new VPNManager(std::move(backend), m_dir.filePath(u"vpn.json"_s));
    m_service = new VPNService(m_manager, m_session->session, m_session->config);
    m_session->tunnel = m_service;
    m_window = std::make_unique<WindowController>(m_session->context);
}

void tst_MainScreen::cleanup()
{
    m_window.reset();
    // What the test posted, and the deletions it left, run out now.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    waitUntilIdle();
    delete m_service;
    delete m_manager;
    QFile::remove(m_dir.filePath(u"vpn.json"_s));
}

void tst_MainScreen::waitUntilIdle()
{
    QTRY_VERIFY_WITH_TIMEOUT(networkIsIdle(m_session->network), 30000);
}

MainViewController *tst_MainScreen::showScreen(MainViewController *screen)
{
    if (!screen)
        screen = new MainViewController(*m_service, m_session->network, m_session->config,
                                        m_session->context.pace);
    m_posts.follow(screen->handler());
    screen->loadViewIfNeeded();
    m_window->setContentViewController(screen);
    m_window->show();
    if (!QTest::qWaitForWindowExposed(m_window.get()))
        qWarning("window not exposed");
    return screen;
}

MainViewController *tst_MainScreen::showScreenOver(VPNStatus live, bool keepIdentity)
{
    if (keepIdentity && !m_session->keepIdentity())
        return nullptr;
    m_backend->setLiveStatus(VPNStatus::Connected);
    if (!loadPreferences() || m_service->status() != VPNStatus::Connected)
        return nullptr;
    MainViewController *screen = showScreen();
    if (live != VPNStatus::Connected)
        m_backend->setLiveStatus(live);
    return QTest::qWaitFor([this] { return networkIsIdle(m_session->network); }, 30000) ? screen : nullptr;
}

bool tst_MainScreen::loadPreferences()
{
    auto loaded = std::make_shared<std::optional<bool>>();
    m_manager->loadFromPreferences([loaded](const Outcome<> &outcome) { *loaded = outcome.isSuccess(); });
    return QTest::qWaitFor([loaded] { return loaded->has_value(); }) && **loaded;
}

void tst_MainScreen::liveStateIsReadAtSetup()
{
    QVERIFY(m_session->keepIdentity());
    // A fresh start with the tunnel already up (on-demand brought it up
    // before the client ran): the service does not know it yet.
    m_backend->setLiveStatus(VPNStatus::Connected);
    QCOMPARE(m_service->status(), VPNStatus::Invalid);
    auto *screen = new MainViewController(*m_service, m_session->network, m_session->config,
                                          m_session->context.pace);
    QSignalSpy switches(screen->handler(), &MainHandler::tunnelOperationStarted);
    QCOMPARE(showScreen(screen), screen);
    // Read once the saved configuration has loaded.
    QTRY_COMPARE(screen->statusLabel()->text(), u"Turn OFF"_s);
    QCOMPARE(screen->statusImageName(), u"ic_enable"_s);
    QCOMPARE(m_service->status(), VPNStatus::Connected);
    QVERIFY(screen->progressContainer()->isHidden());
    // The first load's connect found it up and left it so: it had decided
    // by the time a load asked after its own has completed.
    waitUntilIdle();
    QVERIFY(loadPreferences());
    QCOMPARE(switches.count(), 0);
    QVERIFY(!m_backend->calls.contains(u"stop"_s));
    QVERIFY(!m_backend->calls.contains(u"start"_s));
}

void tst_MainScreen::presentationFollowsEachStatus_data()
{
    QTest::addColumn<VPNStatus>("status");
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("overlay");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("notice");
    const auto row = [](const char *name, VPNStatus status, bool overlay, const QString &reason = {},
                        const QString &notice = {}) {
        const bool up = status == VPNStatus::Connected;
        QTest::newRow(name) << status << (up ? u"ic_enable"_s : u"ic_disable"_s)
                            << (up ? u"Turn OFF"_s : u"Turn ON"_s) << overlay << reason << notice;
    };
    const QString refused = u"NetworkManager did not allow this user to manage VPN connections."_s;
    const QString none = u"No VPN service is available. NetworkManager is not running. "
                         "charon's control socket (/run/charon.vici) cannot be reached."_s;
    row("connected", VPNStatus::Connected, false);
    row("disconnected", VPNStatus::Disconnected, false);
    row("invalid", VPNStatus::Invalid, false);
    row("connecting", VPNStatus::Connecting, true);
    row("reasserting", VPNStatus::Reasserting, true);
    row("disconnecting", VPNStatus::Disconnecting, true);
    row("no backend usable", VPNStatus::Invalid, false, none, none);
    row("refused by polkit", VPNStatus::Disconnected, false, refused, refused);
    row("a reason while up is not shown", VPNStatus::Connected, false, refused);
}

void tst_MainScreen::presentationFollowsEachStatus()
{
    QFETCH(VPNStatus, status);
    QFETCH(QString, image);
    QFETCH(QString, text);
    QFETCH(bool, overlay);
    QFETCH(QString, reason);
    QFETCH(QString, notice);

    // Connected already: the first load starts nothing.
    MainViewController *screen = showScreenOver(VPNStatus::Connected);
    QVERIFY(screen);
    // Start from the opposite of what is expected.
    m_backend->setLiveStatus(overlay || status != VPNStatus::Connected ? VPNStatus::Connected
                                                                       : VPNStatus::Disconnected);
    if (!overlay)
        screen->showProgress();

    m_backend->setLiveStatus(status);
    QVERIFY(screen->noticeLabel()->isHidden());
    // A reason can come alone, with no change of status (polkit's answer).
    m_backend->setReason(reason);
    QCOMPARE(screen->noticeLabel()->text(), notice);
    QCOMPARE(screen->noticeLabel()->isHidden(), notice.isEmpty());
    QCOMPARE(screen->statusImageName(), image);
    QCOMPARE(screen->statusLabel()->text(), text);
    QCOMPARE(screen->mainButton()->accessibleName(), text);
    QCOMPARE(screen->isProgressDue(), overlay);
    QCOMPARE(screen->progressContainer()->isHidden(), true);
    if (overlay) {
        QTRY_VERIFY(!screen->progressContainer()->isHidden());
        QVERIFY(screen->progressContainer()->canFallThrought());
    }
}

void tst_MainScreen::blockedSaysWhyAndOffersTheWayOut_data()
{
    QTest::addColumn<bool>("portal"); // NetworkManager finds a sign-in page in the way
    QTest::addColumn<bool>("alwaysRequired");
    QTest::addColumn<QString>("connecting"); // the notice while the tunnel is tried
    QTest::addColumn<QString>("blocked");    // ... once it is given up
    QTest::addColumn<QString>("off");        // ... after the notice's Turn OFF

    const QString refused
        = u"The VPN server refused the connection. To keep your traffic private, nothing "
          "leaves this computer outside the VPN until you turn it off. Turn it on to try again."_s;
    const QString portal
        = u"This network asks you to sign in on a web page before it lets you online. Until "
          "you turn the VPN off, nothing leaves this computer outside it, so that page cannot "
          "open. To sign in: Turn OFF, sign in in your browser, then Turn ON."_s;
    const QString portalAlways
        = u"This network asks you to sign in on a web page before it lets you online. "
          "With \"Always require VPN\" on, nothing leaves this computer outside the VPN, "
          "even while it is off, so that page cannot open. To sign in: turn \"Always "
          "require VPN\" off in Settings first, then Turn OFF, sign in in your browser and "
          "Turn ON."_s;
    const QString portalAlwaysOff
        = u"This network asks you to sign in on a web page before it lets you online. "
          "\"Always require VPN\" lets nothing leave this computer outside the VPN, even "
          "while it is off, so that page cannot open. To sign in: turn \"Always require "
          "VPN\" off in Settings, sign in in your browser, then Turn ON."_s;
    QTest::newRow("given up") << false << false << QString() << refused << QString();
    QTest::newRow("given up, always required") << false << true << QString() << refused << QString();
    QTest::newRow("behind a sign-in page") << true << false << portal << portal << QString();
    QTest::newRow("behind a sign-in page, always required")
        << true << true << portalAlways << portalAlways << portalAlwaysOff;
}

// Given up by itself, the client keeps traffic blocked: the screen says why
// and what it means, and its Turn OFF is the way out. A network that asks
// for a sign-in page is told as the cause, with the way to sign in.
void tst_MainScreen::blockedSaysWhyAndOffersTheWayOut()
{
    QFETCH(bool, portal);
    QFETCH(bool, alwaysRequired);
    QFETCH(QString, connecting);
    QFETCH(QString, blocked);
    QFETCH(QString, off);

    FakeConnectivity connectivity;
    connectivity.report(portal ? NetworkConnectivity::State::Portal : NetworkConnectivity::State::Full);
    m_service->setConnectivity(&connectivity);
    UserDefaults &defaults = m_session->session.defaults();
    const auto restore = qScopeGuard([&defaults, this] {
        defaults.remove(Keys::isBlockWhenDisconnectedEnabled);
        m_service->applyAlwaysRequired();
    });
    defaults.setBoolean(Keys::isBlockWhenDisconnectedEnabled, alwaysRequired);
    m_service->applyAlwaysRequired();

    MainViewController *screen = showScreenOver(VPNStatus::Disconnected, true); // no connect on first load
    QVERIFY(screen);
    QVERIFY(screen->liftBlockButton()->isHidden());
    // Off: only "Always require VPN" keeps the page closed, and Turn OFF
    // would not open it.
    QCOMPARE(screen->noticeLabel()->text(), off);

    m_backend->failure = VPNBackend::Failure::Refused;
    m_service->connect();
    QTRY_VERIFY(m_backend->calls.contains(u"start"_s));
    m_backend->setLiveStatus(VPNStatus::Connecting);
    QCOMPARE(m_service->tunnel().state(), TunnelController::State::Connecting);
    QCOMPARE(screen->noticeLabel()->text(), connecting);
    QCOMPARE(screen->noticeLabel()->isHidden(), connecting.isEmpty());
    QCOMPARE(screen->liftBlockButton()->isHidden(), connecting.isEmpty());
    // What to do at a sign-in page is not dimmed by the overlay.
    QCOMPARE(screen->isProgressDue(), connecting.isEmpty());

    m_backend->setLiveStatus(VPNStatus::Disconnected);
    QTRY_COMPARE(m_service->tunnel().state(), TunnelController::State::Blocked);
    QCOMPARE(screen->noticeLabel()->text(), blocked);
    QVERIFY(!screen->noticeLabel()->isHidden());
    QVERIFY(!screen->liftBlockButton()->isHidden());
    QCOMPARE(screen->statusLabel()->text(), u"Turn ON"_s);
    if (portal) {
        // The network signed in by other means: why it gave up is left.
        connectivity.report(NetworkConnectivity::State::Full);
        QVERIFY(screen->noticeLabel()->text().startsWith(u"The VPN server refused the connection."_s));
        connectivity.report(NetworkConnectivity::State::Portal);
        QCOMPARE(screen->noticeLabel()->text(), blocked);
    }

    QTest::mouseClick(screen->liftBlockButton(), Qt::LeftButton);
    QTRY_COMPARE(m_service->tunnel().state(), TunnelController::State::Off);
    QTRY_VERIFY(screen->liftBlockButton()->isHidden());
    QCOMPARE(screen->noticeLabel()->text(), off);
    QCOMPARE(screen->noticeLabel()->isHidden(), off.isEmpty());
}

void tst_MainScreen::switchingOffATunnelThatDropsMeanwhileStartsNothing()
{
    MainViewController *screen = showScreenOver(VPNStatus::Connected, true); // kept: all a start needs
    QVERIFY(screen);
    m_backend->calls.clear();

    // Turn OFF, and the gateway ends the tunnel while the press is handled.
    m_backend->onAttach = [this] {
        m_backend->onAttach = {};
        m_backend->setLiveStatus(VPNStatus::Disconnected);
    };
    // A switch over within the grace never dims the screen, then or later.
    screen->setProgressGrace(60000);
    EventCounter overlayShows(QEvent::Show);
    screen->progressContainer()->installEventFilter(&overlayShows);
    screen->mainButtonAction();
    QTRY_VERIFY(!screen->isProgressDue());
    // Every step of the operation is a queued completion: let them all run.
    for (int turn = 0; turn < 100; ++turn)
        QCoreApplication::processEvents();
    QCOMPARE(overlayShows.count, 0);
    QVERIFY(!m_backend->calls.contains(u"start"_s));
    QCOMPARE(m_service->status(), VPNStatus::Disconnected);
    QCOMPARE(screen->statusLabel()->text(), u"Turn ON"_s);
}

void tst_MainScreen::silentTunnelEndsTheOverlay()
{
    MainViewController *screen = showScreenOver(VPNStatus::Disconnected, true); // no connect on first load
    QVERIFY(screen);
    screen->setNoResponseTimeout(300);

    // The backend takes the start and never reports anything.
    screen->mainButtonAction();
    QTRY_VERIFY(m_backend->calls.contains(u"start"_s));
    QVERIFY(screen->isProgressDue());
    QTRY_VERIFY(!screen->progressContainer()->isHidden());
    QTRY_VERIFY(screen->progressContainer()->isHidden());
    QTRY_VERIFY(shownAlert());
    QVERIFY(shownAlert()->message().startsWith(u"The VPN service did not answer"_s));
    QCOMPARE(screen->statusLabel()->text(), u"Turn ON"_s);

    // A tunnel that does report keeps its overlay for as long as it is busy.
    QTest::mouseClick(shownAlert()->findChild<QPushButton *>(), Qt::LeftButton);
    QTRY_VERIFY(!shownAlert());
    screen->mainButtonAction();
    QTRY_VERIFY(m_backend->calls.count(u"start"_s) == 2);
    QVERIFY(screen->isAwaitingTunnel());
    m_backend->setLiveStatus(VPNStatus::Connecting);
    // The report ended the wait for one: nothing is left to end the overlay.
    QVERIFY(!screen->isAwaitingTunnel());
    QTRY_VERIFY(!screen->progressContainer()->isHidden());
    QVERIFY(!shownAlert());
}

void tst_MainScreen::unreadableTunnelConfigurationIsReported()
{
    MainViewController *screen = showScreenOver(VPNStatus::Disconnected, true); // no connect on first load
    QVERIFY(screen);
    QFile damaged(m_dir.filePath(u"vpn.json"_s));
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write("{ not a configuration");
    damaged.close();
    m_backend->calls.clear();

    // Nothing would ever report back: the screen is told at once.
    screen->mainButtonAction();
    QTRY_VERIFY(shownAlert());
    QVERIFY(screen->progressContainer()->isHidden());
    QVERIFY(m_backend->calls.isEmpty());
}

void tst_MainScreen::certificateIsFetchedOrRenewedBeforeConnecting_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<long>("daysLeft");
    QTest::addColumn<bool>("serviceRefuses");
    QTest::addColumn<bool>("renewed");
    QTest::addColumn<bool>("connects");
    QTest::newRow("none stored: fetched, kept, connected") << false << 0L << false << true << true;
    QTest::newRow("none stored, refused: nothing to connect with") << false << 0L << true << false << false;
    QTest::newRow("three days left: renewed") << true << 3L << false << true << true;
    QTest::newRow("three days left, renewal refused: the old one serves")
        << true << 3L << true << false << true;
    QTest::newRow("ended, renewal refused: nothing to connect with") << true << -1L << true << false << false;
}

void tst_MainScreen::certificateIsFetchedOrRenewedBeforeConnecting()
{
    QFETCH(bool, stored);
    QFETCH(long, daysLeft);
    QFETCH(bool, serviceRefuses);
    QFETCH(bool, renewed);
    QFETCH(bool, connects);
    if (stored)
        QVERIFY(m_session->keepIdentity("ending", daysLeft));
    const std::optional<QByteArray> old = m_session->session.identityReference();
    MainViewController *screen = showScreenOver(VPNStatus::Disconnected); // the press, not the first load
    QVERIFY(screen);
    QVERIFY(m_devService.countRequests(commandPath, u"gen_token"_s));
    QVERIFY(m_devService.countRequests(commandPath, u"getcert"_s));
    if (serviceRefuses) // getcert: unknown device
        SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(u"never-registered"_s); });
    m_backend->calls.clear();
    QSignalSpy renewalFailed(m_service, &VPNService::certificateRenewalFailed);

    QTest::mouseClick(screen->mainButton(), Qt::LeftButton);
    QVERIFY(screen->isProgressDue());
    QTRY_VERIFY_WITH_TIMEOUT(m_backend->calls.contains(u"start"_s) || shownAlert(), 30000);
    // Said by a notification only when the old certificate carries on; a
    // failure with nothing to connect with is the alert on the screen.
    QCOMPARE(renewalFailed.size(), serviceRefuses && connects ? 1 : 0);
    waitUntilIdle();
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(u"main-screen-test"_s); });
    // The requests as ever: one token, then one certificate.
    QCOMPARE(m_devService.requestCount(commandPath, u"gen_token"_s), 1);
    QCOMPARE(m_devService.requestCount(commandPath, u"getcert"_s), 1);
    QCOMPARE(m_backend->calls.contains(u"start"_s), connects);
    QCOMPARE(shownAlert() != nullptr, !connects);
    if (!connects) // the service's refusal, and the overlay gone with it
        QCOMPARE(shownAlert()->message(), u"Device does not exists"_s);
    // Still covered until the tunnel reports.
    QCOMPARE(screen->isProgressDue(), connects);

    const std::optional<QByteArray> current = m_session->session.identityReference();
    QCOMPARE(current != old, renewed);
    // Exactly one identity in the store, the one the tunnel was given.
    QCOMPARE(m_session->identities.references(), current ? QList<QByteArray>{*current} : QList<QByteArray>{});
    if (connects) {
        QCOMPARE(m_backend->applied.last().protocolConfiguration->identityReference, *current);
        m_backend->setLiveStatus(VPNStatus::Connected);
        QVERIFY(!screen->isProgressDue());
    }
}

void tst_MainScreen::usageAnswerFillsLabelsAndChart()
{
    MainViewController *screen = showScreenOver(VPNStatus::Connected);
    QVERIFY(screen);
    QTRY_COMPARE_WITH_TIMEOUT(m_posts.count, 1, 30000);
    QVERIFY(m_posts.last);
    // The seeded month: traffic on most days so far.
    QVERIFY(m_posts.last->device_usage.info.MonthlyUsage.numericValue() > 0);
    // The drawn chart from its module, not the blank stand-in.
    auto *chart = qobject_cast<UsageChartView *>(screen->lineChartView()->widget());
    QVERIFY(chart);
    QCOMPARE(chart->series()->points().size(), QDate::currentDate().daysInMonth());
    QCOMPARE(chart->descriptionText(),
             QLocale().standaloneMonthName(QDate::currentDate().month(), QLocale::ShortFormat));

    // Ten days padded to a 31-day month: 15 labels asked for, whole days at
    // an even step and no more than that drawn.
    QByteArray ten = R"({"device_usage": {"info": {"Day": 10, "Month": 12, "Year": 2026, "Timezone": "0",
                         "MonthlyUsage": "7340032", "device": "x"}, "summary": [)";
    for (int day = 1; day <= 10; ++day)
        ten += QByteArray(day > 1 ? "," : "") + R"({"date": "2026-12-)"
               + QByteArray::number(day).rightJustified(2, '0') + R"(", "usage": )"
               + QByteArray::number(day * 1048576) + R"(, "average": 0})";
    ten += "]}}";
    const auto decoded = DeviceUsageModel::decode(JsonReader::parseObject(ten));
    QVERIFY(decoded);
    DeviceUsageModel padded = *decoded;
    Q_EMIT screen->handler()->didRecieveDeviceUsage(padded);
    // Day n carried n MiB; the rest of the month is zero.
    const int points = QDate::currentDate().daysInMonth();
    QCOMPARE(chart->points().size(), points);
    QCOMPARE(chart->series()->points().at(9), QPointF(10, 10));
    QCOMPARE(chart->xAxisLabelCount(), points / 2);
    const QList<qreal> labels = chart->xAxisLabelValues();
    QVERIFY(labels.size() <= chart->xAxisLabelCount());
    QVERIFY(labels.size() >= chart->xAxisLabelCount() / 2);
    QCOMPARE(labels.first(), 1.0);
    for (qreal x : labels)
        QCOMPARE(x, std::round(x));
    QCOMPARE(screen->thisMonthLabel()->text(), u"7.3 MB"_s);
    QCOMPARE(screen->hourlyAverageLabel()->text(), QString()); // no "traffic"
    // The left axis reaches the highest day (10 MiB) in labels of one decimal at most.
    const QStringList yLabels = chart->yAxisLabels();
    QCOMPARE(yLabels.first(), u"0 MB"_s);
    QVERIFY(yLabels.last().endsWith(u" MB"_s));
    QVERIFY(yLabels.last().chopped(3).toDouble() >= 10);
    static const QRegularExpression oneDecimal(u"^\\d+(\\.\\d)? MB$"_s);
    for (const QString &label : yLabels)
        QVERIFY2(oneDecimal.match(label).hasMatch(), qPrintable(label));

    // A quiet month: tenths of a megabyte, still labelled with one decimal.
    DeviceUsageModel quiet = padded;
    for (DaylySummary &day : *quiet.device_usage.summary)
        day.usage = MetadataType::fromInt(300 * 1024);
    Q_EMIT screen->handler()->didRecieveDeviceUsage(quiet);
    QCOMPARE(chart->yAxisLabels(), (QStringList{u"0 MB"_s, u"0.1 MB"_s, u"0.2 MB"_s, u"0.3 MB"_s}));
}

void tst_MainScreen::usageIsAskedAgainASecondAfterDisconnected()
{
    MainViewController *screen = showScreenOver(VPNStatus::Connected);
    QVERIFY(screen);
    QTRY_COMPARE_WITH_TIMEOUT(m_posts.count, 1, 30000);
    waitUntilIdle();
    QVERIFY(m_devService.countRequests(commandPath, usageApi));

    m_backend->setLiveStatus(VPNStatus::Disconnected);
    // Not at once: the service is given a moment to count the last traffic.
    QVERIFY(networkIsIdle(m_session->network));
    QVERIFY(screen->isUsageRefreshDue());
    QTRY_COMPARE_WITH_TIMEOUT(m_posts.count, 2, 30000);
    // Asked once: nothing more is due or on its way.
    QVERIFY(!screen->isUsageRefreshDue());
    waitUntilIdle();
    QCOMPARE(m_devService.requestCount(commandPath, usageApi), 1);

    // A failed request keeps what is shown, and says nothing.
    const QString shown = screen->thisMonthLabel()->text();
    const QList<QPointF> points = screen->lineChartView()->points();
    QVERIFY(m_devService.failRequests(commandPath, usageApi));
    screen->handler()->getDeviceUsage();
    waitUntilIdle();
    QCOMPARE(m_devService.requestCount(commandPath, usageApi), 1);
    QCOMPARE(m_posts.count, 2);
    QCOMPARE(screen->thisMonthLabel()->text(), shown);
    QCOMPARE(screen->lineChartView()->points(), points);
    QVERIFY(!shownAlert());
}

void tst_MainScreen::usageAnswerForAGoneHandlerIsDropped()
{
    QVERIFY(m_devService.countRequests(commandPath, usageApi, 500));
    auto *handler = new MainHandler(*m_service, m_session->network);
    m_posts.follow(handler);
    handler->getDeviceUsage();
    delete handler; // before the held-back answer

    waitUntilIdle();
    QCOMPARE(m_devService.requestCount(commandPath, usageApi), 1);
    QCOMPARE(m_posts.count, 0);

    // A live handler's answer is posted, for the day the clock says.
    MainHandler live(*m_service, m_session->network);
    live.setClock([] { return QDateTime(QDate(2026, 11, 30), QTime(12, 0)); });
    m_posts.follow(&live);
    live.getDeviceUsage();
    QTRY_COMPARE_WITH_TIMEOUT(m_posts.count, 1, 30000);
    QCOMPARE(m_posts.last->device_usage.info.Month.numericValue(), 11.0);
    QCOMPARE(m_posts.last->device_usage.summary->size(), 30);
}

// Only Tab and Space, delivered to the window as the platform delivers keys
// (through the window system queue, focus handling and shortcuts included).
// The focus stays on something a person sees: on the switch, or on the
// overlay while it covers the screen, never on the switch beneath it.
void tst_MainScreen::keyboardAloneSwitchesOnAndOff()
{
    MainViewController *screen = showScreenOver(VPNStatus::Disconnected, true); // no connect on first load
    QVERIFY(screen);
    QTRY_COMPARE(m_service->status(), VPNStatus::Disconnected);
    // The month's usage, and again once the tunnel has gone down.
    QTRY_COMPARE_WITH_TIMEOUT(m_posts.count, 2, 30000);
    waitUntilIdle();
    QWindow *window = m_window->windowHandle();
    m_window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    m_backend->calls.clear();
    // With a stored certificate neither switching on nor off sends a request.
    QVERIFY(m_devService.countRequests(commandPath));

    const auto focusSeen = [screen] {
        QWidget *focus = QApplication::focusWidget();
        if (!focus || !focus->isVisible())
            return false;
        QWidget *overlay = screen->progressContainer();
        return overlay->isHidden() ? true : (focus == overlay || overlay->isAncestorOf(focus));
    };
    // Tab from wherever the focus starts until it is on the switch; every
    // stop on the way is visible.
    for (int presses = 0; QApplication::focusWidget() != screen->mainButton(); ++presses) {
        QVERIFY2(presses < 12, "Tab never reaches the switch");
        QTest::keyClick(window, Qt::Key_Tab);
        QVERIFY(focusSeen());
    }
    // Its focus is drawn: the switch looks different without it.
    const QImage focused = screen->mainButton()->grab().toImage();
    QTest::keyClick(window, Qt::Key_Tab, Qt::ShiftModifier);
    QVERIFY(focusSeen());
    QVERIFY(QApplication::focusWidget() != screen->mainButton());
    QVERIFY(screen->mainButton()->grab().toImage() != focused);
    QTest::keyClick(window, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), screen->mainButton());

    // A second press before the overlay is up starts nothing either.
    QTest::keyClick(window, Qt::Key_Space);
    QTest::keyClick(window, Qt::Key_Space);
    QTRY_VERIFY(m_backend->calls.contains(u"start"_s));
    QTRY_VERIFY(screen->progressContainer()->isVisible());
    QCOMPARE(m_backend->applied.last().protocolConfiguration->identityReference,
             *m_session->session.identityReference());
    QVERIFY(focusSeen());
    // Keys on the covered screen do nothing: no second switch.
    for (const Qt::Key key : {Qt::Key_Tab, Qt::Key_Space, Qt::Key_Return})
        QTest::keyClick(window, key);
    QTest::keyClick(window, Qt::Key_Tab, Qt::ShiftModifier);
    QVERIFY(focusSeen());
    QCOMPARE(m_backend->calls.count(u"start"_s), 1);

    m_backend->setLiveStatus(VPNStatus::Connecting);
    m_backend->setLiveStatus(VPNStatus::Connected);
    QTRY_COMPARE(screen->statusLabel()->text(), u"Turn OFF"_s);
    QTRY_VERIFY(screen->progressContainer()->isHidden());
    // Back on the switch, which now turns the tunnel off.
    QCOMPARE(QApplication::focusWidget(), screen->mainButton());
    QTest::keyClick(window, Qt::Key_Space);
    QTRY_VERIFY(m_backend->calls.contains(u"stop"_s));
    QVERIFY(focusSeen());
    m_backend->setLiveStatus(VPNStatus::Disconnected);
    QTRY_COMPARE(screen->statusLabel()->text(), u"Turn ON"_s);
    QTRY_VERIFY(screen->progressContainer()->isHidden());
    QCOMPARE(QApplication::focusWidget(), screen->mainButton());
    QCOMPARE(m_backend->calls.count(u"start"_s), 1);
    waitUntilIdle();
    QCOMPARE(m_devService.requestCount(commandPath), 0);
}

QTEST_MAIN(tst_MainScreen)
#include "tst_mainscreen.moc"
