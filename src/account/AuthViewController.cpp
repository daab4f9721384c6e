#include "AuthViewController.h"
#include "ui_AuthViewController.h"

#include "ui/AppStoryboard.h"
#include "account/AuthHandler.h"
#include "session/Session.h"
#include "account/AuthScreenStyle.h"
#include "session/DefaultsKeys.h"
#include "ui/AlertController.h"
#include "ui/FirstFrame.h"
#include "ui/Navigator.h"
#include "account/StartViewController.h"
#include "config/Config.h"
#include "platform/UserDefaults.h"

#include <QDesktopServices>
#include <QTimer>

namespace Orvex {

AuthViewController::AuthViewController(const AppContext &context, QWidget *parent)
    : BaseViewController(context.config, parent)
    , m_ui(new Ui::AuthViewController)
    , m_handler(new AuthHandler(context.session, context.network, this))
    , m_warmUpMainScreen(context.warmUpMainScreen)
    , m_context(context)
{
    m_ui->setupUi(this);
    AuthScreenStyle::apply(this);
    //: name_label
    m_ui->nameLabel->setText(tr("Name"));
    //: email_label
    m_ui->emailLabel->setText(tr("E-mail"));
    //: password_label
    m_ui->passwordLabel->setText(tr("Password"));
    //: email_placeholder
    m_ui->emailTextField->setPlaceholderText(tr("you@example.com"));
    m_ui->emailTextField->setInputMethodHints(Qt::ImhEmailCharactersOnly | Qt::ImhNoAutoUppercase);
    //: forgot_password_btn
    m_ui->forgotPasswordButton->setText(tr("Forgot password?"));
    m_ui->nameTextField->setAccessibleName(m_ui->nameLabel->text());
    m_ui->emailTextField->setAccessibleName(m_ui->emailLabel->text());
    m_ui->passwordTextField->setAccessibleName(m_ui->passwordLabel->text());

    connect(m_ui->actionButton, &QPushButton::clicked, this, &AuthViewController::mainButtonAction);
    connect(m_ui->forgotPasswordButton, &QPushButton::clicked, this, &AuthViewController::forgotButtonAction);
    connect(m_ui->backButton, &QToolButton::clicked, this, &AuthViewController::backButtonAction);
    // Enter in any field presses the main button.
    for (QLineEdit *field : std::initializer_list<QLineEdit *>{m_ui->nameTextField, m_ui->emailTextField,
                                                               m_ui->passwordTextField})
        connect(field, &QLineEdit::returnPressed, this, &AuthViewController::mainButtonAction);
}

AuthViewController::~AuthViewController()
{
    delete m_ui;
}

void AuthViewController::setup()
{
    BaseViewController::setup();

    if (currentAuth == AuthType::signUp) {
        m_ui->forgotPasswordButton->hide();
        //: sign_up_btn
        m_ui->actionButton->setTitle(tr("Sign Up"));
        //: sign_up_title
        m_ui->titleLabel->setText(tr("Create Account"));
        //: sign_up_subtitle
        m_ui->subtitleLabel->setText(tr("Create your Orvex Cloud account."));
        //: password_placeholder
        m_ui->passwordTextField->setPlaceholderText(tr("At least 5 characters"));
    } else {
        m_ui->nameStackView->hide();
        m_ui->forgotPasswordButton->show();
        //: sign_in_btn
        m_ui->actionButton->setTitle(tr("Sign In"));
        //: sign_in_title
        m_ui->titleLabel->setText(tr("Welcome Back"));
        //: sign_in_subtitle
        m_ui->subtitleLabel->setText(tr("Sign in with your Orvex Cloud account."));
    }

    m_ui->emailTextField->validator = InputValidator::email;
    m_ui->passwordTextField->validator = InputValidator::password;
    m_handler->resultHandler = resultHandler();

    QLineEdit *firstField = currentAuth == AuthType::signUp ? static_cast<QLineEdit *>(m_ui->nameTextField)
                                                            : m_ui->emailTextField;
    firstField->setFocus(Qt::OtherFocusReason);

    if (currentAuth == AuthType::autoSignIn) {
        const Session &session = m_handler->session();
        const std::optional<QString> email = session.email();
        const std::optional<QString> password = session.password();
        if (email && password) {
            m_ui->emailTextField->setText(*email);
            m_ui->passwordTextField->setText(*password);
            // The request waits for the first frame.
            FirstFrame::run(this, [this] { mainButtonAction(); });
        }
    }
}

void AuthViewController::mainButtonAction()
{
    const auto fails = [](const std::optional<InputValidator> &validator, const QString &text) {
        return validator && !validator->isValid(text);
    };
    if (fails(m_ui->emailTextField->validator, m_ui->emailTextField->text())
        || fails(m_ui->passwordTextField->validator, m_ui->passwordTextField->text())) {
        QTimer::singleShot(0, this, [this] {
            AlertController::show(this, Error(Error::Code::wrongAuthData).localizedDescription(), false);
        });
        return;
    }

    showProgress();
    // The main screen follows a sign-in: what it needs loads meanwhile.
    if (m_warmUpMainScreen)
        m_warmUpMainScreen();
    AuthData data;
    data.authType = currentAuth;
    data.name = m_ui->nameTextField->text();
    data.email = m_ui->emailTextField->text();
    data.password = m_ui->passwordTextField->text();
    m_handler->authenticate(data);
}

QUrl AuthViewController::passwordResetURL(const Config &config)
{
    const QUrl configured(config.passwordResetURL, QUrl::StrictMode);
    if (!configured.isValid() || configured.host().isEmpty())
        return {};
    QUrl page;
    page.setScheme(QStringLiteral("https"));
    page.setHost(configured.host());
    page.setPort(configured.port());
    page.setPath(QStringLiteral("/forgotpassword"));
    return page;
}

void AuthViewController::forgotButtonAction()
{
    const QUrl page = passwordResetURL(config());
    if (page.isValid())
        QDesktopServices::openUrl(page);
}

void AuthViewController::backButtonAction()
{
    if (presentingViewController()) {
        dismiss();
        return;
    }
    Navigator::setRoot(this, instantiate<StartViewController>(m_context, AppStoryboard::Auth),
                       NavigationDirection::toRight);
}

} // namespace Orvex
