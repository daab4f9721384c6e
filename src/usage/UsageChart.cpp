#include "UsageChart.h"

#include "platform/Logging.h"
#include "platform/OwnModule.h"
#include "platform/ThreadHandOff.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <QWidget>

#include <atomic>
#include <mutex>
#include <tuple>

namespace Orvex {

namespace {

// Stands in for the drawn chart when the module cannot be opened.
class BlankChart final : public QWidget, public UsageChart
{
public:
    explicit BlankChart(QWidget *parent)
        : QWidget(parent)
    {}
    QWidget *widget() override { return this; }
    QString descriptionText() const override { return m_description; }
    void setDescriptionText(const QString &text) override { m_description = text; }
    void setPoints(const QList<QPointF> &points) override
    {
        m_points = points;
        m_pending = false;
    }
    QList<QPointF> points() const override { return m_points; }
    void animate() override { m_pending = m_points.isEmpty(); }
    bool isAnimationPending() const override { return m_pending; }

private:
    QString m_description;
    QList<QPointF> m_points;
    bool m_pending = false;
};

// Only success is kept. May run on a worker thread (preload): dlopen is
// thread-safe, and the lock makes the main thread wait for a load under way
// rather than start a second one.
std::atomic<OrvexUsageChartCreateFunction> openedFactory{nullptr};
std::mutex openLock;
ThreadHandOff toPool;

Outcome<OrvexUsageChartCreateFunction, QStringList> openModule(const QString &folder)
{
    using Opened = Outcome<OrvexUsageChartCreateFunction, QStringList>;
    const std::lock_guard<std::mutex> lock(openLock);
    if (OrvexUsageChartCreateFunction factory = openedFactory.load())
        return Opened::success(factory);
    const Outcome<void *, QStringList> found = OwnModule::resolve(folder,
                                                                  QStringLiteral(ORVEX_CHART_MODULE_NAME),
                                                                  "orvex_usage_chart_create");
    if (!found.isSuccess())
        return Opened::failure(found.error());
    const auto factory = reinterpret_cast<OrvexUsageChartCreateFunction>(found.value());
    openedFactory.store(factory);
    return Opened::success(factory);
}

OrvexUsageChartCreateFunction chartFactory()
{
    if (OrvexUsageChartCreateFunction factory = openedFactory.load())
        return factory;
    const auto opened = openModule(QCoreApplication::applicationDirPath());
    if (opened.isSuccess())
        return opened.value();
    static bool logged = false;
    if (!logged) {
        logged = true;
        qCWarning(lcDesktop, "the usage chart module could not be opened; the chart stays blank: %s",
                  qPrintable(opened.error().join(QStringLiteral("; "))));
    }
    return nullptr;
}

} // namespace

void UsageChart::preload()
{
    static std::once_flag started;
    std::call_once(started, [] {
        if (openedFactory.load())
            return;
        // The application waits for the global pool's work as it ends.
        const auto passing = toPool.pass();
        QThreadPool::globalInstance()->start([folder = QCoreApplication::applicationDirPath()] {
            toPool.receive();
            // Only a head start: a failure is found again, and said, when the
            // chart is made.
            std::ignore = openModule(folder);
        });
    });
}

UsageChart *UsageChart::create(QWidget *parent)
{
    if (const OrvexUsageChartCreateFunction factory = chartFactory())
        return factory(parent);
    return new BlankChart(parent);
}

} // namespace Orvex
