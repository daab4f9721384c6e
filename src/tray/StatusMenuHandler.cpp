#include "StatusMenuHandler.h"

#include "session/Session.h"
#include "tray/MenuItem.h"
#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"
#include "vpn/CertificateProvisioner.h"
#include "session/ClientIdentity.h"
#include "vpn/VPNService.h"

#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace Orvex {

namespace {

bool isDown(VPNStatus status)
{
    return status == VPNStatus::Disconnected || status == VPNStatus::Invalid;
}

// Runs `exit` once the tunnel has gone down, or after the grace time: the stop
// travels to the VPN daemon asynchronously, and a process that ended at once
// could take the request with it and leave the tunnel up.
void exitAfterStop(VPNConnection *connection, const std::function<void()> &exit)
{
    if (!connection || isDown(connection->status())) {
        if (exit)
            exit();
        return;
    }
    // Nothing is left to look at while the tunnel winds down.
    for (QWidget *window : QApplication::topLevelWidgets())
        window->hide();

    auto *waiter = new QObject(connection);
    auto finished = std::make_shared<bool>(false);
    auto finish = [waiter, finished, exit] {
        if (*finished)
            return;
        *finished = true;
        waiter->deleteLater();
        if (exit)
            exit();
    };
    QObject::connect(connection, &VPNConnection::statusDidChange, waiter, [connection, finish] {
        if (isDown(connection->status()))
            finish();
    });
    QTimer::singleShot(StatusMenuHandler::stopGraceMs, waiter, finish);
}

} // namespace

StatusMenuHandler::StatusMenuHandler(VPNService &service, NetworkService &network, QObject *parent)
    : BaseHandler(parent)
    , exitApplication([] { QCoreApplication::quit(); })
    , m_service(service)
    , m_network(network)
{
    // The menu's middle entry says Connect or Disconnect.
    followTunnelStatus(*service.manager());
}

StatusMenuHandler::~StatusMenuHandler() = default;

void StatusMenuHandler::setMenu(QMenu *menu)
{
    m_menu = menu;
}

QList<StatusMenuItem> StatusMenuHandler::entries() const
{
    if (m_service.isBlocked())
        return {StatusMenuItem::show(), StatusMenuItem::action(status()), liftBlockEntry(),
                StatusMenuItem::quit()};
    return {StatusMenuItem::show(), StatusMenuItem::action(status()), StatusMenuItem::quit()};
}

StatusMenuItem StatusMenuHandler::liftBlockEntry()
{
    //: lift_block_menu
    return StatusMenuItem::custom(tr("Disconnect and Allow Traffic Without VPN"));
}

void StatusMenuHandler::connectionStatusDidChange()
{
    if (!m_menu)
        return;
    // The old entries go later: one of them may be the entry being chosen.
    for (QAction *old : m_menu->actions()) {
        m_menu->removeAction(old);
        if (old->parent() == m_menu)
            old->deleteLater();
    }
    for (const StatusMenuItem &entry : entries()) {
        auto *item = new MenuItem(entry.title(), m_menu);
        item->menuItem = entry;
        if (entry.isQuit())
            item->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
        if (entry.isCustom())
            item->setIcon(entry.image());
        connect(item, &QAction::triggered, this, [this, item] { performActionFor(item); });
        m_menu->addAction(item);
    }
}

void StatusMenuHandler::performActionFor(MenuItem *item)
{
    const std::optional<StatusMenuItem> chosen = item ? item->menuItem : std::nullopt;
    if (chosen && *chosen == StatusMenuItem::show()) {
        if (showMainWindow)
            showMainWindow();
        return;
    }
    if (chosen && *chosen == StatusMenuItem::quit()) {
        quit(m_service, exitApplication);
        return;
    }
    if (chosen && *chosen == liftBlockEntry()) {
        // The user's own Turn OFF: it alone lifts the block.
        m_service.noteUserRequest();
        m_service.disconnect();
        return;
    }
    connectOrDisconnect();
}

void StatusMenuHandler::connectOrDisconnect()
{
    Session &session = m_service.session();
    if (!session.isSignedIn())
        return;
    m_service.noteUserRequest();
    QPointer<VPNService> service(&m_service);
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const std::optional<QByteArray> reference = ClientIdentity::storedReference(session.identities(),
                                                                                session.identityReference());
    if (m_service.status() != VPNStatus::Connected
        && (!reference || ClientIdentity::needsRenewal(session.identities(), *reference, now))) {
        // No screen to show a failure on: a failed request just ends it,
        // unless the old certificate still serves.
        const bool usable = reference && ClientIdentity::isValid(session.identities(), *reference, now);
        CertificateProvisioner::fetchCertificate(
            this, m_network, session,
            [service, usable](const Error &error) {
                if (service && usable) {
                    Q_EMIT service->certificateRenewalFailed(error.localizedDescription());
                    service->connect();
                }
            },
            [service] {
                if (service)
                    service->connect();
            });
        return;
    }
    // One load for the whole switch: toggleLoaded acts on what it read.
    m_service.manager()->loadFromPreferences([service](const Outcome<> &loaded) {
        if (service && loaded.isSuccess())
            service->toggleLoaded();
    });
}

void StatusMenuHandler::quit(VPNService &service, std::function<void()> exit, std::function<void()> failed)
{
    if (service.status() == VPNStatus::Invalid) {
        // Nothing has been saved or started by us yet: the tunnel service
        // ends at once without touching the configuration.
        service.quit(std::move(exit));
        return;
    }
    QPointer<VPNConnection> connection(service.manager()->connection());
    service.quit([connection, exit = std::move(exit)] { exitAfterStop(connection, exit); }, std::move(failed));
}

} // namespace Orvex
