#pragma once

#include "api/MetadataType.h"

#include <QJsonValue>
#include <QList>
#include <QMetaType>

#include <optional>

namespace Orvex {

struct Info
{
    MetadataType Day;
    MetadataType Month;
    MetadataType Year;
    MetadataType Timezone;
    MetadataType MonthlyUsage;
    MetadataType device;

    static std::optional<Info> decode(const QJsonValue &value);
};

// One day of the month's history.
struct DaylySummary
{
    MetadataType average;
    MetadataType date;
    MetadataType usage;

    static std::optional<DaylySummary> decode(const QJsonValue &value);
};

// One hour of traffic.
struct HourlyTraffic
{
    MetadataType Hour;
    MetadataType Day;
    MetadataType Month;
    MetadataType Year;
    MetadataType In;
    MetadataType Out;
    MetadataType Total;

    static std::optional<HourlyTraffic> decode(const QJsonValue &value);
};

struct Usage
{
    Info info;
    std::optional<QList<DaylySummary>> summary;
    std::optional<QList<HourlyTraffic>> traffic;

    static std::optional<Usage> decode(const QJsonValue &value);
};

// The answer to getDeviceUsage.
struct DeviceUsageModel
{
    Usage device_usage;

    static std::optional<DeviceUsageModel> decode(const QJsonValue &value);
};

} // namespace Orvex

// Carried in a QVariant as the object of "DidRecieveDeviceUsage".
Q_DECLARE_METATYPE(Orvex::DeviceUsageModel)
