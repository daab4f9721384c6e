#include "SupportHandler.h"

#include "session/DefaultsKeys.h"
#include "api/NetworkService.h"
#include "platform/UserDefaults.h"
#include "support/SupportURLRouter.h"

#include <QJsonArray>
#include <QPointer>

namespace Orvex {

namespace {

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

SupportHandler::SupportHandler(const UserDefaults &defaults, NetworkService &network, const Config &config,
                               QObject *parent)
    : BaseHandler(parent)
    , m_defaults(defaults)
    , m_network(network)
    , m_config(config)
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
    post(m_network, m_config, SupportURLRouter::requestSupport(ticketDocument(text, *email, name)),
         [self](const Result<Empty> &result) {
             // A screen that was closed meanwhile has nobody to tell; another
             // support screen opened since must not take this answer for its own.
             if (!self)
                 return;
             if (result.isSuccess())
                 Q_EMIT self->didRecieveSupportResponse();
             else
                 self->report(result.error());
         });
    return true;
}

void SupportHandler::post(NetworkService &network, const Config &config, const SupportURLRouter &router,
                          Completion<Empty> completion)
{
    NetworkService::PostRules rules;
    // The help desk's error documents are refusals, not receipts.
    rules.refused = statusError;
    rules.dropped = droppedError();
    rules.tooLarge = Error::generic(QStringLiteral("The help desk's answer is larger than %1 MB.")
                                        .arg(NetworkService::answerSizeLimit() / (qint64(1024) * 1024)));
    network.post(router.asURLRequest(config), router.httpBody(), rules, std::move(completion));
}

} // namespace Orvex
