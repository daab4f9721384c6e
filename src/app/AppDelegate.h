#pragma once

#include <QObject>

#include <functional>

namespace Orvex {

// The one-time set-up at launch and the re-open rule.
class AppDelegate final : public QObject
{
    Q_OBJECT

public:
    // What other layers contribute to the launch: the tunnel service is made to
    // exist first, the update check runs last.
    struct Hooks
    {
        std::function<void()> createTunnelService;
        std::function<void(bool isLaunch)> checkForUpdates;
    };

    explicit AppDelegate(Hooks hooks, QObject *parent = nullptr);

    // 1. tunnel service, 2. first-launch defaults, 3. launcher hand-off (only
    // with auto-start on), 4. the silent update check.
    void applicationDidFinishLaunching();

    // Brings the main window forward when no window is visible; answers
    // `hasVisibleWindows` unchanged.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);

    void applicationWillTerminate() {}

    // Shows, raises and activates the main window (also the tray's "Show").
    static bool bringMainWindowForward();

    static void writeFirstLaunchDefaults();

Q_SIGNALS:
    // The launcher hand-off has finished (the login item is registered and
    // the launcher told to quit when it was running).
    void launcherHandOffFinished(bool launcherWasRunning);

private:
    void handOffFromLauncher();

    Hooks m_hooks;
};

} // namespace Orvex
