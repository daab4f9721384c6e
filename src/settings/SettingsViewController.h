#pragma once

#include "ui/BaseViewController.h"

class QLabel;
class QPushButton;

namespace Orvex {

class Button;
class ImageView;
class SettingsHandler;
class UserDefaults;
class VPNService;

// The settings window: the account's e-mail, connecting automatically,
// starting at login, and signing out. Each check box shows its stored value
// and flips it when clicked; starting at login also adds or removes the
// launcher's autostart entry at once.
class SettingsViewController final : public BaseViewController
{
    Q_OBJECT

public:
    // On the given tunnel service (the process's one; tests hand one over
    // with a fake backend); the check boxes follow its session's defaults
    // store.
    SettingsViewController(VPNService &service, const Config &config, QWidget *parent = nullptr);
    ~SettingsViewController() override;

    void setup() override;
    void viewWillAppear() override;

    void autoconnectButtonAction();
    void autostartButtonAction();
    void notificationsButtonAction();
    void alwaysRequireButtonAction();
    void logoutButtonAction();

    SettingsHandler *handler() const { return m_handler; }
    QPushButton *autoConnectButton() const { return m_autoConnectButton; }
    QPushButton *autoStartButton() const { return m_autoStartButton; }
    ImageView *autoConnectImageView() const { return m_autoConnectImageView; }
    ImageView *autoStartImageView() const { return m_autoStartImageView; }
    QPushButton *notificationsButton() const { return m_notificationsButton; }
    QPushButton *alwaysRequireButton() const { return m_alwaysRequireButton; }
    QLabel *emailLabel() const { return m_emailLabel; }
    Button *logoutButton() const { return m_logoutButton; }

    // The named image each check box shows.
    QString autoConnectImageName() const { return m_autoConnectImageName; }
    QString autoStartImageName() const { return m_autoStartImageName; }

    static QString checkboxImageName(bool on);

private:
    void buildForm();
    QPushButton *makeCheckboxRow(const QString &objectName, const QString &title, const QString &detail,
                                 ImageView **imageView);
    void refreshCheckboxes();

    SettingsHandler *m_handler;
    UserDefaults &m_defaults;
    QPushButton *m_autoConnectButton = nullptr;
    QPushButton *m_autoStartButton = nullptr;
    ImageView *m_autoConnectImageView = nullptr;
    ImageView *m_autoStartImageView = nullptr;
    QPushButton *m_notificationsButton = nullptr;
    ImageView *m_notificationsImageView = nullptr;
    QPushButton *m_alwaysRequireButton = nullptr;
    ImageView *m_alwaysRequireImageView = nullptr;
    QLabel *m_emailLabel = nullptr;
    Button *m_logoutButton = nullptr;
    QString m_autoConnectImageName;
    QString m_autoStartImageName;
};

} // namespace Orvex
