#pragma once

#include "platform/VPNBackend.h"
#include "platform/nm/NetworkManagerActivation.h"
#include "platform/nm/NetworkManagerDBus.h"
#include "platform/nm/NetworkManagerLiveness.h"
#include "platform/nm/NetworkManagerProfile.h"
#include "platform/nm/NetworkManagerStatus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMap>
#include <QSet>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QDBusServiceWatcher;

namespace Orvex {

struct Config;
class IdentityStore;

// Runs the tunnel with NetworkManager and strongSwan's plugin (charon-nm) over
// the system bus, the way an ordinary desktop user may: the saved
// configuration is a connection profile with a fixed UUID of ours, owned by
// the user (`connection.permissions`), which polkit lets a local user add,
// change and switch without a password.
//
// Load finds the profile (GetConnectionByUuid) and the active connection
// made from it; save creates it (AddConnection2) or replaces it whole
// (Update2), so there is never a second copy; start is ActivateConnection,
// stop DeactivateConnection. Every call is asynchronous.
//
// Status: NetworkManager absent, its strongSwan plugin missing, or no profile
// = Invalid. Otherwise the active VPN connection's `VpnState` (signal
// `VpnStateChanged`) together with the active connection's `State`:
// prepare / need-auth / connect / ip-config-get = Connecting, activated =
// Connected, failed / disconnected = Disconnected, an active connection that
// is deactivating (or one we asked to stop) = Disconnecting, no active
// connection = Disconnected. A failed active connection vanishes at once, so
// the state is taken from the signal, not read back.
//
// Reasserting, which NetworkManager does not have, means here: the tunnel was
// up and is being re-established without the user asking. That is either
// NetworkManager moving an activated VPN back to connect / ip-config-get
// (its plugin reported it is reconnecting), or the tunnel's security
// association found gone while NetworkManager still says activated (below).
//
// A tunnel the gateway closed: NetworkManager keeps `VpnState` at activated
// and charon-nm quietly tries to re-establish it (forever). It is detected by
// a `TunnelLivenessProbe`, by default `RouteTunnelProbe`: charon's routes
// for the tunnel's inner address vanish with the security association and
// come back with it. While they are gone the status is Reasserting; if they
// are not back within `reassertGraceMs` the backend deactivates the VPN, so
// the status becomes Disconnected instead of claiming a tunnel that carries
// nothing (and on-demand, when on, starts a fresh attempt).
//
// After a sleep the routes tell nothing: a gateway that restarted meanwhile
// has forgotten the tunnel, while charon-nm holds it until dead-peer
// detection, minutes later. So after a wake-up `probe` asks the resolver
// the gateway gave, through the tunnel (`ResolverEcho`): answered within
// `livenessTimeoutMs`, the tunnel carries; unanswered, the tunnel's owner has
// it taken down and brought up anew at once, also without on-demand. NetworkManager
// fails that attempt when it comes while its VPN service is still stopping
// the dead tunnel; one that ends before the service took it on is made once
// more.
//
// On-demand: NetworkManager 1.42 cannot autoconnect VPN profiles. Of the two
// ways left, making the profile a secondary of the machine's connections was
// rejected: it means changing profiles that are not ours (an administrator's
// right), it only follows the base profiles it was added to (not every
// network, which "any interface" asks for), and a failing secondary makes
// NetworkManager fail the base connection, cutting the user off the network.
// Instead the client keeps the tunnel up itself while the saved
// configuration asks for it: this backend says when an attempt may succeed
// (after a save or a load, when the machine's primary connection appears,
// when NetworkManager restarts) and when one failed or the tunnel dropped
// (the next after `retryDelayMs`); each attempt a new Connecting. The
// tunnel's owner decides, and holds attempts back from a Turn OFF to the
// next Turn ON.
// Limits: it works only while the client runs (the launcher starts it at
// login); before that, after a quit or a crash nothing brings the tunnel up,
// and a tunnel that was up when the client ended stays up under
// NetworkManager alone.
//
// The key store grants NetworkManager's VPN service (`daemonApplication()`)
// access to the key when a save hands the key's files to the profile; when it
// cannot, the save fails with why, which stays the reason until a save works.
class NetworkManagerVPNBackend final : public VPNBackend
{
    Q_OBJECT

public:
    using IdentityResolver
        = std::function<std::optional<NetworkManagerProfile::IdentityFiles>(const QByteArray &reference)>;
    using AccessGrant = std::function<Outcome<>(const QByteArray &reference)>;
    using ProbeFactory = std::function<std::unique_ptr<TunnelLivenessProbe>()>;
    using EchoFactory = std::function<std::unique_ptr<TunnelEcho>()>;

