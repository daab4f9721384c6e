#include "InfoViewController.h"

#include "ui/AppContext.h"
#include "ui_InfoViewController.h"

#include "ui/Images.h"
#include "api/Utility.h"
#include "config/Config.h"

namespace Orvex {

InfoViewController::InfoViewController(const AppContext &context, QWidget *parent)
    : ViewController(parent)
    , m_ui(new Ui::InfoViewController)
    , m_config(context.config)
{
    m_ui->setupUi(this);
    setTitle(tr("About Orvex"));
    m_ui->nameLabel->setStyleSheet(QStringLiteral("font-size: 20px; font-weight: 600;"));
    m_ui->copyrightLabel->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 11px;"));
}

InfoViewController::~InfoViewController()
{
    delete m_ui;
}

void InfoViewController::viewDidLoad()
{
    m_ui->logoView->setImage(Images::pixmap(QStringLiteral("orvex"), QSize(88, 88)));
    // The very string the update check sends: short version, ".", build.
    m_ui->versionLabel->setText(Utility::applicationVersion());
    m_ui->copyrightLabel->setText(m_config.productNotice);
}

QString InfoViewController::versionText() const
{
    return m_ui->versionLabel->text();
}

} // namespace Orvex
