#pragma once

#include "platform/NetworkConnectivity.h"
#include "platform/VPNBackend.h"
#include "platform/VPNStatus.h"
#include "tunnel/TunnelController.h"
#include "vpn/VPNConfiguration.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>

#include <functional>
#include <optional>

namespace Orvex {

class Session;
class VPNManager;

// Owns the application's one IKEv2 tunnel configuration and switches the
// tunnel on and off, and stops a tunnel that keeps failing to come up
// (`attempts`). Keeps no copy of the tunnel's status: the controller is its
// one writer, and every decision here reads it when it is taken. Reports no
// errors: the outcome of every operation shows in the connection's status
// changes.
class VPNService final : public QObject
{
    Q_OBJECT

public:
    using Completion = std::function<void()>;

    // Works `manager` for `session`'s account: its e-mail names the machine,
    // its identity authenticates the tunnel; the auto-connect preference is
    // read from the session's defaults store. The gateway, the machine's
    // domain and the service kept reachable are `config`'s.
    VPNService(VPNManager *manager, Session &session, const Config &config, QObject *parent = nullptr);
    ~VPNService() override;

    VPNConfiguration &config() { return m_config; }
    const VPNConfiguration &config() const { return m_config; }
    // The tunnel's status as the connection shows it (the controller's
    // view), read now; Invalid until the configuration has been loaded once,
    // as nothing is known before.
    VPNStatus status() const;
    int attempts() const { return m_controller.attempts(); }
    // The tunnel's state as its owner keeps it: Blocked and why, beyond the
    // six values of `status()`.
    const TunnelController &tunnel() const { return m_controller; }
    // "Always require VPN": Off blocks too, but for the service's API. Read
    // from the defaults store at start; the settings screen calls this after
    // changing it.
    void applyAlwaysRequired();
    bool isBlocked() const { return m_controller.state() == TunnelController::State::Blocked; }
    // While blocked: why, what that means for the user's traffic and how to
    // lift it, as sentences for the main screen and a notification. Empty
    // otherwise.
    QString blockedNotice() const;
    // While blocked: only why, one sentence. Empty otherwise.
    QString blockedReason() const;
    // Traffic beside the tunnel is blocked now: the tunnel is wanted and not
    // up (connecting, reconnecting, given up), or Off with "Always require
    // VPN".
    bool isBlocking() const;
    // Where the system's connectivity check is read (not owned; null: none).
    void setConnectivity(NetworkConnectivity *connectivity);
    NetworkConnectivity::State connectivity() const;
    // While blocking and the network asks for a sign-in page first: that the
    // page cannot open through the block and how the user signs in. Empty
    // otherwise.
    QString portalNotice() const;
    VPNManager *manager() const { return m_manager; }
    Session &session() const { return m_session; }

    // Brings the tunnel up: decides on-demand, then loads, writes, saves and
    // starts. Uses the identity the session names as it is stored; nothing is
    // decrypted here.
    void connect();
    // Takes the tunnel down with on-demand saved off; `completion` runs after
    // the stop request, or at once when there is nothing to stop (down and
    // not wanted; down between attempts still has on-demand to save off).
    void disconnect(Completion completion = {});
    // Connects or disconnects according to the live state, on the manager as
    // its caller has just loaded it: one load per click, not one per step.
    void toggleLoaded();
    // `disconnect` on the manager as its caller has just loaded it.
    void disconnectLoaded();
    // Before the account goes: takes the tunnel down and saves a
    // configuration that cannot connect (as Quit does), so the VPN daemon
    // is left neither the connection nor the account's key. `completion`
    // runs after the stop request, or at once with no known state; a load
    // or save failure leaves it unrun. Later connects save certificate
    // authentication again.
    void signOut(Completion completion);
    void stopTunnel(Completion completion = {});
    // Writes the configuration into the loaded manager and saves it; runs
    // `followUp` once the save is done (the manager then holds what was saved,
    // so it is not read back). Nothing happens after a load error; a save
    // error posts a status notification instead.
    // `failed` (if given) runs instead of `followUp` after a load or save
    // error.
    void configureAndSave(const Outcome<> &loaded, Completion followUp, Completion failed = {});
    // The quit path: saves shared-secret authentication with on-demand off,
    // stops the tunnel and then runs `terminate`. With no known state yet
    // `terminate` runs at once. A load or save failure leaves `terminate`
    // unrun, runs `failed` instead, and puts certificate authentication back,
    // so the client that keeps running connects as a fresh one would.
    void quit(Completion terminate, Completion failed = {});

    // After a run that ended without its quit path (killed, crashed): a
    // tunnel it left up has nobody watching it, so it is taken down with
    // on-demand saved off, as quitting would have done. `done` runs after the
    // stop request, or at once when nothing was saved.
    void clearLeftovers(Completion done);

    // The user switched the tunnel by hand (the main button, the tray's
    // entry): what follows from it is no news to them. Cleared by the next
    // connected or disconnected state.
    void noteUserRequest() { m_userRequest = true; }
    bool isUserRequest() const { return m_userRequest; }
    // A stop was asked for (Turn OFF, sign-out, quit) and no connect since:
    // the tunnel going down is expected. The give-up after repeated failed
    // attempts does not count.
    bool isStopRequested() const { return m_stopRequested; }

    // The network under the tunnel may have changed (wake-up, new default
    // route): a tunnel that is up is checked at once and brought back when
    // dead; one that on-demand wants up is tried at once.
    void checkTunnel(VPNBackend::Change change);

    // "<udid>.<vpn domain>", or empty without a stored e-mail.
    QString localIdentifier() const;

Q_SIGNALS:
    // After every status notification of the connection, with its status;
    // `isUserRequest()` and `isStopRequested()` still tell why.
    void statusDidChange(Orvex::VPNStatus status);
    // The tunnel's state, the reason it is blocked, "Always require VPN" or
    // the network's connectivity changed.
    void tunnelStateChanged();
    // A certificate near or past its end could not be replaced; the tunnel
    // went on with the old one while it lasts. `reason` is a sentence.
    void certificateRenewalFailed(const QString &reason);

private:
    // Down and not wanted: a disconnect has nothing to save or stop.
    bool nothingToStop() const;
    void vpnConnectionDidChange();
    void startTunnel();
    void loadThenConfigure(Completion followUp, Completion failed = {});
    void decideOnDemand();
    // Runs `then` once the gateway's addresses are known (looked up now
    // while nothing is blocked yet, else the ones from before).
    void withGateway(Completion then);
    // The controller turned on (the block up) once the gateway is known,
    // then `then`.
    void turnOnThen(Completion then);
    void pinGateway(const QList<QHostAddress> &addresses);
    // After a change of network: the gateway's name looked up again where
    // a lookup can get out.
    void lookUpGatewayAgain();
    // The controller gave up: no further attempt, the tunnel down, the block
    // kept.
    void giveUp();
    void controllerChanged();

    VPNManager *m_manager;
    Session &m_session;
    const QString m_apiHost;
    const QString m_vpnDomain;
    VPNConfiguration m_config;
    TunnelController m_controller;
    QPointer<NetworkConnectivity> m_connectivity;
    // The status last posted, so that only changes are posted; never read
    // as the tunnel's state.
    VPNStatus m_presented = VPNStatus::Invalid;
    QString m_gatewayHost; // the name m_gateway was looked up for
    QList<QHostAddress> m_gateway;
    bool m_userRequest = false;
    bool m_stopRequested = false;
};

} // namespace Orvex
