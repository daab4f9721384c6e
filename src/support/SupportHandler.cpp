#include "SupportHandler.h"

#include "shared/NotificationCenter.h"
#include "account/DefaultsKeys.h"
#include "api/BoundedAnswer.h"
#include "api/NetworkService.h"
#include "platform/Logging.h"
#include "platform/UserDefaults.h"
#include "support/SupportURLRouter.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

#include <cstring>
#include <memory>

namespace Orvex {

namespace {

const char *const timedOutProperty = "orvexTimedOut";

// The ticket's body, readable once. The HTTP client resends a request whose
// connection closed before an answer came; for a ticket that would file it
// twice when the help desk had already stored it. With a body it cannot
// rewind, the client gives up with ContentReSendError instead.
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

// Tickets get a manager of their own: its connections carry nothing else, so
// a ticket never rides on a kept-alive connection that the server may already
// have closed.
QNetworkAccessManager &ticketManager()
{
    static auto *manager = new QNetworkAccessManager(QCoreApplication::instance());
    return *manager;
}

Error statusError(int status)
{
    //: support_request_refused
    return Error::generic(SupportHandler::tr("The help desk did not accept the request (HTTP status %1),"
                                             " please try again later")
                              .arg(status));
}

Error droppedError()
{
    //: support_request_dropped
    return Error::generic(SupportHandler::tr("The connection closed before the help desk answered,"
                                             " please look for a confirmation e-mail before sending"
                                             " your request again"));
}

} // namespace

SupportHandler::SupportHandler(const UserDefaults &defaults, NetworkService &network, QObject *parent)
    : BaseHandler(parent)
    , m_defaults(defaults)
    , m_network(network)
{}

SupportHandler::~SupportHandler() = default;

QJsonObject SupportHandler::ticketDocument(const QString &text, const QString &email, const QString &name)
{
    const QJsonObject comment{{QStringLiteral("body"), text}, {QStringLiteral("uploads"), QJsonArray()}};
    const QJsonObject requester{{QStringLiteral("email"), email},
                                {QStringLiteral("locale_id"), QStringLiteral("1")},
                                {QStringLiteral("name"), name}};
    const QJsonObject ticket{{QStringLiteral("subject"), QStringLiteral("Support request from desktop app")},
                             {QStringLiteral("comment"), comment},
                             {QStringLiteral("requester"), requester}};
    return QJsonObject{{QStringLiteral("ticket"), ticket}};
}

bool SupportHandler::sendSupportRequest(const QString &text)
{
    const std::optional<QString> email = m_defaults.string(DefaultsKeys::tempEmail);
    if (!email)
        return false;
    const QString name = m_defaults.string(DefaultsKeys::name).value_or(QStringLiteral("Unknown"));

    QPointer<SupportHandler> self(this);
    post(m_network, SupportURLRouter::requestSupport(ticketDocument(text, *email, name)),
         [self](const Result<Empty> &result) {
             // A screen that was closed meanwhile has nobody to tell; another
             // support screen opened since must not take this answer for its own.
             if (!self)
                 return;
             if (result.isSuccess())
                 NotificationCenter::defaultCenter().post(Notifications::didRecieveSupportResponse);
             else
                 self->report(result.error());
         });
    return true;
}

void SupportHandler::post(NetworkService &network, const SupportURLRouter &router,
                          Completion<Empty> completion)
{
    QNetworkRequest request = router.asURLRequest();
    request.setSslConfiguration(network.sslConfiguration());
    request.setTransferTimeout(idleTimeoutMs);
    const QByteArray body = router.httpBody();
    request.setHeader(QNetworkRequest::ContentLengthHeader, body.size());
    request.setAttribute(QNetworkRequest::DoNotBufferUploadDataAttribute, true);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setRawHeader("Connection", "close");
    // A redirect would have to send the body again: it is an answer like any
    // other error status.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);

    // The method and path only: the body is the user's message and the
    // request carries the help desk's credential.
    qCDebug(lcApi, "%s %s (help desk)", router.method().constData(),
            qUtf8Printable(request.url().path(QUrl::FullyEncoded)));
    auto *upload = new OneShotBody(body, nullptr);
    QNetworkReply *reply = ticketManager().sendCustomRequest(request, router.method(), upload);
    upload->setParent(reply);

    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty(timedOutProperty, true);
        reply->abort();
    });
    deadline->start(deadlineMs);

    // The answer is kept only up to the limit of service answers: a help desk
    // (or whoever answers in its name) that sends more is refused as soon as
    // it announces or outgrows it, instead of filling memory.
    const qint64 limit = NetworkService::answerSizeLimit();
    const std::shared_ptr<BoundedAnswer> answer = BoundedAnswer::watch(reply, limit);

    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [reply, answer, limit, completion = std::move(completion)] {
                         reply->deleteLater();
                         // Called only inside this slot, while `completion` lives.
                         auto deliver =
                             [&completion](const Result<Empty> &result) { // clazy:exclude=lambda-in-connect
                                 if (completion)
                                     completion(result);
                             };
                         const QByteArray data = answer->finish();
                         if (answer->isTooLarge())
                             return deliver(Result<Empty>::failure(
                                 Error::generic(QStringLiteral("The help desk's answer is larger than %1 MB.")
                                                    .arg(limit / (qint64(1024) * 1024)))));
                         if (reply->error() == QNetworkReply::ContentReSendError)
                             return deliver(Result<Empty>::failure(droppedError()));
                         const Result<QByteArray> checked
                             = NetworkService::checkAnswer(reply, data,
                                                           reply->property(timedOutProperty).toBool());
                         // No answer at all.
                         if (!checked.isSuccess() && checked.error().isGeneric())
                             return deliver(Result<Empty>::failure(checked.error()));
                         // The help desk's error documents are refusals, not receipts.
                         const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
                         qCDebug(lcApi, "help desk: HTTP %d", status.toInt());
                         if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299))
                             return deliver(Result<Empty>::failure(statusError(status.toInt())));
                         if (!checked.isSuccess())
                             return deliver(Result<Empty>::failure(checked.error()));
                         deliver(Result<Empty>::success());
                     });
}

} // namespace Orvex
