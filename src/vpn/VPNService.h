#pragma once

#include "platform/VpnStatus.h"
#include "vpn/ConnectionStatus.h"
#include "vpn/VPNConfiguration.h"

#include <QObject>

#include <functional>
#include <optional>

namespace Orvex {

class Session;
class VpnManager;

// Owns the application's one IKEv2 tunnel configuration and switches the
// tunnel on and off. Keeps the last known state in `status()` and stops a
// tunnel that keeps failing to come up (`attempts`). Reports no errors: the
// outcome of every operation shows in the connection's status changes.
class VPNService final : public QObject
{
    Q_OBJECT

public:
    using Completion = std::function<void()>;

    // The process's service, on VpnManager::shared(); created on first use.
    static VPNService &shared();

    // Works `manager` for `session`'s account: its e-mail names the machine,
    // its identity authenticates the tunnel.
    VPNService(VpnManager *manager, Session &session, QObject *parent = nullptr);
    // The same for the process's session.
    explicit VPNService(VpnManager *manager, QObject *parent = nullptr);

    VPNConfiguration &config() { return m_config; }
    const VPNConfiguration &config() const { return m_config; }
    ConnectionStatus status() const { return m_status; }
    void setStatus(ConnectionStatus status) { m_status = status; }
    int attempts() const { return m_attempts; }
    VpnManager *manager() const { return m_manager; }
    Session &session() const { return m_session; }

    // Brings the tunnel up: decides on-demand, then loads, writes, saves and
    // starts. Uses the identity the session names as it is stored; nothing is
    // decrypted here.
    void connect();
    // Takes the tunnel down with on-demand saved off; `completion` runs after
    // the stop request, or at once when there is nothing to stop.
    void disconnect(Completion completion = {});
    // Connects or disconnects according to the live state.
    void toggle();
    // `toggle` on the manager as its caller has just loaded it: one load per
    // click, not one per step.
    void toggleLoaded();
    void stopTunnel(Completion completion = {});
    // Writes the configuration into the loaded manager and saves it; runs
    // `followUp` once the save is done (the manager then holds what was saved,
    // so it is not read back). Nothing happens after a load error; a save
    // error posts a status notification instead.
    void configureAndSave(const std::optional<QString> &loadError, Completion followUp);
    // The quit path: saves shared-secret authentication with on-demand off,
    // stops the tunnel and then runs `terminate`. With no known state yet
    // `terminate` runs at once; a load or save failure leaves it unrun.
    void quit(Completion terminate);

    // "<udid>.<vpn domain>", or empty without a stored e-mail.
    QString localIdentifier() const;

    static ConnectionStatus connectionStatus(VpnStatus status);
    static ConnectionStatus connectionStatus(int rawStatus);

private:
    void vpnConnectionDidChange();
    void startTunnel();
    void loadThenConfigure(Completion followUp);
    void decideOnDemand();

    VpnManager *m_manager;
    Session &m_session;
    VPNConfiguration m_config;
    ConnectionStatus m_status = ConnectionStatus::invalid;
    int m_attempts = 0;
};

} // namespace Orvex
