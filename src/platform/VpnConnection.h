#pragma once

#include "base/Outcome.h"
#include "platform/VpnStatus.h"

#include <QObject>

namespace Orvex {

class VpnManager;

// The tunnel of the saved configuration. `statusDidChange` is the one
// notification of every status change; its sender is this connection.
class VpnConnection final : public QObject
{
    Q_OBJECT

public:
    VpnStatus status() const;
    // Asks the tunnel to come up; fails with why when the saved
    // configuration cannot be started. How it ends shows in status changes.
    Outcome<> startVPNTunnel();
    void stopVPNTunnel();

    // Posts `statusDidChange` without a change, so observers re-read the live
    // status (after a failed save, for one).
    void postStatusDidChange();

Q_SIGNALS:
    void statusDidChange();

private:
    friend class VpnManager;
    explicit VpnConnection(VpnManager *manager);

    VpnManager *m_manager;
};

} // namespace Orvex
