#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace httplib {
struct Request;
}

namespace OrvexDev {

// One HTTP answer, built by the service's handlers and written out by the front
// end (which may still delay, cut or replace it when a fault is set).
struct Answer
{
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;

    static Answer json(const nlohmann::json &document, int status = 200);
    static Answer text(const std::string &text, int status = 200);
};

// Text that came from the network may be anything; answers never fail to encode.
std::string dumpJson(const nlohmann::json &document);

// The outcome envelope every service answer can be tested against. All required
// members are always present.
nlohmann::json envelope(const std::string &command, int code, bool error, const std::string &message);

// Outcome codes of the envelope. The client knows 1, 6, 16 and 17 by number;
// the others are the service's own and reach the user as an unknown error.
namespace Code {
constexpr int ok = 0;
constexpr int alreadyUpdated = 1;
constexpr int badParameter = 2;
constexpr int unknownCommand = 3;
constexpr int notAuthorised = 4;
constexpr int badToken = 5;
constexpr int invalidPassword = 6;
constexpr int userExists = 7;
constexpr int internalError = 8;
constexpr int deviceOfAnotherUser = 9;
constexpr int tooMany = 10;
constexpr int userNotExists = 16;
constexpr int unknownDevice = 17;
} // namespace Code

// Reads one query parameter: the first of its name, decoded. Fails with a
// message naming the parameter when it is missing, longer than `maxLength`
// bytes, not UTF-8 or holds control characters.
class Parameters
{
public:
    explicit Parameters(const httplib::Request &request)
        : m_request(request)
    {}

    bool text(const char *name, size_t maxLength, std::string *value);
    // The same, but a missing parameter gives `fallback` instead of failing.
    bool optionalText(const char *name, size_t maxLength, const std::string &fallback, std::string *value);
    // A decimal integer within [min, max].
    bool integer(const char *name, long long min, long long max, long long *value);

    const std::string &problem() const { return m_problem; }

private:
    const httplib::Request &m_request;
    std::string m_problem;
};

bool isValidUtf8(const std::string &text);

// "2026-03-01T12:00:00Z"
std::string isoTime(std::int64_t unixSeconds);

} // namespace OrvexDev
