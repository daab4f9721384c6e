#include "AccountRecords.h"

#include "api/JsonReader.h"

namespace Orvex {

std::optional<Device> Device::decode(const QJsonValue &value)
{
    JsonReader r(value);
    Device d;
    d.apn = r.optionalString("apn");
    d.id = r.optionalString("id");
    d.udid = r.optionalString("udid");
    d.user = r.optionalString("user");
    if (!r.ok())
        return std::nullopt;
    return d;
}

std::optional<UserModel> UserModel::decode(const QJsonValue &value)
{
    JsonReader r(value);
    UserModel u;
    u.email = r.optionalString("email");
    u.id = r.optionalString("id");
    u.name = r.optionalString("name");
    u.password = r.optionalString("password");
    u.phoneNumber = r.optionalString("phoneNumber");
    u.user = r.optionalString("user");
    u.devices = r.optionalArray<Device>("devices", &Device::decode);
    if (!r.ok())
        return std::nullopt;
    return u;
}

std::optional<UserResponse> UserResponse::decode(const QJsonValue &value)
{
    JsonReader r(value);
    UserResponse response;
    response.user = r.object<UserModel>("user", &UserModel::decode);
    if (!r.ok())
        return std::nullopt;
    return response;
}

std::optional<TokenResponse> TokenResponse::decode(const QJsonValue &value)
{
    JsonReader r(value);
    TokenResponse t;
    t.name = r.string("name");
    if (!r.ok())
        return std::nullopt;
    return t;
}

namespace VPNApiResponse {

std::optional<Token> Token::decode(const QJsonValue &value)
{
    JsonReader r(value);
    Token t;
    t.token = r.object<TokenResponse>("token", &TokenResponse::decode);
    if (!r.ok())
        return std::nullopt;
    return t;
}

} // namespace VPNApiResponse

} // namespace Orvex
