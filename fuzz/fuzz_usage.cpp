// A usage answer as JSON: decoded as DeviceUsageModel and turned into the two
// label texts and the chart points, as the main screen does.

#include "api/JsonReader.h"
#include "api/DeviceUsageModel.h"
#include "usage/UsageFigures.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

using namespace Orvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const auto model = DeviceUsageModel::decode(JsonReader::parseObject(body));
    if (!model)
        return 0;
    if (thisMonthText(*model).isEmpty())
        std::abort(); // the month's total always has a text
    const QString average = hourlyAverageText(*model);
    if (average.isEmpty() != !model->device_usage.traffic.has_value())
        std::abort(); // empty exactly when the answer has no hourly records
    for (const QDate &today : {QDate(2024, 2, 1), QDate(2023, 12, 31)}) {
        const QList<QPointF> points = chartPoints(*model, today);
        if (!model->device_usage.summary) {
            if (!points.isEmpty())
                std::abort();
            continue;
        }
        if (points.size() < today.daysInMonth())
            std::abort();
        for (const QPointF &p : points) {
            if (p.x() < 1 || p.x() > std::max<qsizetype>(31, points.size()))
                std::abort(); // a day of the month, or a padding position
        }
    }
    return 0;
}
