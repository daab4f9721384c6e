#include "FaultTable.h"

namespace OrvexDev {

namespace {

const std::map<std::string, FaultTable::Kind> &kinds()
{
    static const std::map<std::string, FaultTable::Kind> all = {
        {"delay", FaultTable::Kind::Delay},     {"close", FaultTable::Kind::Close},
        {"html500", FaultTable::Kind::Html500}, {"truncate", FaultTable::Kind::Truncate},
        {"nobody", FaultTable::Kind::NoBody},
    };
    return all;
}

std::string nameOf(FaultTable::Kind kind)
{
    for (const auto &[name, k] : kinds()) {
        if (k == kind)
            return name;
    }
    return {};
}

std::string keyOf(const std::string &path, const std::string &api)
{
    return api.empty() ? path : path + "?api=" + api;
}

bool readCount(const nlohmann::json &spec, const char *name, int max, int *value, std::string *error)
{
    const auto it = spec.find(name);
    if (it == spec.end())
        return true;
    if (!it->is_number_integer() || it->get<long long>() < 0 || it->get<long long>() > max) {
        *error = std::string("\"") + name + "\" must be a whole number from 0 to " + std::to_string(max);
        return false;
    }
    *value = int(it->get<long long>());
    return true;
}

} // namespace

bool FaultTable::set(const nlohmann::json &spec, std::string *error)
{
    if (!spec.is_object()) {
        *error = "the fault must be a JSON object";
        return false;
    }
    const auto path = spec.find("path");
    const auto fault = spec.find("fault");
    const auto api = spec.find("api");
    if (path == spec.end() || !path->is_string() || path->get<std::string>().empty()
        || path->get<std::string>()[0] != '/' || path->get<std::string>().rfind("/dev/", 0) == 0) {
        *error = "\"path\" must be a request path outside /dev/";
        return false;
    }
    if (api != spec.end() && !api->is_string()) {
        *error = "\"api\" must be a string";
        return false;
    }
    if (fault == spec.end() || !fault->is_string()) {
        *error = "\"fault\" must name a fault";
        return false;
    }
    const std::string key = keyOf(*path, api == spec.end() ? std::string() : api->get<std::string>());
    std::lock_guard lock(m_mutex);
    if (*fault == "none") {
        m_faults.erase(key);
        return true;
    }
    const auto kind = kinds().find(fault->get<std::string>());
    if (kind == kinds().end()) {
        *error = "unknown fault; use delay, close, html500, truncate, nobody or none";
        return false;
    }
    Fault entry;
    entry.kind = kind->second;
    int times = -1;
    if (!readCount(spec, "ms", maxDelayMs, &entry.delayMs, error)
        || !readCount(spec, "times", 1000000, &times, error))
        return false;
    if (times == 0) {
        *error = "\"times\" must be at least 1";
        return false;
    }
    entry.remaining = times;
    m_faults[key] = entry;
    return true;
}

void FaultTable::clear()
{
    std::lock_guard lock(m_mutex);
    m_faults.clear();
}

std::optional<FaultTable::Fault> FaultTable::take(const std::string &path, const std::string &api)
{
    std::lock_guard lock(m_mutex);
    if (m_faults.empty())
        return std::nullopt;
    auto it = api.empty() ? m_faults.end() : m_faults.find(keyOf(path, api));
    if (it == m_faults.end())
        it = m_faults.find(path);
    if (it == m_faults.end())
        return std::nullopt;
    Fault &fault = it->second;
    ++fault.hits;
    const Fault taken = fault;
    if (fault.remaining > 0 && --fault.remaining == 0)
        m_faults.erase(it);
    return taken;
}

nlohmann::json FaultTable::list() const
{
    std::lock_guard lock(m_mutex);
    nlohmann::json result = nlohmann::json::array();
    for (const auto &[key, fault] : m_faults) {
        result.push_back({{"key", key},
                          {"fault", nameOf(fault.kind)},
                          {"ms", fault.delayMs},
                          {"remaining", fault.remaining},
                          {"hits", fault.hits}});
    }
    return result;
}

} // namespace OrvexDev
