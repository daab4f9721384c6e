// Screens, navigation and the progress overlay in a real (offscreen) main
// window.

#include "ui/AppStoryboard.h"
#include "account/AuthViewController.h"
#include "ui/AlertController.h"
#include "app/InfoViewController.h"
#include "ui/Navigator.h"
#include "ui/SegueAnimator.h"
#include "account/StartViewController.h"
#include "ui/WindowController.h"
#include "controls/Crawler.h"
#include "controls/View.h"
#include "usage/MainViewController.h"
#include "TestSession.h"

#include <QDialog>
#include <QPushButton>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

// Waits out every running animation and deferred step.
void settle(int ms = SegueAnimator::durationMs + 300)
{
    QTest::qWait(ms);
}

QStringList presentedNames(ViewController *vc)
{
    QStringList names;
    for (ViewController *p : vc->presentedViewControllers())
        names << p->identifier();
    return names;
}

} // namespace

// A root screen that counts what it is told about appearing.
class AppearanceCounter final : public ViewController
{
public:
    int appearances = 0;
    void viewWillAppear() override { ++appearances; }
};

class tst_Navigation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void firstScreenFollowsTheSession();
    void showPresentsOnePerClass();
    void setRootReplacesAfterTheDelay();
    void showMainDismissesEverythingOverIt();
    void dismissTopFollowsTheChain();
    void modalWindowsAreOnePerClassAndCloseWithTheirScreen();
    void presentationStartsWhereTheDirectionSays();
    void overlaySwallowsClicksOnlyWhileShown();
    void resultHandlerHidesOverlayAndPostsFirstSentence();
    void firstSentence_data();
    void firstSentence();
    void alertWithDismissNextClosesTheScreenBeneath();

private:
    TestSession m_session;
    std::unique_ptr<WindowController> m_window;
    ViewController *root() const { return m_window->contentViewController(); }
};

