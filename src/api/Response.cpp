#include "Response.h"

#include "api/JsonReader.h"

namespace Orvex {

std::optional<Status> Status::decode(const QJsonValue &value)
{
    JsonReader r(value);
    Status s;
    s.code = r.integer("code");
    s.command = r.string("command");
    s.error = r.boolean("error");
    s.errorMessage = r.optionalString("errorMessage");
    s.name = r.optionalString("name");
    s.opf = r.string("opf");
    s.version = r.string("version");
    s.status = r.optionalString("status");
    if (!r.ok())
        return std::nullopt;
    return s;
}

std::optional<Response> Response::decode(const QJsonValue &value)
{
    JsonReader r(value);
    Response response;
    response.status = r.object<Status>("status", &Status::decode);
    if (!r.ok())
        return std::nullopt;
    return response;
}

} // namespace Orvex
