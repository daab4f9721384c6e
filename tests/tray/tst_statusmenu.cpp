// The tray menu, the application menu and the settings window as AppWiring
// wires them, on a fake tunnel backend and the real orvex-devservice.

#include "Capture.h"
#include "DevServiceProcess.h"
#include "FakeVPNBackend.h"

#include "ui/AppStoryboard.h"
#include "ui/Images.h"
#include "session/DefaultsKeys.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "app/AppDelegate.h"
#include "app/AppWiring.h"
#include "settings/InfoViewController.h"
#include "tray/Menu.h"
#include "tray/MenuItem.h"
#include "app/QuitSequence.h"
#include "settings/SettingsViewController.h"
#include "tray/StatusMenuController.h"
#include "tray/StatusMenuHandler.h"
#include "ui/Navigator.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "controls/Button.h"
#include "controls/ImageView.h"
#include "platform/IdentityStore.h"
#include "platform/LoginItem.h"
#include "platform/Pace.h"
#include "platform/SessionBus.h"
#include "platform/TerminationSignals.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"
#include "vpn/VPNService.h"

#include "TestSession.h"

#include <QDialog>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace Qt::StringLiterals;

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;
using Auth = VPNProtocolIKEv2::AuthenticationMethod;

Q_DECLARE_METATYPE(Orvex::VPNStatus)

namespace {

QStringList titles(const QMenu *menu)
{
    QStringList list;
    for (const QAction *action : menu->actions())
        list << action->text();
    return list;
}

MenuItem *entry(const QMenu *menu, int index)
{
    return qobject_cast<MenuItem *>(menu->actions().value(index));
}

} // namespace

class tst_StatusMenu : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void menuAndIconFollowEachStatus();
    void middleEntryFetchesACertificateOnceAndTogglesTheTunnel();
    void quitFromAMenu_data();
    void quitFromAMenu();
    void endingTheClient_data();
    void endingTheClient();
    void theEventLoopEndingRunsTheQuitPathFirst();
    void applicationMenuOpensItsWindows();

    void checkboxesFlipValueAndPictureTogether_data();
    void checkboxesFlipValueAndPictureTogether();
    void signOut();

private:
    bool setLiveStatus(VPNStatus status)
    {
        m_backend->setLiveStatus(status);
        return m_service->status() == status;
    }

    // The settings as a first launch leaves them: both boxes ticked, the
    // autostart entry written.
    void firstLaunch()
    {
        AppDelegate::writeFirstLaunchDefaults(m_session->defaults);
        QVERIFY(LoginItem::setEnabled(SessionBus::launcherAppId, true));
    }

    SettingsViewController *openSettings()
    {
        auto *settings = new SettingsViewController(*m_service, m_session->config);
        settings->setTitle(u"Settings"_s);
        Navigator::presentModal(&m_app->window(), settings);
        if (!settings->isPresentedAsModalWindow() || !QTest::qWaitForWindowExposed(settings->modalWindow()))
            return nullptr;
        return settings;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_devService;
    FakeVPNBackend *m_backend = nullptr;
    std::unique_ptr<VPNManager> m_manager;
    Config m_config = Config::parse({}, {}).value();
    std::optional<TestSession> m_session; // each case's own: signed out, nothing saved
    std::unique_ptr<VPNService> m_service;
    std::unique_ptr<AppWiring> m_app;
    int m_exits = 0;
    QStringList m_titlesAtStart;
};

void tst_StatusMenu::initTestCase()
{
    QVERIFY(m_dir.isValid());

    m_devService = std::make_unique<DevServiceProcess>(m_dir.filePath(u"devservice"_s));
    QVERIFY2(m_devService->start({u"--seed-demo"_s}), "orvex-devservice did not start");
    m_config.apiBaseURL = m_devService->origin();
    m_config.caCertificates = {m_devService->caCertificate()};
    SystemInfo::setMachineIdSourceForTesting(
        [] { return std::optional<QString>(u"7d0c3f4e2b1a49c8a6e5d4c3b2a10987"_s); });

    // The machine is one of the demo account's devices, as sign-in leaves it.
    NetworkService network(m_config);
    Capture<Empty> added;
    network.addDevice(Utility::udid(m_devService->demoEmail()), m_devService->demoEmail(), added.completion());
    QVERIFY(added.wait() && added.result->isSuccess());
}

