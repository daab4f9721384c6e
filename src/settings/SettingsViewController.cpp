#include "SettingsViewController.h"

#include "ui/Images.h"
#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "settings/SettingsHandler.h"
#include "controls/Button.h"
#include "controls/ImageView.h"
#include "platform/LoginItem.h"
#include "platform/SessionBus.h"
#include "platform/UserDefaults.h"
#include "vpn/TunnelNotifications.h"
#include "vpn/VPNService.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLayout>
#include <QLabel>
#include <QPushButton>
#include <QTextDocument>
#include <QVBoxLayout>

namespace Orvex {

namespace {

constexpr int formWidth = 420;
constexpr int checkboxSize = 20;

// A check-box row: a button whose face is the picture and the two texts laid
// out inside it, so it is as large as they need.
class CheckboxRowButton final : public QPushButton
{
public:
    using QPushButton::QPushButton;

    QSize sizeHint() const override { return layout() ? layout()->sizeHint() : QPushButton::sizeHint(); }
    QSize minimumSizeHint() const override
    {
        return layout() ? layout()->minimumSize() : QPushButton::minimumSizeHint();
    }
    bool hasHeightForWidth() const override { return layout() && layout()->hasHeightForWidth(); }
    int heightForWidth(int width) const override
    {
        return layout() ? layout()->totalHeightForWidth(width) : QPushButton::heightForWidth(width);
    }
};

QLabel *captionLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 11px; font-weight: 600;"
                                        " letter-spacing: 0.5px;"));
    return label;
}

} // namespace

SettingsViewController::SettingsViewController(VPNService &service, const Config &config, QWidget *parent)
    : BaseViewController(config, parent)
    , m_handler(new SettingsHandler(service, this))
    , m_defaults(service.session().defaults())
{
    buildForm();
}

SettingsViewController::~SettingsViewController() = default;

QString SettingsViewController::checkboxImageName(bool on)
{
    return on ? QStringLiteral("ic_checkbox_on") : QStringLiteral("ic_checkbox_off");
}

void SettingsViewController::buildForm()
{
    setObjectName(QStringLiteral("SettingsViewController"));
    setFixedWidth(formWidth);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 22);
    layout->setSpacing(0);

    //: settings_account_caption
    layout->addWidget(captionLabel(tr("ACCOUNT"), this));
    layout->addSpacing(6);
    m_emailLabel = new QLabel(this);
    m_emailLabel->setObjectName(QStringLiteral("emailLabel"));
    // The e-mail as typed: text, never markup.
    m_emailLabel->setTextFormat(Qt::PlainText);
    m_emailLabel->setStyleSheet(QStringLiteral("font-size: 15px; font-weight: 600;"));
    m_emailLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_emailLabel->setMinimumWidth(0);
    m_emailLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(m_emailLabel);

    layout->addSpacing(18);
    auto *line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setStyleSheet(QStringLiteral("color: rgba(0, 0, 0, 28);"));
    layout->addWidget(line);
    layout->addSpacing(16);

    //: settings_preferences_caption
    layout->addWidget(captionLabel(tr("PREFERENCES"), this));
    layout->addSpacing(6);
    //: auto_connect_btn
    m_autoConnectButton = makeCheckboxRow(QStringLiteral("autoConnectButton"), tr("Connect automatically"),
                                          //: auto_connect_detail
                                          tr("Bring the VPN up by itself whenever you are online"),
                                          &m_autoConnectImageView);
    layout->addWidget(m_autoConnectButton);
    layout->addSpacing(4);
    //: auto_start_btn
    m_autoStartButton = makeCheckboxRow(QStringLiteral("autoStartButton"), tr("Start at login"),
                                        //: auto_start_detail
                                        tr("Open Orvex Cloud when you log in to this computer"),
                                        &m_autoStartImageView);
    layout->addWidget(m_autoStartButton);
    layout->addSpacing(4);
    //: notifications_btn
    m_notificationsButton = makeCheckboxRow(QStringLiteral("notificationsButton"), tr("Show notifications"),
                                            //: notifications_detail
                                            tr("Tell me when the VPN connects, drops or fails"),
                                            &m_notificationsImageView);
    layout->addWidget(m_notificationsButton);
    layout->addSpacing(4);
    //: always_require_btn
    m_alwaysRequireButton = makeCheckboxRow(QStringLiteral("alwaysRequireButton"), tr("Always require VPN"),
                                            //: always_require_detail
                                            tr("Block all traffic while the VPN is off, except signing in"),
                                            &m_alwaysRequireImageView);
    layout->addWidget(m_alwaysRequireButton);

    layout->addSpacing(26);
    layout->addStretch(1);
    m_logoutButton = new Button(this);
    m_logoutButton->setObjectName(QStringLiteral("logoutButton"));
    //: sign_out_btn
    m_logoutButton->setTitle(tr("Sign Out"));
    const QColor signOutColor(0xD6, 0x45, 0x3D);
    m_logoutButton->setTitleColor(signOutColor);
    m_logoutButton->setBorderColor(signOutColor);
    m_logoutButton->setMinimumHeight(42);
    layout->addWidget(m_logoutButton);

    connect(m_autoConnectButton, &QPushButton::clicked, this,
            &SettingsViewController::autoconnectButtonAction);
    connect(m_autoStartButton, &QPushButton::clicked, this, &SettingsViewController::autostartButtonAction);
    connect(m_alwaysRequireButton, &QPushButton::clicked, this,
            &SettingsViewController::alwaysRequireButtonAction);
    connect(m_notificationsButton, &QPushButton::clicked, this,
            &SettingsViewController::notificationsButtonAction);
    connect(m_logoutButton, &QPushButton::clicked, this, &SettingsViewController::logoutButtonAction);
}

