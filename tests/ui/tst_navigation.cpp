// Navigation and the progress overlay in an offscreen window, and the launch
// sequence on a private session bus.

#include "PrivateBus.h"

#include "ui/AppStoryboard.h"
#include "session/DefaultsKeys.h"
#include "app/AppDelegate.h"
#include "account/AuthViewController.h"
#include "ui/AlertController.h"
#include "settings/InfoViewController.h"
#include "ui/Navigator.h"
#include "platform/Pace.h"
#include "ui/SegueAnimator.h"
#include "account/StartViewController.h"
#include "ui/WindowController.h"
#include "controls/Crawler.h"
#include "controls/View.h"
#include "platform/LoginItem.h"
#include "platform/SessionBus.h"
#include "platform/UserDefaults.h"
#include "home/MainViewController.h"
#include "TestSession.h"

#include <QAbstractAnimation>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

// Waits until no presentation or dismissal is under way in `window`: their
// animations live in it until they have finished and run what follows.
bool settled(QWidget *window)
{
    return QTest::qWaitFor([window] { return window->findChildren<QAbstractAnimation *>().isEmpty(); });
}

QStringList presentedNames(ViewController *vc)
{
    QStringList names;
    for (ViewController *p : vc->presentedViewControllers())
        names << p->identifier();
    return names;
}

} // namespace

// Stands in for orvex-launcher: owns its name on its own connection and
// records the broadcasts it hears.
class FakeLauncher : public QObject
{
    Q_OBJECT

public:
    explicit FakeLauncher(const QString &address)
        : m_bus(QDBusConnection::connectToBus(address, u"fake-launcher"_s))
    {
        m_bus.connect(QString(), SessionBus::notificationsPath, SessionBus::notificationsInterface,
                      SessionBus::killLauncherName, this, SLOT(killLauncher(QString)));
    }
    ~FakeLauncher() override
    {
        // Unhooked here, on this thread: the connection is closed later on Qt
        // D-Bus's own thread, which would otherwise still reach for this
        // object (its hook, its destroyed() signal) after it has gone.
        m_bus.disconnect(QString(), SessionBus::notificationsPath, SessionBus::notificationsInterface,
                         SessionBus::killLauncherName, this, SLOT(killLauncher(QString)));
        disconnect(this, &QObject::destroyed, nullptr, nullptr);
        m_bus.unregisterService(SessionBus::launcherAppId);
        QDBusConnection::disconnectFromBus(u"fake-launcher"_s);
    }
    bool run() { return m_bus.registerService(SessionBus::launcherAppId); }

    QStringList received;

public Q_SLOTS:
    void killLauncher(const QString &sender) { received << sender; }

private:
    QDBusConnection m_bus;
};

class tst_Navigation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void showPresentsOnePerClass();
    void directions_data();
    void directions();
    void spedUpPausesStayAboveZero();
    void modalWindowsAreOnePerClassAndCloseWithTheirScreen();
    void overlaySwallowsClicksOnlyWhileShown();
    void resultHandlerHidesOverlayAndPostsFirstSentence();
    void firstSentence_data();
    void firstSentence();
    void alertWithDismissNextClosesTheScreenBeneath();
    void launch_data();
    void launch();

private:
    PrivateBus m_bus;
    TestSession m_session;
    std::unique_ptr<WindowController> m_window;
    ViewController *root() const { return m_window->contentViewController(); }
};

void tst_Navigation::initTestCase()
{
    QVERIFY2(m_bus.isRunning(), qPrintable(m_bus.error()));
    m_session.context.pace.setSpeedUp(100);
    m_bus.exportAsSessionBus();
    QVERIFY(QDBusConnection::sessionBus().isConnected());
}

