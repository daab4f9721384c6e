#pragma once

#include "platform/LeakGuard.h"
#include "platform/VPNBackend.h"
#include "platform/vici/HeldKeys.h"
#include "platform/vici/ViciMessage.h"

#include <QDateTime>
#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <optional>
#include <vector>

namespace Orvex {

class ViciClient;
struct ViciReply;

// Runs the tunnel with strongSwan's charon over its VICI socket.
//
// Saving loads the client identity (certificate and key), the trusted CAs and
// the connection into charon; a configuration that cannot connect unloads
// them. Start = initiate, stop = terminate, charon's up/down events move the
// status. charon reports no "connecting" state and nothing at all when the
// gateway never answers, so the status is driven from here: connecting from
// the moment a keying attempt is made, disconnected when it fails.
//
// charon is told neither to bring the tunnel up nor to bring it back: the
// tunnel's owner decides each attempt (on-demand, a retry after a failure or
// a drop, the return of a tunnel found dead), and this backend tells it when
// charon can take one and how each ended.
class ViciVPNBackend final : public VPNBackend
{
    Q_OBJECT

public:
    struct Identity
    {
        QByteArray certificateDer;
        QByteArray privateKeyDer; // PKCS#8 or PKCS#1 DER
        QString keyType;          // "rsa", "ecdsa" or "any"
    };
    using IdentityResolver = std::function<std::optional<Identity>(const QByteArray &reference)>;
    using AccessGrant = std::function<void(const QByteArray &reference)>;

    struct Options
    {
        QString socketPath;
        QString connectionName = QStringLiteral("orvex");
        QStringList caCertificateFiles; // PEM files charon is to trust
        IdentityResolver resolveIdentity;
        // Called when the key is handed to charon, so the key store records
        // the daemon as one of the key's users.
        AccessGrant grantAccess;
        // Run by charon as the tunnel comes up and goes down; it keeps IPv6
        // from leaving beside a tunnel that carries none. Empty: none. charon
        // runs it as root: while anyone but root may change it, nothing is
        // loaded or started, and `unavailableReason()` says why.
        QString updownScript;
        // Where charon's resolve plugin writes the gateway's resolvers. A
        // charon that dies with the tunnel up leaves them there: they are
        // taken out when that is seen. Empty: left alone.
        QString resolverFile;
        // Where the ids of the private keys this client gave charon are kept
        // (an owner-only file), so that a later run still takes out what an
        // earlier one left. Empty: kept in memory only.
        QString heldKeysFile;
        // How long taking the connection and the keys out waits for charon
        // before it is done all the same (it runs at sign-out and Quit); a
        // key charon has not confirmed gone stays remembered.
        int unloadWaitMs = 2000;
        int keyingTimeoutMs = 30000;
        int retryDelayMs = 1000;
        int reconnectDelayMs = 2000;
        // How long a live gateway may take to answer the rekey that tests
        // the tunnel after a wake-up.
        int livenessTimeoutMs = 2500;
        // What keeps traffic from leaving beside the tunnel (an nftables
        // table in the tunnel's namespace); null: nothing does.
        std::shared_ptr<LeakGuard> leakGuard;
    };

    // For a start after charon died with the tunnel up: while the charon on
    // `socketPath` has no tunnel up (or is not running), the resolvers it had
    // put into `resolverFile` are leftovers and are taken out, byte for byte
    // as charon would have. `done` succeeds when repaired or clean, and fails
    // with why otherwise. The request lives as long as `context`.
    static void repairLeftovers(const QString &socketPath, const QString &resolverFile, QObject *context,
                                Completion done = {});

    // The name under which the VPN daemon appears in a key's access list.
    static QString daemonApplication() { return QStringLiteral("charon"); }

    explicit ViciVPNBackend(const Options &options, QObject *parent = nullptr);
    ~ViciVPNBackend() override;

    void attach(const VPNPreferences &preferences, std::function<void()> done) override;
    void apply(const VPNPreferences &preferences, Completion done) override;
    VPNStatus status() const override { return m_status; }
    bool startsOnApplied() const override { return !m_loaded.connection.isEmpty() && !m_synchronizing; }
    Outcome<> startTunnel() override;
    void stopTunnel() override;
    Failure lastFailure() const override { return m_lastFailure; }
    QString unavailableReason() const override { return m_scriptRefusal; }
    void checkTunnel(Change change) override;
    bool probe() override;
    int probeTimeoutMs() const override { return m_options.livenessTimeoutMs; }
    bool dropDeadTunnel() override;
    bool canAttempt() const override { return m_reachable && m_tunnel == Tunnel::Down; }
    void attempt() override { initiate(); }
    int retryPauseMs() const override { return m_options.retryDelayMs; }
    LeakGuard *leakGuard() override { return m_options.leakGuard.get(); }
    void pinGateway(const QList<QHostAddress> &addresses) override;
    QList<QHostAddress> virtualAddresses() const override { return m_virtualAddresses; }
    void describeDaemon(QObject *context, std::function<void(const QString &)> done) override;

private:
    enum class Tunnel { Down, Keying, Up, Closing };

