#pragma once

#include <QList>
#include <QPointF>
#include <QString>

class QWidget;

namespace Orvex {

// The main screen's chart of daily traffic, as the screen uses it. The drawing
// (UsageChartView, on Qt Charts) is in a module of its own, opened when the
// first chart is made: a start that shows only the sign-in screens never maps
// Qt Charts, and the first frame comes sooner and smaller.
class UsageChart
{
public:
    virtual ~UsageChart() = default;

    // The chart's widget; it owns the chart (deleting it deletes the chart).
    virtual QWidget *widget() = 0;

    virtual QString descriptionText() const = 0;
    virtual void setDescriptionText(const QString &text) = 0;
    // Replaces the chart's only data set.
    virtual void setPoints(const QList<QPointF> &points) = 0;
    virtual QList<QPointF> points() const = 0;
    // Lets the line rise from the bottom; without data yet it waits for the
    // first points.
    virtual void animate() = 0;
    virtual bool isAnimationPending() const = 0;

    // A chart inside `parent`. Without the module (not installed, or not
    // loadable) a blank panel stands in that keeps the figures, so the screen
    // still works; the failure is logged once.
    static UsageChart *create(QWidget *parent);
    // Opens the module on a worker thread, once: called when the main screen
    // is near (a sign-in under way), so that making the chart then does not
    // hold the event loop while Qt Charts is mapped and relocated.
    static void preload();
};

} // namespace Orvex

extern "C" {
// The module's one entry point, looked up by this name.
typedef Orvex::UsageChart *(*OrvexUsageChartCreateFunction)(QWidget *parent);
}
