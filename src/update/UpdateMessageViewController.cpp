#include "UpdateMessageViewController.h"

#include "ui/AppContext.h"
#include "ui/Images.h"
#include "api/Utility.h"
#include "api/Error.h"
#include "controls/Button.h"
#include "controls/ImageView.h"

#include <QLabel>
#include <QVBoxLayout>

namespace Orvex {

UpdateMessageViewController::UpdateMessageViewController(const AppContext &context, QWidget *parent)
    : BaseViewController(context.config, parent)
{
    setObjectName(QStringLiteral("UpdateMessageViewController"));
    setFixedWidth(340);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 28, 32, 26);
    layout->setSpacing(0);

    m_logoView = new ImageView(this);
    m_logoView->setObjectName(QStringLiteral("logoView"));
    m_logoView->setFixedSize(64, 64);
    layout->addWidget(m_logoView, 0, Qt::AlignHCenter);
    layout->addSpacing(16);

    m_messageLabel = new QLabel(this);
    m_messageLabel->setObjectName(QStringLiteral("messageLabel"));
    m_messageLabel->setTextFormat(Qt::PlainText);
    m_messageLabel->setAlignment(Qt::AlignCenter);
    m_messageLabel->setWordWrap(true);
    m_messageLabel->setStyleSheet(QStringLiteral("font-size: 16px; font-weight: 600;"));
    layout->addWidget(m_messageLabel);
    layout->addSpacing(6);

    m_versionLabel = new QLabel(this);
    m_versionLabel->setObjectName(QStringLiteral("versionLabel"));
    m_versionLabel->setTextFormat(Qt::PlainText);
    m_versionLabel->setAlignment(Qt::AlignCenter);
    m_versionLabel->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 13px;"));
    layout->addWidget(m_versionLabel);

    layout->addSpacing(22);
    m_okButton = new Button(this);
    m_okButton->setObjectName(QStringLiteral("okButton"));
    //: ok_btn
    m_okButton->setTitle(tr("OK"));
    m_okButton->setMinimumHeight(40);
    m_okButton->setDefault(true);
    layout->addWidget(m_okButton);

    connect(m_okButton, &QPushButton::clicked, this, &ViewController::dismiss);
}

UpdateMessageViewController::~UpdateMessageViewController() = default;

void UpdateMessageViewController::setup()
{
    BaseViewController::setup();
    m_logoView->setImage(Images::named(QStringLiteral("orvex")));
    // The catalogue's text, so it reads (and translates) as the error does.
    m_messageLabel->setText(Error(Error::Code::alreadyUpdated).localizedDescription());
    //: version_label
    m_versionLabel->setText(tr("Version %1").arg(Utility::applicationVersion()));
}

} // namespace Orvex
