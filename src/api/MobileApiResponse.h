#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

namespace Orvex::MobileApiResponse {

// The answer to verifyMobile; a valid mobile number has the status "200".
struct Verify
{
    std::optional<QString> country;
    std::optional<QString> carrier;
    QString status;
    QString message;

    static std::optional<Verify> decode(const QJsonValue &value);
};

struct SmsInfo
{
    QString message;
    QString sid;
    bool status = false;

    static std::optional<SmsInfo> decode(const QJsonValue &value);
};

struct OrvexCloud
{
    SmsInfo sms;

    static std::optional<OrvexCloud> decode(const QJsonValue &value);
};

// The answer to sendSms.
struct SMS
{
    OrvexCloud orvexcloud;

    static std::optional<SMS> decode(const QJsonValue &value);
};

} // namespace Orvex::MobileApiResponse
