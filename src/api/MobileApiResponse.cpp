#include "MobileApiResponse.h"

#include "api/JsonReader.h"

namespace Orvex::MobileApiResponse {

std::optional<Verify> Verify::decode(const QJsonValue &value)
{
    JsonReader r(value);
    Verify v;
    v.country = r.optionalString("country");
    v.carrier = r.optionalString("carrier");
    v.status = r.string("status");
    v.message = r.string("message");
    if (!r.ok())
        return std::nullopt;
    return v;
}

std::optional<SmsInfo> SmsInfo::decode(const QJsonValue &value)
{
    JsonReader r(value);
    SmsInfo s;
    s.message = r.string("message");
    s.sid = r.string("sid");
    s.status = r.boolean("status");
    if (!r.ok())
        return std::nullopt;
    return s;
}

std::optional<OrvexCloud> OrvexCloud::decode(const QJsonValue &value)
{
    JsonReader r(value);
    OrvexCloud c;
    c.sms = r.object<SmsInfo>("sms", &SmsInfo::decode);
    if (!r.ok())
        return std::nullopt;
    return c;
}

std::optional<SMS> SMS::decode(const QJsonValue &value)
{
    JsonReader r(value);
    SMS s;
    s.orvexcloud = r.object<OrvexCloud>("orvexcloud", &OrvexCloud::decode);
    if (!r.ok())
        return std::nullopt;
    return s;
}

} // namespace Orvex::MobileApiResponse
