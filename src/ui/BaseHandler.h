#pragma once

#include "api/Error.h"

#include <QObject>

#include <functional>
#include <optional>

namespace Orvex {

// How a handler reports the end of an operation: no error means success.
using ResultHandler = std::function<void(const std::optional<Error> &)>;

class VPNManager;

// The logic object of a screen. A handler that shows the tunnel's state
// follows it (`followTunnelStatus`) and then knows whether the tunnel is
// connected, read from the tunnel when asked; one that does not costs the
// tunnel nothing.
class BaseHandler : public QObject
{
    Q_OBJECT

public:
    explicit BaseHandler(QObject *parent = nullptr);
    ~BaseHandler() override;

    ResultHandler resultHandler;

    // Tunnel connected now. Until the tunnel's first news has reached this
    // handler (or without `followTunnelStatus`) it answers "connected".
    bool status() const;

    // Reports a result through `resultHandler` when there is one.
    void report(const std::optional<Error> &error = std::nullopt) const;

protected:
    // Loads the tunnel's saved configuration (on NetworkManager a bus round
    // trip), then hears of every status change of its connection for as long
    // as this handler lives.
    void followTunnelStatus(VPNManager &manager);
    // Called after every change of `status`.
    virtual void connectionStatusDidChange() {}

private:
    void vpnConnectionDidChange();

    VPNManager *m_followed = nullptr;
    bool m_heard = false; // the tunnel's news has reached this handler
};

} // namespace Orvex