    struct Options
    {
        QString profileUuid = defaultProfileUuid();
        QString profileName = QStringLiteral("Orvex");
        // Empty: the user running the process.
        QString profileOwner;
        QString caCertificateFile;
        // Where NetworkManager looks for VPN plugins' .name files.
        QStringList pluginDirectories = defaultPluginDirectories();
        IdentityResolver resolveIdentity;
        AccessGrant grantAccess;
        // Empty: a RouteTunnelProbe.
        ProbeFactory makeProbe;
        // Empty: a ResolverEcho.
        EchoFactory makeEcho;
        int retryDelayMs = 2000;
        int reassertGraceMs = 20000;
        // How long a check of the tunnel waits for the gateway's resolver.
        int livenessTimeoutMs = 2500;
        // What blocks traffic beside the tunnel (`optionsFor` gives the
        // NetworkManager block); none when empty.
        std::shared_ptr<LeakGuard> leakGuard;
    };

    static QString defaultProfileUuid(); // this user's on this machine
    static QStringList defaultPluginDirectories();
    // The name under which the VPN service appears in a key's access list.
    static QString daemonApplication() { return NetworkManager::strongswanService; }
    // Whether a plugin for the strongSwan VPN service is installed.
    static bool isPluginInstalled(const QStringList &directories);
    // Finds out, without blocking, whether NetworkManager runs on the system
    // bus with the strongSwan plugin installed; `done` succeeds when it does
    // and fails with why not. Runs from the event loop, never inside.
    static void probe(const QStringList &pluginDirectories, QObject *context, Completion done);

    // The backend on the key store `identities` (which must outlive it),
    // trusting the configuration's first CA (the plugin takes one CA file).
    static Options optionsFor(const Config &config, IdentityStore &identities);
    static std::unique_ptr<NetworkManagerVPNBackend> forConfiguration(const Config &config,
                                                                      IdentityStore &identities);

    explicit NetworkManagerVPNBackend(const Options &options, QObject *parent = nullptr);
    ~NetworkManagerVPNBackend() override;

    void attach(const VPNPreferences &preferences, std::function<void()> done) override;
    void attachReporting(const VPNPreferences &preferences, Completion done) override;
    void apply(const VPNPreferences &preferences, Completion done) override;
    VPNStatus status() const override { return m_status; }
    Outcome<> startTunnel() override;
    void stopTunnel() override;
    QString unavailableReason() const override;
    LeakGuard *leakGuard() override { return m_options.leakGuard.get(); }
    void checkTunnel(Change change) override;
    bool probe() override;
    int probeTimeoutMs() const override { return m_options.livenessTimeoutMs; }
    bool dropDeadTunnel() override;
    void pinGateway(const QList<QHostAddress> &addresses) override;
    bool canAttempt() const override { return canActivate(); }
    void attempt() override;
    int retryPauseMs() const override { return m_options.retryDelayMs; }
    Failure lastFailure() const override { return m_lastFailure; }
    void describeDaemon(QObject *context, std::function<void(const QString &)> done) override;

