#pragma once

// The requests the client makes of orvex-devservice, sent as it sends them,
// and what it requires of the answers, for the service's own tests.

#include "DevServiceProcess.h"
#include "ProgramRun.h"
#include "TestFiles.h"

#include "config/Config.h"

#include <QCryptographicHash>
#include <QDate>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace Qt::StringLiterals;

// What the client requires of the outcome envelope: every required member
// present with its type. Answers an empty text when `body` is an envelope with
// `code` and `error`, else what is wrong.
inline QString envelopeProblem(const QByteArray &body, int code, bool error = true)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject status = document.object().value(u"status"_s).toObject();
    if (!document.isObject() || status.isEmpty())
        return u"not an envelope: "_s + QString::fromUtf8(body.left(300));
    for (const QString &member : {u"command"_s, u"opf"_s, u"version"_s}) {
        if (!status.value(member).isString())
            return u"member %1 missing or not text"_s.arg(member);
    }
    const QJsonValue codeValue = status.value(u"code"_s);
    if (!status.value(u"error"_s).isBool() || !codeValue.isDouble()
        || codeValue.toDouble() != double(codeValue.toInt()))
        return u"member error not a Boolean or code not an integer"_s;
    if (codeValue.toInt() != code || status.value(u"error"_s).toBool() != error)
        return u"code %1 error %2 (%3)"_s.arg(codeValue.toInt())
            .arg(status.value(u"error"_s).toBool())
            .arg(status.value(u"errorMessage"_s).toString());
    return {};
}

inline QJsonObject jsonObject(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

// A udid of the client's form: lower-case hexadecimal MD5.
inline QString udidFor(const QString &seed)
{
    return QString::fromLatin1(QCryptographicHash::hash(seed.toUtf8(), QCryptographicHash::Md5).toHex());
}

// Creates an account; answers its record (empty when refused).
inline QJsonObject signUp(HttpsClient &client, const Orvex::Config &config, const QString &email,
                          const QString &password)
{
    const HttpAnswer answer = client.get(u"/adduser.json"_s, {{u"user"_s, email},
                                                              {u"password"_s, password},
                                                              {u"name"_s, u"Ann Example"_s},
                                                              {u"email"_s, email},
                                                              {u"phoneNumber"_s, u"+33612345678"_s},
                                                              {u"check"_s, config.signUpCheckValue}});
    return jsonObject(answer.body).value(u"user"_s).toObject();
}

inline bool addDevice(HttpsClient &client, const Orvex::Config &config, const QString &udid,
                      const QString &email)
{
    const HttpAnswer answer = client.get(u"/adddevice.json"_s, {{u"udid"_s, udid},
                                                                {u"user"_s, email},
                                                                {u"check"_s, config.serviceCheckValue}});
    return envelopeProblem(answer.body, 0, false).isEmpty();
}

// An account with this machine among its devices.
inline bool registerAccount(HttpsClient &client, const Orvex::Config &config, const QString &email,
                            const QString &password, const QString &udid)
{
    return !signUp(client, config, email, password).isEmpty() && addDevice(client, config, udid, email);
}

inline QString token(HttpsClient &client, const Orvex::Config &config)
{
    const HttpAnswer answer = client.get(u"/portableapi/portable.php"_s,
                                         {{u"api"_s, u"gen_token"_s}, {u"ApiID"_s, config.apiIdentifier}});
    return jsonObject(answer.body).value(u"token"_s).toObject().value(u"name"_s).toString();
}

inline QueryItems certificateQuery(const Orvex::Config &config, const QString &token, const QString &password,
                                   const QString &udid, const QString &email)
{
    return {{u"api"_s, u"getcert"_s},  {u"ApiID"_s, config.apiIdentifier},
            {u"password"_s, password}, {u"Deviceudid"_s, udid},
            {u"Userid"_s, email},      {u"token"_s, token},
            {u"crt_type"_s, u"p12"_s}};
}

// The device's usage model for the month of `date`, `tz` hours east of UTC.
inline QJsonObject usage(HttpsClient &client, const Orvex::Config &config, const QString &udid,
                         const QDate &date, int tz = 0)
{
    const HttpAnswer answer = client.get(u"/portableapi/portable.php"_s,
                                         {{u"api"_s, u"getdesktopdevicehistoricalusage"_s},
                                          {u"ApiID"_s, config.apiIdentifier},
                                          {u"deviceudid"_s, udid},
                                          {u"tz"_s, QString::number(tz)},
                                          {u"y"_s, QString::number(date.year())},
                                          {u"m"_s, QString::number(date.month())},
                                          {u"d"_s, QString::number(date.day())}});
    return jsonObject(answer.body).value(u"device_usage"_s).toObject();
}

inline qint64 monthlyUsage(const QJsonObject &model)
{
    return model.value(u"info"_s).toObject().value(u"MonthlyUsage"_s).toInteger(-1);
}
