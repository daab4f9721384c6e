#include "UsageChartView.h"

#include <QCategoryAxis>
#include <QChart>
#include <QFont>
#include <QGraphicsSimpleTextItem>
#include <QLocale>
#include <QPen>
#include <QLineSeries>
#include <QScatterSeries>
#include <QTimer>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace Orvex {

namespace {

const QColor lineColor(255, 255, 255);
const QColor axisLabelColor(255, 255, 255, 220);
const QColor axisLineColor(255, 255, 255, 150);

// A step of 1, 2, 2.5 or 5 times a power of ten that covers `top` in at most
// `intervals`, and that one decimal can label exactly (0.1 at the finest,
// never 0.25).
double niceStep(double top, int intervals)
{
    const double raw = top / intervals;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (;;) {
        for (const double factor : {1.0, 2.0, 2.5, 5.0}) {
            const double step = factor * magnitude;
            const bool labelled = step >= 0.1 - 1e-12 && (factor != 2.5 || magnitude >= 1);
            if (step >= raw - 1e-12 && labelled)
                return step;
        }
        magnitude *= 10;
    }
}

} // namespace

UsageChartView::UsageChartView(QWidget *parent)
    : QChartView(parent)
    , m_line(new QLineSeries)
    , m_dots(new QScatterSeries)
    , m_xAxis(new QValueAxis)
    , m_yAxis(new QCategoryAxis)
{
    auto *chart = new QChart;
    setChart(chart);
    setRenderHint(QPainter::Antialiasing);
    setInteractive(false);
    setRubberBand(QChartView::NoRubberBand);
    setFrameShape(QFrame::NoFrame);
    setStyleSheet(QStringLiteral("background: transparent"));
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::NoFocus);
    // Its drawing surface too: a screen reader would stop on a nameless,
    // empty "filler" there.
    viewport()->setFocusPolicy(Qt::NoFocus);
    setContextMenuPolicy(Qt::NoContextMenu);

    chart->setBackgroundVisible(false);
    chart->setPlotAreaBackgroundVisible(false);
    chart->legend()->hide();
    // Room at the top for the description.
    chart->setMargins(QMargins(4, 24, 10, 2));
    chart->setBackgroundRoundness(0);
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setAnimationDuration(animationDurationMs);

    QPen pen(lineColor);
    pen.setWidthF(2);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    m_line->setPen(pen);
    m_line->setPointLabelsVisible(false);
    m_line->setName(QStringLiteral("Hello"));
    m_dots->setMarkerShape(QScatterSeries::MarkerShapeCircle);
    m_dots->setMarkerSize(circleRadius * 2);
    m_dots->setColor(lineColor); // filled: no hole
    m_dots->setBorderColor(lineColor);
    m_dots->setPen(QPen(lineColor, 0.5));
    m_dots->setPointLabelsVisible(false);
    m_dots->setName(QStringLiteral("Hello"));
    chart->addSeries(m_line);
    chart->addSeries(m_dots);

    QFont labels = font();
    labels.setPixelSize(10);
    for (QAbstractAxis *axis :
         {static_cast<QAbstractAxis *>(m_xAxis), static_cast<QAbstractAxis *>(m_yAxis)}) {
        axis->setGridLineVisible(false);
        axis->setMinorGridLineVisible(false);
        axis->setShadesVisible(false);
        axis->setLinePenColor(axisLineColor);
        axis->setLabelsColor(axisLabelColor);
        axis->setLabelsFont(labels);
        axis->setTitleVisible(false);
    }
    QPen tickPen(axisLineColor);
    tickPen.setWidthF(1);
    m_xAxis->setLinePen(tickPen);
    m_yAxis->setLinePen(tickPen);
    fitAxisPensToScreen();
    m_xAxis->setLabelFormat(QStringLiteral("%.0f"));
    m_xAxis->setTickType(QValueAxis::TicksDynamic);
    m_xAxis->setTickAnchor(1);
    m_xAxis->setMinorTickCount(0);
    m_yAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    // Only a left and a bottom axis: there is no right axis.
    chart->addAxis(m_xAxis, Qt::AlignBottom);
    chart->addAxis(m_yAxis, Qt::AlignLeft);
    for (QXYSeries *series : {static_cast<QXYSeries *>(m_line), static_cast<QXYSeries *>(m_dots)}) {
        series->attachAxis(m_xAxis);
        series->attachAxis(m_yAxis);
    }

    m_description = new QGraphicsSimpleTextItem(chart);
    m_description->setBrush(Qt::white);
    QFont descriptionFont = font();
    descriptionFont.setPixelSize(13);
    descriptionFont.setWeight(QFont::DemiBold);
    m_description->setFont(descriptionFont);
    m_description->setZValue(10);
    connect(chart, &QChart::plotAreaChanged, this, [this] { placeDescription(); });

    updateAxes();
}

