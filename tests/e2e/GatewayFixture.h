#pragma once

#include <QHash>
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

    bool up(QString *error);
    void down();

    QString value(const QString &key) const { return m_values.value(key); }
    QString clientVici() const { return value(QStringLiteral("CLIENT_VICI")); }
    QString gatewayVici() const { return value(QStringLiteral("GATEWAY_VICI")); }
    QString host() const { return value(QStringLiteral("GATEWAY_HOST")); }
    QString caCertificate() const { return value(QStringLiteral("CA_CERT")); }
    QString directory() const { return m_dir->path(); }

    // A PKCS#12 identity for `id`, from the run's CA or from the CA in `caDir`.
    QByteArray issueClientIdentity(const QString &id, const QString &passphrase,
                                   const QString &caDir = {});
    // A certificate authority of its own, unknown to the gateway.
    QString makeOtherCa();
    // Stops the gateway's charon: from then on nobody answers.
    bool stopResponder();

    enum class Side { Gateway, Client };
    // SIGKILL for that side's charon: it tells its peer nothing.
    bool killCharon(Side side);
    // Starts that side's charon again; the gateway's with its connections.
    bool startCharon(Side side);
    // The gateway ends every tunnel of its connection (and tells the client).
    bool terminateAtGateway();
    // Takes the client's end of the link between the namespaces down or up.
    bool setLinkUp(bool up);
    // The IKE SAs that side's charon holds, as "STATE/CHILD-STATES" texts
    // (e.g. "ESTABLISHED/INSTALLED"); nothing when its charon does not answer.
    std::optional<QStringList> securityAssociations(Side side) const;
    // One ping from the client namespace to the gateway's inner address.
    bool pingInnerAddress();
    // The tail of both charons' logs, for failure messages.
    QString logs() const;

private:
    int run(const QStringList &arguments, QByteArray *output = nullptr) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_tag;
    QHash<QString, QString> m_values;
    bool m_up = false;
};
