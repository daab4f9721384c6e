#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <mutex>
#include <string>

namespace OrvexDev {

// Limits on guessing and flooding, kept in memory per key ("account:…",
// "source:…", "number:…"). Thread-safe; the number of keys kept is bounded, so
// a flood of made-up keys cannot grow it without end. A key is forgotten only
// once it holds nothing any more (no wait, no count that still matters): when
// the table is full of keys that still matter, a new key is refused as if it
// had to wait, rather than freeing somebody from a wait.
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

    explicit Throttle(size_t maxKeys = 100000)
        : m_maxKeys(maxKeys)
    {}

    struct Attempt
    {
        const std::string &key;
        BackOff rule;
    };

    // Seconds until the key may try again; 0 when it may now.
    std::int64_t waitFor(const std::string &key, std::int64_t now) const;
    // One try of a password, checked and counted for every key under one
    // lock: when none of them must wait, the try counts at once as a failure
    // of each (a right password takes that back), so that tries arriving
    // together cannot all pass while the first is still being checked.
    // Answers 0 then; otherwise the longest wait, and counts nothing.
    std::int64_t attempt(std::initializer_list<Attempt> attempts, std::int64_t now);
    // The password was right: forgets the key's failures.
    void success(const std::string &key);
    // The password was right: takes back the failure the try counted for the
    // key, and its wait when the earlier failures alone earn none.
    void release(const Attempt &attempt);

    // Counts one event for `key` when fewer than `max` happened in the last
    // `windowSeconds`; otherwise counts nothing and answers the seconds until
    // one is allowed again. 0 means allowed (and counted).
    std::int64_t take(const std::string &key, int max, std::int64_t windowSeconds, std::int64_t now);

private:
    struct Entry
    {
        int count = 0;
        std::int64_t since = 0;        // window start, or the last failure
        std::int64_t blockedUntil = 0; // back-off
        std::int64_t expiresAt = 0;    // from then on the entry holds nothing
    };
    void countFailure(Entry &entry, const BackOff &rule, std::int64_t now);
    // The key's entry, made when missing and there is room; null otherwise.
    Entry *entry(const std::string &key, std::int64_t now);
    bool makeRoom(size_t keys, std::int64_t now);
    void touched(const Entry &entry);
    std::int64_t waitForRoom(std::int64_t now) const;

    const size_t m_maxKeys;
    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
    // No entry expires before this: while the table is full, nothing can be
    // freed before then, so it is not scanned in vain on every request.
    std::int64_t m_nextExpiry = std::numeric_limits<std::int64_t>::max();
};

} // namespace OrvexDev
