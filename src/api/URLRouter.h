#pragma once

#include <QDateTime>
#include <QList>
#include <QNetworkRequest>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <optional>
#include <utility>

namespace Orvex {

struct Config;

// One value per service request. Building the request has no side effects; the
// values the router computes itself (computer name, system version, time zone,
// calendar day) are taken when the request is built.
class URLRouter
{
public:
    enum class Case {
        getUser,
        addUser,
        checkUser,
        verifyMobile,
        sendSms,
        addDevice,
        getCert,
        getDeviceUsage,
        checkForUpdates,
        getVerificationCode,
        getToken,
    };

    using QueryItems = QList<std::pair<QString, QString>>;

    static URLRouter getUser(const QString &email, const std::optional<QString> &password);
    static URLRouter addUser(const QString &name, const QString &email, const QString &password,
                             const QString &phoneNumber);
    static URLRouter checkUser(const QString &email);
    static URLRouter verifyMobile(const QString &phoneNumber);
    static URLRouter sendSms(const QString &toNumber, const QString &message, const QString &verify);
    static URLRouter addDevice(const QString &udid, const QString &email);
    static URLRouter getCert(const QString &password, const QString &udid, const QString &email,
                             const QString &token);
    static URLRouter getDeviceUsage(const QString &udid, const QDateTime &day);
    static URLRouter checkForUpdates(const QString &version);
    static URLRouter getVerificationCode();
    static URLRouter getToken();

    Case kind() const { return m_case; }
    QString path() const;
    // The service's address and credentials are `config`'s.
    QueryItems queryItems(const Config &config) const;
    QUrl url(const Config &config) const;
    // GET, the URL above, no header fields of its own.
    QNetworkRequest asURLRequest(const Config &config) const;

    // Percent-encodes every character but the unreserved ones, so the service
    // decodes exactly the text the client holds ("+" included).
    static QByteArray encodeQuery(const QueryItems &items);

private:
    URLRouter(Case c, QStringList values)
        : m_case(c)
        , m_values(std::move(values))
    {}

    Case m_case;
    QStringList m_values;
    std::optional<QString> m_password;
    QDateTime m_day;
};

} // namespace Orvex
