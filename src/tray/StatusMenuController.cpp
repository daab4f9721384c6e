#include "StatusMenuController.h"

#include "ui/Images.h"
#include "tray/StatusMenuHandler.h"
#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"
#include "vpn/VPNService.h"

#include <QMenu>
#include <QSystemTrayIcon>

namespace Orvex {

StatusMenuController::StatusMenuController(VPNService &service, NetworkService &network,
                                           std::function<void()> showMainWindow, QObject *parent)
    : QObject(parent)
    , m_statusItem(new QSystemTrayIcon(this))
    , m_handler(new StatusMenuHandler(service, network, this))
    , m_menu(std::make_unique<QMenu>())
    , m_service(service)
{
    m_handler->showMainWindow = std::move(showMainWindow);
    awakeFromNib();
}

StatusMenuController::~StatusMenuController()
{
    // The icon goes first so the desktop never shows it with a dead menu.
    delete m_statusItem;
    m_statusItem = nullptr;
}

void StatusMenuController::awakeFromNib()
{
    m_handler->setMenu(m_menu.get());
    m_handler->connectionStatusDidChange();
    setImage(QStringLiteral("app_status_icon_off"));
    m_statusItem->setToolTip(QStringLiteral("Orvex Cloud"));
    m_statusItem->setContextMenu(m_menu.get());
    connect(m_service.manager()->connection(), &VPNConnection::statusDidChange, this,
            &StatusMenuController::vpnConnectionDidChange);
    // Blocked or no longer: the way to lift the block comes and goes.
    connect(&m_service, &VPNService::tunnelStateChanged, m_handler,
            &StatusMenuHandler::connectionStatusDidChange);
    connect(m_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && m_handler->showMainWindow)
            m_handler->showMainWindow();
    });
    m_statusItem->show();
}

void StatusMenuController::vpnConnectionDidChange()
{
    const auto *connection = qobject_cast<const VPNConnection *>(sender());
    if (!connection)
        return;
    setImage(connection->status() == VPNStatus::Connected ? QStringLiteral("app_status_icon")
                                                          : QStringLiteral("app_status_icon_off"));
}

void StatusMenuController::setImage(const QString &name)
{
    m_imageName = name;
    m_statusItem->setIcon(Images::named(name));
}

} // namespace Orvex
