#pragma once

#include "account/AuthType.h"
#include "app/BaseViewController.h"

class QLineEdit;
class QLabel;

namespace Orvex {

class Button;

// Sign in, sign up, or sign in again automatically with the stored session.
class AuthViewController final : public BaseViewController
{
    Q_OBJECT

public:
    explicit AuthViewController(QWidget *parent = nullptr);

    AuthType currentAuth = AuthType::signIn;

protected:
    void setup() override;

private:
    QLabel *m_heading;
    QLineEdit *m_nameTextField;
    QLineEdit *m_emailTextField;
    QLineEdit *m_passwordTextField;
    Button *m_actionButton;
};

} // namespace Orvex
