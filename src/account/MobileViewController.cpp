#include "MobileViewController.h"
#include "ui_MobileViewController.h"

#include "account/AuthScreenStyle.h"
#include "account/MobileHandler.h"
#include "ui/AlertController.h"

#include <QTimer>

namespace Orvex {

MobileViewController::MobileViewController(const AppContext &context, QWidget *parent)
    : BaseViewController(context.config, parent)
    , m_ui(new Ui::MobileViewController)
    , m_handler(new MobileHandler(context.defaults, context.network, this))
{
    m_ui->setupUi(this);
    AuthScreenStyle::apply(this);
    m_ui->countryCodeLabel->setStyleSheet(QStringLiteral(
        "#countryCodeLabel { background: #F2F2F5; border: 1px solid #D2D2D7; border-radius: 6px;"
        " font-size: 14px; color: #1D1D1F; padding: 0 8px; }"));
    //: mobile_title
    m_ui->titleLabel->setText(tr("Verify Your Phone"));
    //: mobile_subtitle
    m_ui->subtitleLabel->setText(tr("We will send a 4-digit code by SMS to confirm your account."));
    //: country_label
    m_ui->countryLabel->setText(tr("Country"));
    //: mobile_label
    m_ui->mobileLabel->setText(tr("Mobile number"));
    //: mobile_placeholder
    m_ui->mobileTextField->setPlaceholderText(tr("Number without the country code"));
    //: send_code_btn
    m_ui->sendButton->setTitle(tr("Send Code"));
    //: country_placeholder
    m_ui->popUpButton->setPlaceholderText(tr("Choose your country"));
    m_ui->popUpButton->setAccessibleName(m_ui->countryLabel->text());
    m_ui->mobileTextField->setAccessibleName(m_ui->mobileLabel->text());
    showCountryCode({});

    connect(m_ui->sendButton, &QPushButton::clicked, this, &MobileViewController::sendButtonAction);
    connect(m_ui->mobileTextField, &QLineEdit::returnPressed, this, &MobileViewController::sendButtonAction);
    connect(m_ui->backButton, &QToolButton::clicked, this, &MobileViewController::backButtonAction);
    connect(m_ui->popUpButton, &QComboBox::activated, this, &MobileViewController::menuDidClose);
}

MobileViewController::~MobileViewController()
{
    delete m_ui;
}

void MobileViewController::viewDidLoad()
{
    BaseViewController::viewDidLoad();

    const Countries library;
    countries = library.all();
    const std::optional<Country> current = library.current();
    if (current && current->phoneCode)
        showCountryCode(QStringLiteral("+") + QString::number(*current->phoneCode));

    //: country_menu_title
    m_ui->popUpButton->setToolTip(tr("Country"));
    m_ui->popUpButton->clear();
    for (const Country &country : std::as_const(countries))
        m_ui->popUpButton->addItem(country.flagImage, country.localizedName, country.regionCode);
    m_ui->popUpButton->setCurrentIndex(current ? m_ui->popUpButton->findData(current->regionCode) : -1);
}

void MobileViewController::setup()
{
    BaseViewController::setup();
    m_ui->mobileTextField->validator = InputValidator::mobile;
    m_handler->resultHandler = resultHandler();
    m_ui->mobileTextField->setFocus(Qt::OtherFocusReason);
}

void MobileViewController::showCountryCode(const QString &code)
{
    m_ui->countryCodeLabel->setText(code);
    m_ui->countryCodeLabel->setVisible(!code.isEmpty());
}

void MobileViewController::menuDidClose(int index)
{
    if (index < 0 || index >= countries.size())
        return;
    if (const std::optional<int> code = countries.at(index).phoneCode)
        showCountryCode(QStringLiteral("+") + QString::number(*code));
}

void MobileViewController::sendButtonAction()
{
    const MobileTextField *field = m_ui->mobileTextField;
    const QString countryCode = m_ui->countryCodeLabel->text();
    if (field->validator && !field->validator->isValid(field->text()) && !countryCode.isEmpty()) {
        QTimer::singleShot(0, this,
                           [this] { AlertController::show(this, Error(Error::Code::invalidMobile)); });
        return;
    }
    showProgress();
    m_handler->send(countryCode + field->text());
}

void MobileViewController::backButtonAction()
{
    dismiss();
}

} // namespace Orvex
