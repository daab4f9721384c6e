#include "ConnectionGuard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace OrvexDev {

namespace {

ConnectionGuard *theGuard = nullptr;
int exIndex = -1;

std::string sourceOf(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return "?";
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(&address)->sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(&address)->sin6_addr, text, sizeof text);
    return text;
}

} // namespace

struct ConnectionGuard::Connection
{
    int fd = -1;
    std::string source;
    std::chrono::steady_clock::time_point since;
    std::uint64_t bytes = 0;
    bool answering = false;
    bool cut = false;
};

ConnectionGuard::ConnectionGuard(Limits limits)
    : m_limits(limits)
{
    theGuard = this;
}

ConnectionGuard::~ConnectionGuard()
{
    stop();
    theGuard = nullptr;
}

bool ConnectionGuard::install(SSL_CTX &context)
{
    if (exIndex < 0)
        exIndex = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, &ConnectionGuard::onFree);
    if (exIndex < 0)
        return false;
    SSL_CTX_set_info_callback(&context, &ConnectionGuard::onInfo);
    SSL_CTX_set_msg_callback(&context, &ConnectionGuard::onMessage);
    return true;
}

void ConnectionGuard::start()
{
    std::lock_guard lock(m_mutex);
    if (m_clock.joinable())
        return;
    m_stopping = false;
    m_clock = std::thread([this] { watch(); });
}

void ConnectionGuard::stop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    if (m_clock.joinable())
        m_clock.join();
}

void ConnectionGuard::onInfo(const SSL *ssl, int where, int)
{
    if ((where & SSL_CB_HANDSHAKE_START) && theGuard && exIndex >= 0 && !SSL_get_ex_data(ssl, exIndex))
        theGuard->opened(const_cast<SSL *>(ssl));
}

void ConnectionGuard::onMessage(int writing, int, int contentType, const void *bytes, size_t length, SSL *ssl,
                                void *)
{
    // Every record that comes in announces its length in its 5-byte header.
    if (writing || contentType != SSL3_RT_HEADER || length < 5 || !theGuard)
        return;
    const auto *header = static_cast<const unsigned char *>(bytes);
    theGuard->received(ssl, (size_t(header[3]) << 8) | header[4]);
}

void ConnectionGuard::onFree(void *, void *pointer, CRYPTO_EX_DATA *, int, long, void *)
{
    if (pointer && theGuard)
        theGuard->closed(static_cast<Connection *>(pointer));
}

void ConnectionGuard::opened(SSL *ssl)
{
    const int fd = SSL_get_fd(ssl);
    if (fd < 0)
        return;
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    connection->source = sourceOf(fd);
    connection->since = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    int &count = m_perSource[connection->source];
    if (count >= m_limits.perSource) {
        if (count == 0)
            m_perSource.erase(connection->source);
        ++m_figures.refused;
        // The handshake fails at once and the worker is free again.
        ::shutdown(fd, SHUT_RDWR);
        return;
    }
    ++count;
    ++m_figures.open;
    Connection *key = connection.get();
    m_connections.emplace(key, std::move(connection));
    SSL_set_ex_data(ssl, exIndex, key);
}

void ConnectionGuard::received(SSL *ssl, size_t bytes)
{
    auto *connection = exIndex >= 0 ? static_cast<Connection *>(SSL_get_ex_data(ssl, exIndex)) : nullptr;
    if (!connection)
        return;
    std::lock_guard lock(m_mutex);
    connection->bytes += bytes;
    if (!connection->answering && !connection->cut && m_limits.requestBytes > 0
        && connection->bytes > m_limits.requestBytes) {
        connection->cut = true;
        ++m_figures.overBudget;
        ::shutdown(connection->fd, SHUT_RDWR);
    }
}

void ConnectionGuard::closed(Connection *connection)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_connections.find(connection);
    if (it == m_connections.end())
        return;
    const auto source = m_perSource.find(connection->source);
    if (source != m_perSource.end() && --source->second <= 0)
        m_perSource.erase(source);
    if (m_figures.open > 0)
        --m_figures.open;
    m_connections.erase(it);
}

void ConnectionGuard::requestTaken(const SSL *ssl)
{
    auto *connection = ssl && exIndex >= 0 ? static_cast<Connection *>(SSL_get_ex_data(ssl, exIndex))
                                           : nullptr;
    if (!connection)
        return;
    std::lock_guard lock(m_mutex);
    connection->answering = true;
}

void ConnectionGuard::answered(const SSL *ssl)
{
    auto *connection = ssl && exIndex >= 0 ? static_cast<Connection *>(SSL_get_ex_data(ssl, exIndex))
                                           : nullptr;
    if (!connection)
        return;
    std::lock_guard lock(m_mutex);
    connection->answering = false;
    connection->bytes = 0;
    connection->since = std::chrono::steady_clock::now();
}

ConnectionGuard::Figures ConnectionGuard::figures() const
{
    std::lock_guard lock(m_mutex);
    return m_figures;
}

void ConnectionGuard::watch()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        m_wake.wait_for(lock, std::chrono::milliseconds(100));
        const auto now = std::chrono::steady_clock::now();
        for (auto &[key, connection] : m_connections) {
            if (connection->answering || connection->cut || now - connection->since < m_limits.requestDeadline)
                continue;
            // Shut down under the lock: the connection is removed (when its
            // TLS object is freed) before its descriptor is closed, so this
            // never reaches a descriptor that was reused meanwhile.
            connection->cut = true;
            ++m_figures.timedOut;
            ::shutdown(connection->fd, SHUT_RDWR);
        }
    }
}

} // namespace OrvexDev
