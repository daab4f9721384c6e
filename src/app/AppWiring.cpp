#include "AppWiring.h"

#include "session/Session.h"
#include "session/UserFiles.h"
#include "api/NetworkService.h"
#include "api/Utility.h"
#include "app/AppDelegate.h"
#include "app/ClientControl.h"
#include "tray/Menu.h"
#include "app/QuitSequence.h"
#include "app/Scenes.h"
#include "tray/StatusMenuController.h"
#include "tray/StatusMenuHandler.h"
#include "ui/AppContext.h"
#include "ui/AppStoryboard.h"
#include "ui/WindowController.h"
#include "platform/DesktopNotifier.h"
#include "platform/DesktopSecretStore.h"
#include "platform/IdentityStore.h"
#include "platform/NetworkChangeMonitor.h"
#include "platform/nm/NetworkManagerConnectivity.h"
#include "platform/RunMarker.h"
#include "platform/SessionBus.h"
#include "platform/SingleInstance.h"
#include "platform/TerminationSignals.h"
#include "platform/UserDefaults.h"
#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"
#include "update/UpdatingService.h"
#include "usage/UsageChart.h"
#include "vpn/TunnelNotifications.h"
#include "vpn/VPNService.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QLocale>
#include <QMenuBar>
#include <QPointer>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>
#include <QTranslator>

#include <utility>

