#pragma once

#include "ui/BaseHandler.h"

#include <QString>

#include <optional>

namespace Orvex {

// The logic of the code screen: compares the typed code with the one sent,
// creates the account at the service unless it exists already, then makes
// sure this machine is one of its devices and shows the main screen.
class ConfirmationHandler final : public BaseHandler
{
    Q_OBJECT

public:
    explicit ConfirmationHandler(QObject *parent = nullptr);
    // Leaving the screen forgets the code it was opened for.
    ~ConfirmationHandler() override;

    // `code` exactly as typed: "42" is not "0042". A matching code is removed
    // from the store at once; it stays known to this handler alone, so typing
    // it again after a failed account step still works.
    void confirm(const QString &code);

private:
    void lookUpAccount();
    void createAccount();

    std::optional<QString> m_sentCode;
    std::optional<QString> m_confirmedCode;
};

} // namespace Orvex
