#pragma once

#include "ui/AppContext.h"
#include "ui/BaseViewController.h"

namespace Ui {
class ConfirmationCodeViewController;
}

namespace Orvex {

class ConfirmationHandler;
class UserDefaults;

// The last step of sign-up: the code that was sent by SMS.
class ConfirmationCodeViewController final : public BaseViewController
{
    Q_OBJECT

public:
    explicit ConfirmationCodeViewController(const AppContext &context, QWidget *parent = nullptr);
    ~ConfirmationCodeViewController() override;

    ConfirmationHandler *handler() const { return m_handler; }

    // An empty field only raises an alert; any other text goes to the handler
    // exactly as typed.
    void confirmButtonAction();
    void backButtonAction();

protected:
    void setup() override;

private:
    Ui::ConfirmationCodeViewController *m_ui;
    ConfirmationHandler *m_handler;
    UserDefaults &m_defaults;
};

} // namespace Orvex
