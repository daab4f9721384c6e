#pragma once

#include <QObject>

#include <functional>

namespace Orvex {

class UserDefaults;
class WindowController;

// The one-time set-up at launch and the re-open rule.
class AppDelegate final : public QObject
{
    Q_OBJECT

public:
    // What other layers contribute to the launch: the update check, which
    // runs last. (The tunnel service exists before the delegate: the
    // composition root makes it.)
    struct Hooks
    {
        std::function<void(bool isLaunch)> checkForUpdates;
    };

    // The first-launch defaults and the auto-start setting live in `defaults`;
    // `window` is the main window it brings forward.
    AppDelegate(UserDefaults &defaults, WindowController &window, Hooks hooks, QObject *parent = nullptr);

    // 1. first-launch defaults, 2. launcher hand-off (only with auto-start
    // on), 3. the silent update check.
    void applicationDidFinishLaunching();

    // Brings the main window forward when no window is visible; answers
    // `hasVisibleWindows` unchanged.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);

    // Shows, raises and activates the main window (also the tray's "Show").
    void bringMainWindowForward();

    static void writeFirstLaunchDefaults(UserDefaults &defaults);

Q_SIGNALS:
    // The launcher hand-off has finished (the login item is registered and
    // the launcher told to quit when it was running).
    void launcherHandOffFinished(bool launcherWasRunning);

private:
    void handOffFromLauncher();

    UserDefaults &m_defaults;
    WindowController &m_window;
    Hooks m_hooks;
};

} // namespace Orvex