UsageChartView::~UsageChartView() = default;

QString UsageChartView::descriptionText() const
{
    return m_description->text();
}

void UsageChartView::setDescriptionText(const QString &text)
{
    m_description->setText(text);
    placeDescription();
}

QString UsageChartView::megabyteLabel(double value)
{
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    // Rounded to one decimal, shown without a trailing ".0".
    const double rounded = std::round(value * 10) / 10;
    const bool whole = std::fabs(rounded - std::round(rounded)) < 1e-9;
    const QString number = locale.toString(rounded, 'f', whole ? 0 : 1);
    return number + QStringLiteral(" MB");
}

void UsageChartView::setPoints(const QList<QPointF> &points)
{
    m_points = points;
    m_xLabelCount = int(points.size() / 2);
    updateAxes();
    if (m_animationPending && !points.isEmpty()) {
        runAnimation();
        return;
    }
    showPoints(points);
}

void UsageChartView::showPoints(const QList<QPointF> &points)
{
    m_line->replace(smoothLine(points));
    m_dots->replace(points);
}

QList<QPointF> UsageChartView::smoothLine(const QList<QPointF> &points, int samples)
{
    const qsizetype n = points.size();
    if (n < 3 || samples < 1)
        return points;

    // Monotone cubic Hermite interpolation (Fritsch-Carlson): between two
    // days the curve stays between their two figures.
    auto width = [&](qsizetype k) { return points[k + 1].x() - points[k].x(); };
    QList<qreal> secant(n - 1);
    for (qsizetype k = 0; k < n - 1; ++k)
        secant[k] = width(k) > 0 ? (points[k + 1].y() - points[k].y()) / width(k) : 0;
    QList<qreal> tangent(n);
    tangent[0] = secant[0];
    tangent[n - 1] = secant[n - 2];
    for (qsizetype k = 1; k < n - 1; ++k)
        tangent[k] = secant[k - 1] * secant[k] > 0 ? (secant[k - 1] + secant[k]) / 2 : 0;
    for (qsizetype k = 0; k < n - 1; ++k) {
        if (secant[k] == 0) {
            tangent[k] = 0;
            tangent[k + 1] = 0;
            continue;
        }
        const qreal a = tangent[k] / secant[k];
        const qreal b = tangent[k + 1] / secant[k];
        const qreal length = a * a + b * b;
        if (length > 9) {
            const qreal tau = 3 / std::sqrt(length);
            tangent[k] = tau * a * secant[k];
            tangent[k + 1] = tau * b * secant[k];
        }
    }

    QList<QPointF> line;
    line.reserve((n - 1) * samples + 1);
    line.append(points.front());
    for (qsizetype k = 0; k < n - 1; ++k) {
        const QPointF &from = points[k];
        const QPointF &to = points[k + 1];
        const qreal h = width(k);
        for (int step = 1; step <= samples; ++step) {
            const qreal t = qreal(step) / samples;
            if (h <= 0) {
                // Days out of order: a straight stroke rather than a loop.
                line.append(from + (to - from) * t);
                continue;
            }
            const qreal t2 = t * t;
            const qreal t3 = t2 * t;
            const qreal y = (2 * t3 - 3 * t2 + 1) * from.y() + (t3 - 2 * t2 + t) * h * tangent[k]
                            + (-2 * t3 + 3 * t2) * to.y() + (t3 - t2) * h * tangent[k + 1];
            line.append(QPointF(from.x() + t * h, y));
        }
    }
    return line;
}

