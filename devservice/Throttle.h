#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace OrvexDev {

// Limits on guessing and flooding, kept in memory per key ("account:…",
// "source:…", "number:…"). Thread-safe; the number of keys kept is bounded, so
// a flood of made-up keys cannot grow it without end.
class Throttle
{
public:
    // Failures beyond `freeFailures` wait firstDelay, then twice that per
    // further failure, up to maxDelay; a success forgets the key's failures.
    struct BackOff
    {
        int freeFailures;
        std::int64_t firstDelaySeconds;
        std::int64_t maxDelaySeconds;
    };

    // Seconds until the key may try again; 0 when it may now.
    std::int64_t waitFor(const std::string &key, std::int64_t now) const;
    void failure(const std::string &key, const BackOff &rule, std::int64_t now);
    void success(const std::string &key);

    // Counts one event for `key` when fewer than `max` happened in the last
    // `windowSeconds`; otherwise counts nothing and answers the seconds until
    // one is allowed again. 0 means allowed (and counted).
    std::int64_t take(const std::string &key, int max, std::int64_t windowSeconds, std::int64_t now);

    static constexpr size_t maxKeys = 100000;

private:
    struct Entry
    {
        int count = 0;
        std::int64_t since = 0;        // window start, or the last failure
        std::int64_t blockedUntil = 0; // back-off
    };
    void prune(std::int64_t now);

    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
};

} // namespace OrvexDev