void tst_StatusMenu::init()
{
    m_session.emplace();
    m_session->config = m_config;
    QFile::remove(LoginItem::entryPath(SessionBus::launcherAppId));
    m_exits = 0;
    auto backend = std::make_unique<FakeVPNBackend>();
    m_backend = backend.get();
    m_manager = std::make_unique<VPNManager>(std::move(backend), m_session->files.tunnelConfiguration);
    m_service = std::make_unique<VPNService>(m_manager.get(), m_session->session, m_session->config);
    Pace fast;
    fast.setSpeedUp(100);
    m_app = std::make_unique<AppWiring>(qApp, m_session->config, &m_session->session,
                                        AppWiring::Tunnel{m_service.get()}, fast);
    m_app->quit().exitApplication = [this] { ++m_exits; };
    // As the menu stands before the event loop has delivered any reading.
    m_titlesAtStart = titles(m_app->statusMenu().menu());
    m_app->window().setContentViewController(
        instantiate<InfoViewController>(m_app->context(), AppStoryboard::Settings));
    m_app->window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&m_app->window()));
    // The handlers' first load: the tunnel's state is known from then on.
    QTRY_VERIFY(m_manager->hasLoaded());
}

void tst_StatusMenu::cleanup()
{
    QTRY_VERIFY_WITH_TIMEOUT(networkIsIdle(m_app->network()), 60000);
    m_app.reset();
    m_service.reset();
    m_manager.reset();
}

void tst_StatusMenu::menuAndIconFollowEachStatus()
{
    // Nothing delivered yet: the handler starts out "connected".
    QMenu *menu = m_app->statusMenu().menu();
    QCOMPARE(m_titlesAtStart, (QStringList{u"Show"_s, u"Disconnect"_s, u"Quit"_s}));
    QCOMPARE(m_app->statusMenu().imageName(), u"app_status_icon_off"_s);
    // The first reading (the tunnel is not up) rebuilds it.
    QTRY_COMPARE(titles(menu).value(1), u"Connect"_s);

    // Every state is entered from the connected one, so each sees a change.
    const QString on = u"app_status_icon"_s;
    const QString off = u"app_status_icon_off"_s;
    for (const auto &[status, middle, image] : {std::tuple{VPNStatus::Connected, u"Disconnect"_s, on},
                                                {VPNStatus::Connecting, u"Connect"_s, off},
                                                {VPNStatus::Connected, u"Disconnect"_s, on},
                                                {VPNStatus::Disconnected, u"Connect"_s, off}}) {
        setLiveStatus(status);
        QCOMPARE(titles(menu), (QStringList{u"Show"_s, middle, u"Quit"_s}));
        QCOMPARE(m_app->statusMenu().imageName(), image);
        QCOMPARE(m_app->statusMenu().statusItem()->icon().cacheKey(), Images::named(image).cacheKey());
    }

    // Show brings the window back.
    m_app->window().hide();
    entry(menu, 0)->trigger();
    QVERIFY(m_app->window().isVisible());

    // Whoever hears of a change before a handler does reads the new state
    // from it, not what the handler was last told.
    StatusMenuHandler *late = nullptr;
    QList<bool> readings;
    QObject listener;
    connect(m_manager->connection(), &VPNConnection::statusDidChange, &listener, [&] {
        if (late)
            readings << late->status();
    });
    StatusMenuHandler handler(*m_service, m_session->network);
    late = &handler;
    QTRY_VERIFY(!handler.status()); // its first news: down
    readings.clear();
    setLiveStatus(VPNStatus::Connected);
    QCOMPARE(readings, QList<bool>{true});
}

