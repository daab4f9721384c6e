#pragma once

#include "Store.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace OrvexDev::UsageReport {

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t daysFromCivil(std::int64_t year, int month, int day);

// a + b, held at the ends of the range instead of wrapping.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b);
int daysInMonth(std::int64_t year, int month);

// The UTC hours [from, to) of a calendar month in a zone `tzHours` east of UTC.
struct Window
{
    std::int64_t fromHour = 0;
    std::int64_t toHour = 0;
};
Window month(std::int64_t year, int month, int tzHours);

// The answer to getdesktopdevicehistoricalusage: the month's total, one summary
// per day from the 1st to `day`, and the 24 hours of `day`, all in local time.
// `hours` are the device's records within month(year, month, tzHours).
nlohmann::json deviceUsageModel(const std::vector<UsageHour> &hours, std::int64_t year, int month, int day,
                                int tzHours, const std::string &udid);

// Made-up but plausible traffic for the demo: quiet nights, busy evenings, the
// odd day off. The same device and hour always give the same figures.
std::vector<UsageHour> plausibleHistory(const std::string &udid, std::int64_t fromHour, std::int64_t toHour);

} // namespace OrvexDev::UsageReport
