#include "URLRouter.h"

#include "api/Utility.h"
#include "config/Config.h"
#include "platform/SystemInfo.h"

namespace Orvex {

URLRouter URLRouter::getUser(const QString &email, const std::optional<QString> &password)
{
    URLRouter r(Case::getUser, {email});
    r.m_password = password;
    return r;
}

URLRouter URLRouter::addUser(const QString &name, const QString &email, const QString &password,
                             const QString &phoneNumber)
{
    return URLRouter(Case::addUser, {name, email, password, phoneNumber});
}

URLRouter URLRouter::checkUser(const QString &email)
{
    return URLRouter(Case::checkUser, {email});
}

URLRouter URLRouter::verifyMobile(const QString &phoneNumber)
{
    return URLRouter(Case::verifyMobile, {phoneNumber});
}

URLRouter URLRouter::sendSms(const QString &toNumber, const QString &message, const QString &verify)
{
    return URLRouter(Case::sendSms, {toNumber, message, verify});
}

URLRouter URLRouter::addDevice(const QString &udid, const QString &email)
{
    return URLRouter(Case::addDevice, {udid, email});
}

URLRouter URLRouter::getCert(const QString &password, const QString &udid, const QString &email,
                             const QString &token)
{
    return URLRouter(Case::getCert, {password, udid, email, token});
}

URLRouter URLRouter::getDeviceUsage(const QString &udid, const QDateTime &day)
{
    URLRouter r(Case::getDeviceUsage, {udid});
    r.m_day = day;
    return r;
}

URLRouter URLRouter::checkForUpdates(const QString &version)
{
    return URLRouter(Case::checkForUpdates, {version});
}

URLRouter URLRouter::getVerificationCode()
{
    return URLRouter(Case::getVerificationCode, {});
}

URLRouter URLRouter::getToken()
{
    return URLRouter(Case::getToken, {});
}

QString URLRouter::path() const
{
    switch (m_case) {
    case Case::getUser:
        return QStringLiteral("/getuser.json");
    case Case::addUser:
        return QStringLiteral("/adduser.json");
    case Case::checkUser:
        return QStringLiteral("/checkUserAccount.json");
    case Case::verifyMobile:
        return QStringLiteral("/iOS/lookup.php");
    case Case::sendSms:
        return QStringLiteral("/iOS/sms_orvex.php");
    case Case::addDevice:
        return QStringLiteral("/adddevice.json");
    case Case::getCert:
    case Case::getDeviceUsage:
    case Case::getToken:
        return QStringLiteral("/portableapi/portable.php");
    case Case::checkForUpdates:
        return QStringLiteral("/v3/ov/checkupdates/");
    case Case::getVerificationCode:
        return QStringLiteral("/iOS/getverification.php");
    }
    return {};
}

URLRouter::QueryItems URLRouter::queryItems(const Config &config) const
{
    auto item = [](const char *name, const QString &value) {
        return std::pair<QString, QString>(QString::fromLatin1(name), value);
    };
    const QStringList &v = m_values;

    switch (m_case) {
    case Case::getUser:
        return {item("user", v[0]), item("check", m_password.value_or(config.serviceCheckValue))};
    case Case::addUser:
        return {item("user", v[1]),  item("password", v[2]),    item("name", v[0]),
                item("email", v[1]), item("phoneNumber", v[3]), item("check", config.signUpCheckValue)};
    case Case::checkUser:
        return {item("check", config.serviceCheckValue), item("user", v[0])};
    case Case::verifyMobile:
        return {item("Number", v[0])};
    case Case::sendSms:
        return {item("ToNumbe", v[0]), item("toMsg", v[1]), item("verify", v[2])};
    case Case::addDevice: {
        const QString name = SystemInfo::computerName();
        return {item("udid", v[0]),
                item("user", v[1]),
                item("apn", QStringLiteral("desktop")),
                item("nickName", name.isEmpty() ? QStringLiteral("Unknown") : name),
                item("systemName", QStringLiteral("Linux")),
                item("systemVersion", Utility::systemVersion()),
                item("check", config.serviceCheckValue),
                item("status", QStringLiteral("Active"))};
    }
    case Case::getCert:
        return {item("api", QStringLiteral("getcert")),
                item("ApiID", config.apiIdentifier),
                item("password", v[0]),
                item("Deviceudid", v[1]),
                item("Userid", v[2]),
                item("token", v[3]),
                item("crt_type", QStringLiteral("p12"))};
    case Case::getDeviceUsage: {
        // The day is the local calendar day of the requested moment; the zone
        // offset is the one in force now, in whole hours truncated toward zero.
        const QDate date = m_day.toLocalTime().date();
        const int offsetHours = QDateTime::currentDateTime().offsetFromUtc() / 3600;
        return {item("api", QStringLiteral("getdesktopdevicehistoricalusage")),
                item("ApiID", config.apiIdentifier),
                item("deviceudid", v[0]),
                item("tz", QString::number(offsetHours)),
                item("y", QString::number(date.year())),
                item("m", QString::number(date.month())),
                item("d", QString::number(date.day()))};
    }
    case Case::checkForUpdates:
        return {item("version", v[0]), item("os", QStringLiteral("linux"))};
    case Case::getVerificationCode:
        return {};
    case Case::getToken:
        return {item("api", QStringLiteral("gen_token")), item("ApiID", config.apiIdentifier)};
    }
    return {};
}

QByteArray URLRouter::encodeQuery(const QueryItems &items)
{
    QByteArray query;
    for (const auto &[name, value] : items) {
        if (!query.isEmpty())
            query += '&';
        query += QUrl::toPercentEncoding(name);
        query += '=';
        query += QUrl::toPercentEncoding(value);
    }
    return query;
}

QUrl URLRouter::url(const Config &config) const
{
    // Plain concatenation: the configured base has no trailing slash.
    QUrl url(config.apiBaseURL + path(), QUrl::StrictMode);
    const QueryItems items = queryItems(config);
    if (!items.isEmpty())
        url.setQuery(QString::fromLatin1(encodeQuery(items)), QUrl::StrictMode);
    return url;
}

QNetworkRequest URLRouter::asURLRequest(const Config &config) const
{
    return QNetworkRequest(url(config));
}

} // namespace Orvex
