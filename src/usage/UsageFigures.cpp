#include "UsageFigures.h"

#include "usage/ByteCountFormatter.h"

#include <cmath>
#include <limits>

namespace Orvex {

namespace {

constexpr double bytesPerMebibyte = 1.0 / 1048576.0; // 9.5367431640625e-07
// 2^63: the first double that no longer fits a qint64.
constexpr double int64Limit = 9223372036854775808.0;

} // namespace

qint64 clampedByteCount(double bytes)
{
    if (std::isnan(bytes))
        return 0;
    if (bytes >= int64Limit)
        return std::numeric_limits<qint64>::max();
    if (bytes <= -int64Limit)
        return std::numeric_limits<qint64>::min();
    return qint64(bytes); // truncates toward zero
}

QString thisMonthText(const DeviceUsageModel &model)
{
    return ByteCountFormatter::string(clampedByteCount(model.device_usage.info.MonthlyUsage.numericValue()));
}

QString hourlyAverageText(const DeviceUsageModel &model)
{
    const auto &traffic = model.device_usage.traffic;
    if (!traffic)
        return {};
    double sum = 0;
    for (const HourlyTraffic &hour : *traffic)
        sum += hour.Total.numericValue();
    return ByteCountFormatter::string(clampedByteCount(sum / 24));
}

QList<QPointF> chartPoints(const DeviceUsageModel &model, const QDate &today)
{
    const auto &summary = model.device_usage.summary;
    if (!summary)
        return {};
    QList<QPointF> points;
    for (const DaylySummary &day : *summary) {
        const QDate date = QDate::fromString(day.date.text(), QStringLiteral("yyyy-MM-dd"));
        if (!date.isValid())
            continue;
        points.append(QPointF(date.day(), day.usage.numericValue() * bytesPerMebibyte));
    }
    const int daysInMonth = today.isValid() ? today.daysInMonth() : 0;
    while (points.size() < daysInMonth)
        points.append(QPointF(points.size() + 1, 0));
    return points;
}

} // namespace Orvex
