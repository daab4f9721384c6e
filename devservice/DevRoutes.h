#pragma once

#include "Answer.h"
#include "Store.h"

#include <functional>

namespace httplib {
struct Request;
}

namespace OrvexDev {

class FaultTable;

// Routes under /dev/ for tests and the demo, served only with --dev-routes:
//   GET    /dev/sms?to=NUMBER[&limit=N]   the SMS outbox, newest first
//   GET    /dev/tickets[?limit=N]         help-desk tickets, newest first
//   GET    /dev/faults                    the faults in force
//   POST   /dev/faults                    set or remove one fault (FaultTable::set)
//   DELETE /dev/faults                    remove every fault
//   POST   /dev/usage                     {"udid", "time" (Unix s), "in", "out"}: add traffic
//   GET    /dev/stats                     what the service holds: memory, workers, connections
class DevRoutes
{
public:
    DevRoutes(Store &store, FaultTable &faults)
        : m_store(store)
        , m_faults(faults)
    {}

    Answer handle(const httplib::Request &request);
    // The figures /dev/stats answers with.
    void setStats(std::function<nlohmann::json()> stats) { m_stats = std::move(stats); }

private:
    Answer sms(const httplib::Request &request);
    Answer tickets(const httplib::Request &request);
    Answer faults(const httplib::Request &request);
    Answer usage(const httplib::Request &request);

    Store &m_store;
    FaultTable &m_faults;
    std::function<nlohmann::json()> m_stats;
};

} // namespace OrvexDev
