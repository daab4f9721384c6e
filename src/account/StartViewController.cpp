#include "StartViewController.h"

#include "ui/AppContext.h"
#include "ui_StartViewController.h"

#include "ui/AppStoryboard.h"
#include "ui/Images.h"
#include "account/AuthViewController.h"
#include "ui/Navigator.h"

namespace Orvex {

StartViewController::StartViewController(const AppContext &context, QWidget *parent)
    : BaseViewController(context.config, parent)
    , m_ui(new Ui::StartViewController)
    , m_context(context)
{
    m_ui->setupUi(this);
    m_ui->titleLabel->setStyleSheet(QStringLiteral("font-size: 26px; font-weight: 700;"));
    m_ui->taglineLabel->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 14px;"));
    m_ui->copyrightLabel->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 11px;"));
    connect(m_ui->signInButton, &QPushButton::clicked, this, &StartViewController::signInButtonAction);
    connect(m_ui->signUpButton, &QPushButton::clicked, this, &StartViewController::signUpButtonAction);
}

StartViewController::~StartViewController()
{
    delete m_ui;
}

void StartViewController::setup()
{
    BaseViewController::setup();
    m_ui->logoView->setImage(Images::pixmap(QStringLiteral("orvex"), QSize(120, 120)));
    //: sign_in_btn
    m_ui->signInButton->setTitle(tr("Sign In"));
    //: sign_up_btn
    m_ui->signUpButton->setTitle(tr("Sign Up"));
    m_ui->signUpButton->setTitleColor(QColor(242, 165, 60));
    m_ui->signUpButton->setBorderColor(QColor(242, 165, 60));
    // Enter signs in, as on the other screens: the default button only
    // answers Enter while it has the focus outside a dialog.
    m_ui->signInButton->setFocus(Qt::OtherFocusReason);
}

void StartViewController::signInButtonAction()
{
    auto *auth = instantiate<AuthViewController>(m_context, AppStoryboard::Auth);
    auth->currentAuth = AuthType::signIn;
    Navigator::show(this, auth, NavigationDirection::toLeft);
}

void StartViewController::signUpButtonAction()
{
    auto *auth = instantiate<AuthViewController>(m_context, AppStoryboard::Auth);
    auth->currentAuth = AuthType::signUp;
    Navigator::show(this, auth, NavigationDirection::toLeft);
}

} // namespace Orvex