void tst_Navigation::init()
{
    m_window = std::make_unique<WindowController>(m_session.context);
    m_window->windowDidLoad();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_Navigation::cleanup()
{
    m_window.reset();
    // What the test posted, and the deletions it left, run out now.
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void tst_Navigation::directions_data()
{
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<qreal>("alpha");
    QTest::addColumn<QRect>("frame"); // where a screen over a 400 x 300 presenter starts
    QTest::newRow("popover") << u"popover"_s << 0.0 << QRect(20, 100, 360, 100);
    QTest::newRow("center") << u"center"_s << 0.0 << QRect(0, 0, 400, 300);
    QTest::newRow("toLeft") << u"toLeft"_s << 1.0 << QRect(400, 0, 400, 300);
    QTest::newRow("toRight") << u"toRight"_s << 1.0 << QRect(-400, 0, 400, 300);
    QTest::newRow("toWebView") << u"showWebView"_s << 1.0 << QRect(0, 0, 800, 600);
    QTest::newRow("anything else") << u"toWebView"_s << -1.0 << QRect();
}

// Each segue identifier names its direction (and back), and each direction
// starts its screen as the presentation draws it.
void tst_Navigation::directions()
{
    QFETCH(QString, identifier);
    QFETCH(qreal, alpha);
    QFETCH(QRect, frame);
    const std::optional<NavigationDirection> direction = navigationDirection(identifier);
    QCOMPARE(direction.has_value(), alpha >= 0);
    if (!direction)
        return;
    QCOMPARE(rawValue(*direction), identifier);
    QCOMPARE(SegueAnimator::startAlpha(*direction), alpha);
    QCOMPARE(SegueAnimator::startFrame(*direction, QRect(0, 0, 400, 300)), frame);
}

void tst_Navigation::showPresentsOnePerClass()
{
    // Signed out (no stored e-mail and password): the start screen; loading
    // again with a screen of that class changes nothing.
    QCOMPARE(root()->identifier(), u"StartViewController"_s);
    ViewController *before = root();
    m_window->windowDidLoad();
    QCOMPARE(root(), before);

    Navigator::show(m_window.get(), instantiate<AuthViewController>(m_session.context, AppStoryboard::Auth),
                    NavigationDirection::toLeft);
    Navigator::show(m_window.get(), instantiate<AuthViewController>(m_session.context, AppStoryboard::Auth),
                    NavigationDirection::toLeft);
    // The root's own class is never presented over it.
    Navigator::show(m_window.get(), instantiate<StartViewController>(m_session.context, AppStoryboard::Auth),
                    NavigationDirection::center);
    QCOMPARE(presentedNames(root()), QStringList{u"AuthViewController"_s});
    QVERIFY(settled(m_window.get()));
    auto *auth = root()->presentedViewControllers().constFirst();
    QCOMPARE(auth->geometry(), root()->rect());
    QVERIFY(auth->isVisible());
}

void tst_Navigation::spedUpPausesStayAboveZero()
{
    // A pause shorter than the speed-up still ends on a later turn of the
    // event loop, and no pause overtakes a shorter one.
    Pace pace;
    QCOMPARE(pace.scaled(SegueAnimator::durationMs), 700);
    pace.setSpeedUp(100);
    QCOMPARE(pace.scaled(Navigator::setRootDelayMs), 10);
    QCOMPARE(pace.scaled(SegueAnimator::durationMs), 7);
    QCOMPARE(pace.scaled(50), 1);
    QCOMPARE(pace.scaled(0), 0);
    pace.setSpeedUp(0);
    QCOMPARE(pace.scaled(50), 50);
}

void tst_Navigation::modalWindowsAreOnePerClassAndCloseWithTheirScreen()
{
    Navigator::presentModal(m_window.get(),
                            instantiate<InfoViewController>(m_session.context, AppStoryboard::Settings));
    Navigator::presentModal(m_window.get(),
                            instantiate<InfoViewController>(m_session.context, AppStoryboard::Settings));
    QCOMPARE(presentedNames(root()), QStringList{u"InfoViewController"_s});
    ViewController *info = root()->presentedViewControllers().constFirst();
    QVERIFY(info->isPresentedAsModalWindow());
    QDialog *dialog = info->modalWindow();
    QTRY_VERIFY(dialog->isVisible());
    // Short version, ".", build number, and nothing else.
    QVERIFY(QRegularExpression(u"^\\d+\\.\\d+\\.\\d+$"_s)
                .match(static_cast<InfoViewController *>(info)->versionText())
                .hasMatch());
    // Closing the window by the window manager dismisses the screen.
    dialog->reject();
    QVERIFY(root()->presentedViewControllers().isEmpty());
}

void tst_Navigation::overlaySwallowsClicksOnlyWhileShown()
{
    auto *start = qobject_cast<StartViewController *>(root());
    QVERIFY(start);
    auto *signIn = start->findChild<QPushButton *>(u"signInButton"_s);
    QVERIFY(signIn);
    int clicks = 0;
    connect(signIn, &QPushButton::pressed, this, [&clicks] { ++clicks; });

    QTest::mouseClick(signIn, Qt::LeftButton);
    QCOMPARE(clicks, 1); // hidden overlay: the click reaches the button
    QVERIFY(settled(m_window.get()));

    // While it covers the screen the overlay holds the focus, so no key
    // reaches what is beneath; the focus comes back afterwards.
    signIn->setFocus(Qt::TabFocusReason);
    start->showProgress();
    start->showProgress();
    QCOMPARE(start->progressContainer()->findChildren<Crawler *>().size(), 1);
    QVERIFY(start->progressContainer()->isVisible());
    QCOMPARE(start->focusWidget(), start->progressContainer());
    // A click where the button is lands on the overlay instead.
    const QPoint at = signIn->mapTo(start, signIn->rect().center());
    QWidget *hit = start->childAt(at);
    QVERIFY(hit == start->progressContainer() || start->progressContainer()->isAncestorOf(hit));
    QTest::mouseClick(hit, Qt::LeftButton, {}, hit->mapFrom(start, at));
    QCOMPARE(clicks, 1);
    QTest::keyClick(start->progressContainer(), Qt::Key_Return);
    QCOMPARE(clicks, 1);

    start->hideProgress();
    QVERIFY(!start->progressContainer()->isVisible());
    QCOMPARE(start->focusWidget(), signIn);
    QVERIFY(start->progressContainer()->findChildren<Crawler *>().isEmpty());
    QVERIFY(start->progressContainer()->canFallThrought());
}

void tst_Navigation::resultHandlerHidesOverlayAndPostsFirstSentence()
{
    auto *start = qobject_cast<StartViewController *>(root());
    start->showProgress();
    start->resultHandler()(Error(Error::Code::emptyResponse));
    QVERIFY(!start->progressContainer()->isVisible());
    // Posted: not there yet, there on the next turn of the event loop.
    QVERIFY(root()->presentedViewControllers().isEmpty());
    QTRY_COMPARE(root()->presentedViewControllers().size(), 1);
    auto *alert = qobject_cast<AlertController *>(root()->presentedViewControllers().constFirst());
    QVERIFY(alert);
    QCOMPARE(alert->message(), u"Empty response from server"_s);
    QVERIFY(!alert->dismissNext());
}

void tst_Navigation::firstSentence_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("shown");
    QTest::newRow("two sentences") << u"Empty response from server. Please, contact support"_s
                                   << u"Empty response from server"_s;
    QTest::newRow("no dot") << u"Wrong email or password"_s << u"Wrong email or password"_s;
    QTest::newRow("leading dot") << u". Then more"_s << QString();
    QTest::newRow("host name") << u"Host api.example.com not found"_s << u"Host api.example.com not found"_s;
    QTest::newRow("version then sentence") << u"Version 1.2 is out. Update now"_s << u"Version 1.2 is out"_s;
    QTest::newRow("ends with dot") << u"Connection refused."_s << u"Connection refused"_s;
    QTest::newRow("dot then newline") << u"First.\nSecond"_s << u"First"_s;
}

void tst_Navigation::firstSentence()
{
    QFETCH(QString, message);
    QFETCH(QString, shown);
    QCOMPARE(AlertController::firstSentence(message), shown);
}

void tst_Navigation::alertWithDismissNextClosesTheScreenBeneath()
{
    Navigator::show(m_window.get(), instantiate<AuthViewController>(m_session.context, AppStoryboard::Auth),
                    NavigationDirection::toLeft);
    AlertController::show(m_window.get(), u"Your request has been received"_s, true);
    QCOMPARE(presentedNames(root()), (QStringList{u"AuthViewController"_s, u"AlertController"_s}));
    auto *alert = qobject_cast<AlertController *>(root()->presentedViewControllers().constLast());
    QVERIFY(settled(m_window.get()));
    QTest::mouseClick(alert->findChild<QPushButton *>(u"actionButton"_s), Qt::LeftButton);
    QVERIFY(root()->presentedViewControllers().isEmpty());

    // Over the root itself, the root stays.
    ViewController *start = root();
    AlertController::show(m_window.get(), u"Your request has been received"_s, true);
    QVERIFY(settled(m_window.get()));
    alert = qobject_cast<AlertController *>(root()->presentedViewControllers().constLast());
    QTest::mouseClick(alert->findChild<QPushButton *>(u"actionButton"_s), Qt::LeftButton);
    QVERIFY(settled(m_window.get()));
    QCOMPARE(root(), start);
    QVERIFY(start->isVisible());

    // Without dismissNext only the alert goes.
    Navigator::show(m_window.get(), instantiate<AuthViewController>(m_session.context, AppStoryboard::Auth),
                    NavigationDirection::toLeft);
    AlertController::show(m_window.get(), u"Wrong email or password"_s, false);
    QVERIFY(settled(m_window.get()));
    auto *second = qobject_cast<AlertController *>(root()->presentedViewControllers().constLast());
    QTest::keyClick(second, Qt::Key_Escape);
    QCOMPARE(presentedNames(root()), QStringList{u"AuthViewController"_s});
}

void tst_Navigation::launch_data()
{
    QTest::addColumn<bool>("firstLaunch");
    QTest::addColumn<bool>("launcherRuns");
    QTest::newRow("first launch, launcher running") << true << true;
    QTest::newRow("first launch, no launcher") << true << false;
    QTest::newRow("auto-start turned off") << false << true;
}

// A first launch ticks both settings, writes the autostart entry and tells a
// running launcher to quit; with auto-start turned off nothing is touched.
void tst_Navigation::launch()
{
    QFETCH(bool, firstLaunch);
    QFETCH(bool, launcherRuns);
    UserDefaults &defaults = m_session.defaults;
    for (QLatin1String key : {DefaultsKeys::isLaunchedBefore, DefaultsKeys::isAutoConnectEnabled,
                              DefaultsKeys::isAutoStartEnabled})
        defaults.remove(key);
    LoginItem::setEnabled(SessionBus::launcherAppId, false);
    if (!firstLaunch) {
        defaults.setBoolean(DefaultsKeys::isLaunchedBefore, true);
        defaults.setBoolean(DefaultsKeys::isAutoStartEnabled, false);
        defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled, false);
    }
    FakeLauncher launcher(m_bus.address()); // hears broadcasts; owns its name when it runs
    if (launcherRuns)
        QVERIFY(launcher.run());

    QStringList order;
    AppDelegate delegate(defaults, *m_window, {[&order](bool isLaunch) {
                             order << (isLaunch ? u"update at launch"_s : u"update from menu"_s);
                         }});
    QSignalSpy handedOff(&delegate, &AppDelegate::launcherHandOffFinished);
    delegate.applicationDidFinishLaunching();
    QCOMPARE(order, QStringList{u"update at launch"_s});
    if (firstLaunch) {
        QVERIFY(handedOff.wait());
        QCOMPARE(handedOff.first().first().toBool(), launcherRuns);
        QVERIFY(LoginItem::isEnabled(SessionBus::launcherAppId));
    }
    if (firstLaunch && launcherRuns) {
        QTRY_COMPARE(launcher.received, QStringList{SessionBus::clientAppId});
    } else {
        // A hand-off's question on the bus, and a broadcast, would have come
        // before the answer of a round trip asked after them.
        QDBusConnection::sessionBus().interface()->isServiceRegistered(SessionBus::launcherAppId);
        QCoreApplication::processEvents();
        QVERIFY(launcher.received.isEmpty());
    }
    QCOMPARE(handedOff.size(), firstLaunch ? 1 : 0);
    QCOMPARE(QFile::exists(LoginItem::entryPath(SessionBus::launcherAppId)), firstLaunch);
    QVERIFY(defaults.boolean(DefaultsKeys::isLaunchedBefore));
    QCOMPARE(defaults.boolean(DefaultsKeys::isAutoConnectEnabled), firstLaunch);
    QCOMPARE(defaults.boolean(DefaultsKeys::isAutoStartEnabled), firstLaunch);
}

QTEST_MAIN(tst_Navigation)
#include "tst_navigation.moc"
