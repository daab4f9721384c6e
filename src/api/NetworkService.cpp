#include "NetworkService.h"

#include "api/BoundedAnswer.h"
#include "api/JsonReader.h"
#include "api/Response.h"
#include "config/Config.h"
#include "platform/Logging.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMetaEnum>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSaveFile>
#include <QSslCertificate>
#include <QStringDecoder>
#include <QTimer>

#include <algorithm>
#include <cstring>

namespace Orvex {

namespace {

const char *const timedOutProperty = "orvexTimedOut";

// No real answer of the service comes near this (a certificate archive is a few
// kilobytes, a month of usage some hundred); more is a broken or hostile server,
// and keeping it would only cost memory and then block the main thread while
// it is parsed. Downloads go to disk under a limit of their own.
constexpr qint64 maxAnswerSize = qint64(16) * 1024 * 1024;

// Hops a download may take, each one asked about; real mirrors need one or two.
constexpr int maxDownloadRedirects = 5;

// As Qt's own buffers for answers kept in memory: when we lag behind, the
// network thread stops reading rather than queueing the download in memory.
constexpr qint64 downloadReadBuffer = qint64(1024) * 1024;

QString timedOutText()
{
    return QStringLiteral("The request timed out.");
}

// A post's body, readable once. Qt sends a request again when its connection
// closes before an answer came; with a body it cannot rewind, it gives up with
// ContentReSendError instead. The body may have arrived the first time, and a
// second copy would be a second help-desk ticket.
class OneShotBody final : public QIODevice
{
public:
    OneShotBody(QByteArray data, QObject *parent)
        : QIODevice(parent)
        , m_data(std::move(data))
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }

    bool isSequential() const override { return true; }
    bool reset() override { return false; }
    qint64 bytesAvailable() const override
    {
        return m_data.size() - m_position + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *out, qint64 maxSize) override
    {
        const qint64 left = m_data.size() - m_position;
        if (left <= 0)
            return -1;
        const qint64 count = qMin(maxSize, left);
        std::memcpy(out, m_data.constData() + m_position, size_t(count));
        m_position += count;
        return count;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_data;
    qint64 m_position = 0;
};

QString tooLargeText()
{
    return QStringLiteral("The server's answer is larger than %1 MB.")
        .arg(maxAnswerSize / (qint64(1024) * 1024));
}

QString sizeText(qint64 bytes)
{
    constexpr qint64 mebibyte = qint64(1024) * 1024;
    if (bytes >= mebibyte)
        return QStringLiteral("%1 MB").arg(bytes / mebibyte);
    return QStringLiteral("%1 KB").arg(std::max<qint64>(1, bytes / 1024));
}

// Where a refused redirect pointed, as far as it is safe to show: the origin
// only (a path or query may carry anything), percent-encoded.
QString originText(const QUrl &url)
{
    return url.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment)
        .toString(QUrl::FullyEncoded);
}

// A request in the log: its method and path. Never the query, which carries
// the password, the check values and tokens, nor headers or bodies.
QByteArray requestText(const QByteArray &verb, const QUrl &url)
{
    return verb + ' ' + url.path(QUrl::FullyEncoded).toUtf8();
}

// Its answer: the HTTP status and how long it took, or why none came.
void logAnswer(const QByteArray &request, QNetworkReply *reply, const QElapsedTimer &clock)
{
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && status.toInt() < 400) {
        qCDebug(lcApi, "%s: HTTP %d in %lld ms", request.constData(), status.toInt(), clock.elapsed());
    } else if (status.isValid()) {
        qCWarning(lcApi, "%s: HTTP %d in %lld ms", request.constData(), status.toInt(), clock.elapsed());
    } else {
        // The error's name, not its text: Qt's texts may quote the whole URL.
        const char *error = QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(reply->error());
        qCWarning(lcApi, "%s: no answer (%s) after %lld ms", request.constData(), error ? error : "?",
                  clock.elapsed());
    }
}

