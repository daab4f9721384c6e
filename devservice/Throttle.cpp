#include "Throttle.h"

#include <algorithm>

namespace OrvexDev {

std::int64_t Throttle::waitFor(const std::string &key, std::int64_t now) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(key);
    if (it == m_entries.end() || it->second.blockedUntil <= now)
        return 0;
    return it->second.blockedUntil - now;
}

std::int64_t Throttle::attempt(std::initializer_list<Attempt> attempts, std::int64_t now)
{
    std::lock_guard lock(m_mutex);
    std::int64_t wait = 0;
    size_t newKeys = 0;
    for (const Attempt &attempt : attempts) {
        const auto it = m_entries.find(attempt.key);
        if (it == m_entries.end())
            ++newKeys;
        else
            wait = std::max(wait, it->second.blockedUntil - now);
    }
    if (wait > 0)
        return wait;
    // Room for every key, as making room may let one of them go as well.
    if (newKeys > 0 && !makeRoom(attempts.size(), now))
        return waitForRoom(now);
    for (const Attempt &attempt : attempts)
        countFailure(m_entries[attempt.key], attempt.rule, now);
    return 0;
}

void Throttle::countFailure(Entry &entry, const BackOff &rule, std::int64_t now)
{
    // Failures long past do not count against a key for ever.
    const std::int64_t rememberFor = rule.maxDelaySeconds * 4;
    if (entry.count > 0 && now - entry.since > rememberFor)
        entry.count = 0;
    entry.count = std::min(entry.count + 1, 1 << 20);
    entry.since = now;
    const int over = entry.count - rule.freeFailures;
    if (over > 0) {
        std::int64_t delay = rule.firstDelaySeconds;
        for (int i = 1; i < over && delay < rule.maxDelaySeconds; ++i)
            delay *= 2;
        entry.blockedUntil = now + std::min(delay, rule.maxDelaySeconds);
    }
    entry.expiresAt = std::max(entry.blockedUntil, now + rememberFor + 1);
    touched(entry);
}

void Throttle::release(const Attempt &attempt)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(attempt.key);
    if (it == m_entries.end())
        return;
    Entry &entry = it->second;
    entry.count = std::max(entry.count - 1, 0);
    if (entry.count == 0)
        m_entries.erase(it);
    else if (entry.count <= attempt.rule.freeFailures)
        entry.blockedUntil = 0;
}

void Throttle::success(const std::string &key)
{
    std::lock_guard lock(m_mutex);
    m_entries.erase(key);
}

std::int64_t Throttle::take(const std::string &key, int max, std::int64_t windowSeconds, std::int64_t now)
{
    std::lock_guard lock(m_mutex);
    Entry *entry = this->entry(key, now);
    if (!entry)
        return waitForRoom(now);
    if (entry->count == 0 || now - entry->since >= windowSeconds) {
        entry->count = 0;
        entry->since = now;
        entry->expiresAt = now + windowSeconds;
        touched(*entry);
    }
    if (entry->count >= max)
        return std::max<std::int64_t>(1, entry->since + windowSeconds - now);
    ++entry->count;
    return 0;
}

Throttle::Entry *Throttle::entry(const std::string &key, std::int64_t now)
{
    const auto it = m_entries.find(key);
    if (it != m_entries.end())
        return &it->second;
    if (!makeRoom(1, now))
        return nullptr;
    return &m_entries[key];
}

bool Throttle::makeRoom(size_t keys, std::int64_t now)
{
    if (m_entries.size() + keys <= m_maxKeys)
        return true;
    if (now < m_nextExpiry)
        return false;
    // Only entries that hold nothing any more go; the rest tell when the
    // next one will.
    m_nextExpiry = std::numeric_limits<std::int64_t>::max();
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (it->second.expiresAt <= now) {
            it = m_entries.erase(it);
        } else {
            m_nextExpiry = std::min(m_nextExpiry, it->second.expiresAt);
            ++it;
        }
    }
    return m_entries.size() + keys <= m_maxKeys;
}

void Throttle::touched(const Entry &entry)
{
    m_nextExpiry = std::min(m_nextExpiry, entry.expiresAt);
}

std::int64_t Throttle::waitForRoom(std::int64_t now) const
{
    return std::max<std::int64_t>(1, m_nextExpiry - now);
}

} // namespace OrvexDev
