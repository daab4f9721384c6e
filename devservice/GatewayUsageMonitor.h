#pragma once

#include "ViciClient.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace OrvexDev {

class Store;

// Records each device's real tunnel traffic from a strongSwan gateway: asks
// charon for its SAs (list-sas) every interval and listens for SAs going down or
// being rekeyed, maps each SA's remote identity (<udid>.<vpnDomain>, as a DNS
// name or the CN of a DN) to a device, and adds the growth of the SA's byte
// counters to the device's current hour.
class GatewayUsageMonitor
{
public:
    GatewayUsageMonitor(std::string socketPath, int intervalMs, std::string vpnDomain, Store &store);
    ~GatewayUsageMonitor();

    void start();
    // Takes a last sample when connected, then stops.
    void stop();

    // The udid in an IKE identity, or empty when it names no device of ours.
    static std::string udidOf(const std::string &identity, const std::string &vpnDomain);

private:
    void run();
    bool connect();
    bool sample();
    void account(const Vici::Section &message);
    void accountIkeSa(const Vici::Section &ikeSa);

    std::string m_socketPath;
    int m_intervalMs;
    std::string m_vpnDomain;
    Store &m_store;
    Vici::Client m_client;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
    std::string m_lastProblem;
    std::int64_t m_lastPrune = 0;
};

} // namespace OrvexDev
