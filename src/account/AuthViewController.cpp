#include "AuthViewController.h"

#include "controls/Button.h"

#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace Orvex {

AuthViewController::AuthViewController(QWidget *parent)
    : BaseViewController(parent)
    , m_heading(new QLabel(this))
    , m_nameTextField(new QLineEdit(this))
    , m_emailTextField(new QLineEdit(this))
    , m_passwordTextField(new QLineEdit(this))
    , m_actionButton(new Button(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 40, 40, 20);
    layout->setSpacing(12);
    m_heading->setStyleSheet(QStringLiteral("font-size: 22px; font-weight: 700;"));
    layout->addWidget(m_heading);
    layout->addSpacing(12);
    m_nameTextField->setPlaceholderText(tr("Name"));
    m_emailTextField->setPlaceholderText(tr("E-mail"));
    m_passwordTextField->setPlaceholderText(tr("Password"));
    m_passwordTextField->setEchoMode(QLineEdit::Password);
    for (QLineEdit *field : {m_nameTextField, m_emailTextField, m_passwordTextField}) {
        field->setMinimumHeight(36);
        field->setAccessibleName(field->placeholderText());
        layout->addWidget(field);
    }
    layout->addSpacing(8);
    m_actionButton->setMinimumHeight(46);
    layout->addWidget(m_actionButton);
    layout->addStretch();
    auto *copyright = new QLabel(this);
    copyright->setObjectName(QStringLiteral("copyrightLabel"));
    copyright->setAlignment(Qt::AlignCenter);
    copyright->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 11px;"));
    layout->addWidget(copyright);
}

void AuthViewController::setup()
{
    BaseViewController::setup();
    const bool signUp = currentAuth == AuthType::signUp;
    m_nameTextField->setVisible(signUp);
    //: sign_up_btn
    const QString signUpTitle = tr("Sign Up");
    //: sign_in_btn
    const QString signInTitle = tr("Sign In");
    m_heading->setText(signUp ? signUpTitle : signInTitle);
    m_actionButton->setTitle(signUp ? signUpTitle : signInTitle);
}

} // namespace Orvex
