#include "UsageChartView.h"

#include <QCategoryAxis>
#include <QChart>
#include <QFont>
#include <QGraphicsSimpleTextItem>
#include <QLocale>
#include <QPen>
#include <QSplineSeries>
#include <QTimer>
#include <QValueAxis>

#include <algorithm>
#include <cmath>

namespace Orvex {

namespace {

const QColor lineColor = Qt::white;
const QColor axisLabelColor(255, 255, 255, 220);
const QColor axisLineColor(255, 255, 255, 150);

// A step of 1, 2 or 5 times a power of ten (never below 0.1, the finest
// step one decimal can label) that covers `top` in at most `intervals`.
double niceStep(double top, int intervals)
{
    const double raw = top / intervals;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (;;) {
        for (const double factor : {1.0, 2.0, 5.0}) {
            const double step = factor * magnitude;
            if (step >= raw - 1e-12 && step >= 0.1 - 1e-12)
                return step;
        }
        magnitude *= 10;
    }
}

} // namespace

UsageChartView::UsageChartView(QWidget *parent)
    : QChartView(parent)
    , m_series(new QSplineSeries)
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
    setContextMenuPolicy(Qt::NoContextMenu);

    chart->setBackgroundVisible(false);
    chart->setPlotAreaBackgroundVisible(false);
    chart->legend()->hide();
    chart->setMargins(QMargins(4, 8, 10, 2));
    chart->setBackgroundRoundness(0);
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->setAnimationDuration(animationDurationMs);

    QPen pen(lineColor);
    pen.setWidthF(2);
    pen.setCapStyle(Qt::RoundCap);
    m_series->setPen(pen);
    m_series->setColor(lineColor);
    m_series->setPointsVisible(true);
    m_series->setMarkerSize(circleRadius * 2);
    m_series->setPointLabelsVisible(false);
    m_series->setName(QStringLiteral("Hello"));
    chart->addSeries(m_series);

    QFont labels = font();
    labels.setPixelSize(10);
    for (QAbstractAxis *axis : {static_cast<QAbstractAxis *>(m_xAxis), static_cast<QAbstractAxis *>(m_yAxis)}) {
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
    m_xAxis->setLabelFormat(QStringLiteral("%.0f"));
    m_xAxis->setTickType(QValueAxis::TicksDynamic);
    m_xAxis->setTickAnchor(1);
    m_xAxis->setMinorTickCount(0);
    m_yAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    // Only a left and a bottom axis: there is no right axis.
    chart->addAxis(m_xAxis, Qt::AlignBottom);
    chart->addAxis(m_yAxis, Qt::AlignLeft);
    m_series->attachAxis(m_xAxis);
    m_series->attachAxis(m_yAxis);

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
    m_series->replace(points);
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
    m_xAxis->setRange(minX, maxX);
    m_xAxis->setTickAnchor(minX);
    // Whole days at an even step, no more labels than asked for.
    const int wanted = std::max(2, m_xLabelCount);
    m_xAxis->setTickInterval(std::max(1.0, std::ceil((maxX - minX) / (wanted - 1))));

    const int intervals = 4;
    const double step = niceStep(maxY > 0 ? maxY : 1.0, intervals);
    const int steps = std::max(1, int(std::ceil(maxY / step - 1e-9)));
    for (const QString &label : m_yAxis->categoriesLabels())
        m_yAxis->remove(label);
    m_yAxis->setStartValue(0);
    for (int i = 0; i <= steps; ++i)
        m_yAxis->append(megabyteLabel(i * step), i * step);
    m_yAxis->setRange(0, steps * step);
}

QList<qreal> UsageChartView::xAxisLabelValues() const
{
    QList<qreal> values;
    const qreal interval = m_xAxis->tickInterval();
    if (interval <= 0)
        return values;
    for (qreal x = m_xAxis->tickAnchor(); x <= m_xAxis->max() + 1e-9; x += interval) {
        if (x >= m_xAxis->min() - 1e-9)
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
    m_series->replace(flat);
    chart()->setAnimationOptions(QChart::SeriesAnimations);
    m_series->replace(m_points);
    QTimer::singleShot(animationDurationMs + 100, this, [this] {
        chart()->setAnimationOptions(QChart::NoAnimation);
    });
}

void UsageChartView::resizeEvent(QResizeEvent *event)
{
    QChartView::resizeEvent(event);
    placeDescription();
}

void UsageChartView::placeDescription()
{
    const QRectF plot = chart()->plotArea();
    m_description->setPos(plot.left() + 10, plot.top() + 2);
}

} // namespace Orvex
