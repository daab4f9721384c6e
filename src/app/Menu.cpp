#include "Menu.h"

#include "Shared/Extensions/AppStoryboard.h"
#include "app/InfoViewController.h"
#include "app/Navigator.h"
#include "config/Config.h"

#include <QAction>
#include <QDesktopServices>
#include <QMenu>
#include <QMenuBar>
#include <QUrl>

namespace Orvex {

Menu::Menu(QMenuBar *bar, QObject *parent)
    : QObject(parent)
{
    QMenu *app = bar->addMenu(tr("&Orvex"));
    m_info = app->addAction(tr("&About Orvex"), this, &Menu::infoAction_triggered);
    m_updates = app->addAction(tr("Check for &Updates…"));
    app->addSeparator();
    m_settings = app->addAction(tr("&Settings…"));
    m_settings->setShortcut(QKeySequence::Preferences);
    app->addSeparator();
    m_quit = app->addAction(tr("&Quit Orvex"), this, &Menu::quitRequested);
    m_quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    m_quit->setMenuRole(QAction::QuitRole);

    QMenu *help = bar->addMenu(tr("&Help"));
    m_support = help->addAction(tr("Contact &Support…"));
    m_privacy = help->addAction(tr("&Privacy Policy"), this, &Menu::privacyPolicyAction_triggered);

    // Filled in by the screens that carry them.
    for (QAction *later : {m_updates, m_settings, m_support})
        later->setEnabled(false);
}

void Menu::infoAction_triggered()
{
    Navigator::presentModal(instantiate<InfoViewController>(AppStoryboard::Settings));
}

void Menu::privacyPolicyAction_triggered()
{
    QDesktopServices::openUrl(QUrl(Config::current().privacyPolicyURL));
}

} // namespace Orvex
