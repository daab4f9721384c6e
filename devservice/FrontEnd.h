#pragma once

#include "Answer.h"

#include <atomic>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace OrvexDev {

class ConnectionGuard;
class DevRoutes;
class FaultTable;
class HelpDesk;
class ServiceApi;

// Routes every request to the help desk, the development routes or the service
// API, applies the fault set for its path, and writes the answer. Request
// logging names the method, the path and the outcome only: query strings carry
// passwords and tokens.
class FrontEnd
{
public:
    FrontEnd(ServiceApi &api, HelpDesk &helpDesk, DevRoutes *devRoutes, FaultTable &faults, bool log)
        : m_api(api)
        , m_helpDesk(helpDesk)
        , m_devRoutes(devRoutes)
        , m_faults(faults)
        , m_log(log)
    {}

    void install(httplib::Server &server);
    // Tells `guard` when each request has arrived and when it is answered.
    void setGuard(ConnectionGuard *guard) { m_guard = guard; }

    // More header fields than this are refused (431) before any routing.
    static constexpr size_t maxHeaderFields = 100;

    // From now on requests are turned away (503); waits until the ones being
    // answered are done, or `timeoutMs` has passed. Answers whether all are done.
    bool drain(int timeoutMs);

private:
    void dispatch(const httplib::Request &request, httplib::Response &response);
    Answer route(const httplib::Request &request);

    ServiceApi &m_api;
    HelpDesk &m_helpDesk;
    DevRoutes *m_devRoutes;
    FaultTable &m_faults;
    bool m_log;
    ConnectionGuard *m_guard = nullptr;
    std::atomic<bool> m_draining{false};
    std::atomic<int> m_active{0};
};

} // namespace OrvexDev
