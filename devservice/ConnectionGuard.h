#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace OrvexDev {

// What the HTTP layer (cpp-httplib 0.11) does not bound, enforced underneath it
// on the TLS connections themselves:
//  - connections per source address: one more than the cap is closed at its
//    first TLS byte, so one host cannot take every worker;
//  - the time a request may take to arrive: from the connection's start, or
//    the end of the previous answer, until the request (headers and body) is
//    complete; a connection over it is shut down, which frees its worker;
//  - the bytes a request may take to arrive, counted as TLS records come in:
//    headers without end, a chunked body without end, both are cut at the
//    budget instead of being gathered in memory.
// Time spent answering does not count: the front end reports when it takes a
// request and when it has answered.
class ConnectionGuard
{
public:
    struct Limits
    {
        int perSource = 16;
        std::chrono::milliseconds requestDeadline{10000};
        std::uint64_t requestBytes = 0;
    };

    struct Figures
    {
        std::uint64_t open = 0;
        std::uint64_t refused = 0;    // over the per-source cap
        std::uint64_t timedOut = 0;   // request did not arrive in time
        std::uint64_t overBudget = 0; // request grew past the byte budget
    };

    explicit ConnectionGuard(Limits limits);
    ~ConnectionGuard();
    ConnectionGuard(const ConnectionGuard &) = delete;
    ConnectionGuard &operator=(const ConnectionGuard &) = delete;

    // Hooks the guard into every connection made with `context`. One guard per
    // process.
    bool install(SSL_CTX &context);
    // Starts and stops the clock that enforces the deadline.
    void start();
    void stop();

    // Around the handling of one request on `ssl`'s connection.
    void requestTaken(const SSL *ssl);
    void answered(const SSL *ssl);

    Figures figures() const;

private:
    struct Connection;
    static void onInfo(const SSL *ssl, int where, int ret);
    static void onMessage(int writing, int version, int contentType, const void *bytes, size_t length,
                          SSL *ssl, void *arg);
    static void onFree(void *parent, void *pointer, CRYPTO_EX_DATA *data, int index, long argl, void *argp);
    void opened(SSL *ssl);
    void received(SSL *ssl, size_t bytes);
    void closed(Connection *connection);
    void watch();

    Limits m_limits;
    mutable std::mutex m_mutex;
    std::map<Connection *, std::unique_ptr<Connection>> m_connections;
    std::map<std::string, int> m_perSource;
    Figures m_figures;
    std::thread m_clock;
    std::condition_variable m_wake;
    bool m_stopping = false;
};

} // namespace OrvexDev
