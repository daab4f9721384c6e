#include "GatewayUsageMonitor.h"

#include "Store.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace OrvexDev {

namespace {

std::optional<std::int64_t> counter(const Vici::Section &section, const char *key)
{
    const std::string *text = section.value(key);
    if (!text || text->empty())
        return std::nullopt;
    std::int64_t value = 0;
    const auto result = std::from_chars(text->data(), text->data() + text->size(), value);
    if (result.ec != std::errc() || result.ptr != text->data() + text->size() || value < 0)
        return std::nullopt;
    return value;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

} // namespace

GatewayUsageMonitor::GatewayUsageMonitor(std::string socketPath, int intervalMs, std::string vpnDomain,
                                         Store &store)
    : m_socketPath(std::move(socketPath))
    , m_intervalMs(std::max(intervalMs, 100))
    , m_vpnDomain(std::move(vpnDomain))
    , m_store(store)
{}

GatewayUsageMonitor::~GatewayUsageMonitor()
{
    stop();
}

void GatewayUsageMonitor::start()
{
    m_thread = std::thread([this] { run(); });
}

void GatewayUsageMonitor::stop()
{
    if (!m_thread.joinable())
        return;
    m_stopping = true;
    m_thread.join();
}

std::string GatewayUsageMonitor::udidOf(const std::string &identity, const std::string &vpnDomain)
{
    std::string name = identity;
    // A distinguished name: take its common name.
    const size_t cn = identity.find("CN=");
    if (cn != std::string::npos) {
        const size_t end = identity.find_first_of(",/", cn + 3);
        name = identity.substr(cn + 3, end == std::string::npos ? end : end - cn - 3);
    }
    name = lower(name);
    // Appended rather than `"." + std::string`: GCC 12 at -O3 warns
    // (-Wrestrict) about that form's inlined copy, wrongly.
    std::string suffix;
    suffix.reserve(vpnDomain.size() + 1);
    suffix += '.';
    suffix += lower(vpnDomain);
    if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return {};
    const std::string udid = name.substr(0, name.size() - suffix.size());
    return udid.find('.') == std::string::npos ? udid : std::string();
}

void GatewayUsageMonitor::run()
{
    auto nextSample = std::chrono::steady_clock::now();
    while (!m_stopping) {
        if (!m_client.isConnected() && !connect()) {
            // Try again after an interval, watching for stop meanwhile.
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_intervalMs);
            while (!m_stopping && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (std::chrono::steady_clock::now() >= nextSample) {
            sample();
            nextSample = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_intervalMs);
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            nextSample - std::chrono::steady_clock::now());
        std::string error;
        const int wait = int(std::clamp<long long>(left.count(), 0, 200));
        if (m_client.isConnected()
            && !m_client.waitForEvent(
                wait, [this](const std::string &, const Vici::Section &m) { account(m); }, &error)) {
            std::fprintf(stderr, "orvex-devservice: gateway VICI %s: %s\n", m_socketPath.c_str(),
                         error.c_str());
        }
    }
    if (m_client.isConnected())
        sample();
    m_client.close();
}

bool GatewayUsageMonitor::connect()
{
    std::string error;
    bool ok = m_client.connect(m_socketPath, &error);
    // Counters of SAs that end between two samples arrive with these events.
    for (const char *event : {"list-sa", "child-updown", "child-rekey", "ike-updown", "ike-rekey"}) {
        if (!ok)
            break;
        std::string eventError;
        if (!m_client.registerEvent(event, &eventError) && std::string(event) == "list-sa") {
            ok = false;
            error = eventError;
        }
        ok = ok && m_client.isConnected();
    }
    const std::string problem = ok ? std::string() : error;
    if (problem != m_lastProblem) {
        if (ok)
            std::fprintf(stderr, "orvex-devservice: gateway VICI %s: connected\n", m_socketPath.c_str());
        else
            std::fprintf(stderr, "orvex-devservice: gateway VICI %s: %s (retrying)\n", m_socketPath.c_str(),
                         problem.c_str());
        m_lastProblem = problem;
    }
    if (!ok)
        m_client.close();
    return ok;
}

bool GatewayUsageMonitor::sample()
{
    std::string error;
    Vici::Section request;
    request.values.emplace_back("noblock", "yes");
    const auto answer = m_client.command(
        "list-sas", request, [this](const std::string &, const Vici::Section &message) { account(message); },
        &error);
    if (!answer) {
        std::fprintf(stderr, "orvex-devservice: gateway VICI %s: list-sas: %s\n", m_socketPath.c_str(),
                     error.c_str());
        m_lastProblem = error;
        return false;
    }
    const std::int64_t now = std::int64_t(std::time(nullptr));
    if (now - m_lastPrune > 3600) {
        m_store.pruneGatewayCounters(now - 2 * 86400);
        m_lastPrune = now;
    }
    return true;
}

void GatewayUsageMonitor::account(const Vici::Section &message)
{
    // list-sa and the up/down/rekey events all carry IKE SAs as top-level
    // sections named after their connection.
    for (const auto &[name, section] : message.sections)
        accountIkeSa(section);
}

void GatewayUsageMonitor::accountIkeSa(const Vici::Section &ikeSa)
{
    const Vici::Section *children = ikeSa.section("child-sas");
    const std::string *identity = ikeSa.value("remote-id");
    if (!children || !identity)
        return;
    const std::string udid = udidOf(*identity, m_vpnDomain);
    std::int64_t deviceId = 0;
    try {
        if (!udid.empty()) {
            if (const auto device = m_store.device(udid))
                deviceId = device->id;
        }
        const std::int64_t now = std::int64_t(std::time(nullptr));
        for (const auto &[childName, child] : children->sections) {
            const auto bytesIn = counter(child, "bytes-in");
            const auto bytesOut = counter(child, "bytes-out");
            if (!bytesIn || !bytesOut)
                continue;
            const std::string *spiIn = child.value("spi-in");
            const std::string *spiOut = child.value("spi-out");
            const std::string *uniqueId = child.value("uniqueid");
            // SPIs are chosen afresh for every CHILD SA, so they tell a rekeyed
            // SA apart from its predecessor.
            std::string key = *identity + "|";
            if (spiIn && spiOut)
                key += *spiIn + "/" + *spiOut;
            else
                key += childName + "#" + (uniqueId ? *uniqueId : std::string());
            m_store.applyGatewayCounters(key, deviceId, now / 3600, *bytesIn, *bytesOut, now);
        }
    } catch (const StoreError &e) {
        std::fprintf(stderr, "orvex-devservice: cannot record gateway usage: %s\n", e.what());
    }
}

} // namespace OrvexDev
