// Every screen at QT_SCALE_FACTOR 2 and 1.5: each image sharper than its 1x
// rendering scaled up, no text cut off, the chart's lines as wide as at 1x.

#include "ScreenHost.h"

#include "controls/Button.h"
#include "controls/ImageView.h"
#include "usage/UsageChartView.h"

#include <QAbstractAxis>
#include <QAbstractButton>
#include <QChart>
#include <QLabel>
#include <QLineSeries>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>

#include <cmath>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

// The sum of squared differences between neighbouring pixels: a soft edge
// spreads one step over several pixels and scores less than a sharp one.
double edgeEnergy(const QImage &picture)
{
    const QImage image = picture.convertToFormat(QImage::Format_ARGB32);
    double energy = 0;
    const auto level = [](QRgb p) { return qGray(p) * qAlpha(p) / 255.0; };
    for (int y = 0; y + 1 < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        const auto *next = reinterpret_cast<const QRgb *>(image.constScanLine(y + 1));
        for (int x = 0; x + 1 < image.width(); ++x) {
            const double here = level(line[x]);
            energy += std::pow(here - level(line[x + 1]), 2) + std::pow(here - level(next[x]), 2);
        }
    }
    return energy;
}

} // namespace

class tst_HiDpi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void everyImageIsSharp_data() { ScreenHost::addScreenRows(); }
    void everyImageIsSharp();
    void noTextIsCutOff_data() { ScreenHost::addScreenRows(); }
    void noTextIsCutOff();
    void chartLinesKeepTheirWidth();

private:
    QTemporaryDir m_dir;
    qreal m_ratio = 1;
};

void tst_HiDpi::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_ratio = qApp->devicePixelRatio();
    const qreal wanted = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble();
    QVERIFY2(wanted > 1, "run with QT_SCALE_FACTOR above 1");
    QCOMPARE(m_ratio, wanted);
    ScreenHost::prepareEnvironment(m_dir.path());
}

void tst_HiDpi::everyImageIsSharp()
{
    QFETCH(int, index);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(index));
    QVERIFY(shown.isReady());
    QWidget *screen = shown.screen();

    // Each picture as drawn against the same drawn from a 1x copy of its icon.
    int checked = 0;
    const auto check = [&](QWidget *widget, const QIcon &image, const QSize &size, auto set) {
        const QImage sharp = widget->grab().toImage();
        QCOMPARE(sharp.devicePixelRatio(), m_ratio);
        set(QIcon(image.pixmap(size, 1.0))); // what a client without scalable images shows
        const QImage blurred = widget->grab().toImage();
        set(image);
        QVERIFY2(edgeEnergy(sharp) > 1.3 * edgeEnergy(blurred), qPrintable(widget->objectName()));
        ++checked;
    };
    for (ImageView *view : screen->findChildren<ImageView *>()) {
        if (view->isVisibleTo(screen) && !view->image().isNull() && !view->imageRect().isEmpty())
            check(view, view->image(), view->imageRect().size(),
                  [view](const QIcon &i) { view->setImage(i); });
        if (QTest::currentTestFailed())
            return;
    }
    for (QAbstractButton *button : screen->findChildren<QAbstractButton *>()) {
        if (button->isVisibleTo(screen) && !button->icon().isNull())
            check(button, button->icon(), button->iconSize(),
                  [button](const QIcon &i) { button->setIcon(i); });
        if (QTest::currentTestFailed())
            return;
    }
    QVERIFY(checked > 0 || index != ScreenHost::indexOf("MainViewController"));
}

void tst_HiDpi::noTextIsCutOff()
{
    QFETCH(int, index);
    ScreenHost::ShownScreen shown(ScreenHost::screens().at(index));
    QVERIFY(shown.isReady());
    QWidget *screen = shown.screen();
    QStringList faults;
    const auto fits = [&faults](QWidget *widget, const QString &text, QSize needed, QSize room) {
        if (needed.width() > room.width() || needed.height() > room.height())
            faults << widget->objectName() + u": "_s + text;
    };
    for (QLabel *label : screen->findChildren<QLabel *>()) {
        if (!label->isVisibleTo(screen) || label->text().isEmpty())
            continue;
        if (label->wordWrap() || Qt::mightBeRichText(label->text()))
            fits(label, label->text(), {0, label->heightForWidth(label->width())}, label->size());
        else
            fits(label, label->text(),
                 {label->fontMetrics().size(0, label->text()).width(), label->fontMetrics().height()},
                 label->contentsRect().size());
    }
    for (QAbstractButton *button : screen->findChildren<QAbstractButton *>()) {
        const QString text = qobject_cast<Button *>(button) ? qobject_cast<Button *>(button)->title()
                                                            : button->text();
        if (button->isVisibleTo(screen) && !text.isEmpty() && !button->layout())
            fits(button, text,
                 {button->fontMetrics().horizontalAdvance(QString(text).remove(u'&')),
                  button->fontMetrics().height()},
                 button->size());
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u"; "_s)));
}

void tst_HiDpi::chartLinesKeepTheirWidth()
{
    UsageChartView chart;
    chart.resize(360, 220);
    // A flat month: the usage line runs straight across.
    QList<QPointF> points;
    for (int day = 1; day <= 30; ++day)
        points << QPointF(day, 50);
    chart.setPoints(points);
    // Over black, like the dark card it sits on in the main screen.
    chart.setBackgroundBrush(Qt::black);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));

    const QImage picture = chart.grab().toImage();
    QCOMPARE(picture.devicePixelRatio(), m_ratio);

    // How much of one line a column crosses, in device pixels: each pixel's
    // share of the way from the background to the line's own grey.
    const QRgb background = picture.pixel(1, 1);
    const auto across = [&](int x, qreal fromY, qreal toY, const QColor &colour) {
        const double full = std::abs(qGray(colour.rgb()) - qGray(background));
        double covered = 0;
        for (int y = qMax(0, int(fromY)); y < qMin(picture.height(), int(toY)); ++y)
            covered += std::abs(qGray(picture.pixel(x, y)) - qGray(background)) / full;
        return covered;
    };
    const QRectF plot = chart.chart()->plotArea();
    const QPointF middle = chart.chart()->mapToPosition(QPointF(15.5, 50), chart.line());
    const int x = int(middle.x() * m_ratio);

    const double usageLine = across(x, (middle.y() - 6) * m_ratio, (middle.y() + 6) * m_ratio,
                                    chart.line()->pen().color());
    QVERIFY2(usageLine > 1.6 * m_ratio && usageLine < 2.4 * m_ratio, qPrintable(QString::number(usageLine)));

    const auto *axis = qobject_cast<QAbstractAxis *>(chart.chart()->axes(Qt::Horizontal).value(0));
    QVERIFY(axis);
    const double axisLine = across(x, (plot.bottom() - 3) * m_ratio, (plot.bottom() + 3) * m_ratio,
                                   axis->linePen().color());
    QVERIFY2(axisLine > 0.75 * m_ratio && axisLine < 1.25 * m_ratio, qPrintable(QString::number(axisLine)));
}

QTEST_MAIN(tst_HiDpi)

#include "tst_hidpi.moc"
