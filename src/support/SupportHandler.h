#pragma once

#include "api/Result.h"
#include "ui/BaseHandler.h"

#include <QJsonObject>

namespace Orvex {

struct Config;
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
    // The requester comes from `defaults`; the ticket goes through `network`
    // to the help desk `config` names.
    SupportHandler(const UserDefaults &defaults, NetworkService &network, const Config &config,
                   QObject *parent = nullptr);
    ~SupportHandler() override;

    // Sends `text` unchanged as the ticket's comment. Without a stored account
    // e-mail there is nobody to answer: nothing is sent, nothing reported, and
    // false is returned.
    bool sendSupportRequest(const QString &text);

    // The ticket document: subject, the comment with no uploads, and the
    // requester ("Unknown" without a name, "locale_id" the string "1").
    static QJsonObject ticketDocument(const QString &text, const QString &email, const QString &name);

    // Posts the ticket through `network` to the help desk of `config` and tells how it went: a transport
    // failure, an answer with an error status (the help desk's own JSON error
    // documents included), no body or the service's error envelope are
    // failures. The ticket is sent once: a connection that drops after it was
    // sent fails instead of filing it a second time.
    static void post(NetworkService &network, const Config &config, const SupportURLRouter &router,
                     Completion<Empty> completion);

Q_SIGNALS:
    // The help desk took this handler's ticket.
    void didRecieveSupportResponse();

private:
    const UserDefaults &m_defaults;
    NetworkService &m_network;
    const Config &m_config;
};

} // namespace Orvex
