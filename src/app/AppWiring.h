#pragma once

#include "config/Config.h"
#include "platform/Pace.h"
#include "session/UserFiles.h"

#include <QDBusConnection>
#include <QObject>

#include <functional>
#include <memory>

class QApplication;
class QCoreApplication;

namespace Orvex {

struct AppContext;
class SceneTable;
class AppDelegate;
class ClientControl;
class DesktopSecretStore;
class IdentityStore;
class Menu;
class NetworkChangeMonitor;
class NetworkConnectivity;
class NetworkService;
class QuitSequence;
class RunMarker;
class Session;
class SingleInstance;
class StatusMenuController;
class TerminationSignals;
class TunnelNotifications;
class UserDefaults;
class VPNService;
class VPNManager;
class WindowController;

// The composition root: the client's long-lived objects and how they are
// connected. It makes or takes the defaults store, the network service, the
// account's session and the tunnel service once, and hands them to what needs
// them: the screens (through the context the main window is made with, which
// every screen of the window is made from and passes on), the main window
// with its application menu, the tray menu, the notifications, and the quit
// sequence that every way out goes through (both menus' Quit, the window
// closed without a tray, a termination signal, the event loop ending). It keeps the configuration it is given and
// hands it to what reads it. The defaults store, the network service, the key
// store, the tunnel's manager and its service are made here, one each, over
// the user's standard files, unless given.
// main() makes one for the process; a test makes one on a tunnel of its own
// and meets the same wiring.
class AppWiring final
{
public:
    struct Tunnel
    {
        // A null service: one of the wiring's own, on a manager of its own
        // over the backend the configuration names.
        VPNService *service;
    };

    // The application's names and its quit policy, before anything else.
    static void prepare(QApplication &app);
    // Its translations and its look, once it is known to be the only client.
    static void dress(QApplication &app);

    // `session` null: a session of the wiring's own on the desktop's secret
    // store, a defaults store of its own and the standard files. Otherwise
    // the given session's defaults store is the wiring's. The screens' pauses
    // run at `pace` (real time unless a test speeds them up).
    AppWiring(QCoreApplication *app, Config config, Session *session = nullptr,
              Tunnel given = Tunnel{nullptr}, Pace pace = {});
    ~AppWiring();
    AppWiring(const AppWiring &) = delete;
    AppWiring &operator=(const AppWiring &) = delete;

    // Loads the session, clears what a killed client left behind, then shows
    // the first screen (unless started in the tray), starts the tunnel
    // service, its notifications, the network watch and the control
    // interface on the session bus; `launched` runs after that.
    void launch(std::function<void()> launched = {});
    // Started for the tray alone (by D-Bus activation): the window is made
    // but not shown; the tray, the start menu entry or a second start
    // bring it forward. Before launch().
    void startInTray() { m_startInTray = true; }
    // Exports the control interface (org.orvex.Client1) on `bus`; launch()
    // does so on the session bus. Failures are logged, the client runs on.
    void publishControl(const QDBusConnection &bus);
    ClientControl *control() const { return m_control.get(); }
    // A second start of the client brings this one's window forward.
    void bringForwardOnReopen(SingleInstance &instance);
    // Runs the event loop; the mark of a running client goes only when the
    // quit path left nothing behind.
    int exec();

    Session &session() { return *m_session; }
    VPNService &tunnel() const { return *m_service; }
    NetworkService &network() const { return *m_network; }
    // What every screen is made with.
    const AppContext &context() const { return *m_context; }
    AppDelegate &delegate() { return *m_delegate; }
    WindowController &window() { return *m_window; }
    QuitSequence &quit() { return *m_quit; }
    Menu &menu() { return *m_menu; }
    StatusMenuController &statusMenu() { return *m_statusMenu; }
    TerminationSignals &termination() { return *m_termination; }

private:
    // What `launch` does once the session is loaded and a killed run's
    // leftovers are cleared.
    void finishLaunch(const std::function<void()> &launched);

    QCoreApplication *m_app;
    const Config m_config;
    const UserFiles m_files;
    std::unique_ptr<DesktopSecretStore> m_secrets;
    std::unique_ptr<UserDefaults> m_defaults;
    std::unique_ptr<IdentityStore> m_identities;
    std::unique_ptr<Session> m_ownSession;
    Session *m_session;
    std::unique_ptr<NetworkService> m_network;
    // Made after the session and gone before it; the manager outlives its service.
    std::unique_ptr<VPNManager> m_ownManager;
    std::unique_ptr<VPNService> m_ownService;
    VPNService *m_service;
    std::unique_ptr<SceneTable> m_scenes;
    std::unique_ptr<AppContext> m_context;
    std::unique_ptr<AppDelegate> m_delegate;
    std::unique_ptr<WindowController> m_window;
    std::unique_ptr<QuitSequence> m_quit;
    std::unique_ptr<Menu> m_menu;
    std::unique_ptr<StatusMenuController> m_statusMenu;
    std::unique_ptr<TerminationSignals> m_termination;
    std::unique_ptr<RunMarker> m_marker;
    std::unique_ptr<TunnelNotifications> m_notifications;
    std::unique_ptr<NetworkChangeMonitor> m_networkChanges;
    std::unique_ptr<NetworkConnectivity> m_connectivity;
    std::unique_ptr<ClientControl> m_control;
    bool m_startInTray = false;
};

} // namespace Orvex