void tst_Navigation::init()
{
    m_window = std::make_unique<WindowController>();
    m_window->windowDidLoad();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void tst_Navigation::cleanup()
{
    m_window.reset();
    QTest::qWait(50);
}

void tst_Navigation::firstScreenFollowsTheSession()
{
    // Signed out (no stored e-mail and password): the start screen.
    QCOMPARE(root()->identifier(), u"StartViewController"_s);
    // Loading again with a screen of that class changes nothing.
    ViewController *before = root();
    m_window->windowDidLoad();
    QCOMPARE(root(), before);
}

void tst_Navigation::showPresentsOnePerClass()
{
    Navigator::show(instantiate<AuthViewController>(AppStoryboard::Auth), NavigationDirection::toLeft);
    Navigator::show(instantiate<AuthViewController>(AppStoryboard::Auth), NavigationDirection::toLeft);
    // The root's own class is never presented over it.
    Navigator::show(instantiate<StartViewController>(AppStoryboard::Auth), NavigationDirection::center);
    QCOMPARE(presentedNames(root()), QStringList{u"AuthViewController"_s});
    settle();
    auto *auth = root()->presentedViewControllers().constFirst();
    QCOMPARE(auth->geometry(), root()->rect());
    QVERIFY(auth->isVisible());
}

void tst_Navigation::setRootReplacesAfterTheDelay()
{
    QPointer<ViewController> oldRoot = root();
    Navigator::show(instantiate<AuthViewController>(AppStoryboard::Auth), NavigationDirection::toLeft);
    Navigator::showMain();
    // Presented at once, root only after the delay.
    QVERIFY(presentedNames(root()).contains(u"MainViewController"_s));
    QCOMPARE(root(), oldRoot.data());
    QTRY_VERIFY_WITH_TIMEOUT(qobject_cast<MainViewController *>(root()), 5000);
    // The old root and what it presented are gone.
    QTRY_VERIFY(oldRoot.isNull());
    QVERIFY(root()->presentedViewControllers().isEmpty());
    QVERIFY(root()->presentingViewController() == nullptr);
}

void tst_Navigation::showMainDismissesEverythingOverIt()
{
    m_window->setContentViewController(instantiate<MainViewController>(AppStoryboard::Main));
    AlertController::show(u"Hello"_s, false);
    Navigator::presentModal(instantiate<InfoViewController>(AppStoryboard::Settings));
    QCOMPARE(root()->presentedViewControllers().size(), 2);
    ViewController *main = root();
    Navigator::showMain();
    QVERIFY(root()->presentedViewControllers().isEmpty());
    settle();
    QCOMPARE(root(), main);
    QVERIFY(main->findChildren<AlertController *>().isEmpty());
    QVERIFY(m_window->findChildren<QDialog *>().isEmpty() || !m_window->findChild<QDialog *>()->isVisible());
}

void tst_Navigation::dismissTopFollowsTheChain()
{
    Navigator::show(instantiate<AuthViewController>(AppStoryboard::Auth), NavigationDirection::toLeft);
    ViewController *auth = root()->presentedViewControllers().constFirst();
    auto *info = instantiate<InfoViewController>(AppStoryboard::Settings);
    auth->present(info, std::make_unique<SegueAnimator>(NavigationDirection::center));
    QPointer<ViewController> infoGuard(info);

    Navigator::dismissTop(); // the deepest screen goes first
    QVERIFY(auth->presentedViewControllers().isEmpty());
    QCOMPARE(root()->presentedViewControllers().size(), 1);
    QTRY_VERIFY(infoGuard.isNull());

    Navigator::dismissTop();
    QVERIFY(root()->presentedViewControllers().isEmpty());
    // With nothing presented the root stays.
    ViewController *r = root();
    Navigator::dismissTop();
    settle();
    QCOMPARE(root(), r);
}

void tst_Navigation::modalWindowsAreOnePerClassAndCloseWithTheirScreen()
{
    Navigator::presentModal(instantiate<InfoViewController>(AppStoryboard::Settings));
    Navigator::presentModal(instantiate<InfoViewController>(AppStoryboard::Settings));
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

    // The screen behind a modal window never went away: it is not told it
    // appears again. A screen that slid over it and leaves is another matter.
    auto *counting = new AppearanceCounter;
    m_window->setContentViewController(counting);
    const int before = counting->appearances;
    Navigator::presentModal(instantiate<InfoViewController>(AppStoryboard::Settings));
    counting->presentedViewControllers().constFirst()->modalWindow()->reject();
    QVERIFY(counting->presentedViewControllers().isEmpty());
    QCOMPARE(counting->appearances, before);
    counting->present(instantiate<InfoViewController>(AppStoryboard::Settings),
                      std::make_unique<SegueAnimator>(NavigationDirection::center));
    Navigator::dismissTop();
    QTRY_COMPARE(counting->appearances, before + 1);
}

void tst_Navigation::presentationStartsWhereTheDirectionSays()
{
    const QRect f(0, 0, 400, 620);
    QCOMPARE(SegueAnimator::startFrame(NavigationDirection::toLeft, f), QRect(400, 0, 400, 620));
    QCOMPARE(SegueAnimator::startFrame(NavigationDirection::toRight, f), QRect(-400, 0, 400, 620));
    QCOMPARE(SegueAnimator::startAlpha(NavigationDirection::center), 0.0);
    QCOMPARE(SegueAnimator::startAlpha(NavigationDirection::toLeft), 1.0);
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
    settle();

    start->showProgress();
    start->showProgress();
    QCOMPARE(start->progressContainer()->findChildren<Crawler *>().size(), 1);
    QVERIFY(start->progressContainer()->isVisible());
    // A click where the button is lands on the overlay instead.
    const QPoint at = signIn->mapTo(start, signIn->rect().center());
    QWidget *hit = start->childAt(at);
    QVERIFY(hit == start->progressContainer() || start->progressContainer()->isAncestorOf(hit));
    QTest::mouseClick(start, Qt::LeftButton, {}, at);
    QTest::mouseClick(hit, Qt::LeftButton, {}, hit->mapFrom(start, at));
    QCOMPARE(clicks, 1);
    QTest::keyClick(start->progressContainer(), Qt::Key_Return);
    QCOMPARE(clicks, 1);

    start->hideProgress();
    QVERIFY(!start->progressContainer()->isVisible());
    QVERIFY(start->progressContainer()->findChildren<Crawler *>().isEmpty());
    QVERIFY(start->progressContainer()->canFallThrought());
    start->hideProgress(); // hiding again changes nothing
}

void tst_Navigation::resultHandlerHidesOverlayAndPostsFirstSentence()
{
    auto *start = qobject_cast<StartViewController *>(root());
    start->showProgress();
    start->resultHandler()(std::nullopt);
    QVERIFY(!start->progressContainer()->isVisible());
    settle(50);
    QVERIFY(root()->presentedViewControllers().isEmpty()); // success shows nothing

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
    QTest::newRow("only a dot") << u"."_s << QString();
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
    Navigator::show(instantiate<AuthViewController>(AppStoryboard::Auth), NavigationDirection::toLeft);
    AlertController::show(u"Your request has been received"_s, true);
    QCOMPARE(presentedNames(root()), (QStringList{u"AuthViewController"_s, u"AlertController"_s}));
    auto *alert = qobject_cast<AlertController *>(root()->presentedViewControllers().constLast());
    settle();
    QTest::mouseClick(alert->findChild<QPushButton *>(u"actionButton"_s), Qt::LeftButton);
    QVERIFY(root()->presentedViewControllers().isEmpty());

    // Without dismissNext only the alert goes.
    Navigator::show(instantiate<AuthViewController>(AppStoryboard::Auth), NavigationDirection::toLeft);
    AlertController::show(u"Wrong email or password"_s, false);
    settle();
    auto *second = qobject_cast<AlertController *>(root()->presentedViewControllers().constLast());
    QTest::keyClick(second, Qt::Key_Escape);
    QCOMPARE(presentedNames(root()), QStringList{u"AuthViewController"_s});
}

QTEST_MAIN(tst_Navigation)
#include "tst_navigation.moc"
