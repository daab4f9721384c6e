#pragma once

#include "account/AuthType.h"
#include "ui/AppContext.h"
#include "ui/BaseViewController.h"

#include <QUrl>

namespace Ui {
class AuthViewController;
}

namespace Orvex {

class AuthHandler;

// Sign in, start a sign-up (name, e-mail, password), or sign in again
// automatically with the stored session. The form is checked here; the
// requests are the handler's.
class AuthViewController final : public BaseViewController
{
    Q_OBJECT

public:
    explicit AuthViewController(const AppContext &context, QWidget *parent = nullptr);
    ~AuthViewController() override;

    // The mode; set by whoever opens the screen, before it is shown.
    AuthType currentAuth = AuthType::signIn;

    AuthHandler *handler() const { return m_handler; }

    // Checks the e-mail and the password, then hands the form to the handler
    // under the progress overlay. Invalid input only raises an alert.
    void mainButtonAction();
    // Opens the password-reset page in the browser.
    void forgotButtonAction();
    // Back to the screen this one was opened from; the start screen when this
    // is the window's first screen (automatic sign-in).
    void backButtonAction();

    // The password-reset page: https, the web host of `config`'s reset
    // address, /forgotpassword. Empty when that address has no host.
    static QUrl passwordResetURL(const Config &config);

protected:
    void setup() override;

private:
    Ui::AuthViewController *m_ui;
    AuthHandler *m_handler;
    std::function<void()> m_warmUpMainScreen;
    // What the screens it opens are made from.
    const AppContext &m_context;
};

} // namespace Orvex
