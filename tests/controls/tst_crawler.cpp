#include "controls/Crawler.h"

#include <QAbstractAnimation>
#include <QTimer>
#include <QtTest>

using namespace Orvex;

namespace {

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

// Everything in the spinner that could wake the event loop.
bool anythingTicking(const Crawler &crawler)
{
    const auto animations = crawler.findChildren<QAbstractAnimation *>();
    for (const QAbstractAnimation *animation : animations) {
        if (animation->state() == QAbstractAnimation::Running)
            return true;
    }
    const auto timers = crawler.findChildren<QTimer *>();
    for (const QTimer *timer : timers) {
        if (timer->isActive())
            return true;
    }
    return false;
}

} // namespace

class tst_Crawler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaultLook();
    void startedSpinnerMovesAndStopsStill();
    void hiddenSpinnerPausesAndResumes();
};

void tst_Crawler::defaultLook()
{
    QWidget overlay;
    Crawler &crawler = *new Crawler(&overlay);
    QCOMPARE(crawler.size(), QSize(100, 100));
    QCOMPARE(crawler.foregroundColor(), QColor(242, 165, 60));

    // At rest the leading dot sits at twelve o'clock in the foreground
    // colour, on a see-through square.
    QImage image = render(&crawler);
    QCOMPARE(image.pixelColor(2, 2).alpha(), 0);
    const QColor lead = image.pixelColor(50, 19);
    QCOMPARE(lead.alpha(), 255);
    QVERIFY(qAbs(lead.red() - 242) <= 2 && qAbs(lead.green() - 165) <= 2
            && qAbs(lead.blue() - 60) <= 2);

    crawler.setBackgroundColor(Qt::blue);
    crawler.setForegroundColor(Qt::white);
    image = render(&crawler);
    QCOMPARE(image.pixelColor(2, 2), QColor(Qt::blue));
    QCOMPARE(image.pixelColor(50, 19), QColor(Qt::white));
}

void tst_Crawler::startedSpinnerMovesAndStopsStill()
{
    QWidget overlay;
    Crawler &crawler = *new Crawler(&overlay);
    overlay.show();
    QVERIFY(QTest::qWaitForWindowExposed(&overlay));
    QVERIFY(!crawler.animate());
    QVERIFY(!anythingTicking(crawler));
    crawler.setAnimate(true);
    QVERIFY(crawler.isRunning());
    QVERIFY(anythingTicking(crawler));

    const QImage first = render(&crawler);
    QTRY_VERIFY(render(&crawler) != first);

    crawler.setAnimate(false);
    QVERIFY(!anythingTicking(crawler));
    const QImage stopped = render(&crawler);
    QTest::qWait(100);
    QCOMPARE(render(&crawler), stopped);
}

void tst_Crawler::hiddenSpinnerPausesAndResumes()
{
    QWidget overlay;
    auto crawler = new Crawler(&overlay);
    crawler->setAnimate(true);
    QVERIFY(crawler->animate());
    QVERIFY(!anythingTicking(*crawler));

    overlay.show();
    QVERIFY(QTest::qWaitForWindowExposed(&overlay));
    QVERIFY(crawler->isRunning());

    // Hiding the overlay hides the spinner with it.
    overlay.hide();
    QVERIFY(!anythingTicking(*crawler));
    QVERIFY(crawler->animate());

    overlay.show();
    QVERIFY(crawler->isRunning());
    crawler->setAnimate(false);
    overlay.hide();
    overlay.show();
    QVERIFY(!anythingTicking(*crawler));
}

QTEST_MAIN(tst_Crawler)
#include "tst_crawler.moc"
