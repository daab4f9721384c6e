#pragma once

// Every screen made by the storyboard registry and shown as the client shows
// it (root, modal window over the start screen, alert over the root), with a
// VICI socket that does not exist and a closed loopback port for the service.

#include "ui/AppStoryboard.h"
#include "ui/Navigator.h"
#include "ui/ViewController.h"
#include "ui/WindowController.h"
#include "config/Config.h"

#include "PrivateBus.h"
#include "TestSession.h"

#include <QApplication>
#include <QDialog>
#include <QTest>

#include <cstdio>
#include <memory>

namespace ScreenHost {

enum class Presentation { AsRoot, AsModalWindow, OverTheRoot };

struct Screen
{
    Orvex::AppStoryboard storyboard;
    const char *identifier;
    Presentation shown;
};

// Each screen, presented as the client presents it.
inline const QList<Screen> &screens()
{
    using Orvex::AppStoryboard;
    static const QList<Screen> all{
        {AppStoryboard::Auth, "StartViewController", Presentation::AsRoot},
        {AppStoryboard::Auth, "AuthViewController", Presentation::AsRoot},
        {AppStoryboard::Auth, "MobileViewController", Presentation::AsRoot},
        {AppStoryboard::Auth, "ConfirmationCodeViewController", Presentation::AsRoot},
        {AppStoryboard::Main, "MainViewController", Presentation::AsRoot},
        {AppStoryboard::Settings, "SettingsViewController", Presentation::AsModalWindow},
        {AppStoryboard::Settings, "InfoViewController", Presentation::AsModalWindow},
        {AppStoryboard::Settings, "SupportViewController", Presentation::AsModalWindow},
        {AppStoryboard::Settings, "UpdateViewController", Presentation::AsModalWindow},
        {AppStoryboard::Settings, "UpdateMessageViewController", Presentation::AsModalWindow},
        {AppStoryboard::Settings, "AlertController", Presentation::OverTheRoot},
    };
    return all;
}

// One data row per screen (an "index" into screens()), named after it.
inline void addScreenRows()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < screens().size(); ++i)
        QTest::newRow(screens().at(i).identifier) << i;
}

inline int indexOf(const char *identifier)
{
    for (int i = 0; i < screens().size(); ++i) {
        if (qstrcmp(screens().at(i).identifier, identifier) == 0)
            return i;
    }
    return -1;
}

// What the screens are made with, for the whole run: a session of the test's
// own and the process's tunnel service (on the socket named below).
inline TestSession &context()
{
    static TestSession *context = new TestSession;
    return *context;
}

inline void prepareEnvironment(const QString &scratchDir)
{
    Orvex::Config &config = context().config;
    config.apiBaseURL = QStringLiteral("https://127.0.0.1:9");
    config.vpnBackend = QStringLiteral("vici");
    config.viciSocket = scratchDir + QStringLiteral("/none.vici");
    // A Turn ON blocks traffic: never in the machine's own namespace.
    config.viciNetworkNamespace = scratchDir + QStringLiteral("/no-netns");
}

// One screen in its window; everything goes with the object.
class ShownScreen
{
public:
    explicit ShownScreen(const Screen &screen)
    {
        using namespace Orvex;
        const AppContext &made = context().context;
        m_window = std::make_unique<WindowController>(made);
        const QString identifier = QString::fromLatin1(screen.identifier);
        if (screen.shown == Presentation::AsRoot) {
            m_screen = StoryboardRegistry::create(made, screen.storyboard, identifier);
            if (!m_screen)
                return;
            m_window->setContentViewController(m_screen);
        } else {
            m_root = StoryboardRegistry::create(made, AppStoryboard::Auth,
                                                QStringLiteral("StartViewController"));
            m_window->setContentViewController(m_root);
        }
        m_window->show();
        if (!waitUntilShown(m_window.get()))
            return;
        if (screen.shown == Presentation::AsModalWindow) {
            m_screen = StoryboardRegistry::create(made, screen.storyboard, identifier);
            if (!m_screen)
                return;
            m_root->presentAsModalWindow(m_screen);
            // A window manager hands the focus to the new window; the
            // offscreen platform leaves it where it was.
            QDialog *dialog = m_screen->modalWindow();
            if (!onWayland()) {
                dialog->activateWindow();
                if (!QTest::qWaitFor([dialog] { return QApplication::activeWindow() == dialog; }))
                    return;
            } else if (!QTest::qWaitForWindowExposed(dialog)) {
                return;
            }
        } else if (screen.shown == Presentation::OverTheRoot) {
            m_screen = StoryboardRegistry::create(made, screen.storyboard, identifier);
            if (!m_screen)
                return;
            Navigator::show(m_window.get(), m_screen, NavigationDirection::center);
            // Wait out the presentation's animation: it ends with the screen
            // placed over the whole root.
            if (!QTest::qWaitFor(
                    [this] { return m_screen->isVisible() && m_screen->geometry() == m_root->rect(); }))
                return;
        }
        m_ready = true;
    }

    bool isReady() const { return m_ready; }

    // A Wayland client cannot take the focus itself: the compositor hands it
    // out (and a headless one, without a keyboard, never does). There a
    // window counts as shown once it is on the output.
    static bool onWayland() { return QGuiApplication::platformName() == QLatin1String("wayland"); }
    static bool waitUntilShown(QWidget *window)
    {
        return onWayland() ? QTest::qWaitForWindowExposed(window) : QTest::qWaitForWindowActive(window);
    }
    Orvex::ViewController *screen() const { return m_screen; }
    Orvex::ViewController *root() const { return m_root; }
    // The window the screen is in.
    QWidget *window() const { return m_screen ? m_screen->window() : nullptr; }

private:
    std::unique_ptr<Orvex::WindowController> m_window;
    Orvex::ViewController *m_root = nullptr;
    QPointer<Orvex::ViewController> m_screen;
    bool m_ready = false;
};

// Runs `Test` on a display server of its own (Xvfb or Weston) with a private
// session bus; both go with the run.
template<typename Display, typename Test>
int runOnOwnDisplay(int argc, char *argv[], bool quitOnLastWindowClosed = true)
{
    Display display;
    if (display.isRunning())
        display.exportAsDisplay();
    PrivateBus bus;
    if (!display.isRunning() || !bus.isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(display.isRunning() ? bus.error() : display.error()));
        return 1;
    }
    bus.exportAsSessionBus();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(quitOnLastWindowClosed);
    Test test;
    return QTest::qExec(&test, argc, argv);
}

} // namespace ScreenHost