QPushButton *SettingsViewController::makeCheckboxRow(const QString &objectName, const QString &title,
                                                     const QString &detail, ImageView **imageView)
{
    // The whole row is the button: the picture and the texts inside it let
    // every click through to it.
    auto *button = new CheckboxRowButton(this);
    button->setObjectName(objectName);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    policy.setHeightForWidth(true);
    button->setSizePolicy(policy);
    button->setCheckable(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setAccessibleName(title);
    button->setAccessibleDescription(detail);
    button->setStyleSheet(
        QStringLiteral(
            "QPushButton#%1 { border: 2px solid transparent; border-radius: 8px; background: transparent; }"
            "QPushButton#%1:hover { background: rgba(0, 0, 0, 10); }"
            "QPushButton#%1:pressed { background: rgba(0, 0, 0, 20); }"
            "QPushButton#%1:focus { border-color: rgba(242, 165, 60, 150); }")
            .arg(objectName));

    auto *row = new QHBoxLayout(button);
    row->setContentsMargins(8, 8, 8, 8);
    row->setSpacing(12);
    auto *image = new ImageView(button);
    image->setObjectName(objectName.left(objectName.size() - int(qstrlen("Button")))
                         + QStringLiteral("ImageView"));
    image->setFixedSize(checkboxSize, checkboxSize);
    image->setAttribute(Qt::WA_TransparentForMouseEvents);
    row->addWidget(image, 0, Qt::AlignTop);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto *titleLabel = new QLabel(title, button);
    titleLabel->setStyleSheet(QStringLiteral("font-size: 14px;"));
    titleLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto *detailLabel = new QLabel(detail, button);
    detailLabel->setWordWrap(true);
    detailLabel->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 12px;"));
    detailLabel->setAttribute(Qt::WA_TransparentForMouseEvents);
    texts->addWidget(titleLabel);
    texts->addWidget(detailLabel);
    row->addLayout(texts, 1);

    *imageView = image;
    return button;
}

void SettingsViewController::setup()
{
    BaseViewController::setup();
    m_handler->resultHandler = resultHandler();
    const std::optional<QString> email = m_handler->service().session().email();
    m_emailLabel->setText(email.value_or(QString()));
    // A tool tip guesses rich text from its content; escaped in a paragraph it
    // shows the text as typed.
    m_emailLabel->setToolTip(email ? Qt::convertFromPlainText(*email) : QString());
    // Signed out there is nobody to sign out.
    m_logoutButton->setEnabled(m_handler->service().session().isSignedIn());
    refreshCheckboxes();
    // No row looks chosen when the window opens; Tab reaches them.
    setFocusPolicy(Qt::StrongFocus);
    // Where the focus rests first, so a screen reader names the window's
    // content there.
    //: settings_title
    setAccessibleName(tr("Settings"));
    setFocus(Qt::OtherFocusReason);
}

void SettingsViewController::viewWillAppear()
{
    refreshCheckboxes();
}

void SettingsViewController::refreshCheckboxes()
{
    const bool autoConnect = m_defaults.boolean(DefaultsKeys::isAutoConnectEnabled);
    const bool autoStart = m_defaults.boolean(DefaultsKeys::isAutoStartEnabled);
    m_autoConnectImageName = checkboxImageName(autoConnect);
    m_autoStartImageName = checkboxImageName(autoStart);
    m_autoConnectImageView->setImage(Images::named(m_autoConnectImageName));
    m_autoStartImageView->setImage(Images::named(m_autoStartImageName));
    m_autoConnectButton->setChecked(autoConnect);
    m_autoStartButton->setChecked(autoStart);
    const bool notifications = TunnelNotifications::isEnabled(m_defaults);
    m_notificationsImageView->setImage(Images::named(checkboxImageName(notifications)));
    m_notificationsButton->setChecked(notifications);
    const bool alwaysRequire = m_defaults.boolean(DefaultsKeys::isBlockWhenDisconnectedEnabled);
    m_alwaysRequireImageView->setImage(Images::named(checkboxImageName(alwaysRequire)));
    m_alwaysRequireButton->setChecked(alwaysRequire);
}

void SettingsViewController::alwaysRequireButtonAction()
{
    m_defaults.setBoolean(DefaultsKeys::isBlockWhenDisconnectedEnabled,
                          !m_defaults.boolean(DefaultsKeys::isBlockWhenDisconnectedEnabled));
    m_handler->service().applyAlwaysRequired();
    refreshCheckboxes();
}

void SettingsViewController::notificationsButtonAction()
{
    m_defaults.setBoolean(DefaultsKeys::isNotificationsEnabled, !TunnelNotifications::isEnabled(m_defaults));
    refreshCheckboxes();
}

void SettingsViewController::autoconnectButtonAction()
{
    m_defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled,
                          !m_defaults.boolean(DefaultsKeys::isAutoConnectEnabled));
    refreshCheckboxes();
}

void SettingsViewController::autostartButtonAction()
{
    const bool enabled = !m_defaults.boolean(DefaultsKeys::isAutoStartEnabled);
    m_defaults.setBoolean(DefaultsKeys::isAutoStartEnabled, enabled);
    // Not reported when it fails: the next launch registers the launcher
    // again while the setting is on.
    LoginItem::setEnabled(SessionBus::launcherAppId, enabled);
    refreshCheckboxes();
}

void SettingsViewController::logoutButtonAction()
{
    m_handler->logout();
}

} // namespace Orvex
