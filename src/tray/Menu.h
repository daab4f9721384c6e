#pragma once

#include <QObject>

#include <functional>

class QAction;

namespace Orvex {

struct Config;
class VPNService;
class WindowController;

// The application menu, shown as the main window's menu bar: settings, the
// information window, the update check, support, the privacy policy and quit.
class Menu final : public QObject
{
    Q_OBJECT

public:
    // Sits in `window`'s menu bar and opens its screens in `window`. Quits
    // through `service` (the process's tunnel service; tests hand one over
    // with a fake backend); the privacy policy is the one `config` names.
    Menu(WindowController &window, VPNService &service, const Config &config, QObject *parent = nullptr);

    QAction *settingsAction() const { return m_settings; }
    QAction *supportAction() const { return m_support; }
    QAction *quitAction() const { return m_quit; }

    void settingsAction_triggered();
    void infoAction_triggered();
    void checkForUpdatesAction_triggered();
    void supportAction_triggered();
    void privacyPolicyAction_triggered();
    // The quit sequence shared with the tray menu.
    void quitAction_triggered();

    // Ends the process once quitting is decided (QCoreApplication::quit by
    // default); tests count the calls instead.
    std::function<void()> exitApplication;

private:
    WindowController &m_window;
    VPNService &m_service;
    const Config &m_config;
    QAction *m_settings;
    QAction *m_info;
    QAction *m_updates;
    QAction *m_support;
    QAction *m_privacy;
    QAction *m_quit;
};

} // namespace Orvex
