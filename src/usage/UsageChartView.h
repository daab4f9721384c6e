#pragma once

#include "usage/UsageChart.h"

#include <QChartView>
#include <QList>
#include <QPointF>
#include <QStringList>

class QCategoryAxis;
class QGraphicsSimpleTextItem;
class QLineSeries;
class QScatterSeries;
class QValueAxis;

namespace Orvex {

// The main screen's chart of daily traffic: one smooth white line with small
// filled dots over a transparent background (the card behind it is dark), a
// left axis in MB, day numbers below, no grid, no legend, no zoom, no values
// on the points, and a short description (the month) above the plot.
//
// The line is a monotone cubic through the points, drawn as a sampled line:
// between two days it stays between their figures, so unlike an ordinary
// spline it never swings above a busy day or below zero, and shows no
// traffic that was not there.
//
// Built into the chart module with Qt Charts; the client reaches it through
// UsageChart::create.
class UsageChartView final : public QChartView, public UsageChart
{
    Q_OBJECT

public:
    explicit UsageChartView(QWidget *parent = nullptr);
    ~UsageChartView() override;

    QWidget *widget() override { return this; }

    QString descriptionText() const override;
    void setDescriptionText(const QString &text) override;

    // Replaces the chart's only data set. The x axis is then asked for half as
    // many labels as there are points.
    void setPoints(const QList<QPointF> &points) override;
    QList<QPointF> points() const override { return m_points; }

    // The number of x labels asked for: points / 2. The labels drawn are whole
    // days at an even step, at most that many.
    int xAxisLabelCount() const { return m_xLabelCount; }
    QList<qreal> xAxisLabelValues() const;
    // The left axis's labels, bottom to top ("0 MB", "0.5 MB", ...).
    QStringList yAxisLabels() const;

    // Lets the line rise from the bottom over a second. Without data yet the
    // animation waits for the first points.
    void animate() override;
    bool isAnimationPending() const override { return m_animationPending; }

    // The dots: one per point, exactly the points given.
    QScatterSeries *series() const { return m_dots; }
    // The smooth line through them.
    QLineSeries *line() const { return m_line; }

    // The line through `points`, `samples` steps per segment.
    static QList<QPointF> smoothLine(const QList<QPointF> &points, int samples = 12);

    // A left-axis label: at most one decimal, then " MB" ("12 MB", "0.5 MB").
    static QString megabyteLabel(double value);

    static constexpr int animationDurationMs = 1000;
    static constexpr qreal circleRadius = 3;

protected:
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool event(QEvent *event) override;

private:
    void updateAxes();
    void placeDescription();
    void fitAxisPensToScreen();
    void runAnimation();

    void showPoints(const QList<QPointF> &points);

    QLineSeries *m_line;
    QScatterSeries *m_dots;
    QValueAxis *m_xAxis;
    QCategoryAxis *m_yAxis;
    QGraphicsSimpleTextItem *m_description;
    QList<QPointF> m_points;
    int m_xLabelCount = 0;
    bool m_animationPending = false;
};

} // namespace Orvex
