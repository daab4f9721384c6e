#pragma once

#include <QHash>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <optional>

// A strongSwan gateway and the client's charon, each in a namespace of its
// own (scripts/gateway). Brought up by `up`, torn down by `down` or the
// destructor. Needs root.
class GatewayFixture
{
public:
    GatewayFixture();
    ~GatewayFixture();

    static bool isRoot();
    // Runs `program` to its end (at most 60 s); its exit code, or -1 when it
    // crashed or hung. `output` gets standard output (and error, with `merged`).
    static int execute(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
                       bool merged = false);

    // `arguments` go to `scripts/gateway up` as well (for example --ipv4-only).
    bool up(QString *error, const QStringList &arguments = {});
    // `up` with the CA of `caFolder` (ca.crt and ca.key, as orvex-devservice
    // keeps them) as the gateway's own, so that it trusts the certificates
    // that CA issues. The files are copied: the gateway writes beside them.
    bool upTrusting(const QString &caFolder, QString *error, const QStringList &arguments = {});
    void down();

    // What `up` printed: CLIENT_NS, GATEWAY_NS, INNER_ADDR, CONN, the logs...
    QString value(const QString &key) const { return m_values.value(key); }
    QString clientVici() const { return value(QStringLiteral("CLIENT_VICI")); }
    // The client namespace as the file naming it: where the client's traffic
    // block goes (viciNetworkNamespace).
    QString clientNamespace() const
    {
        return QStringLiteral("/run/netns/") + value(QStringLiteral("CLIENT_NS"));
    }
    QString gatewayVici() const { return value(QStringLiteral("GATEWAY_VICI")); }
    QString host() const { return value(QStringLiteral("GATEWAY_HOST")); }
    QString caCertificate() const { return value(QStringLiteral("CA_CERT")); }
    QString directory() const { return m_dir->path(); }

    // A PKCS#12 identity for `id`, from the run's CA or from the CA in `caDir`.
    QByteArray issueClientIdentity(const QString &id, const QString &passphrase, const QString &caDir = {});
    // A certificate authority of its own, unknown to the gateway.
    QString makeOtherCa();
    // Stops the gateway's charon: from then on nobody answers.
    bool stopResponder() { return run({QStringLiteral("stop-responder")}) == 0; }

    enum class Side { Gateway, Client };
    // SIGKILL for that side's charon: it tells its peer nothing.
    bool killCharon(Side side)
    {
        return run({QStringLiteral("kill-charon"), QStringLiteral("--side"), name(side)}) == 0;
    }
    // Starts that side's charon again; the gateway's with its connections.
    bool startCharon(Side side)
    {
        return run({QStringLiteral("start-charon"), QStringLiteral("--side"), name(side)}) == 0;
    }
    // The gateway ends every tunnel of its connection (and tells the client).
    bool terminateAtGateway();
    // What the gateway offers new tunnels from now on: both families or IPv4 only.
    bool offerIpv6(bool offered);
    // Whether the gateway takes the clients its CA vouches for from now on;
    // refusing, it still answers, and turns each client's identity down.
    bool admitClients(bool admitted)
    {
        return run(admitted ? QStringList{QStringLiteral("admit")}
                            : QStringList{QStringLiteral("admit"), QStringLiteral("--nobody")})
               == 0;
    }
    // That side's end of the link between the namespaces (a veth's name).
    QString link(Side side) const;
    // Takes the client's end of the link between the namespaces down or up.
    bool setLinkUp(bool up);
    // The IKE SAs that side's charon holds, as "STATE/CHILD-STATES" texts
    // (e.g. "ESTABLISHED/INSTALLED"); nothing when its charon does not answer.
    std::optional<QStringList> securityAssociations(Side side) const;
    // One ping from the client namespace to the gateway's inner address.
    bool pingInnerAddress() { return ping(value(QStringLiteral("INNER_ADDR"))); }
    // The tail of both charons' logs, for failure messages.
    QString logs() const;

    // `command` run in the client namespace; its exit code, -1 when it crashed or hung.
    int runInClient(const QStringList &command, QByteArray *output = nullptr) const;

    // The client namespace as a user's programs see it.
    QByteArray resolverConfiguration() const;
    // The first address the client namespace's resolver gives for `name` in
    // one family (4 or 6); empty when it resolves to nothing.
    QString resolve(const QString &name, int family) const;
    bool ping(const QString &address) const;
    // Whether IPv6 is refused in the client namespace (the updown script's rule).
    bool ipv6Refused() const;

    // With the tunnel up: the host behind the gateway resolves to its inside
    // answers and answers pings (on IPv6 only from a dual-stack gateway), and
    // meanwhile, the LAN's own name looked up too, the client's outer link
    // carries nothing but IKE, ESP in UDP and link housekeeping.
    void expectOnlyTunnelTraffic(bool ipv6);

    // Captures everything on the client's outer link from `startCapture` to
    // `stopCapture`, which answers what was seen beside the tunnel by kind
    // ("ICMP", "ICMP6", "DNS", "TCP", "other"; link housekeeping and IKE or
    // ESP with the gateway are not counted, but "IKE/ESP" says how much of
    // that there was). Empty when the capture failed.
    bool startCapture();
    // `beside`, when given, gets each packet counted beside the tunnel as
    // tcpdump printed it, its time (seconds since the epoch) first.
    QMap<QString, int> stopCapture(QStringList *beside = nullptr);
    // What ordinary programs in the client namespace send: a ping of each
    // family to the host behind the gateway, a name looked up at the LAN's
    // resolver and a TCP connection to an address outside. Each gives up
    // within a second or two.
    void sendProbes() const;
    // Ends the capture and checks (QTest) that it saw the tunnel's own
    // traffic and nothing beside it; prints the counts.
    void expectNothingBesideTheTunnelSinceCapture();
    // The client namespace's nftables tables ("inet orvex", ...).
    QStringList firewallTables() const;

private:
    static QString name(Side side)
    {
        return side == Side::Gateway ? QStringLiteral("gateway") : QStringLiteral("client");
    }
    // `scripts/gateway COMMAND --dir DIR ARGUMENTS...` for `{COMMAND, ARGUMENTS...}`.
    int run(const QStringList &arguments, QByteArray *output = nullptr) const;

    std::unique_ptr<QProcess> m_capture;
    QByteArray m_captured, m_captureErrors;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_tag;
    QHash<QString, QString> m_values;
    bool m_up = false;
    // Takes the gateway down when this process dies without down().
    std::unique_ptr<QProcess> m_reaper;
};
