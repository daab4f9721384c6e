#include "HelpDesk.h"

#include "Secrets.h"

#include <httplib.h>

#include <ctime>

namespace OrvexDev {

namespace {

Answer invalid(const std::string &description)
{
    return Answer::json({{"error", "RecordInvalid"},
                         {"description", "Record validation errors"},
                         {"details", {{"base", {{{"description", description}}}}}}},
                        422);
}

const nlohmann::json *member(const nlohmann::json &object, const char *name)
{
    if (!object.is_object())
        return nullptr;
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

} // namespace

int jsonDepth(const std::string &text)
{
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '[' || c == '{')
            deepest = std::max(deepest, ++depth);
        else if (c == ']' || c == '}')
            --depth;
    }
    return deepest;
}

Answer HelpDesk::handle(const httplib::Request &request)
{
    if (request.method != "POST") {
        Answer answer = Answer::json({{"error", "InvalidEndpoint"}, {"description", "Not found"}}, 405);
        answer.headers.emplace_back("Allow", "POST");
        return answer;
    }
    if (!Secrets::equal(request.get_header_value("Authorization"), m_authorization)) {
        Answer answer = Answer::json({{"error", "Couldn't authenticate you"}}, 401);
        answer.headers.emplace_back("WWW-Authenticate", "Basic realm=\"Web Password\"");
        return answer;
    }
    if (request.body.size() > maxDocument)
        return Answer::json({{"error", "RequestTooLarge"}}, 413);
    if (jsonDepth(request.body) > 32)
        return Answer::json({{"error", "Unprocessable Entity"}, {"description", "Nesting too deep"}}, 400);
    const nlohmann::json document = nlohmann::json::parse(request.body, nullptr, false);
    if (document.is_discarded())
        return Answer::json({{"error", "Unprocessable Entity"},
                             {"description", "The request body is not JSON"}},
                            400);

    const nlohmann::json *ticket = member(document, "ticket");
    if (!ticket || !ticket->is_object())
        return invalid("Ticket: is missing");
    const nlohmann::json *comment = member(*ticket, "comment");
    const nlohmann::json *body = comment ? member(*comment, "body") : nullptr;
    if (!body || !body->is_string() || body->get<std::string>().empty())
        return invalid("Description: cannot be blank");
    const nlohmann::json *requester = member(*ticket, "requester");
    const nlohmann::json *email = requester ? member(*requester, "email") : nullptr;
    if (!email || !email->is_string() || email->get<std::string>().find('@') == std::string::npos)
        return invalid("Requester: email is invalid");
    const nlohmann::json *name = member(*requester, "name");
    const nlohmann::json *subject = member(*ticket, "subject");

    Ticket stored;
    stored.subject = subject && subject->is_string() ? subject->get<std::string>() : "";
    stored.body = body->get<std::string>();
    stored.requesterEmail = email->get<std::string>();
    stored.requesterName = name && name->is_string() ? name->get<std::string>() : "";
    stored.document = request.body;
    stored.createdAt = std::int64_t(std::time(nullptr));
    stored.id = m_store.addTicket(stored);

    const std::string url = "/api/v2/tickets/" + std::to_string(stored.id) + ".json";
    Answer answer = Answer::json({{"ticket",
                                   {{"id", stored.id},
                                    {"url", url},
                                    {"subject", stored.subject},
                                    {"description", stored.body},
                                    {"status", "new"},
                                    {"priority", nullptr},
                                    {"tags", nlohmann::json::array()},
                                    {"created_at", isoTime(stored.createdAt)},
                                    {"updated_at", isoTime(stored.createdAt)}}}},
                                 201);
    answer.headers.emplace_back("Location", url);
    return answer;
}

} // namespace OrvexDev
