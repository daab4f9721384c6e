#include "FrontEnd.h"

#include "ConnectionGuard.h"

#include "DevRoutes.h"
#include "FaultTable.h"
#include "HelpDesk.h"
#include "ServiceApi.h"
#include "Store.h"

#include <httplib.h>

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace OrvexDev {

namespace {

const char *const errorPage = "<!DOCTYPE html>\n<html><head><title>500 Internal Server Error</title>"
                              "</head><body><h1>Internal Server Error</h1><p>The server"
                              " encountered an internal error and was unable to complete your"
                              " request.</p></body></html>\n";

void write(const Answer &answer, httplib::Response &response)
{
    response.status = answer.status;
    for (const auto &[name, value] : answer.headers)
        response.set_header(name, value);
    response.set_content(answer.body, answer.contentType);
}

// Sends the headers and the first half of the body, then hangs up.
void writeTruncated(const Answer &answer, httplib::Response &response)
{
    response.status = answer.status;
    for (const auto &[name, value] : answer.headers)
        response.set_header(name, value);
    const auto body = std::make_shared<std::string>(answer.body);
    const size_t cut = body->size() / 2;
    response.set_content_provider(body->size(), answer.contentType,
                                  [body, cut](size_t offset, size_t length, httplib::DataSink &sink) {
                                      if (offset >= cut)
                                          return false;
                                      sink.write(body->data() + offset, std::min(length, cut - offset));
                                      return true;
                                  });
}

// Ends the connection under the request without a byte of answer. The server
// still owns (and later closes) the descriptor; shutting it down makes its
// attempt to answer fail.
void hangUp(const httplib::Request &request)
{
    if (!request.ssl)
        return;
    const int fd = SSL_get_fd(request.ssl);
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

const char *reason(int status)
{
    switch (status) {
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 413:
        return "Payload Too Large";
    case 414:
        return "URI Too Long";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    default:
        return "Error";
    }
}

// A path fit for one log line.
std::string printable(const std::string &path)
{
    std::string out;
    for (const char c : path.substr(0, 200))
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? '?' : c;
    return out;
}

} // namespace

void FrontEnd::install(httplib::Server &server)
{
    const auto handler = [this](const httplib::Request &request, httplib::Response &response) {
        dispatch(request, response);
    };
    server.Get(".*", handler);
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Patch(".*", handler);
    server.Delete(".*", handler);
    server.Options(".*", handler);
    // Header lines are bounded in length by the HTTP layer; in number by this
    // (cpp-httplib 0.18 also counts them itself, see the error handler), their
    // bytes by the connection guard.
    server.set_pre_routing_handler([](const httplib::Request &request, httplib::Response &response) {
        if (request.headers.size() <= maxHeaderFields)
            return httplib::Server::HandlerResponse::Unhandled;
        response.status = 431;
        response.set_header("Connection", "close");
        response.set_content(dumpJson({{"error", reason(431)}}), "application/json");
        return httplib::Server::HandlerResponse::Handled;
    });
    // Errors the HTTP layer raises itself (bad request lines, oversize bodies)
    // still get a JSON body. A layer that refuses too many header fields
    // itself calls them a bad request; they are answered as above.
    const httplib::Server::HandlerWithResponse errorHandler = [](const httplib::Request &request,
                                                                 httplib::Response &response) {
        if (response.status == 400 && request.headers.size() >= maxHeaderFields) {
            response.status = 431;
            response.set_header("Connection", "close");
        }
        if (response.body.empty() && response.status != 204 && response.content_length_ == 0) {
            response.set_content(dumpJson({{"error", reason(response.status)}}), "application/json");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    };
    server.set_error_handler(errorHandler);
}

Answer FrontEnd::route(const httplib::Request &request)
{
    const std::string &path = request.path;
    try {
        if (path.rfind("/dev/", 0) == 0) {
            if (m_devRoutes)
                return m_devRoutes->handle(request);
            // Without --dev-routes these paths do not exist at all.
            Answer answer = Answer::json(envelope(path.substr(0, 200), Code::unknownCommand, true,
                                                  "no such request"),
                                         404);
            return answer;
        }
        if (path == "/api/v2/tickets.json")
            return m_helpDesk.handle(request);
        return m_api.handle(request);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "orvex-devservice: %s %s failed: %s\n", request.method.c_str(),
                     printable(path).c_str(), e.what());
        return Answer::json(envelope(path.size() > 200 ? path.substr(0, 200) : path, Code::internalError,
                                     true, "Internal error"),
                            500);
    }
}

bool FrontEnd::drain(int timeoutMs)
{
    m_draining = true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_active > 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return m_active == 0;
}

void FrontEnd::dispatch(const httplib::Request &request, httplib::Response &response)
{
    const auto started = std::chrono::steady_clock::now();
    ++m_active;
    if (m_guard)
        m_guard->requestTaken(request.ssl);
    struct Done
    {
        std::atomic<int> &active;
        ConnectionGuard *guard;
        const SSL *ssl;
        ~Done()
        {
            if (guard)
                guard->answered(ssl);
            --active;
        }
    } done{m_active, m_guard, request.ssl};
    if (m_draining) {
        write(Answer::json({{"error", "Service Unavailable"}}, 503), response);
        response.set_header("Connection", "close");
        return;
    }
    std::optional<FaultTable::Fault> fault;
    if (request.path.rfind("/dev/", 0) != 0)
        fault = m_faults.take(request.path, request.get_param_value("api"));
    if (fault && fault->delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));

    const char *outcome = nullptr;
    if (fault && fault->kind == FaultTable::Kind::Close) {
        hangUp(request);
        outcome = "closed (fault)";
    } else if (fault && fault->kind == FaultTable::Kind::Html500) {
        response.status = 500;
        response.set_content(errorPage, "text/html; charset=utf-8");
        outcome = "500 (fault)";
    } else if (fault && fault->kind == FaultTable::Kind::NoBody) {
        response.status = 204;
        outcome = "204 (fault)";
    } else if (fault && fault->kind == FaultTable::Kind::Truncate) {
        writeTruncated(route(request), response);
        outcome = "truncated (fault)";
    } else {
        write(route(request), response);
    }

    if (m_log) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now()
                                                                              - started);
        std::fprintf(stderr, "orvex-devservice: %s %s %s %lldms\n", request.method.c_str(),
                     printable(request.path).c_str(),
                     outcome ? outcome : std::to_string(response.status).c_str(),
                     static_cast<long long>(ms.count()));
    }
}

} // namespace OrvexDev
