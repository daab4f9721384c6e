#pragma once

#include <QObject>

class QMenuBar;
class QAction;

namespace Orvex {

// The application menu, shown as the main window's menu bar.
class Menu final : public QObject
{
    Q_OBJECT

public:
    explicit Menu(QMenuBar *bar, QObject *parent = nullptr);

    QAction *settingsAction() const { return m_settings; }
    QAction *infoAction() const { return m_info; }
    QAction *checkForUpdatesAction() const { return m_updates; }
    QAction *supportAction() const { return m_support; }
    QAction *privacyPolicyAction() const { return m_privacy; }
    QAction *quitAction() const { return m_quit; }

    void infoAction_triggered();
    void privacyPolicyAction_triggered();

Q_SIGNALS:
    void quitRequested();

private:
    QAction *m_settings;
    QAction *m_info;
    QAction *m_updates;
    QAction *m_support;
    QAction *m_privacy;
    QAction *m_quit;
};

} // namespace Orvex
