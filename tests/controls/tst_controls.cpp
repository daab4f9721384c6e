#include "Capture.h"

#include "ui/Images.h"
#include "controls/Button.h"
#include "controls/Crawler.h"
#include "controls/ImageView.h"
#include "controls/View.h"

#include <QAbstractAnimation>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

#include <algorithm>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

// A widget that counts the mouse presses and releases delivered to it.
class PressRecorder : public QWidget
{
public:
    using QWidget::QWidget;
    int presses = 0;
    int releases = 0;

protected:
    void mousePressEvent(QMouseEvent *event) override
    {
        ++presses;
        event->accept();
    }
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        ++releases;
        event->accept();
    }
};

// The widget as grab() renders it (through its graphics effect, if any), with
// a see-through window colour under it, so what it leaves unpainted stays
// transparent.
QImage render(QWidget *widget)
{
    QPalette palette = widget->palette();
    palette.setBrush(QPalette::Window, Qt::transparent);
    widget->setPalette(palette);
    return widget->grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// Routes a click through the window as the platform would deliver it, so that
// Qt's own hit testing picks the receiver.
void clickAt(QWidget *window, const QPoint &pos)
{
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, pos);
}

// Everything in the spinner that could wake the event loop.
bool anythingTicking(const Crawler &crawler)
{
    const auto animations = crawler.findChildren<QAbstractAnimation *>();
    const auto timers = crawler.findChildren<QTimer *>();
    return std::any_of(animations.begin(), animations.end(),
                       [](const QAbstractAnimation *a) { return a->state() == QAbstractAnimation::Running; })
           || std::any_of(timers.begin(), timers.end(), [](const QTimer *timer) { return timer->isActive(); });
}

} // namespace

class tst_Controls : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void viewPassesOrSwallowsClicks();
    void everyImageRenders();
    void imageViewFitsImageKeepingAspect();
    void spinnerTicksOnlyWhileShownAndAnimating();
};

// A view that takes no interaction lets every click through to what is
// beneath it; one that does swallows presses on itself unless told to let
// them fall through, and a child that takes its press keeps it either way.
void tst_Controls::viewPassesOrSwallowsClicks()
{
    QWidget window;
    window.resize(300, 200);
    auto beneath = new PressRecorder(&window);
    beneath->setGeometry(window.rect());
    auto view = new View(beneath);
    view->setGeometry(50, 50, 200, 100);
    auto child = new PressRecorder(view);
    child->setGeometry(10, 10, 60, 60);
    auto button = new Button(u"Go"_s, view);
    button->setGeometry(100, 10, 80, 40);
    QSignalSpy clicked(button, &QAbstractButton::clicked);
    EventCounter viewPresses(QEvent::MouseButtonPress);
    view->installEventFilter(&viewPresses);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    clickAt(&window, QPoint(150, 140)); // the view's own area
    QCOMPARE(viewPresses.count, 1);
    QCOMPARE(beneath->presses, 0);
    QCOMPARE(beneath->releases, 0);
    view->setCanFallThrought(true);
    clickAt(&window, QPoint(150, 140));
    QCOMPARE(beneath->presses, 1);
    QCOMPARE(beneath->releases, 1);
    clickAt(&window, QPoint(80, 80)); // its child
    QCOMPARE(child->presses, 1);
    QCOMPARE(beneath->presses, 1);

    view->setInteractionEnabled(false);
    viewPresses.count = 0;
    clickAt(&window, QPoint(150, 140));
    clickAt(&window, QPoint(80, 80));
    clickAt(&window, QPoint(190, 80)); // a button inside it
    QCOMPARE(beneath->presses, 4);
    QCOMPARE(viewPresses.count, 0);
    QCOMPARE(child->presses, 1);
    QCOMPARE(clicked.count(), 0);

    // Back on, the view's children take their clicks again.
    view->setInteractionEnabled(true);
    clickAt(&window, QPoint(80, 80));
    clickAt(&window, QPoint(190, 80));
    QCOMPARE(child->presses, 2);
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(beneath->presses, 4);
}

void tst_Controls::imageViewFitsImageKeepingAspect()
{
    QWidget screen;
    ImageView &view = *new ImageView(&screen);
    view.resize(100, 100);
    QVERIFY(view.imageRect().isEmpty());

    QPixmap wide(200, 100);
    wide.fill(Qt::red);
    view.setImage(wide);
    QCOMPARE(view.imageRect(), QRect(0, 25, 100, 50));
    const QImage image = render(&view);
    QCOMPARE(image.pixelColor(50, 10).alpha(), 0);
    QCOMPARE(image.pixelColor(50, 50), QColor(Qt::red));

    // A scalable image has no pixel size of its own; it still keeps its
    // proportions (the status pictures are square).
    view.setImage(Images::named(u"ic_enable"_s));
    view.resize(300, 100);
    QCOMPARE(view.imageRect(), QRect(100, 0, 100, 100));
}

// Every image the screens and the tray name is compiled in and draws
// something, at 1x and with twice the pixels on a HiDPI screen.
void tst_Controls::everyImageRenders()
{
    QVERIFY(!Images::names().isEmpty());
    for (const QString &name : Images::names()) {
        QVERIFY2(!Images::named(name).isNull(), qPrintable(name));
        const QImage small = Images::pixmap(name, QSize(24, 24), 1.0).toImage();
        QCOMPARE(small.size(), QSize(24, 24));
        bool drawn = false; // some pixel more opaque than not
        for (int i = 0; i < 24 * 24 && !drawn; ++i)
            drawn = small.pixelColor(i % 24, i / 24).alpha() > 128;
        QVERIFY2(drawn, qPrintable(name));
        const QPixmap sharp = Images::pixmap(name, QSize(24, 24), 2.0);
        QCOMPARE(sharp.size(), QSize(48, 48));
        QCOMPARE(sharp.devicePixelRatio(), 2.0);
    }
    QVERIFY(Images::named(u"ic_no_such_image"_s).isNull());
}

void tst_Controls::spinnerTicksOnlyWhileShownAndAnimating()
{
    QWidget overlay;
    Crawler &crawler = *new Crawler(&overlay);
    QVERIFY(!crawler.animate());
    // Asked to animate while hidden: nothing ticks until it is shown.
    crawler.setAnimate(true);
    QVERIFY(!anythingTicking(crawler));
    overlay.show();
    QVERIFY(QTest::qWaitForWindowExposed(&overlay));
    QVERIFY(crawler.isRunning());
    QVERIFY(anythingTicking(crawler));
    const QImage first = render(&crawler);
    QTRY_VERIFY(render(&crawler) != first);

    // Hiding the overlay hides the spinner with it, and showing resumes it.
    overlay.hide();
    QVERIFY(!anythingTicking(crawler));
    QVERIFY(crawler.animate());
    overlay.show();
    QVERIFY(crawler.isRunning());

    crawler.setAnimate(false);
    QVERIFY(!anythingTicking(crawler));
    overlay.hide();
    overlay.show();
    QVERIFY(!anythingTicking(crawler));
    crawler.setAnimate(true); // while shown: at once
    QVERIFY(anythingTicking(crawler));
}

QTEST_MAIN(tst_Controls)
#include "tst_controls.moc"
