#include "account/Session.h"
#include "api/Utility.h"
#include "app/AppDelegate.h"
#include "app/Automation.h"
#include "app/CommandLine.h"
#include "app/Menu.h"
#include "app/QuitSequence.h"
#include "app/StatusMenuController.h"
#include "app/StatusMenuHandler.h"
#include "ui/TunnelStatusSource.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "platform/DesktopNotifier.h"
#include "platform/DesktopSecretStore.h"
#include "platform/IdentityStore.h"
#include "platform/NetworkChangeMonitor.h"
#include "platform/RunMarker.h"
#include "platform/SessionBus.h"
#include "platform/SingleInstance.h"
#include "platform/TerminationSignals.h"
#include "platform/UserDefaults.h"
#include "platform/VpnConnection.h"
#include "platform/VpnManager.h"
#include "update/UpdatingService.h"
#include "vpn/TunnelNotifications.h"
#include "vpn/VPNService.h"

#include <QApplication>
#include <QEventLoop>
#include <QLibraryInfo>
#include <QLocale>
#include <QMenuBar>
#include <QPointer>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <optional>

using namespace Orvex;

namespace {

// One look on every desktop: Fusion with a light palette in the brand colours.
// The screens are drawn for light surfaces, so a dark desktop theme is not
// followed; the palette starts from Fusion's own light one rather than the
// desktop's, or a dark theme would leave its colours in every role not set
// here (bevels, tool tips, visited links) beside the light ones.
void applyLook(QApplication &app)
{
    QStyle *fusion = QStyleFactory::create(QStringLiteral("Fusion"));
    app.setStyle(fusion);
    QPalette palette = fusion->standardPalette();
    palette.setColor(QPalette::Window, QColor(0xFA, 0xFA, 0xFB));
    palette.setColor(QPalette::WindowText, QColor(0x1D, 0x1D, 0x1F));
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::AlternateBase, QColor(0xF2, 0xF2, 0xF5));
    palette.setColor(QPalette::Text, QColor(0x1D, 0x1D, 0x1F));
    palette.setColor(QPalette::Button, QColor(0xF2, 0xF2, 0xF5));
    palette.setColor(QPalette::ButtonText, QColor(0x1D, 0x1D, 0x1F));
    palette.setColor(QPalette::Mid, QColor(0x86, 0x86, 0x8B));
    palette.setColor(QPalette::PlaceholderText, QColor(0x9A, 0x9A, 0xA0));
    palette.setColor(QPalette::Highlight, QColor(242, 165, 60));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, QColor(0xC9, 0x7A, 0x12));
    // Disabled text must still look disabled: the calls above set every group.
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, QColor(0x9A, 0x9A, 0xA0));
    app.setPalette(palette);
}

// Every screen's handler follows the tunnel: the saved configuration is loaded
// once per handler, then each status change of the connection is delivered.
void installTunnelStatusSource()
{
    TunnelStatusSource::install([](QObject *context, TunnelStatusSource::Observer observer) {
        VpnManager &manager = VpnManager::shared();
        auto connected = [&manager] { return manager.connection()->status() == VpnStatus::Connected; };
        QPointer<QObject> guard(context);
        manager.loadFromPreferences([guard, observer, connected](const std::optional<QString> &error) {
            if (guard && !error)
                observer(connected());
        });
        QObject::connect(manager.connection(), &VpnConnection::statusDidChange, context,
                         [observer, connected] { observer(connected()); });
    });
}

