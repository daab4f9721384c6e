#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace Orvex {

class NetworkService;
class StatusMenuHandler;
class VPNService;

// The tray icon and its menu. The icon shows whether the tunnel is up; the
// menu's entries are built and carried out by the handler. A click on the icon
// itself brings the main window forward.
class StatusMenuController final : public QObject
{
    Q_OBJECT

public:
    // On the given tunnel service (the process's one; tests hand one over
    // with a fake backend) and `network`.
    // `showMainWindow` shows, raises and activates the main window: what a
    // click on the icon and the menu's "Show" do.
    StatusMenuController(VPNService &service, NetworkService &network, std::function<void()> showMainWindow,
                         QObject *parent = nullptr);
    ~StatusMenuController() override;

    QSystemTrayIcon *statusItem() const { return m_statusItem; }
    StatusMenuHandler *handler() const { return m_handler; }
    QMenu *menu() const { return m_menu.get(); }

    // "app_status_icon" while the tunnel is connected, else "app_status_icon_off".
    QString imageName() const { return m_imageName; }

private:
    void awakeFromNib();
    void vpnConnectionDidChange();
    void setImage(const QString &name);

    QSystemTrayIcon *m_statusItem;
    StatusMenuHandler *m_handler;
    std::unique_ptr<QMenu> m_menu;
    VPNService &m_service;
    QString m_imageName;
};

} // namespace Orvex
