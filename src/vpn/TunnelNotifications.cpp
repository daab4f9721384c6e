#include "TunnelNotifications.h"

#include "session/DefaultsKeys.h"
#include "platform/DesktopNotifier.h"
#include "session/Session.h"
#include "platform/UserDefaults.h"
#include "platform/VPNBackend.h"
#include "platform/VPNManager.h"
#include "vpn/VPNService.h"

namespace Orvex {

namespace {

bool isDown(VPNStatus status)
{
    return status == VPNStatus::Disconnected || status == VPNStatus::Invalid;
}

QString failureText(VPNBackend::Failure failure)
{
    switch (failure) {
    case VPNBackend::Failure::NoAnswer:
        //: notification_failed_no_answer
        return TunnelNotifications::tr("The VPN server did not answer.");
    case VPNBackend::Failure::Refused:
        //: notification_failed_refused
        return TunnelNotifications::tr("The VPN server refused the connection.");
    case VPNBackend::Failure::DaemonUnavailable:
        //: notification_failed_daemon
        return TunnelNotifications::tr("The VPN service on this computer is not running.");
    case VPNBackend::Failure::Unknown:
        break;
    }
    //: notification_failed_unknown
    return TunnelNotifications::tr("The connection could not be established.");
}

} // namespace

TunnelNotifications::TunnelNotifications(VPNService &service, DesktopNotifier *notifier, QObject *parent)
    : QObject(parent)
    , m_service(service)
    , m_notifier(notifier)
{
    connect(&service, &VPNService::statusDidChange, this, &TunnelNotifications::onStatusDidChange);
    connect(&service, &VPNService::certificateRenewalFailed, this,
            &TunnelNotifications::certificateNotRenewed);
    connect(&service, &VPNService::tunnelStateChanged, this, &TunnelNotifications::onTunnelStateChanged);
}

void TunnelNotifications::onTunnelStateChanged()
{
    const bool blocked = m_service.isBlocked();
    const bool newlyBlocked = blocked && !std::exchange(m_blocked, blocked);
    // Once per stay behind a sign-in page: told again only after the network
    // left that state and came back to it.
    if (m_service.connectivity() != NetworkConnectivity::State::Portal)
        m_portalTold = false;
    const QString portal = m_service.portalNotice();
    if (!portal.isEmpty() && !m_portalTold) {
        m_portalTold = true;
        //: notification_portal
        notify(tr("Sign-in needed for this network"), portal);
        return; // it tells the way out of the block too
    }
    if (newlyBlocked) {
        //: notification_blocked
        notify(tr("VPN off, traffic blocked"), portal.isEmpty() ? m_service.blockedNotice() : portal);
    }
}

bool TunnelNotifications::isEnabled(const UserDefaults &defaults)
{
    return !defaults.contains(DefaultsKeys::isNotificationsEnabled)
           || defaults.boolean(DefaultsKeys::isNotificationsEnabled);
}

void TunnelNotifications::onStatusDidChange(VPNStatus status)
{
    const VPNStatus last = std::exchange(m_last, status);
    if (status == last)
        return;
    if (status == VPNStatus::Connecting || status == VPNStatus::Reasserting) {
        m_trying = true;
        return;
    }
    if (status == VPNStatus::Connected) {
        const bool byHand = m_service.isUserRequest();
        m_wasUp = true;
        m_trying = false;
        if (!byHand) {
            //: notification_connected
            notify(tr("VPN connected"),
                   //: notification_connected_body
                   tr("Your traffic now goes through the VPN."));
        }
        return;
    }
    if (!isDown(status) || isDown(last))
        return;
    const bool wasUp = std::exchange(m_wasUp, false);
    const bool trying = std::exchange(m_trying, false);
    if (m_service.isStopRequested())
        return; // Turn OFF, sign-out, Quit: the user's own doing
    if (wasUp && !trying) {
        //: notification_disconnected
        notify(tr("VPN disconnected"),
               //: notification_disconnected_body
               tr("The connection to the VPN server was lost."));
    } else {
        //: notification_failed
        notify(tr("VPN connection failed"), failureText(m_service.manager()->backend()->lastFailure()));
    }
}

void TunnelNotifications::certificateNotRenewed(const QString &reason)
{
    //: notification_certificate_body
    const QString generic = tr(
        "The certificate of this computer could not be renewed. Sign in again to get a new one.");
    //: notification_certificate
    notify(tr("VPN certificate not renewed"), reason.isEmpty() ? generic : reason);
}

void TunnelNotifications::notify(const QString &summary, const QString &body)
{
    if (m_notifier && isEnabled(m_service.session().defaults()))
        m_notifier->show(summary, body);
}

} // namespace Orvex