void tst_StatusMenu::middleEntryFetchesACertificateOnceAndTogglesTheTunnel()
{
    // Signed out it does nothing: no certificate request, nothing reaches
    // the tunnel.
    QMenu *menu = m_app->statusMenu().menu();
    QVERIFY(setLiveStatus(VPNStatus::Disconnected));
    QCOMPARE(titles(menu).value(1), u"Connect"_s);
    const QStringList before = m_backend->calls;
    entry(menu, 1)->trigger();
    // Either would show at once: a request is under way from when it is
    // sent, a load reaches the backend when it is asked.
    QCoreApplication::processEvents();
    QVERIFY(networkIsIdle(m_app->network()));
    QCOMPARE(m_backend->calls, before);
    QVERIFY(m_session->identities.references().isEmpty());

    // Signed in without a certificate: it fetches one, then connects with it.
    m_session->session.setCredentials(m_devService->demoEmail(), m_devService->demoPassword());
    const int startsBefore = m_backend->calls.count(u"start"_s);
    entry(menu, 1)->trigger();
    QVERIFY(!networkIsIdle(m_app->network())); // the token request is under way
    QTRY_VERIFY_WITH_TIMEOUT(m_session->session.identityReference().has_value(), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(m_backend->calls.count(u"start"_s), startsBefore + 1, 30000);
    const VPNPreferences saved = m_manager->savedPreferences();
    QVERIFY(saved.protocolConfiguration);
    QCOMPARE(saved.protocolConfiguration->authenticationMethod, Auth::Certificate);
    QVERIFY(!saved.protocolConfiguration->identityReference.isEmpty());

    QTRY_VERIFY_WITH_TIMEOUT(networkIsIdle(m_app->network()), 60000);
    entry(menu, 1)->trigger();
    QVERIFY(networkIsIdle(m_app->network())); // a stored certificate is not fetched again
    QTRY_COMPARE(m_backend->calls.count(u"start"_s), startsBefore + 2);
    QVERIFY(!m_backend->calls.contains(u"stop"_s));

    QVERIFY(setLiveStatus(VPNStatus::Connected));
    QCOMPARE(titles(menu).value(1), u"Disconnect"_s);
    entry(menu, 1)->trigger();
    QTRY_VERIFY(m_backend->calls.contains(u"stop"_s));
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled);
}

void tst_StatusMenu::quitFromAMenu_data()
{
    QTest::addColumn<bool>("fromTray");
    QTest::addColumn<bool>("tunnelAnswers");
    QTest::newRow("tray, the tunnel goes down") << true << true;
    // The daemon never says the tunnel went: the grace ends the wait.
    QTest::newRow("tray, the tunnel says nothing") << true << false;
    QTest::newRow("application menu") << false << true;
}

