#pragma once

#include "app/BaseHandler.h"

#include <QString>

namespace Orvex {

// The logic of the code screen: compares the typed code with the one sent,
// creates the account at the service unless it exists already, then makes
// sure this machine is one of its devices and shows the main screen.
class ConfirmationHandler final : public BaseHandler
{
    Q_OBJECT

public:
    explicit ConfirmationHandler(QObject *parent = nullptr);

    // `code` exactly as typed: "42" is not "0042".
    void confirm(const QString &code);

private:
    void lookUpAccount();
    void createAccount();
};

} // namespace Orvex
