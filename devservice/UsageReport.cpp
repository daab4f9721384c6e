#include "UsageReport.h"

#include <cstdio>

namespace OrvexDev::UsageReport {

// Byte counts stay at the largest value instead of wrapping to a negative one
// when a device's figures come near the top of the range.
std::int64_t saturatingAdd(std::int64_t a, std::int64_t b)
{
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

std::int64_t daysFromCivil(std::int64_t year, int month, int day)
{
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int daysInMonth(std::int64_t year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

Window month(std::int64_t year, int month, int tzHours)
{
    const std::int64_t nextYear = month == 12 ? year + 1 : year;
    const int nextMonth = month == 12 ? 1 : month + 1;
    return {daysFromCivil(year, month, 1) * 24 - tzHours,
            daysFromCivil(nextYear, nextMonth, 1) * 24 - tzHours};
}

nlohmann::json deviceUsageModel(const std::vector<UsageHour> &hours, std::int64_t year, int month, int day,
                                int tzHours, const std::string &udid)
{
    const Window window = UsageReport::month(year, month, tzHours);
    const int days = daysInMonth(year, month);
    std::vector<std::int64_t> perDay(size_t(days), 0);
    std::vector<UsageHour> dayHours(24);
    for (int h = 0; h < 24; ++h)
        dayHours[size_t(h)].hour = h;
    std::int64_t monthly = 0;
    for (const UsageHour &h : hours) {
        if (h.hour < window.fromHour || h.hour >= window.toHour)
            continue;
        const std::int64_t local = h.hour - window.fromHour;
        const size_t dayIndex = size_t(local / 24);
        const std::int64_t total = saturatingAdd(h.bytesIn, h.bytesOut);
        monthly = saturatingAdd(monthly, total);
        perDay[dayIndex] = saturatingAdd(perDay[dayIndex], total);
        if (int(dayIndex) + 1 == day) {
            UsageHour &slot = dayHours[size_t(local % 24)];
            slot.bytesIn = saturatingAdd(slot.bytesIn, h.bytesIn);
            slot.bytesOut = saturatingAdd(slot.bytesOut, h.bytesOut);
        }
    }

    // The figures arrive as numbers and as text, as the service has always sent
    // them: the client reads either.
    nlohmann::json summary = nlohmann::json::array();
    for (int d = 1; d <= day; ++d) {
        char date[32];
        std::snprintf(date, sizeof date, "%04lld-%02d-%02d", static_cast<long long>(year), month, d);
        const std::int64_t usage = perDay[size_t(d - 1)];
        summary.push_back({{"date", date}, {"usage", usage}, {"average", double(usage) / 24.0}});
    }
    nlohmann::json traffic = nlohmann::json::array();
    for (const UsageHour &h : dayHours) {
        traffic.push_back({{"Hour", h.hour},
                           {"Day", day},
                           {"Month", month},
                           {"Year", year},
                           {"In", h.bytesIn},
                           {"Out", h.bytesOut},
                           {"Total", saturatingAdd(h.bytesIn, h.bytesOut)}});
    }
    nlohmann::json info = {{"Day", day},
                           {"Month", month},
                           {"Year", year},
                           {"Timezone", std::to_string(tzHours)},
                           {"MonthlyUsage", monthly},
                           {"device", udid}};
    return {{"device_usage", {{"info", info}, {"summary", summary}, {"traffic", traffic}}}};
}

namespace {

std::uint64_t mix(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

std::uint64_t hashOf(const std::string &text)
{
    std::uint64_t h = 1469598103934665603ULL;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ULL;
    }
    return h;
}

} // namespace

std::vector<UsageHour> plausibleHistory(const std::string &udid, std::int64_t fromHour, std::int64_t toHour)
{
    const std::uint64_t seed = hashOf(udid);
    std::vector<UsageHour> result;
    for (std::int64_t hour = fromHour; hour < toHour; ++hour) {
        const std::int64_t day = hour >= 0 ? hour / 24 : (hour - 23) / 24;
        const int hourOfDay = int(hour - day * 24);
        if (mix(seed ^ std::uint64_t(day)) % 7 == 0)
            continue; // a day without the tunnel
        const std::uint64_t r = mix(seed ^ (std::uint64_t(hour) << 8));
        // Evenings busiest, nights nearly idle.
        static const int weight[24] = {2, 1, 1, 0, 0, 0, 1, 3,  5,  6, 6, 5,
                                       6, 6, 5, 5, 6, 7, 9, 10, 10, 9, 7, 4};
        if (weight[hourOfDay] == 0)
            continue;
        const std::int64_t total = std::int64_t(r % 12'000'000) * weight[hourOfDay];
        if (total == 0)
            continue;
        const std::int64_t received = total * (80 + std::int64_t(r >> 40) % 15) / 100;
        result.push_back({hour, received, total - received});
    }
    return result;
}

} // namespace OrvexDev::UsageReport