// An error that only reports the HTTP status of an answer that did arrive.
bool isHttpStatusError(QNetworkReply::NetworkError error)
{
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError)
           || error == QNetworkReply::ProtocolInvalidOperationError
           || (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

// Answers that by definition carry no body, or a server that declared none and
// sent none, count as "no body"; an explicit zero-length body is a body.
bool hasNoBody(QNetworkReply *reply, const QByteArray &body)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 204 || status == 304 || (status >= 100 && status < 200))
        return true;
    if (!body.isEmpty())
        return false;
    const bool declaredLength = reply->hasRawHeader("Content-Length");
    const bool chunked = reply->rawHeader("Transfer-Encoding").toLower().contains("chunked");
    return !declaredLength && !chunked;
}

template<typename T>
void deliver(const Completion<T> &completion, const Result<T> &result)
{
    if (completion)
        completion(result);
}

template<typename T>
Result<T> decodeRecord(const QJsonValue &document)
{
    if (auto record = T::decode(document))
        return Result<T>::success(std::move(*record));
    return Result<T>::failure(Error::Code::cannotParseData);
}

// The error an outcome envelope selects, for a body already parsed.
std::optional<Error> envelopeErrorOf(const QJsonValue &document)
{
    const auto response = Response::decode(document);
    if (!response || !response->status.error)
        return std::nullopt;
    switch (response->status.code) {
    case 1:
        return Error(Error::Code::alreadyUpdated);
    case 6:
        return Error(Error::Code::invalidPassword);
    case 16:
        return Error(Error::Code::userNotExists);
    case 17:
        return Error(Error::Code::unknownDevice);
    default:
        return Error(Error::Code::unknown);
    }
}

} // namespace

