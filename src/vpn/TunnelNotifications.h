#pragma once

#include "platform/VPNStatus.h"

#include <QObject>
#include <QPointer>

namespace Orvex {

class DesktopNotifier;
class UserDefaults;
class VPNService;

// Tells the user on the desktop what happened to the tunnel without them:
// it came up (on its own, or back after a loss), it went down unasked (the
// gateway dropped it, the network went), an attempt failed and why, the
// certificate could not be renewed, the block keeps a network's sign-in page
// closed (once each time the network asks for one). What the user just did
// by hand (Turn ON, Turn OFF, sign-out, Quit) is no news and is not told. The
// setting "Show notifications" (on unless switched off) silences all of it.
class TunnelNotifications final : public QObject
{
    Q_OBJECT

public:
    TunnelNotifications(VPNService &service, DesktopNotifier *notifier, QObject *parent = nullptr);

    // Whether `defaults` has notifications on (absent counts as on).
    static bool isEnabled(const UserDefaults &defaults);

public Q_SLOTS:
    // The certificate could not be renewed; `reason` is a sentence already
    // shown to users elsewhere (an error's message), or empty.
    void certificateNotRenewed(const QString &reason);

private:
    void onStatusDidChange(VPNStatus status);
    void onTunnelStateChanged();
    void notify(const QString &summary, const QString &body);

    VPNService &m_service;
    QPointer<DesktopNotifier> m_notifier;
    // What the last status notification said, to tell the next one's
    // change; never read as the tunnel's state.
    VPNStatus m_last = VPNStatus::Invalid;
    bool m_wasUp = false;
    bool m_trying = false;
    bool m_blocked = false;
    bool m_portalTold = false;
};

} // namespace Orvex
