#include "ConfirmationCodeViewController.h"
#include "ui_ConfirmationCodeViewController.h"

#include "account/AuthScreenStyle.h"
#include "account/ConfirmationHandler.h"
#include "session/DefaultsKeys.h"
#include "ui/AlertController.h"
#include "platform/UserDefaults.h"

#include <QTimer>

namespace Orvex {

ConfirmationCodeViewController::ConfirmationCodeViewController(const AppContext &context, QWidget *parent)
    : BaseViewController(context.config, parent)
    , m_ui(new Ui::ConfirmationCodeViewController)
    , m_handler(new ConfirmationHandler(context.session, context.network, this))
    , m_defaults(context.defaults)
{
    m_ui->setupUi(this);
    AuthScreenStyle::apply(this);
    //: code_title
    m_ui->titleLabel->setText(tr("Enter the Code"));
    //: code_label
    m_ui->codeLabel->setText(tr("Confirmation code"));
    //: confirm_btn
    m_ui->confirmButton->setTitle(tr("Confirm"));
    m_ui->codeTextField->setAccessibleName(m_ui->codeLabel->text());
    m_ui->codeTextField->setAlignment(Qt::AlignCenter);
    m_ui->codeTextField->setInputMethodHints(Qt::ImhDigitsOnly);
    // The code's four digits, large and spaced apart.
    QFont codeFont = m_ui->codeTextField->font();
    codeFont.setLetterSpacing(QFont::AbsoluteSpacing, 6);
    m_ui->codeTextField->setFont(codeFont);
    m_ui->codeTextField->setStyleSheet(m_ui->codeTextField->styleSheet()
                                       + QStringLiteral("QLineEdit { font-size: 20px; }"));

    connect(m_ui->confirmButton, &QPushButton::clicked, this,
            &ConfirmationCodeViewController::confirmButtonAction);
    connect(m_ui->codeTextField, &QLineEdit::returnPressed, this,
            &ConfirmationCodeViewController::confirmButtonAction);
    connect(m_ui->backButton, &QToolButton::clicked, this, &ConfirmationCodeViewController::backButtonAction);
}

ConfirmationCodeViewController::~ConfirmationCodeViewController()
{
    delete m_ui;
}

void ConfirmationCodeViewController::setup()
{
    BaseViewController::setup();
    m_handler->resultHandler = resultHandler();

    const std::optional<QString> phone = m_defaults.string(DefaultsKeys::phone);
    m_ui->subtitleLabel->setText(phone
                                     //: code_subtitle_number
                                     ? tr("We have sent a 4-digit code by SMS to %1.").arg(*phone)
                                     //: code_subtitle
                                     : tr("We have sent a 4-digit code to your phone by SMS."));
    m_ui->codeTextField->setFocus(Qt::OtherFocusReason);
}

void ConfirmationCodeViewController::confirmButtonAction()
{
    const QString code = m_ui->codeTextField->text();
    if (code.isEmpty()) {
        QTimer::singleShot(0, this,
                           [this] { AlertController::show(this, Error(Error::Code::emptyInputData)); });
        return;
    }
    showProgress();
    m_handler->confirm(code);
}

void ConfirmationCodeViewController::backButtonAction()
{
    dismiss();
}

} // namespace Orvex