NetworkService::NetworkService(const Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_manager(new QNetworkAccessManager(this))
{}

QSslConfiguration NetworkService::sslConfiguration() const
{
    if (!m_ssl) {
        m_ssl = QSslConfiguration::defaultConfiguration();
        // The configured authorities are added by path: that keeps the
        // system's own looked up on demand during a handshake, where listing
        // them all here would parse every file in /etc/ssl/certs on the main
        // thread (close to a second) before the first request could leave.
        for (const QString &path : m_config.caCertificates)
            m_ssl->addCaCertificates(path, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    }
    return *m_ssl;
}

void NetworkService::setTimeouts(std::chrono::milliseconds idle, std::chrono::milliseconds deadline,
                                 std::chrono::milliseconds downloadDeadline)
{
    m_idle = idle;
    m_deadline = deadline;
    m_downloadDeadline = downloadDeadline;
}

void NetworkService::prepare(QNetworkRequest &request) const
{
    request.setSslConfiguration(sslConfiguration());
    request.setTransferTimeout(int(m_idle.count()));
}

Result<QByteArray> NetworkService::checkAnswer(QNetworkReply *reply, const QByteArray &body, bool timedOut,
                                               QJsonValue *document)
{
    // 1. No answer at all.
    const QNetworkReply::NetworkError error = reply->error();
    const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    if (error != QNetworkReply::NoError && !(answered && isHttpStatusError(error))) {
        if (timedOut || error == QNetworkReply::OperationCanceledError)
            return Result<QByteArray>::failure(Error::generic(timedOutText()));
        return Result<QByteArray>::failure(Error::generic(reply->errorString()));
    }
    // 2. No body.
    if (hasNoBody(reply, body))
        return Result<QByteArray>::failure(Error::Code::emptyResponse);
    // 3. The service's error envelope. The parsed body is handed out, so the
    // typed decoding that follows does not parse it a second time.
    const QJsonValue parsed = JsonReader::parseObject(body);
    if (document)
        *document = parsed;
    if (auto envelope = envelopeErrorOf(parsed))
        return Result<QByteArray>::failure(*envelope);
    return Result<QByteArray>::success(body);
}

void NetworkService::send(QNetworkRequest request, const QByteArray &verb, const QByteArray &body, Done done,
                          const std::optional<PostRules> &post)
{
    prepare(request);
    const QByteArray logged = requestText(verb, request.url());
    qCDebug(lcApi, "%s", logged.constData());
    QElapsedTimer clock;
    clock.start();
    QNetworkReply *reply = nullptr;
    if (post) {
        request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
        request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
        // Qt pools connections that may carry HTTP/2 apart from those that may
        // not, and service requests may: a post thus never takes one of their
        // kept-alive connections, which the server may be closing just then
        // (failing the post as dropped), and asks for its own to be closed
        // after the answer.
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        request.setRawHeader("Connection", "close");
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        auto *upload = new OneShotBody(body, nullptr);
        reply = m_manager->sendCustomRequest(request, verb, upload);
        upload->setParent(reply);
    } else {
        reply = m_manager->sendCustomRequest(request, verb, body);
    }

    // The idle limit does not catch a server that trickles bytes forever.
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty(timedOutProperty, true);
        reply->abort();
    });
    deadline->start(m_deadline);

    // The body is taken as it arrives, so an answer that outgrows the limit is
    // dropped as soon as it does (or as soon as its header announces it).
    const std::shared_ptr<BoundedAnswer> answer = BoundedAnswer::watch(reply, maxAnswerSize);
    connect(reply, &QNetworkReply::finished, this,
            [reply, answer, logged, clock, post, done = std::move(done)] {
                reply->deleteLater();
                logAnswer(logged, reply, clock);
                const QByteArray body = answer->finish();
                QJsonValue document;
                // Called only inside this slot, while what it refers to lives.
                auto fail = [&done, &document](const Error &error) { // clazy:exclude=lambda-in-connect
                    done(Result<QByteArray>::failure(error), document);
                };
                if (answer->isTooLarge())
                    return fail(post && post->tooLarge ? *post->tooLarge : Error::generic(tooLargeText()));
                if (post && post->dropped && reply->error() == QNetworkReply::ContentReSendError)
                    return fail(*post->dropped);
                const Result<QByteArray> checked = checkAnswer(reply, body,
                                                               reply->property(timedOutProperty).toBool(),
                                                               &document);
                // Without an answer there is no status: the transport failure
                // stands.
                const bool answered = checked.isSuccess() || !checked.error().isGeneric();
                const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
                if (post && post->refused && answered && status.isValid()
                    && (status.toInt() < 200 || status.toInt() > 299))
                    return fail(post->refused(status.toInt()));
                done(checked, document);
            });
}

template<typename T>
void NetworkService::requestDecodable(const URLRouter &router, Completion<T> completion)
{
    send(router.asURLRequest(m_config), "GET", {},
         [completion](const Result<QByteArray> &answer, const QJsonValue &document) {
             if (!answer.isSuccess())
                 return deliver(completion, Result<T>::failure(answer.error()));
             deliver(completion, decodeRecord<T>(document));
         });
}

void NetworkService::getUser(const QString &email, const std::optional<QString> &password,
                             Completion<UserResponse> completion)
{
    requestDecodable(URLRouter::getUser(email, password), std::move(completion));
}

void NetworkService::addUser(const QString &name, const QString &email, const QString &password,
                             const QString &phoneNumber, Completion<UserResponse> completion)
{
    requestDecodable(URLRouter::addUser(name, email, password, phoneNumber), std::move(completion));
}

void NetworkService::checkUser(const QString &email, Completion<Empty> completion)
{
    // Sign-up asks whether the address is still free: an account record means
    // taken, "user does not exist" means free.
    send(URLRouter::checkUser(email).asURLRequest(m_config), "GET", {},
         [completion](const Result<QByteArray> &answer, const QJsonValue &) {
             if (answer.isSuccess())
                 return deliver(completion, Result<Empty>::failure(Error::Code::userAlreadyExists));
             if (answer.error().code() == Error::Code::userNotExists)
                 return deliver(completion, Result<Empty>::success());
             deliver(completion, Result<Empty>::failure(answer.error()));
         });
}

