#include "Answer.h"

#include <httplib.h>

#include <charconv>
#include <ctime>

namespace OrvexDev {

Answer Answer::json(const nlohmann::json &document, int status)
{
    Answer answer;
    answer.status = status;
    answer.body = dumpJson(document);
    return answer;
}

Answer Answer::text(const std::string &text, int status)
{
    Answer answer;
    answer.status = status;
    answer.contentType = "text/plain; charset=utf-8";
    answer.body = text;
    return answer;
}

std::string dumpJson(const nlohmann::json &document)
{
    return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json envelope(const std::string &command, int code, bool error, const std::string &message)
{
    nlohmann::json status = {
        {"code", code},  {"command", command}, {"error", error},
        {"opf", "json"}, {"version", "3.0"},   {"status", error ? "failure" : "success"},
    };
    if (!message.empty())
        status[error ? "errorMessage" : "message"] = message;
    return {{"status", status}};
}

bool isValidUtf8(const std::string &text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        unsigned int codePoint = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            extra = 1;
            codePoint = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            extra = 2;
            codePoint = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            extra = 3;
            codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3f);
        }
        // Overlong forms, surrogates and values beyond Unicode.
        static const unsigned int smallest[] = {0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[extra] || codePoint > 0x10ffff
            || (codePoint >= 0xd800 && codePoint <= 0xdfff))
            return false;
        i += extra + 1;
    }
    return true;
}

std::string isoTime(std::int64_t unixSeconds)
{
    const std::time_t t = std::time_t(unixSeconds);
    struct tm utc;
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool Parameters::text(const char *name, size_t maxLength, std::string *value)
{
    if (!m_request.has_param(name)) {
        m_problem = std::string("missing parameter ") + name;
        return false;
    }
    std::string candidate = m_request.get_param_value(name);
    if (candidate.size() > maxLength) {
        m_problem = std::string("parameter ") + name + " is too long";
        return false;
    }
    if (!isValidUtf8(candidate)) {
        m_problem = std::string("parameter ") + name + " is not UTF-8 text";
        return false;
    }
    for (const char c : candidate) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            m_problem = std::string("parameter ") + name + " holds control characters";
            return false;
        }
    }
    *value = std::move(candidate);
    return true;
}

bool Parameters::optionalText(const char *name, size_t maxLength, const std::string &fallback,
                              std::string *value)
{
    if (!m_request.has_param(name)) {
        *value = fallback;
        return true;
    }
    return text(name, maxLength, value);
}

bool Parameters::integer(const char *name, long long min, long long max, long long *value)
{
    std::string digits;
    if (!text(name, 24, &digits))
        return false;
    long long parsed = 0;
    const char *first = digits.data();
    const char *last = digits.data() + digits.size();
    const auto result = std::from_chars(first, last, parsed);
    if (digits.empty() || result.ec != std::errc() || result.ptr != last || parsed < min || parsed > max) {
        m_problem = std::string("parameter ") + name + " must be a whole number from " + std::to_string(min)
                    + " to " + std::to_string(max);
        return false;
    }
    *value = parsed;
    return true;
}

} // namespace OrvexDev
