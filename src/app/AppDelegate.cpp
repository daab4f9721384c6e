#include "AppDelegate.h"

#include "session/DefaultsKeys.h"
#include "ui/FirstFrame.h"
#include "ui/WindowController.h"
#include "platform/LoginItem.h"
#include "platform/SessionBus.h"
#include "platform/UserDefaults.h"

namespace Orvex {

AppDelegate::AppDelegate(UserDefaults &defaults, WindowController &window, Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_defaults(defaults)
    , m_window(window)
    , m_hooks(std::move(hooks))
{}

void AppDelegate::writeFirstLaunchDefaults(UserDefaults &defaults)
{
    if (defaults.boolean(DefaultsKeys::isLaunchedBefore))
        return;
    defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled, true);
    defaults.setBoolean(DefaultsKeys::isAutoStartEnabled, true);
    defaults.setBoolean(DefaultsKeys::isLaunchedBefore, true);
}

void AppDelegate::applicationDidFinishLaunching()
{
    writeFirstLaunchDefaults(m_defaults);
    if (m_defaults.boolean(DefaultsKeys::isAutoStartEnabled))
        handOffFromLauncher();
    // A request: not before the first frame.
    if (m_hooks.checkForUpdates)
        FirstFrame::run(this, [check = m_hooks.checkForUpdates] { check(true); });
}

void AppDelegate::handOffFromLauncher()
{
    // "Is the launcher running" is whether it owns its bus name; the answer
    // arrives asynchronously, then the login item is (re-)registered and a
    // running launcher is told to quit.
    SessionBus::isNameOwned(SessionBus::launcherAppId, this, [this](bool launcherRunning) {
        LoginItem::setEnabled(SessionBus::launcherAppId, true);
        if (launcherRunning)
            SessionBus::postKillLauncher(SessionBus::clientAppId);
        Q_EMIT launcherHandOffFinished(launcherRunning);
    });
}

void AppDelegate::bringMainWindowForward()
{
    m_window.bringForward();
}

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows)
{
    if (!hasVisibleWindows)
        bringMainWindowForward();
    return hasVisibleWindows;
}

} // namespace Orvex
