#pragma once

#include "ui/BaseHandler.h"
#include "tray/StatusMenuItem.h"

#include <QList>
#include <QMenu>
#include <QPointer>

#include <functional>

namespace Orvex {

class MenuItem;
class NetworkService;
class VPNService;
class VPNConnection;

// The tray menu's logic: builds its three entries from the tunnel state and
// carries out the one chosen. It has no screen, so nothing it does reports an
// error: the icon and the entries follow the tunnel's status changes.
class StatusMenuHandler final : public BaseHandler
{
    Q_OBJECT

public:
    // On the given tunnel service (the process's one; tests hand one over
    // with a fake backend); a certificate is fetched through `network`.
    StatusMenuHandler(VPNService &service, NetworkService &network, QObject *parent = nullptr);
    ~StatusMenuHandler() override;

    VPNService &service() const { return m_service; }

    // The menu the entries go into; held weakly.
    void setMenu(QMenu *menu);
    QMenu *menu() const { return m_menu; }

    // The entries for the last known state, in menu order: Show, Connect or
    // Disconnect, Quit.
    QList<StatusMenuItem> entries() const;
    // While traffic is blocked: the entry that turns the tunnel off and so
    // lifts the block.
    static StatusMenuItem liftBlockEntry();

    // Rebuilds the menu from `entries()`; nothing happens without a menu.
    void connectionStatusDidChange() override;

    // What choosing `item` does: Show brings the main window forward, Quit
    // runs the quit sequence, anything else connects or disconnects.
    void performActionFor(MenuItem *item);

    // Ends the process once quitting is decided (QCoreApplication::quit by
    // default); tests count the calls instead.
    std::function<void()> exitApplication;
    // Shows, raises and activates the main window (the menu's "Show"); given
    // by whoever owns the window.
    std::function<void()> showMainWindow;

    // The quit sequence of the tray and the application menu. With no tunnel
    // state known yet the process ends at once and the saved configuration
    // stays as it is. Otherwise the configuration is saved with shared-secret
    // authentication and on-demand off, the tunnel is stopped, and `exit` runs
    // once the tunnel reports it is down (or after `stopGraceMs`, whichever
    // comes first), so the stop request has reached the VPN daemon before the
    // process goes. A configuration that cannot be loaded or saved keeps the
    // client running (`failed` runs instead of `exit`); quitting again
    // repeats the sequence.
    static void quit(VPNService &service, std::function<void()> exit, std::function<void()> failed = {});
    static constexpr int stopGraceMs = 5000;

private:
    void connectOrDisconnect();

    VPNService &m_service;
    NetworkService &m_network;
    QPointer<QMenu> m_menu;
};

} // namespace Orvex
