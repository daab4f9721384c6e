#pragma once

#include <QJsonValue>
#include <QList>
#include <QString>

#include <optional>

namespace Orvex {

// One machine registered with an account.
struct Device
{
    std::optional<QString> apn;
    std::optional<QString> id;
    std::optional<QString> udid;
    std::optional<QString> user;

    static std::optional<Device> decode(const QJsonValue &value);
};

// The service's account record.
struct UserModel
{
    std::optional<QString> email;
    std::optional<QString> id;
    std::optional<QString> name;
    std::optional<QString> password;
    std::optional<QString> phoneNumber;
    std::optional<QString> user;
    std::optional<QList<Device>> devices;

    static std::optional<UserModel> decode(const QJsonValue &value);
};

// The answer to getUser and addUser.
struct UserResponse
{
    UserModel user;

    static std::optional<UserResponse> decode(const QJsonValue &value);
};

struct TokenResponse
{
    QString name;

    static std::optional<TokenResponse> decode(const QJsonValue &value);
};

namespace VPNApiResponse {

// The answer to getToken: {"token": {"name": ...}}.
struct Token
{
    TokenResponse token;

    static std::optional<Token> decode(const QJsonValue &value);
};

} // namespace VPNApiResponse

} // namespace Orvex