    // The D-Bus path of the profile; empty when NetworkManager has none.
    QString profilePath() const { return m_profilePath; }
    // Whether the liveness probe has looked at the running tunnel yet (its
    // findings count from then on).
    bool isTunnelWatched() const { return m_liveness.isSeen(); }
    // Whether a check of the running tunnel is under way.
    bool isCheckingTunnel() const { return m_liveness.isChecking(); }

private Q_SLOTS:
    void onSignal(const QDBusMessage &message);

private:
    // What is known of NetworkManager itself.
    struct Daemon
    {
        quint64 epoch = 0; // bumped when NetworkManager goes: late answers are void
        bool present = false;
        bool known = false;  // `present` has been found out
        bool listed = false; // the active connections are known
    };
    // A look at the profile and, when `full`, the active connections;
    // overlapping requests share one round of answers.
    struct Refresh
    {
        bool running = false;
        bool full = false;
        bool again = false; // a full look was asked for while a partial one ran
        std::vector<Completion> waiters;
        Outcome<> outcome = Outcome<>::success();
    };
    // What is known of an active connection that is not ours, for choosing
    // the base of an activation, or of one not yet looked at.
    struct Other
    {
        QString type;
        NetworkManager::ActiveState state = NetworkManager::ActiveState::Unknown;
        bool vpn = false;
    };
    struct Seen
    {
        std::optional<NetworkManager::ActiveState> state;
        std::optional<NetworkManager::VpnState> vpnState;
    };
    struct PendingSave
    {
        VPNPreferences preferences;
        Completion done;
    };
    // Saves one at a time: two creations of the profile at once would race.
    struct Saving
    {
        std::deque<PendingSave> queue;
        bool busy = false;
    };

    void refresh(bool full, Completion done);
    void listActiveConnections(quint64 epoch);
    void finishRefresh(const Outcome<> &outcome);
    void inspect(const QString &path);
    void finishInspection(const QString &path);
    void adopt(const QString &path, const Seen &read, const Seen &signalled);
    void confirmGone(const QString &path);
    void onActiveConnections(const QList<QDBusObjectPath> &paths);
    static Failure failureOf(uint reason);
    void onVpnState(NetworkManager::VpnState state);
    void onActiveState(NetworkManager::ActiveState state);
    void activeGone();
    void vanished();
    void present();

    void saveNext();
    void saved(quint64 epoch, const QString &path, const PendingSave &save, bool handedKey);

    void activate();
    void deactivate(const QString &path);
    QString baseConnection() const;
    bool canActivate() const;

    void startProbe();
    void onCarrying(bool carrying);

    // Remembers whether the last answer to a change was polkit's "no".
    void noteRefusal(bool refused);

    VPNStatus computeStatus() const;
    void updateStatus();

    Options m_options;
    NetworkManagerProfile m_profile;
    QDBusConnection m_bus;
    QDBusServiceWatcher *m_watcher = nullptr;
    VPNPreferences m_preferences;
    QList<QHostAddress> m_pinned; // the gateway's addresses, IPv4 first
    VPNStatus m_status = VPNStatus::Invalid;
    bool m_refused = false;
    QString m_keyAccessFailure;               // why the VPN service may not read the key handed over
    Failure m_lastFailure = Failure::Unknown; // of the last attempt, as NetworkManager said

    Daemon m_daemon;
    Refresh m_refresh;

    QString m_profilePath;
    QString m_primary;
    NetworkManagerTunnel m_active;
    QMap<QString, Other> m_others;
    QMap<QString, Seen> m_unknown;
    // Active connections of earlier tunnels that have ended. NetworkManager
    // never gives a new activation the path of an old one, so a list or an
    // inspection that still names one of these is late news, not the tunnel.
    QList<QString> m_ended;
    QSet<QString> m_inspecting;

    NetworkManagerActivation m_activation;
    // The return of a tunnel found dead: owed (the next attempt is it),
    // the attempt under way is it, and it has been made a second time.
    struct
    {
        bool owed = false;
        bool underWay = false;
        bool madeAgain = false;
    } m_return;
    NetworkManagerLiveness m_liveness;
    Saving m_saving;
};

} // namespace Orvex