void tst_StatusMenu::quitFromAMenu()
{
    QFETCH(bool, fromTray);
    QFETCH(bool, tunnelAnswers);
    QVERIFY(setLiveStatus(VPNStatus::Connected));
    QAction *quit = fromTray ? entry(m_app->statusMenu().menu(), 2) : m_app->menu().quitAction();
    QCOMPARE(quit->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->trigger();
    QCOMPARE(m_exits, 0);
    QTRY_VERIFY(m_backend->calls.contains(u"stop"_s));
    // The stop is on its way; the process waits for the tunnel to go.
    QCOMPARE(m_exits, 0);
    const VPNPreferences saved = m_manager->savedPreferences();
    QCOMPARE(saved.protocolConfiguration->authenticationMethod, Auth::SharedSecret);
    QVERIFY(!saved.onDemandEnabled);
    QVERIFY(QFile::exists(m_manager->storagePath()));
    QVERIFY(!m_app->window().isVisible());
    if (!tunnelAnswers) {
        QTRY_COMPARE_WITH_TIMEOUT(m_exits, 1, StatusMenuHandler::stopGraceMs * 3);
        return;
    }
    m_backend->setLiveStatus(VPNStatus::Disconnecting);
    QCOMPARE(m_exits, 0);
    m_backend->setLiveStatus(VPNStatus::Disconnected);
    QCOMPARE(m_exits, 1);
    // Later changes do not end it a second time: the sequence has finished,
    // and it finishes once.
    m_backend->setLiveStatus(VPNStatus::Invalid);
    QCoreApplication::processEvents();
    QCOMPARE(m_exits, 1);
    QVERIFY(m_app->quit().hasFinished());
}

// Closing the window without a tray, a termination signal and the end of the
// session must end the process whatever happens, and not with the tunnel up.
void tst_StatusMenu::endingTheClient_data()
{
    QTest::addColumn<bool>("bySignal"); // SIGTERM, else the window closed where no tray brings it back
    QTest::addColumn<VPNStatus>("live");
    QTest::addColumn<bool>("saveFails");
    QTest::addColumn<bool>("tunnelAnswers");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<bool>("sharedSecretSaved");
    QTest::addColumn<bool>("leftNothingBehind");
    const QStringList all = u"attach apply stop"_s.split(u' ');
    QTest::newRow("tunnel up") << false << VPNStatus::Connected << false << true << all << true << true;
    QTest::newRow("tunnel down") << false << VPNStatus::Disconnected << false << true << all << true << true;
    // The daemon refused it: the tunnel is stopped all the same.
    QTest::newRow("refused") << false << VPNStatus::Connected << true << true << all << true << true;
    // The daemon never says the tunnel went: the bound ends the wait, and
    // the next start is to look for what is left.
    QTest::newRow("no answer") << false << VPNStatus::Connected << false << false << all << true << false;
    QTest::newRow("nothing known") << false << VPNStatus::Invalid << false << true << QStringList{} << false
                                   << true;
    QTest::newRow("SIGTERM, tunnel up")
        << true << VPNStatus::Connected << false << true << all << true << true;
}

void tst_StatusMenu::endingTheClient()
{
    QFETCH(bool, bySignal);
    QFETCH(VPNStatus, live);
    QFETCH(bool, saveFails);
    QFETCH(bool, tunnelAnswers);
    QFETCH(QStringList, calls);
    QFETCH(bool, sharedSecretSaved);
    QFETCH(bool, leftNothingBehind);
    if (live != VPNStatus::Invalid)
        QVERIFY(setLiveStatus(live));
    m_backend->calls.clear();
    if (saveFails)
        m_backend->applyError = u"refused"_s;
    m_backend->goesDownOnStop = tunnelAnswers;

    QuitSequence &quit = m_app->quit();
    QVERIFY(m_app->termination().isInstalled());
    QSignalSpy received(&m_app->termination(), &TerminationSignals::terminationRequested);
    if (bySignal) {
        QCOMPARE(::raise(SIGTERM), 0);
        QVERIFY(received.wait(10000));
        QCOMPARE(received.constFirst(), (QVariantList{SIGTERM, 1}));
    } else {
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        m_app->window().close();
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_exits, 1, QuitSequence::boundMs * 3);
    QCOMPARE(m_backend->calls, calls);
    const auto &saved = m_manager->savedPreferences().protocolConfiguration;
    QCOMPARE(saved && saved->authenticationMethod == Auth::SharedSecret, sharedSecretSaved);
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled);
    QCOMPARE(quit.leftNothingBehind(), leftNothingBehind);
    // Asked again (Ctrl+C after it is counted as the second request, the
    // window once more): once is enough.
    if (bySignal) {
        QCOMPARE(::raise(SIGINT), 0);
        QVERIFY(received.wait(10000));
        QCOMPARE(received.constLast(), (QVariantList{SIGINT, 2}));
    } else {
        quit.end();
    }
    QCoreApplication::processEvents();
    QCOMPARE(m_exits, 1);
    QVERIFY(quit.hasFinished());
}