namespace Orvex {

namespace {

Q_LOGGING_CATEGORY(lcControl, "orvex.control", QtWarningMsg)

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

// A client that was killed left its tunnel up with nobody watching, and
// perhaps settings only its quit path takes back: clear them before this run
// starts its own, within the quit path's bound.
// Then runs `next` once, when the tunnel has been asked down or the quit
// path's bound has passed, whichever comes first, and not after `context`
// has gone. The event loop runs on meanwhile: no loop nested in it.
void clearWhatAKilledClientLeft(const Config &config, VPNService &service, QObject *context,
                                std::function<void()> next)
{
    VPNManager::repairLeftovers(config);
    auto once = std::make_shared<std::function<void()>>(std::move(next));
    QPointer<QObject> guard(context);
    const auto finish = [once, guard] {
        if (!*once || !guard)
            return;
        std::exchange(*once, nullptr)();
    };
    QTimer::singleShot(QuitSequence::boundMs, context, finish);
    service.clearLeftovers(finish);
}

} // namespace

void AppWiring::prepare(QApplication &)
{
    QApplication::setOrganizationName(QStringLiteral("orvex"));
    QApplication::setApplicationName(QStringLiteral("orvex"));
    QApplication::setApplicationDisplayName(QStringLiteral("Orvex Cloud"));
    QApplication::setApplicationVersion(Utility::applicationVersion());
    QApplication::setDesktopFileName(SessionBus::clientAppId);
    // Closing the window is decided by the window itself (hide to the tray, or
    // quit when there is no tray); a closing dialog never quits the client.
    QApplication::setQuitOnLastWindowClosed(false);
}

void AppWiring::dress(QApplication &app)
{
    installTranslations(app);
    applyLook(app);
}

AppWiring::AppWiring(QCoreApplication *app, Config config, Session *session, Tunnel given, Pace pace)
    : m_app(app)
    , m_config(std::move(config))
    , m_files(UserFiles::standard())
    , m_session(session)
{
    // The signed-in account, for everything that needs it. Its password comes
    // from the Secret Service asynchronously, so the first screen is chosen
    // once it has answered (launch()).
    if (!m_session) {
        m_secrets = std::make_unique<DesktopSecretStore>(SessionBus::clientAppId, m_files.fallbackSecrets);
        m_defaults = std::make_unique<UserDefaults>(m_files.defaults);
        m_identities = std::make_unique<IdentityStore>(m_files.identities);
        m_ownSession = std::make_unique<Session>(*m_secrets, *m_defaults, *m_identities, m_files.account,
                                                 m_config);
        m_session = m_ownSession.get();
    }
    m_network = std::make_unique<NetworkService>(m_config);
    // The tunnel service exists before anything that follows it; making its
    // backend also registers the backends' clean-up of what a killed client
    // left.
    if (!given.service) {
        const QString &storage = m_files.tunnelConfiguration;
        auto backend = VPNManager::makeConfiguredBackend(m_config, m_session->identities(), storage);
        m_ownManager = std::make_unique<VPNManager>(std::move(backend), storage);
        m_ownService = std::make_unique<VPNService>(m_ownManager.get(), *m_session, m_config);
    }
    m_service = given.service ? given.service : m_ownService.get();
    VPNService *service = m_service;
    m_scenes = std::make_unique<SceneTable>(makeScenes([service]() -> VPNService & { return *service; }));
    m_context = std::make_unique<AppContext>(AppContext{m_config, m_session->defaults(), *m_network,
                                                        *m_session, *m_scenes, &UsageChart::preload, pace});

    // The window every screen of the client is shown in, made from the
    // client's context.
    m_window = std::make_unique<WindowController>(*m_context);
    WindowController *window = m_window.get();
    m_delegate = std::make_unique<AppDelegate>(m_session->defaults(), *window,
                                               AppDelegate::Hooks{[window](bool isLaunch) {
                                                   UpdatingService::check(*window, isLaunch);
                                               }});
    // Every way out goes through the tunnel service's quit path: both menus'
    // Quit, closing the window without a tray, SIGTERM/SIGINT/SIGHUP, and the
    // end of the session (Qt quits the event loop when the session manager
    // says so). commitDataRequest is not used: a logout can still be
    // cancelled after it, and the tunnel would be gone for nothing.
    m_quit = std::make_unique<QuitSequence>(*m_service);
    m_menu = std::make_unique<Menu>(*window, *m_service, m_config);
    m_statusMenu = std::make_unique<StatusMenuController>(
        *m_service, *m_network, [window] { window->bringForward(); }, m_app);
    QuitSequence *quit = m_quit.get();
    m_menu->exitApplication = [quit] { quit->exitAfterQuitPath(); };
    m_statusMenu->handler()->exitApplication = [quit] { quit->exitAfterQuitPath(); };
    m_window->quitApplication = [quit] { quit->end(); };
    m_termination = std::make_unique<TerminationSignals>();
    QObject::connect(m_termination.get(), &TerminationSignals::terminationRequested, quit,
                     [quit](int, int count) {
                         if (count > 1)
                             quit->endNow(); // asked twice: no more waiting
                         else
                             quit->end();
                     });
    QObject::connect(m_app, &QCoreApplication::aboutToQuit, quit, &QuitSequence::finishBeforeExit);
    m_marker = std::make_unique<RunMarker>();
}

AppWiring::~AppWiring()
{
    // What follows the tunnel goes before the tunnel's owner does.
    m_control.reset();
    m_connectivity.reset();
    m_networkChanges.reset();
    m_notifications.reset();
    m_statusMenu.reset();
    m_menu.reset();
    m_window.reset();
}

void AppWiring::bringForwardOnReopen(SingleInstance &instance)
{
    AppDelegate *delegate = m_delegate.get();
    WindowController *window = m_window.get();
    QObject::connect(&instance, &SingleInstance::reopenRequested, delegate, [delegate, window] {
        if (delegate->applicationShouldHandleReopen(window->isVisible()))
            window->bringForward(); // a second launch of a visible client raises it too
    });
}

void AppWiring::launch(std::function<void()> launched)
{
    // A run that never finished its quit path left something behind; it is
    // cleared once the session is loaded, before the first screen.
    const bool killedBefore = m_marker->begin();
    m_session->load([this, killedBefore, launched = std::move(launched)] {
        if (killedBefore)
            clearWhatAKilledClientLeft(m_config, tunnel(), m_window.get(),
                                       [this, launched] { finishLaunch(launched); });
        else
            finishLaunch(launched);
    });
}

void AppWiring::finishLaunch(const std::function<void()> &launched)
{
    m_window->windowDidLoad();
    m_window->setFixedSize(m_window->sizeHint());
    if (!m_startInTray)
        m_window->show();
    m_delegate->applicationDidFinishLaunching();
    VPNService &service = tunnel();
    m_notifications = std::make_unique<TunnelNotifications>(service, new FreedesktopNotifier(m_app));
    m_networkChanges = std::make_unique<NetworkChangeMonitor>();
    QObject::connect(m_networkChanges.get(), &NetworkChangeMonitor::changed, &service,
                     [&service](NetworkChangeMonitor::Reason reason) {
                         service.checkTunnel(reason == NetworkChangeMonitor::Reason::Resumed
                                                 ? VPNBackend::Change::Resumed
                                                 : VPNBackend::Change::RouteChanged);
                     });
    // Whichever backend runs the tunnel, NetworkManager may manage the
    // network under it and tell a sign-in page in the way.
    m_connectivity = std::make_unique<NetworkManagerConnectivity>();
    service.setConnectivity(m_connectivity.get());
    publishControl(QDBusConnection::sessionBus());
    if (launched)
        launched();
}

void AppWiring::publishControl(const QDBusConnection &bus)
{
    m_control = std::make_unique<ClientControl>(*m_service, *m_network, m_config);
    const Outcome<> published = m_control->publish(bus);
    if (!published.isSuccess())
        qCWarning(lcControl) << "no control interface on the session bus:" << published.error();
}

int AppWiring::exec()
{
    const int status = QCoreApplication::exec();
    if (m_quit->leftNothingBehind())
        m_marker->end();
    return status;
}

} // namespace Orvex