void installTranslations(QApplication &app)
{
    auto *translator = new QTranslator(&app);
    if (!translator->load(QLocale(), QStringLiteral("orvex"), QStringLiteral("_"), QStringLiteral(":/i18n")))
        return;
    QApplication::installTranslator(translator);
    // Qt's own texts (a field's context menu, key names such as "Ctrl") in the
    // same language, from the system's Qt translations when they are
    // installed; only for a language of ours, so nothing ends up half
    // translated.
    auto *qt = new QTranslator(&app);
    if (qt->load(QLocale(translator->language()), QStringLiteral("qtbase"), QStringLiteral("_"),
                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(qt);
}

// For the start-up benchmark: report the first painted frame of the main
// window on stdout and quit.
void exitAfterFirstFrame(QWidget *window)
{
    struct FirstFrame final : QObject
    {
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (event->type() == QEvent::Paint) {
                watched->removeEventFilter(this);
                QTimer::singleShot(0, qApp, [] {
                    std::fputs("first-frame\n", stdout);
                    std::fflush(stdout);
                    QCoreApplication::exit(0);
                });
            }
            return false;
        }
    };
    window->installEventFilter(new FirstFrame);
}

// A client that was killed left its tunnel up with nobody watching, and
// perhaps settings only its quit path takes back: clear them before this run
// starts its own, within the quit path's bound.
void clearWhatAKilledClientLeft(VPNService &service)
{
    RunMarker::runLeftoverCleanups();
    QEventLoop loop;
    bool done = false;
    service.clearLeftovers([&loop, &done] {
        done = true;
        loop.quit();
    });
    QTimer::singleShot(QuitSequence::boundMs, &loop, &QEventLoop::quit);
    if (!done)
        loop.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    // The command line is answered first: --version and --help need no
    // display, and work even with a bad configuration, which matters only to
    // a client that starts.
    if (const std::optional<int> status = CommandLine::handle(CommandLine::fromArgv(argc, argv)))
        return *status;

    // A bad configuration stops the client here, before any window or request.
    Config::loadOrExit();

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("orvex"));
    QApplication::setApplicationName(QStringLiteral("orvex"));
    QApplication::setApplicationDisplayName(QStringLiteral("Orvex Cloud"));
    QApplication::setApplicationVersion(Utility::applicationVersion());
    QApplication::setDesktopFileName(SessionBus::clientAppId);
    // Closing the window is decided by the window itself (hide to the tray, or
    // quit when there is no tray); a closing dialog never quits the client.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    if (instance.claim(SessionBus::clientAppId) == SingleInstance::Claim::AlreadyRunning) {
        instance.requestReopen([](bool) { QCoreApplication::exit(0); });
        return app.exec();
    }

    installTranslations(app);
    applyLook(app);

    // The signed-in account, for everything that needs it. Its password comes
    // from the Secret Service asynchronously, so the first screen is chosen
    // once it has answered.
    DesktopSecretStore secrets(SessionBus::clientAppId, Session::standardFallbackFile());
    Session session(secrets, UserDefaults::standard(), IdentityStore::standard(),
                    Session::standardAccountFile());
    Session::setShared(&session);

    installTunnelStatusSource();
    AppDelegate delegate({[] { VPNService::shared(); }, &UpdatingService::check});
    WindowController window;
    // Every way out goes through the tunnel service's quit path: both menus'
    // Quit, closing the window without a tray, SIGTERM/SIGINT/SIGHUP, and the
    // end of the session (Qt quits the event loop when the session manager
    // says so). commitDataRequest is not used: a logout can still be
    // cancelled after it, and the tunnel would be gone for nothing.
    QuitSequence quit; // on VPNService::shared(), looked up when quitting
    Menu menu(window.menuBar());
    menu.exitApplication = [&quit] { quit.exitAfterQuitPath(); };
    StatusMenuController statusMenu(&app);
    statusMenu.handler()->exitApplication = [&quit] { quit.exitAfterQuitPath(); };
    window.quitApplication = [&quit] { quit.end(); };
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, &quit, [&quit](int, int count) {
        if (count > 1)
            quit.endNow(); // asked twice: no more waiting
        else
            quit.end();
    });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &quit, &QuitSequence::finishBeforeExit);
    // A run that never finished its quit path left something behind; it is
    // cleared once the session is loaded, before the first screen.
    RunMarker marker;
    const bool killedBefore = marker.begin();

    QObject::connect(&instance, &SingleInstance::reopenRequested, &delegate, [&delegate, &window] {
        if (delegate.applicationShouldHandleReopen(window.isVisible()))
            window.bringForward(); // a second launch of a visible client raises it too
    });

    if (qEnvironmentVariableIsSet("ORVEX_BENCH_FIRST_FRAME"))
        exitAfterFirstFrame(&window);
    // Made once the tunnel service exists, in the session's load below.
    std::optional<TunnelNotifications> notifications;
    std::optional<NetworkChangeMonitor> networkChanges;
    session.load([&] {
        if (killedBefore)
            clearWhatAKilledClientLeft(VPNService::shared());
        window.windowDidLoad();
        window.setFixedSize(window.sizeHint());
        window.show();
        delegate.applicationDidFinishLaunching();
        // The tunnel service exists from here on.
        notifications.emplace(VPNService::shared(), new FreedesktopNotifier(&app));
        networkChanges.emplace();
        QObject::connect(&*networkChanges, &NetworkChangeMonitor::changed, &VPNService::shared(),
                         [](NetworkChangeMonitor::Reason reason) {
                             VPNService::shared().checkTunnel(reason == NetworkChangeMonitor::Reason::Resumed
                                                                  ? VpnBackend::Change::Resumed
                                                                  : VpnBackend::Change::RouteChanged);
                         });
        Automation::startFromEnvironment(&app);
    });
    const int status = app.exec();
    if (quit.leftNothingBehind())
        marker.end();
    return status;
}