void NetworkService::verifyMobile(const QString &phoneNumber, Completion<MobileApiResponse::Verify> completion)
{
    requestDecodable(URLRouter::verifyMobile(phoneNumber), std::move(completion));
}

void NetworkService::sendSms(const QString &toNumber, const QString &message, const QString &verify,
                             Completion<MobileApiResponse::SMS> completion)
{
    requestDecodable(URLRouter::sendSms(toNumber, message, verify), std::move(completion));
}

void NetworkService::addDevice(const QString &udid, const QString &email, Completion<Empty> completion)
{
    sendChecked(URLRouter::addDevice(udid, email).asURLRequest(m_config), "GET", {}, std::move(completion));
}

void NetworkService::getCert(const QString &password, const QString &udid, const QString &email,
                             const QString &token, Completion<QByteArray> completion)
{
    send(URLRouter::getCert(password, udid, email, token).asURLRequest(m_config), "GET", {},
         [completion](const Result<QByteArray> &answer, const QJsonValue &) { deliver(completion, answer); });
}

void NetworkService::getDeviceUsage(const QString &udid, const QDateTime &day,
                                    Completion<DeviceUsageModel> completion)
{
    requestDecodable(URLRouter::getDeviceUsage(udid, day), std::move(completion));
}

void NetworkService::checkForUpdates(const QString &version, Completion<CheckForUpdatesResponse> completion)
{
    requestDecodable(URLRouter::checkForUpdates(version), std::move(completion));
}

void NetworkService::getVerificationCode(Completion<QString> completion)
{
    send(URLRouter::getVerificationCode().asURLRequest(m_config), "GET", {},
         [completion](const Result<QByteArray> &answer, const QJsonValue &) {
             if (!answer.isSuccess())
                 return deliver(completion, Result<QString>::failure(answer.error()));
             QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
             const QString text = utf8(answer.value());
             if (utf8.hasError())
                 return deliver(completion, Result<QString>::failure(Error::Code::cannotParseData));
             deliver(completion, Result<QString>::success(text));
         });
}

void NetworkService::getToken(Completion<VPNApiResponse::Token> completion)
{
    requestDecodable(URLRouter::getToken(), std::move(completion));
}

void NetworkService::sendChecked(const QNetworkRequest &request, const QByteArray &verb,
                                 const QByteArray &body, Completion<Empty> completion,
                                 const std::optional<PostRules> &post)
{
    send(
        request, verb, body,
        [completion](const Result<QByteArray> &answer, const QJsonValue &) {
            if (!answer.isSuccess())
                return deliver(completion, Result<Empty>::failure(answer.error()));
            deliver(completion, Result<Empty>::success());
        },
        post);
}

void NetworkService::post(const QNetworkRequest &request, const QByteArray &body, const PostRules &rules,
                          Completion<Empty> completion)
{
    sendChecked(request, "POST", body, std::move(completion), rules);
}

