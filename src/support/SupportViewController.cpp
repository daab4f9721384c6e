#include "SupportViewController.h"

#include "session/DefaultsKeys.h"
#include "ui/AlertController.h"
#include "controls/Button.h"
#include "platform/UserDefaults.h"
#include "support/SupportHandler.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace Orvex {

SupportViewController::SupportViewController(const AppContext &context, QWidget *parent)
    : BaseViewController(context.config, parent)
    , m_handler(new SupportHandler(context.defaults, context.network, context.config, this))
    , m_defaults(context.defaults)
{
    buildForm();
}

SupportViewController::~SupportViewController() = default;

void SupportViewController::buildForm()
{
    setObjectName(QStringLiteral("SupportViewController"));
    setFixedSize(440, 400);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 24);
    layout->setSpacing(0);

    m_titleLabel = new QLabel(this);
    m_titleLabel->setObjectName(QStringLiteral("titleLabel"));
    m_titleLabel->setStyleSheet(QStringLiteral("font-size: 18px; font-weight: 600;"));
    //: support_heading
    m_titleLabel->setText(tr("How can we help?"));
    layout->addWidget(m_titleLabel);
    layout->addSpacing(6);

    m_detailLabel = new QLabel(this);
    m_detailLabel->setObjectName(QStringLiteral("detailLabel"));
    // Shows the account e-mail as typed.
    m_detailLabel->setTextFormat(Qt::PlainText);
    m_detailLabel->setWordWrap(true);
    m_detailLabel->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 13px;"));
    layout->addWidget(m_detailLabel);
    layout->addSpacing(14);

    m_textView = new QPlainTextEdit(this);
    m_textView->setObjectName(QStringLiteral("textView"));
    m_textView->setTabChangesFocus(true);
    //: support_placeholder
    m_textView->setPlaceholderText(tr("Describe what happened and what you expected"));
    // Screen readers do not read the placeholder out: the field needs a name.
    //: support_text_name
    m_textView->setAccessibleName(tr("Your request"));
    m_textView->setStyleSheet(
        QStringLiteral("QPlainTextEdit#textView { border: 1px solid rgba(0, 0, 0, 40); border-radius: 6px;"
                       " padding: 6px; background: palette(base); }"
                       "QPlainTextEdit#textView:focus { border-color: rgb(242, 165, 60); }"));
    layout->addWidget(m_textView, 1);
    layout->addSpacing(16);

    m_requestButton = new Button(this);
    m_requestButton->setObjectName(QStringLiteral("requestButton"));
    //: support_send_btn
    m_requestButton->setTitle(tr("Send Request"));
    m_requestButton->setMinimumHeight(44);
    layout->addWidget(m_requestButton);

    connect(m_textView, &QPlainTextEdit::textChanged, this, &SupportViewController::textDidChange);
    connect(m_requestButton, &QPushButton::clicked, this, &SupportViewController::requestButtonAction);
}

void SupportViewController::setup()
{
    BaseViewController::setup();
    connect(m_handler, &SupportHandler::didRecieveSupportResponse, this,
            &SupportViewController::didRecieveSupportResponse);
    m_handler->resultHandler = resultHandler();
    m_requestButton->setEnabled(false);
    QFont font = m_textView->font();
    font.setPointSizeF(15); // in points, so it follows the screen's resolution
    m_textView->setFont(font);

    const std::optional<QString> email = m_defaults.string(DefaultsKeys::tempEmail);
    if (email) {
        //: support_detail
        m_detailLabel->setText(tr("Our support staff will answer you by e-mail at %1").arg(*email));
    } else {
        //: support_detail_signed_out
        m_detailLabel->setText(tr("Sign in first, so our support staff can answer you by e-mail"));
    }
    m_textView->setFocus(Qt::OtherFocusReason);
}

void SupportViewController::textDidChange()
{
    // Any character counts, a lone space or line break included.
    m_requestButton->setEnabled(!m_textView->toPlainText().isEmpty());
}

void SupportViewController::requestButtonAction()
{
    if (!m_requestButton->isEnabled())
        return;
    showProgress();
    if (!m_handler->sendSupportRequest(m_textView->toPlainText())) {
        // Without an account there is nobody to answer: say so instead of
        // leaving the window waiting for a ticket that was never sent.
        hideProgress();
        //: support_signed_out
        AlertController::show(this, tr("Please sign in to send a support request"), false);
    }
}

void SupportViewController::didRecieveSupportResponse()
{
    hideProgress();
    //: support_request_response
    const QString message = tr("Your request has been received and is being reviewed by our support staff");
    QTimer::singleShot(0, this, [this, message] { AlertController::show(this, message, true); });
}

} // namespace Orvex