// Qt ends the event loop by itself when the session manager says the session
// is over; the quit path then runs before the loop is left for good.
void tst_StatusMenu::theEventLoopEndingRunsTheQuitPathFirst()
{
    QVERIFY(setLiveStatus(VPNStatus::Connected));
    m_backend->goesDownOnStop = true;
    QuitSequence &quit = m_app->quit();
    quit.exitApplication = [] { QCoreApplication::quit(); };
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(quit.hasFinished());
    QVERIFY(quit.leftNothingBehind());
    QCOMPARE(m_backend->status(), VPNStatus::Disconnected);
    QCOMPARE(m_manager->savedPreferences().protocolConfiguration->authenticationMethod, Auth::SharedSecret);
}

void tst_StatusMenu::applicationMenuOpensItsWindows()
{
    Menu &menu = m_app->menu();
    ViewController *root = m_app->window().contentViewController();
    menu.settingsAction()->trigger();
    menu.supportAction()->trigger();
    menu.settingsAction()->trigger(); // one window per kind
    QStringList shown;
    for (ViewController *screen : root->presentedViewControllers()) {
        QVERIFY(screen->isPresentedAsModalWindow());
        QVERIFY(QTest::qWaitForWindowExposed(screen->modalWindow()));
        shown << screen->identifier() + u':' + screen->modalWindow()->windowTitle();
        QVERIFY(screen->modalWindow()->width() >= screen->minimumSizeHint().width());
        QVERIFY(screen->modalWindow()->height() >= screen->minimumSizeHint().height());
    }
    QCOMPARE(shown, (QStringList{u"SettingsViewController:Settings"_s, u"SupportViewController:Support"_s}));
}

void tst_StatusMenu::checkboxesFlipValueAndPictureTogether_data()
{
    QTest::addColumn<bool>("autoStart");
    QTest::newRow("connect automatically") << false;
    QTest::newRow("start at login") << true;
}

void tst_StatusMenu::checkboxesFlipValueAndPictureTogether()
{
    QFETCH(bool, autoStart);
    firstLaunch();
    SettingsViewController *settings = openSettings();
    QVERIFY(settings);
    // Signed out: no account shown, nothing to sign out of.
    QCOMPARE(settings->emailLabel()->text(), QString());
    QVERIFY(!settings->logoutButton()->isEnabled());
    const QStringList tunnelCalls = m_backend->calls; // the screens' reading of the tunnel
    UserDefaults &defaults = m_session->defaults;
    const QString key = autoStart ? Keys::isAutoStartEnabled : Keys::isAutoConnectEnabled;
    const QString otherKey = autoStart ? Keys::isAutoConnectEnabled : Keys::isAutoStartEnabled;
    QPushButton *button = autoStart ? settings->autoStartButton() : settings->autoConnectButton();
    ImageView *image = autoStart ? settings->autoStartImageView() : settings->autoConnectImageView();
    auto imageName = [&] {
        return autoStart ? settings->autoStartImageName() : settings->autoConnectImageName();
    };
    // The stored value, the box and its picture, which must agree.
    auto shows = [&](bool ticked, const QString &picture) {
        QCOMPARE(defaults.boolean(key), ticked);
        QCOMPARE(button->isChecked(), ticked);
        QCOMPARE(imageName(), picture);
        QCOMPARE(image->image().cacheKey(), Images::named(picture).cacheKey());
    };
    auto entryExists = [] { return QFile::exists(LoginItem::entryPath(SessionBus::launcherAppId)); };

    // Both start on (first launch).
    shows(true, u"ic_checkbox_on"_s);

    // A click anywhere on the row counts, the picture included (sent to the
    // window, so it lands on whatever is under that point).
    QWidget *window = settings->window();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                      image->mapTo(window, image->rect().center()));
    shows(false, u"ic_checkbox_off"_s);
    QCOMPARE(entryExists(), !autoStart);

    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                      button->mapTo(window, QPoint(button->width() - 20, button->height() / 2)));
    shows(true, u"ic_checkbox_on"_s);
    QVERIFY(entryExists());
    QVERIFY(LoginItem::isEnabled(SessionBus::launcherAppId));

    // The other setting never moved, and auto-connect changes nothing in the
    // tunnel at once.
    QVERIFY(defaults.boolean(otherKey));
    QCOMPARE(m_backend->calls, tunnelCalls);

    // Reopened, the window shows what is stored.
    defaults.setBoolean(key, false);
    settings->dismiss();
    settings = openSettings();
    QVERIFY(settings);
    QCOMPARE(imageName(), u"ic_checkbox_off"_s);
}

