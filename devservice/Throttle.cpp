#include "Throttle.h"

#include <algorithm>

namespace OrvexDev {

namespace {

// A key untouched for this long has nothing left to remember.
constexpr std::int64_t forgetAfterSeconds = 3600;

} // namespace

std::int64_t Throttle::waitFor(const std::string &key, std::int64_t now) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || it->second.blockedUntil <= now)
        return 0;
    return it->second.blockedUntil - now;
}

void Throttle::failure(const std::string &key, const BackOff &rule, std::int64_t now)
{
    std::lock_guard lock(m_mutex);
    prune(now);
    Entry &entry = m_entries[key];
    // Failures long past do not count against a key for ever.
    if (entry.count > 0 && now - entry.since > rule.maxDelaySeconds * 4)
        entry.count = 0;
    entry.count = std::min(entry.count + 1, 1 << 20);
    entry.since = now;
    const int over = entry.count - rule.freeFailures;
    if (over <= 0)
        return;
    std::int64_t delay = rule.firstDelaySeconds;
    for (int i = 1; i < over && delay < rule.maxDelaySeconds; ++i)
        delay *= 2;
    entry.blockedUntil = now + std::min(delay, rule.maxDelaySeconds);
}

void Throttle::success(const std::string &key)
{
    std::lock_guard lock(m_mutex);
    m_entries.erase(key);
}

std::int64_t Throttle::take(const std::string &key, int max, std::int64_t windowSeconds, std::int64_t now)
{
    std::lock_guard lock(m_mutex);
    prune(now);
    Entry &entry = m_entries[key];
    if (entry.count == 0 || now - entry.since >= windowSeconds) {
        entry.count = 0;
        entry.since = now;
    }
    if (entry.count >= max)
        return std::max<std::int64_t>(1, entry.since + windowSeconds - now);
    ++entry.count;
    return 0;
}

void Throttle::prune(std::int64_t now)
{
    if (m_entries.size() < maxKeys)
        return;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.blockedUntil <= now && now - it->second.since > forgetAfterSeconds)
            it = m_entries.erase(it);
        else
            ++it;
    }
    // Still full of live keys: the oldest go, so the table stays bounded.
    while (m_entries.size() >= maxKeys)
        m_entries.erase(std::min_element(m_entries.begin(), m_entries.end(), [](const auto &a, const auto &b) {
            return a.second.since < b.second.since;
        }));
}

} // namespace OrvexDev
