#include "UpdateViewController.h"

#include "ui/Images.h"
#include "api/Utility.h"
#include "controls/Button.h"
#include "controls/ImageView.h"
#include "update/UpdateHandler.h"

#include <QLabel>
#include <QVBoxLayout>

namespace Orvex {

UpdateViewController::UpdateViewController(const AppContext &context, QWidget *parent)
    : BaseViewController(context.config, parent)
    , m_handler(new UpdateHandler(context.network, context.config, this))
{
    buildForm();
}

UpdateViewController::~UpdateViewController() = default;

void UpdateViewController::buildForm()
{
    setObjectName(QStringLiteral("UpdateViewController"));
    setFixedWidth(360);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 28, 32, 26);
    layout->setSpacing(0);

    m_logoView = new ImageView(this);
    m_logoView->setObjectName(QStringLiteral("logoView"));
    m_logoView->setFixedSize(72, 72);
    layout->addWidget(m_logoView, 0, Qt::AlignHCenter);
    layout->addSpacing(16);

    m_titleLabel = new QLabel(this);
    m_titleLabel->setObjectName(QStringLiteral("titleLabel"));
    m_titleLabel->setAlignment(Qt::AlignCenter);
    m_titleLabel->setWordWrap(true);
    m_titleLabel->setStyleSheet(QStringLiteral("font-size: 17px; font-weight: 600;"));
    //: update_available_title
    m_titleLabel->setText(tr("A new version of Orvex Cloud is available"));
    layout->addWidget(m_titleLabel);
    layout->addSpacing(8);

    m_versionLabel = new QLabel(this);
    m_versionLabel->setObjectName(QStringLiteral("versionLabel"));
    // The version comes from the service: never let it be read as markup.
    m_versionLabel->setTextFormat(Qt::PlainText);
    m_versionLabel->setAlignment(Qt::AlignCenter);
    m_versionLabel->setWordWrap(true);
    m_versionLabel->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 13px;"));
    layout->addWidget(m_versionLabel);

    layout->addSpacing(24);
    layout->addStretch(1);
    m_downloadButton = new Button(this);
    m_downloadButton->setObjectName(QStringLiteral("downloadButton"));
    //: download_btn
    m_downloadButton->setTitle(tr("Download and Install"));
    m_downloadButton->setMinimumHeight(44);
    m_downloadButton->setDefault(true);
    layout->addWidget(m_downloadButton);

    connect(m_downloadButton, &QPushButton::clicked, this, &UpdateViewController::downloadButtonAction);
}

void UpdateViewController::setup()
{
    BaseViewController::setup();
    m_handler->resultHandler = resultHandler();
    m_logoView->setImage(Images::named(QStringLiteral("orvex")));
    showOffer();
}

void UpdateViewController::setUpdateResponse(const CheckForUpdatesResponse &response)
{
    m_handler->updateResponse = response;
    showOffer();
}

void UpdateViewController::showOffer()
{
    if (!m_handler->updateResponse) {
        m_versionLabel->clear();
        return;
    }
    //: update_version_label
    m_versionLabel->setText(
        tr("Version %1 is ready to download. You have version %2.")
            .arg(m_handler->updateResponse->status.version, Utility::applicationVersion()));
}

void UpdateViewController::downloadButtonAction()
{
    showProgress();
    m_handler->download();
}

} // namespace Orvex
