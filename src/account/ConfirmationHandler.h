#pragma once

#include "ui/BaseHandler.h"

#include <QString>

#include <optional>

namespace Orvex {

class NetworkService;
class Session;

// The logic of the code screen: compares the typed code with the one sent,
// creates the account at the service unless it exists already, then makes
// sure this machine is one of its devices and shows the main screen.
class ConfirmationHandler final : public BaseHandler
{
    Q_OBJECT

public:
    // Creates the account of `session` (its password, the name, e-mail and
    // phone in its defaults store) through `network`.
    ConfirmationHandler(Session &session, NetworkService &network, QObject *parent = nullptr);
    // Leaving the screen forgets the code it was opened for.
    ~ConfirmationHandler() override;

    // `code` exactly as typed: "42" is not "0042". A matching code is removed
    // from the store at once; it stays known to this handler alone, so typing
    // it again after a failed account step still works.
    void confirm(const QString &code);

private:
    void lookUpAccount();
    void createAccount();

    Session &m_session;
    NetworkService &m_network;

    std::optional<QString> m_sentCode;
    std::optional<QString> m_confirmedCode;
};

} // namespace Orvex