    void ensureConnected();
    void onControlDisconnected(const QString &reason);
    void onEvent(const QByteArray &name, const ViciMessage &message);
    // The inner addresses of an established IKE SA (its `local-vips`).
    void noteVirtualAddresses(const ViciMessage &sa);
    void synchronize();
    void finishSynchronizing();
    void setTunnel(Tunnel tunnel);
    void updateStatus();
    void initiate();
    void onInitiateAnswered(quint64 attempt, const ViciReply &reply);
    // `waitMs`: how long charon waits for the peer's answer before it drops
    // the SA all the same.
    void terminate(int waitMs = 3000);
    void attemptFailed();
    // What a load would give charon, with the digests that tell whether it
    // holds that already.
    struct LoadPlan
    {
        QList<QByteArray> cas;
        QByteArray casDigest;
        std::optional<Identity> identity;
        QByteArray identityDigest;
        QByteArray keyId;
        ViciMessage connection;
        QByteArray connectionDigest;
    };
    LoadPlan planLoads(const VPNProtocolIKEv2 &protocol);
    void loadConnection(const VPNPreferences &preferences, Completion done);
    // `plan`, when given, is what the caller planned already for the same
    // preferences.
    void sendLoads(const VPNPreferences &preferences, Completion done, bool verified,
                   std::optional<LoadPlan> plan = std::nullopt);
    void verifyHeld();
    void sendInitiate(quint64 attempt);
    void confirmUp(quint64 attempt);
    // Lists this client's SA: `installed` when its IKE SA is established
    // with a child installed (its inner addresses are noted then).
    void listTunnel(std::function<void(const ViciReply &, bool installed)> done);
    void retryRefusedAttempt(const Outcome<> &reloaded);
    void unloadConnection(const VPNPreferences &preferences, Completion done);
    // Asks charon to drop the key; once it has answered (it no longer holds
    // the key either way), the id is forgotten.
    void unloadKey(const QByteArray &id, std::function<void(const ViciReply &)> then = {});
    void unloadKeysBut(const QByteArray &keyId);
    QList<QByteArray> caCertificates();
    // Whether the updown script may be handed to charon; keeps the reason
    // the main screen shows.
    Outcome<> checkUpdownScript();

    Options m_options;
    QByteArray m_name;
    ViciClient *m_control = nullptr;
    QList<QHostAddress> m_virtualAddresses; // while the tunnel is up
    QPointer<ViciClient> m_initiator;
    VPNPreferences m_preferences;
    QList<QHostAddress> m_pinned;
    bool m_reachable = false;
    bool m_synchronizing = false;
    bool m_reloadOnReconnect = false;
    bool m_abandonedAttempt = false; // stopped while keying: its late success is unwanted
    Tunnel m_tunnel = Tunnel::Down;
    VPNStatus m_status = VPNStatus::Invalid;
    quint64 m_attempt = 0;
    std::vector<std::function<void()>> m_waitingForSync;
    Failure m_lastFailure = Failure::Unknown;
    QString m_scriptRefusal;
    // What charon holds from this client, as digests of what was sent and
    // accepted: a switch that would send the same again sends nothing (after
    // asking charon whether the connection and the key are still there). A
    // reconnected socket (charon restarted) and an unload forget it.
    struct Loaded
    {
        QByteArray cas, identity, connection;
        QByteArray keyId; // as get-keys lists it
    };
    Loaded m_loaded;
    HeldKeys m_heldKeys; // in `heldKeysFile`
    // A switch that finds everything loaded starts at once and asks charon
    // meanwhile whether it still holds it. An attempt refused while that
    // answer (or the reload it leads to) is due is tried again once charon
    // has been given what it lost, rather than reported.
    int m_verifying = 0;
    quint64 m_reloads = 0;        // reloads finished
    quint64 m_attemptReloads = 0; // ... when the attempt's `initiate` was sent
    bool m_reloading = false;
    int m_loadsUnderWay = 0;      // batches of loads sent and not all answered
    quint64 m_refusedAttempt = 0; // the attempt waiting for the reload, 0 for none
    quint64 m_retriedAttempt = 0;
    struct CaFile
    {
        QDateTime modified;
        qint64 size = -1;
        QList<QByteArray> der;
    };
    QHash<QString, CaFile> m_caFiles; // parsed once per change of the file
    QTimer m_reconnectTimer;          // looks for a charon that went away
};

} // namespace Orvex
