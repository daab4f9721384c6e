#pragma once

#include "base/Outcome.h"
#include "platform/VPNStatus.h"

#include <QObject>

namespace Orvex {

class VPNManager;

// The tunnel of the saved configuration. `statusDidChange` is the one
// notification of every status change; its sender is this connection.
class VPNConnection final : public QObject
{
    Q_OBJECT

public:
    VPNStatus status() const;
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
    friend class VPNManager;
    explicit VPNConnection(VPNManager *manager);

    VPNManager *m_manager;
};

} // namespace Orvex
