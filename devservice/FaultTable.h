#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace OrvexDev {

// Faults set by tests for one request path (optionally one `api` of the command
// endpoint): answer late, hang up without answering, fail with an HTML error
// page, cut the body short, or answer with no body at all.
class FaultTable
{
public:
    enum class Kind { Delay, Close, Html500, Truncate, NoBody };

    struct Fault
    {
        Kind kind = Kind::Delay;
        int delayMs = 0;
        int remaining = -1; // requests left to hit; -1: until cleared
        int hits = 0;
    };

    // `spec`: {"path": "/getuser.json", "api": "getcert" (optional),
    //          "fault": "delay" | "close" | "html500" | "truncate" | "nobody" | "none",
    //          "ms": N (the delay; also waits before the other faults),
    //          "times": N (optional)}. "none" removes the fault of that path.
    bool set(const nlohmann::json &spec, std::string *error);
    void clear();

    // The fault for this request, counted as hit; nothing when none is set.
    std::optional<Fault> take(const std::string &path, const std::string &api);

    nlohmann::json list() const;

    static constexpr int maxDelayMs = 120000;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, Fault> m_faults;
};

} // namespace OrvexDev