// The tunnel is taken down (on-demand off saved, the stop sent) before the
// account goes (with the tunnel down the journey signs out); where the configuration cannot be saved nothing
// happens until a later try succeeds. The settings stay.
void tst_StatusMenu::signOut()
{
    firstLaunch();
    m_session->session.setCredentials(u"ann@example.com"_s, u"secret"_s);
    m_session->defaults.setString(Keys::phone, u"+15550100"_s);
    QVERIFY(m_session->keepIdentity("ann"));
    QVERIFY(setLiveStatus(VPNStatus::Connected));
    SettingsViewController *settings = openSettings();
    QVERIFY(settings);
    QCOMPARE(settings->emailLabel()->text(), u"ann@example.com"_s);
    QVERIFY(settings->logoutButton()->isEnabled());
    QPointer<QDialog> dialog = settings->modalWindow();
    QPointer<ViewController> oldRoot = m_app->window().contentViewController();
    const auto signedIn = [this] { return m_session->defaults.string(Keys::tempEmail).has_value(); };

    m_backend->applyError = u"the VPN daemon refused the configuration"_s;
    QSignalSpy redrawn(m_manager->connection(), &VPNConnection::statusDidChange);
    settings->logoutButtonAction();
    // The failed save ends the sign-out with a status notification; nothing
    // was stopped, the account stays, the screen did not change.
    QVERIFY(redrawn.wait());
    QVERIFY(m_backend->calls.contains(u"apply"_s));
    QVERIFY(!m_backend->calls.contains(u"stop"_s));
    QVERIFY(signedIn());
    QCOMPARE(m_app->window().contentViewController(), oldRoot.data());
    QVERIFY(settings->modalWindow()->isVisible());

    m_backend->applyError.clear();
    QTest::mouseClick(settings->logoutButton(), Qt::LeftButton);
    // The tunnel is being taken down; the account is still there.
    QVERIFY(signedIn());
    QVERIFY(!m_backend->calls.contains(u"stop"_s));
    QTRY_VERIFY(!signedIn());
    QCOMPARE(m_backend->calls.count(u"stop"_s), 1);
    QVERIFY(!m_manager->savedPreferences().onDemandEnabled);
    // Saved so that it cannot connect: the daemon is left nothing of the
    // account (the connection and its key are taken out).
    QVERIFY(!m_manager->savedPreferences().canConnect());
    QVERIFY(!m_session->session.password().has_value());
    QVERIFY(!m_session->session.identityReference().has_value());
    QVERIFY(m_session->identities.references().isEmpty());
    QTRY_VERIFY(m_session->secrets.secrets.isEmpty());
    QVERIFY(m_session->defaults.boolean(Keys::isAutoConnectEnabled));

    // The start screen slides in and becomes the root; the window closes.
    QTRY_COMPARE_WITH_TIMEOUT(m_app->window().contentViewController()->identifier(), u"StartViewController"_s,
                              5000);
    QTRY_VERIFY(oldRoot.isNull());
    QTRY_VERIFY(dialog.isNull() || !dialog->isVisible());

    // The next Turn ON (after signing in again) saves what can connect.
    m_service->connect();
    QTRY_COMPARE(m_backend->calls.count(u"start"_s), 1);
    QVERIFY(m_backend->applied.constLast().canConnect());
}

QTEST_MAIN(tst_StatusMenu)
#include "tst_statusmenu.moc"
