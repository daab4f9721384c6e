#pragma once

#include "api/MobileApiResponse.h"
#include "api/AccountRecords.h"
#include "api/Result.h"
#include "api/URLRouter.h"
#include "api/CheckForUpdatesResponse.h"
#include "api/DeviceUsageModel.h"

#include <QByteArray>
#include <QJsonValue>
#include <QObject>
#include <QSslConfiguration>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;

namespace Orvex {

struct Config;

// Sends every service request and turns every answer into a typed result.
// Completions run on the main thread, exactly once. For service requests the
// HTTP status plays no part: an error page goes through the same checks as any
// other answer; only a failure to get an answer at all is a transport failure
// (`generic`). Downloads and posts look at the status too (see there).
class NetworkService final : public QObject
{
    Q_OBJECT

public:
    // Requests go to the service `config` names, trusting its authorities
    // besides the system's; `config` outlives the service. The composition
    // root makes one and hands it to everything that sends requests.
    explicit NetworkService(const Config &config, QObject *parent = nullptr);

    void getUser(const QString &email, const std::optional<QString> &password,
                 Completion<UserResponse> completion = {});
    void addUser(const QString &name, const QString &email, const QString &password,
                 const QString &phoneNumber, Completion<UserResponse> completion = {});
    // Succeeds when the service reports that no account has this e-mail.
    void checkUser(const QString &email, Completion<Empty> completion = {});
    void verifyMobile(const QString &phoneNumber, Completion<MobileApiResponse::Verify> completion = {});
    void sendSms(const QString &toNumber, const QString &message, const QString &verify,
                 Completion<MobileApiResponse::SMS> completion = {});
    void addDevice(const QString &udid, const QString &email, Completion<Empty> completion = {});
    void getCert(const QString &password, const QString &udid, const QString &email, const QString &token,
                 Completion<QByteArray> completion = {});
    void getDeviceUsage(const QString &udid, const QDateTime &day,
                        Completion<DeviceUsageModel> completion = {});
    void checkForUpdates(const QString &version, Completion<CheckForUpdatesResponse> completion = {});
    void getVerificationCode(Completion<QString> completion = {});
    void getToken(Completion<VPNApiResponse::Token> completion = {});

    // What a download may take beyond its own address.
    struct DownloadRules
    {
        // The most bytes the body may have: a larger one fails as soon as it
        // announces or outgrows this, and nothing of it is kept.
        qint64 maxBytes = 0;
        // Whether a redirect to this address is followed, asked at every hop
        // (at most five); without it none is. A refused hop fails the download.
        std::function<bool(const QUrl &)> mayRedirectTo;
    };

    // Downloads `source` to `destination`. Only a complete 2xx answer replaces
    // the destination (written to a temporary file beside it, then renamed);
    // anything else leaves it untouched and fails.
    void download(const QUrl &source, const QString &destination, const DownloadRules &rules,
                  Completion<Empty> completion = {});

    // What a post adds to the checks every answer gets, and the errors its
    // caller has words of its own for.
    struct PostRules
    {
        // The error for an answer whose HTTP status is outside 2xx, a redirect
        // included, decided before its body is looked at; without it the
        // status plays no part, as for service requests.
        std::function<Error(int status)> refused;
        // The error when the connection closes before an answer came: the
        // body may have arrived, and it is not sent again. Without it, the
        // transport's own description.
        std::optional<Error> dropped;
        // The error for an answer over the size limit; without it, the one
        // of service answers.
        std::optional<Error> tooLarge;
    };

    // Posts `body` to `request`'s address with its headers (the help-desk
    // ticket: another host, a credential and a JSON body of its own) under the
    // TLS settings, time and size limits and answer checks of every request;
    // success carries nothing. The body goes out once, over HTTP/1.1 on a
    // connection closed after the answer, and no redirect is followed: each
    // would have to send it a second time.
    void post(const QNetworkRequest &request, const QByteArray &body, const PostRules &rules,
              Completion<Empty> completion = {});

    // A request without progress for `idle`, or still running after `deadline`,
    // fails as timed out. Defaults: 60 s idle, 3 min overall for service
    // requests and posts; downloads get the idle limit and an hour overall.
    void setTimeouts(std::chrono::milliseconds idle, std::chrono::milliseconds deadline,
                     std::chrono::milliseconds downloadDeadline);

    // The TLS settings every request uses: the system's trust store plus the
    // configured extra certificate authorities, read from the configuration
    // when the first request needs them (not when the service is made, which
    // may be before the configuration is in place).
    QSslConfiguration sslConfiguration() const;

    // Steps of the answer handling, exposed so they can be exercised alone
    // (fuzzing, benchmarks).
    // Outcome of the transport, body and envelope checks: the body, or the error.
    // `document` (when given) receives the body as parsed for the envelope
    // check, or undefined when the checks ended before it.
    static Result<QByteArray> checkAnswer(QNetworkReply *reply, const QByteArray &body, bool timedOut,
                                          QJsonValue *document = nullptr);
    // The most bytes of an answer that is kept in memory; a larger one fails.
    static qint64 answerSizeLimit();

private:
    template<typename T>
    void requestDecodable(const URLRouter &router, Completion<T> completion);
    // The checked answer and, when it got that far, the body parsed as JSON.
    using Done = std::function<void(const Result<QByteArray> &, const QJsonValue &document)>;
    // `post` (when given) makes it a post sent once under those rules.
    void send(QNetworkRequest request, const QByteArray &verb, const QByteArray &body, Done done,
              const std::optional<PostRules> &post = std::nullopt);
    // A request whose answer is only checked; success carries nothing.
    void sendChecked(const QNetworkRequest &request, const QByteArray &verb, const QByteArray &body,
                     Completion<Empty> completion, const std::optional<PostRules> &post = std::nullopt);
    void prepare(QNetworkRequest &request) const;

    const Config &m_config;
    QNetworkAccessManager *m_manager;
    mutable std::optional<QSslConfiguration> m_ssl;
    std::chrono::milliseconds m_idle{60000};
    std::chrono::milliseconds m_deadline{180000};
    std::chrono::milliseconds m_downloadDeadline{3600000};
};

} // namespace Orvex
