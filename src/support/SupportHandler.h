#pragma once

#include "api/Result.h"
#include "ui/BaseHandler.h"

#include <QJsonObject>

namespace Orvex {

class NetworkService;
class SupportURLRouter;
class UserDefaults;

// Files a help-desk ticket with the user's message, the account e-mail and
// name. Success is posted as "DidRecieveSupportResponse"; a failure goes to
// `resultHandler`.
class SupportHandler final : public BaseHandler
{
    Q_OBJECT

public:
    // The requester comes from `defaults`; the ticket goes with `network`'s
    // TLS settings.
    SupportHandler(const UserDefaults &defaults, NetworkService &network, QObject *parent = nullptr);
    ~SupportHandler() override;

    // Sends `text` unchanged as the ticket's comment. Without a stored account
    // e-mail there is nobody to answer: nothing is sent, nothing reported, and
    // false is returned.
    bool sendSupportRequest(const QString &text);

    // The ticket document: subject, the comment with no uploads, and the
    // requester ("Unknown" without a name, "locale_id" the string "1").
    static QJsonObject ticketDocument(const QString &text, const QString &email, const QString &name);

    // Posts the ticket and tells how it went: a transport failure, an answer
    // with an error status (the help desk's own JSON error documents
    // included), no body or the service's error envelope are failures. The
    // body is handed over in a form the HTTP client cannot rewind, on a
    // connection of its own, so a connection that drops after the ticket was
    // sent fails instead of filing the ticket a second time. TLS as for
    // `network`'s requests.
    static void post(NetworkService &network, const SupportURLRouter &router, Completion<Empty> completion);

    // Overall limit of one ticket request; the client's usual idle limit
    // applies too.
    static constexpr int deadlineMs = 180000;
    static constexpr int idleTimeoutMs = 60000;

private:
    const UserDefaults &m_defaults;
    NetworkService &m_network;
};

} // namespace Orvex
