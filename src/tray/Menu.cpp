#include "Menu.h"

#include "ui/AppStoryboard.h"
#include "settings/InfoViewController.h"
#include "ui/Navigator.h"
#include "ui/WindowController.h"
#include "settings/SettingsViewController.h"
#include "tray/StatusMenuHandler.h"
#include "config/Config.h"
#include "support/SupportViewController.h"
#include "update/UpdatingService.h"
#include "vpn/VPNService.h"

#include <QAction>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QUrl>

namespace Orvex {

Menu::Menu(WindowController &window, VPNService &service, const Config &config, QObject *parent)
    : QObject(parent)
    , exitApplication([] { QCoreApplication::quit(); })
    , m_window(window)
    , m_service(service)
    , m_config(config)
{
    QMenuBar *bar = window.menuBar();
    QMenu *app = bar->addMenu(tr("&Orvex"));
    m_info = app->addAction(tr("&About Orvex"), this, &Menu::infoAction_triggered);
    m_updates = app->addAction(tr("Check for &Updates…"), this, &Menu::checkForUpdatesAction_triggered);
    app->addSeparator();
    m_settings = app->addAction(tr("&Settings…"), this, &Menu::settingsAction_triggered);
    m_settings->setShortcut(QKeySequence::Preferences);
    app->addSeparator();
    m_quit = app->addAction(tr("&Quit Orvex"), this, &Menu::quitAction_triggered);
    m_quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    m_quit->setMenuRole(QAction::QuitRole);

    QMenu *help = bar->addMenu(tr("&Help"));
    m_support = help->addAction(tr("Contact &Support…"), this, &Menu::supportAction_triggered);
    m_privacy = help->addAction(tr("&Privacy Policy"), this, &Menu::privacyPolicyAction_triggered);
}

void Menu::settingsAction_triggered()
{
    auto *settings = instantiate<SettingsViewController>(m_window.context(), AppStoryboard::Settings);
    //: settings_title
    settings->setTitle(tr("Settings"));
    Navigator::presentModal(&m_window, settings);
}

void Menu::infoAction_triggered()
{
    Navigator::presentModal(&m_window,
                            instantiate<InfoViewController>(m_window.context(), AppStoryboard::Settings));
}

void Menu::checkForUpdatesAction_triggered()
{
    UpdatingService::check(m_window, false);
}

void Menu::supportAction_triggered()
{
    auto *support = instantiate<SupportViewController>(m_window.context(), AppStoryboard::Settings);
    //: support_title
    support->setTitle(tr("Support"));
    Navigator::presentModal(&m_window, support);
}

void Menu::privacyPolicyAction_triggered()
{
    QDesktopServices::openUrl(QUrl(m_config.privacyPolicyURL));
}

void Menu::quitAction_triggered()
{
    StatusMenuHandler::quit(m_service, exitApplication);
}

} // namespace Orvex
