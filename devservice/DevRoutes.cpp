#include "DevRoutes.h"

#include "FaultTable.h"
#include "HelpDesk.h"

#include <httplib.h>

namespace OrvexDev {

namespace {

Answer problem(const std::string &message, int status = 400)
{
    return Answer::json({{"error", message}}, status);
}

bool readLimit(const httplib::Request &request, long long *limit, Answer *failure)
{
    *limit = 100;
    if (!request.has_param("limit"))
        return true;
    Parameters parameters(request);
    if (!parameters.integer("limit", 1, 1000, limit)) {
        *failure = problem(parameters.problem());
        return false;
    }
    return true;
}

// Small JSON documents only; anything odd is a 400, never a crash.
std::optional<nlohmann::json> parseSmall(const std::string &body, std::string *error)
{
    if (body.size() > 64 * 1024 || jsonDepth(body) > 8) {
        *error = "the document is too large or too deep";
        return std::nullopt;
    }
    nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
    if (document.is_discarded()) {
        *error = "the body is not JSON";
        return std::nullopt;
    }
    return document;
}

} // namespace

Answer DevRoutes::handle(const httplib::Request &request)
{
    const std::string &path = request.path;
    if (path == "/dev/sms" && request.method == "GET")
        return sms(request);
    if (path == "/dev/tickets" && request.method == "GET")
        return tickets(request);
    if (path == "/dev/faults")
        return faults(request);
    if (path == "/dev/usage" && request.method == "POST")
        return usage(request);
    if (path == "/dev/stats" && request.method == "GET" && m_stats)
        return Answer::json(m_stats());
    return problem("no such development route", 404);
}

Answer DevRoutes::sms(const httplib::Request &request)
{
    Parameters parameters(request);
    std::string to;
    if (!parameters.optionalText("to", 64, "", &to))
        return problem(parameters.problem());
    long long limit = 0;
    Answer failure;
    if (!readLimit(request, &limit, &failure))
        return failure;
    nlohmann::json list = nlohmann::json::array();
    for (const SmsMessage &sms : m_store.sms(to, int(limit))) {
        list.push_back({{"id", sms.id},
                        {"to", sms.to},
                        {"message", sms.message},
                        {"sid", sms.sid},
                        {"created_at", isoTime(sms.createdAt)}});
    }
    return Answer::json(list);
}

Answer DevRoutes::tickets(const httplib::Request &request)
{
    long long limit = 0;
    Answer failure;
    if (!readLimit(request, &limit, &failure))
        return failure;
    nlohmann::json list = nlohmann::json::array();
    for (const Ticket &ticket : m_store.tickets(int(limit))) {
        list.push_back({{"id", ticket.id},
                        {"subject", ticket.subject},
                        {"body", ticket.body},
                        {"requester", {{"email", ticket.requesterEmail}, {"name", ticket.requesterName}}},
                        {"document", nlohmann::json::parse(ticket.document, nullptr, false)},
                        {"created_at", isoTime(ticket.createdAt)}});
    }
    return Answer::json(list);
}

Answer DevRoutes::faults(const httplib::Request &request)
{
    if (request.method == "GET")
        return Answer::json(m_faults.list());
    if (request.method == "DELETE") {
        m_faults.clear();
        return Answer::json(m_faults.list());
    }
    if (request.method != "POST")
        return problem("use GET, POST or DELETE", 405);
    std::string error;
    const auto spec = parseSmall(request.body, &error);
    if (!spec || !m_faults.set(*spec, &error))
        return problem(error);
    return Answer::json(m_faults.list());
}

Answer DevRoutes::usage(const httplib::Request &request)
{
    std::string error;
    const auto spec = parseSmall(request.body, &error);
    if (!spec)
        return problem(error);
    const auto udid = spec->find("udid");
    const auto time = spec->find("time");
    const auto in = spec->find("in");
    const auto out = spec->find("out");
    const auto isCount = [&](nlohmann::json::const_iterator it) {
        return it != spec->end() && it->is_number_integer() && it->get<long long>() >= 0;
    };
    if (udid == spec->end() || !udid->is_string() || !isCount(time) || !isCount(in) || !isCount(out))
        return problem("expected {\"udid\": text, \"time\": Unix seconds, \"in\": bytes,"
                       " \"out\": bytes}");
    const auto device = m_store.device(udid->get<std::string>());
    if (!device)
        return problem("no such device", 404);
    m_store.addUsage(device->id, time->get<long long>() / 3600, in->get<long long>(), out->get<long long>());
    return Answer::json({{"ok", true}});
}

} // namespace OrvexDev
