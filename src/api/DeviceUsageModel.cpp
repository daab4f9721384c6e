#include "DeviceUsageModel.h"

#include "api/JsonReader.h"

namespace Orvex {

std::optional<Info> Info::decode(const QJsonValue &value)
{
    JsonReader r(value);
    Info i;
    i.Day = r.metadata("Day");
    i.Month = r.metadata("Month");
    i.Year = r.metadata("Year");
    i.Timezone = r.metadata("Timezone");
    i.MonthlyUsage = r.metadata("MonthlyUsage");
    i.device = r.metadata("device");
    if (!r.ok())
        return std::nullopt;
    return i;
}

std::optional<DaylySummary> DaylySummary::decode(const QJsonValue &value)
{
    JsonReader r(value);
    DaylySummary d;
    d.average = r.metadata("average");
    d.date = r.metadata("date");
    d.usage = r.metadata("usage");
    if (!r.ok())
        return std::nullopt;
    return d;
}

std::optional<HourlyTraffic> HourlyTraffic::decode(const QJsonValue &value)
{
    JsonReader r(value);
    HourlyTraffic h;
    h.Hour = r.metadata("Hour");
    h.Day = r.metadata("Day");
    h.Month = r.metadata("Month");
    h.Year = r.metadata("Year");
    h.In = r.metadata("In");
    h.Out = r.metadata("Out");
    h.Total = r.metadata("Total");
    if (!r.ok())
        return std::nullopt;
    return h;
}

std::optional<Usage> Usage::decode(const QJsonValue &value)
{
    JsonReader r(value);
    Usage u;
    u.info = r.object<Info>("info", &Info::decode);
    u.summary = r.optionalArray<DaylySummary>("summary", &DaylySummary::decode);
    u.traffic = r.optionalArray<HourlyTraffic>("traffic", &HourlyTraffic::decode);
    if (!r.ok())
        return std::nullopt;
    return u;
}

std::optional<DeviceUsageModel> DeviceUsageModel::decode(const QJsonValue &value)
{
    JsonReader r(value);
    DeviceUsageModel m;
    m.device_usage = r.object<Usage>("device_usage", &Usage::decode);
    if (!r.ok())
        return std::nullopt;
    return m;
}

} // namespace Orvex
