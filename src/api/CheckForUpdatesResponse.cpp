#include "CheckForUpdatesResponse.h"

#include "api/JsonReader.h"

namespace Orvex {

std::optional<CheckUpdateStatus> CheckUpdateStatus::decode(const QJsonValue &value)
{
    JsonReader r(value);
    CheckUpdateStatus s;
    s.version = r.string("version");
    s.command = r.string("command");
    s.opf = r.string("opf");
    s.error = r.boolean("error");
    s.name = r.string("name");
    s.softwareversion = r.string("softwareversion");
    s.code = r.optionalInteger("code");
    if (!r.ok())
        return std::nullopt;
    return s;
}

std::optional<CheckForUpdatesResponse> CheckForUpdatesResponse::decode(const QJsonValue &value)
{
    JsonReader r(value);
    CheckForUpdatesResponse response;
    response.status = r.object<CheckUpdateStatus>("status", &CheckUpdateStatus::decode);
    if (!r.ok())
        return std::nullopt;
    return response;
}

} // namespace Orvex
