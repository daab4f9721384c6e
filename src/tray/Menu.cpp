#include "Menu.h"

#include "ui/AppStoryboard.h"
#include "settings/InfoViewController.h"
#include "ui/Navigator.h"
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

Menu::Menu(QMenuBar *bar, VPNService &service, NetworkService &network, const Config &config, QObject *parent)
    : QObject(parent)
    , exitApplication([] { QCoreApplication::quit(); })
    , m_service(service)
    , m_network(network)
    , m_config(config)
{
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
    auto *settings = instantiate<SettingsViewController>(AppStoryboard::Settings);
    //: settings_title
    settings->setTitle(tr("Settings"));
    Navigator::presentModal(settings);
}

void Menu::infoAction_triggered()
{
    Navigator::presentModal(instantiate<InfoViewController>(AppStoryboard::Settings));
}

void Menu::checkForUpdatesAction_triggered()
{
    UpdatingService::check(m_network, m_config, false);
}

void Menu::supportAction_triggered()
{
    auto *support = instantiate<SupportViewController>(AppStoryboard::Settings);
    //: support_title
    support->setTitle(tr("Support"));
    Navigator::presentModal(support);
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