void NetworkService::download(const QUrl &source, const QString &destination, const DownloadRules &rules,
                              Completion<Empty> completion)
{
    QNetworkRequest request(source);
    prepare(request);
    // Every hop is asked about: Qt's own policies would follow a redirect to
    // any https address, and the rules may allow far fewer.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(maxDownloadRedirects);
    const QByteArray logged = requestText("GET", source);
    qCDebug(lcApi, "%s (download)", logged.constData());
    QElapsedTimer clock;
    clock.start();
    QNetworkReply *reply = m_manager->get(request);
    reply->setReadBufferSize(downloadReadBuffer);

    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty(timedOutProperty, true);
        reply->abort();
    });
    deadline->start(m_downloadDeadline);

    // QSaveFile writes beside the destination and renames only on commit(), so
    // a broken transfer never leaves a partial file under the final name.
    auto file = std::make_shared<QSaveFile>(destination);
    auto fileError = std::make_shared<QString>();
    auto written = std::make_shared<qint64>(0);
    const qint64 maxBytes = rules.maxBytes;
    const QString tooLarge = QStringLiteral("The download is larger than %1, the most it may be.")
                                 .arg(sizeText(maxBytes));
    auto statusOk = [reply] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return status >= 200 && status < 300;
    };
    auto writeAvailable = [reply, file, fileError, destination, written, maxBytes, tooLarge] {
        if (!fileError->isEmpty())
            return;
        if (!file->isOpen()) {
            const QFileInfo info(destination);
            if (!QDir().mkpath(info.absolutePath())) {
                *fileError = QStringLiteral("Cannot create the folder %1.").arg(info.absolutePath());
                return;
            }
            if (!file->open(QIODevice::WriteOnly)) {
                *fileError = file->errorString();
                return;
            }
        }
        // Only up to one byte past the limit is taken: that byte tells it is
        // exceeded, and nothing more of such an answer is read.
        const QByteArray chunk = reply->read(std::min(reply->bytesAvailable(), maxBytes + 1 - *written));
        *written += chunk.size();
        if (*written > maxBytes) {
            *fileError = tooLarge;
            return;
        }
        if (file->write(chunk) != chunk.size())
            *fileError = file->errorString();
    };

    connect(reply, &QNetworkReply::redirected, this,
            [reply, fileError, mayRedirectTo = rules.mayRedirectTo](const QUrl &target) {
                if (mayRedirectTo && mayRedirectTo(target)) {
                    Q_EMIT reply->redirectAllowed();
                    return;
                }
                *fileError = QStringLiteral(
                                 "The server redirected the download to %1, which is not an address"
                                 " it may come from.")
                                 .arg(originText(target));
                reply->abort();
            });

    // A declared length over the limit is refused before any of the body.
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, statusOk, fileError, maxBytes, tooLarge] {
        // Again now: a bound set before the request ran in Qt's network
        // thread may not have reached it (see BoundedAnswer).
        reply->setReadBufferSize(downloadReadBuffer);
        bool known = false;
        const qint64 declared = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if (statusOk() && known && declared > maxBytes && fileError->isEmpty()) {
            *fileError = tooLarge;
            reply->abort();
        }
    });

    connect(reply, &QNetworkReply::readyRead, this, [reply, statusOk, writeAvailable, fileError] {
        if (!fileError->isEmpty())
            return;
        if (!statusOk()) {
            reply->readAll(); // an error page or a redirect: keep nothing of it
            return;
        }
        writeAvailable();
        if (!fileError->isEmpty())
            reply->abort();
    });

    connect(reply, &QNetworkReply::finished, this,
            [reply, file, fileError, statusOk, writeAvailable, completion, logged, clock] {
                reply->deleteLater();
                logAnswer(logged, reply, clock);
                const QNetworkReply::NetworkError error = reply->error();
                const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
                // Called only inside this slot, while what it refers to lives.
                auto fail = [&file, &completion](const QString &text) { // clazy:exclude=lambda-in-connect
                    // The temporary file goes now, not when the reply is gone.
                    file->cancelWriting();
                    if (file->isOpen())
                        file->commit();
                    deliver(completion, Result<Empty>::failure(Error::generic(text)));
                };
                if (!fileError->isEmpty())
                    return fail(*fileError);
                if (error != QNetworkReply::NoError && !(answered && isHttpStatusError(error))) {
                    if (reply->property(timedOutProperty).toBool()
                        || error == QNetworkReply::OperationCanceledError)
                        return fail(timedOutText());
                    return fail(reply->errorString());
                }
                if (!statusOk()) {
                    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                    return fail(QStringLiteral("The server answered with HTTP status %1.").arg(status));
                }
                writeAvailable();
                if (!fileError->isEmpty())
                    return fail(*fileError);
                if (!file->commit())
                    return fail(file->errorString());
                deliver(completion, Result<Empty>::success());
            });
}

qint64 NetworkService::answerSizeLimit()
{
    return maxAnswerSize;
}

} // namespace Orvex