void UsageChartView::updateAxes()
{
    double minX = 1;
    double maxX = 2;
    double maxY = 0;
    if (!m_points.isEmpty()) {
        minX = m_points.front().x();
        maxX = m_points.front().x();
        for (const QPointF &p : std::as_const(m_points)) {
            minX = std::min(minX, p.x());
            maxX = std::max(maxX, p.x());
            maxY = std::max(maxY, p.y());
        }
        if (maxX <= minX)
            maxX = minX + 1;
    }
    // Every change of an axis lays out all its labels again, which is most
    // of what a refresh costs: nothing that stays is set again, and what
    // changes is set with the axis silent, then laid out once by the range
    // (or, when the range stays, by the one signal that says what changed).

    // Half a day of room on either side, so the first and last dots are
    // whole. Whole days at an even step, no more labels than asked for.
    const int wanted = std::max(2, m_xLabelCount);
    const double interval = std::max(1.0, std::ceil((maxX - minX) / (wanted - 1)));
    const bool xTicks = m_xAxis->tickAnchor() != minX || m_xAxis->tickInterval() != interval;
    const bool xRange = m_xAxis->min() != minX - 0.5 || m_xAxis->max() != maxX + 0.5;
    if (xTicks) {
        const QSignalBlocker quiet(m_xAxis);
        m_xAxis->setTickAnchor(minX);
        m_xAxis->setTickInterval(interval);
    }
    if (xRange)
        m_xAxis->setRange(minX - 0.5, maxX + 0.5);
    else if (xTicks)
        Q_EMIT m_xAxis->tickIntervalChanged(interval);

    const int intervals = 4;
    const double step = niceStep(maxY > 0 ? maxY : 1.0, intervals);
    const int steps = std::max(1, int(std::ceil(maxY / step - 1e-9)));
    QStringList labels;
    for (int i = 0; i <= steps; ++i)
        labels << megabyteLabel(i * step);
    const bool yLabels = m_yAxis->categoriesLabels() != labels || m_yAxis->startValue() != 0
                         || (!labels.isEmpty() && m_yAxis->endValue(labels.back()) != steps * step);
    // A little room above the top label for the dots on the highest day; a
    // little below zero so the dots of idle days are whole.
    const double yMin = -steps * step * 0.03;
    const double yMax = steps * step * 1.04;
    const bool yRange = m_yAxis->min() != yMin || m_yAxis->max() != yMax;
    if (yLabels) {
        const QSignalBlocker quiet(m_yAxis);
        for (const QString &label : m_yAxis->categoriesLabels())
            m_yAxis->remove(label);
        m_yAxis->setStartValue(0);
        for (int i = 0; i <= steps; ++i)
            m_yAxis->append(labels[i], i * step);
    }
    if (yRange)
        m_yAxis->setRange(yMin, yMax);
    else if (yLabels)
        Q_EMIT m_yAxis->categoriesChanged();
}

QList<qreal> UsageChartView::xAxisLabelValues() const
{
    QList<qreal> values;
    const qreal interval = m_xAxis->tickInterval();
    if (interval <= 0)
        return values;
    for (qreal x = m_xAxis->tickAnchor(); x <= m_xAxis->max(); x += interval) {
        if (x >= m_xAxis->min())
            values.append(x);
    }
    return values;
}

QStringList UsageChartView::yAxisLabels() const
{
    return m_yAxis->categoriesLabels();
}

void UsageChartView::animate()
{
    m_animationPending = true;
    if (!m_points.isEmpty())
        runAnimation();
}

void UsageChartView::runAnimation()
{
    m_animationPending = false;
    // From the bottom line to the figures: only y moves.
    QList<QPointF> flat = m_points;
    for (QPointF &p : flat)
        p.setY(0);
    chart()->setAnimationOptions(QChart::NoAnimation);
    showPoints(flat);
    chart()->setAnimationOptions(QChart::SeriesAnimations);
    showPoints(m_points);
    QTimer::singleShot(animationDurationMs + 100, this,
                       [this] { chart()->setAnimationOptions(QChart::NoAnimation); });
}

void UsageChartView::resizeEvent(QResizeEvent *event)
{
    QChartView::resizeEvent(event);
    placeDescription();
}

void UsageChartView::showEvent(QShowEvent *event)
{
    fitAxisPensToScreen();
    QChartView::showEvent(event);
}

bool UsageChartView::event(QEvent *event)
{
    // Moved to a screen of another pixel density.
    if (event->type() == QEvent::ScreenChangeInternal)
        fitAxisPensToScreen();
    return QChartView::event(event);
}

void UsageChartView::fitAxisPensToScreen()
{
    // Qt Charts draws axis lines with cosmetic pens, whose width counts
    // device pixels: at 1 the axes would thin to half a point on a HiDPI
    // screen. One device-independent pixel is as many device pixels as the
    // screen's ratio.
    const qreal ratio = devicePixelRatioF();
    for (QAbstractAxis *axis :
         {static_cast<QAbstractAxis *>(m_xAxis), static_cast<QAbstractAxis *>(m_yAxis)}) {
        QPen pen = axis->linePen();
        if (!qFuzzyCompare(pen.widthF(), ratio)) {
            pen.setWidthF(ratio);
            axis->setLinePen(pen);
        }
    }
}

void UsageChartView::placeDescription()
{
    // Above the plot, level with its left edge: clear of the line whatever
    // the figures.
    const QRectF plot = chart()->plotArea();
    m_description->setPos(plot.left(), plot.top() - m_description->boundingRect().height() - 6);
}

} // namespace Orvex

// The module's entry point (see UsageChart::create).
extern "C" __attribute__((visibility("default"))) Orvex::UsageChart *orvex_usage_chart_create(QWidget *parent)
{
    return new Orvex::UsageChartView(parent);
}
