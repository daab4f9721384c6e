#include "ViciConnection.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace Orvex {

namespace {

using P = VPNProtocolIKEv2;

QByteArray encryptionName(P::EncryptionAlgorithm algorithm)
{
    switch (algorithm) {
    case P::EncryptionAlgorithm::DES:
        return "des";
    case P::EncryptionAlgorithm::TripleDES:
        return "3des";
    case P::EncryptionAlgorithm::AES128:
        return "aes128";
    case P::EncryptionAlgorithm::AES256:
        return "aes256";
    case P::EncryptionAlgorithm::AES128GCM:
        return "aes128gcm16";
    case P::EncryptionAlgorithm::AES256GCM:
        return "aes256gcm16";
    case P::EncryptionAlgorithm::ChaCha20Poly1305:
        return "chacha20poly1305";
    }
    return "aes256";
}

bool isAead(P::EncryptionAlgorithm algorithm)
{
    return algorithm == P::EncryptionAlgorithm::AES128GCM || algorithm == P::EncryptionAlgorithm::AES256GCM
           || algorithm == P::EncryptionAlgorithm::ChaCha20Poly1305;
}

QByteArray integrityName(P::IntegrityAlgorithm algorithm)
{
    switch (algorithm) {
    case P::IntegrityAlgorithm::SHA96:
        return "sha1"; // HMAC-SHA1 truncated to 96 bits
    case P::IntegrityAlgorithm::SHA160:
        return "sha1_160";
    case P::IntegrityAlgorithm::SHA256:
        return "sha256";
    case P::IntegrityAlgorithm::SHA384:
        return "sha384";
    case P::IntegrityAlgorithm::SHA512:
        return "sha512";
    }
    return "sha256";
}

QByteArray prfName(P::IntegrityAlgorithm algorithm)
{
    switch (algorithm) {
    case P::IntegrityAlgorithm::SHA96:
    case P::IntegrityAlgorithm::SHA160:
        return "prfsha1";
    case P::IntegrityAlgorithm::SHA256:
        return "prfsha256";
    case P::IntegrityAlgorithm::SHA384:
        return "prfsha384";
    case P::IntegrityAlgorithm::SHA512:
        return "prfsha512";
    }
    return "prfsha256";
}

QByteArray groupName(P::DiffieHellmanGroup group)
{
    switch (group) {
    case P::DiffieHellmanGroup::Invalid:
        return {};
    case P::DiffieHellmanGroup::Group1:
        return "modp768";
    case P::DiffieHellmanGroup::Group2:
        return "modp1024";
    case P::DiffieHellmanGroup::Group5:
        return "modp1536";
    case P::DiffieHellmanGroup::Group14:
        return "modp2048";
    case P::DiffieHellmanGroup::Group15:
        return "modp3072";
    case P::DiffieHellmanGroup::Group16:
        return "modp4096";
    case P::DiffieHellmanGroup::Group17:
        return "modp6144";
    case P::DiffieHellmanGroup::Group18:
        return "modp8192";
    case P::DiffieHellmanGroup::Group19:
        return "ecp256";
    case P::DiffieHellmanGroup::Group20:
        return "ecp384";
    case P::DiffieHellmanGroup::Group21:
        return "ecp521";
    case P::DiffieHellmanGroup::Group31:
        return "curve25519";
    case P::DiffieHellmanGroup::Group32:
        return "curve448";
    }
    return {};
}

QByteArray dpdDelay(P::DeadPeerDetectionRate rate)
{
    switch (rate) {
    case P::DeadPeerDetectionRate::None:
        return "0s";
    case P::DeadPeerDetectionRate::Low:
        return "1800s";
    case P::DeadPeerDetectionRate::Medium:
        return "600s";
    case P::DeadPeerDetectionRate::High:
        return "60s";
    }
    return "600s";
}

QByteArray minutes(qint32 lifetimeMinutes)
{
    return QByteArray::number(lifetimeMinutes) + 'm';
}

} // namespace

ViciMessage ViciConnection::message(const QString &name, const VPNProtocolIKEv2 &protocol,
                                    const QByteArray &certificateDer, const QString &updownScript,
                                    const QList<QHostAddress> &gateway)
{
    const QByteArray key = name.toUtf8();
    const auto &ike = protocol.ikeSecurityAssociationParameters;
    const auto &child = protocol.childSecurityAssociationParameters;
    ViciMessage message;
    ViciMessage &conn = message.section(key);
    conn.set("version", "2");
    QList<QByteArray> addresses;
    for (const QHostAddress &address : gateway)
        addresses << address.toString().toLatin1();
    if (addresses.isEmpty())
        addresses << protocol.serverAddress.toUtf8();
    conn.setList("remote_addrs", addresses);
    // Asking for an address of each family is also what makes charon ask for
    // the resolvers of each family. A gateway may assign only one.
    conn.setList("vips", {"0.0.0.0", "::"});
    conn.setList("proposals", {proposal(ike, true)});
    conn.set("rekey_time", minutes(ike.lifetimeMinutes));
    conn.set("dpd_delay", dpdDelay(protocol.deadPeerDetectionRate));
    // Redirects are followed or not for the whole daemon (charon's
    // follow_redirects), so `disableRedirect` has no per-connection form.

    ViciMessage &local = conn.section("local");
    local.set("auth", "pubkey");
    if (!protocol.localIdentifier.isEmpty())
        local.set("id", protocol.localIdentifier);
    if (!certificateDer.isEmpty())
        local.setList("certs", {certificateDer});
    ViciMessage &remote = conn.section("remote");
    remote.set("auth", "pubkey");
    if (!protocol.remoteIdentifier.isEmpty())
        remote.set("id", protocol.remoteIdentifier);

    ViciMessage &tunnel = conn.section("children").section(key);
    tunnel.setList("remote_ts", {"0.0.0.0/0", "::/0"});
    if (!updownScript.isEmpty())
        tunnel.set("updown", updownScript);
    tunnel.setList("esp_proposals", {proposal(child, false)});
    tunnel.set("rekey_time", minutes(child.lifetimeMinutes));
    // Coming up and coming back are this backend's decisions, so that every
    // attempt is seen; charon is told to do neither by itself.
    tunnel.set("start_action", "none");
    tunnel.set("close_action", "none");
    tunnel.set("dpd_action", "clear");
    return message;
}

QByteArray ViciConnection::proposal(const VPNProtocolIKEv2::SecurityAssociationParameters &parameters,
                                    bool forIke)
{
    QByteArrayList parts{encryptionName(parameters.encryptionAlgorithm)};
    if (!isAead(parameters.encryptionAlgorithm))
        parts << integrityName(parameters.integrityAlgorithm);
    else if (forIke)
        parts << prfName(parameters.integrityAlgorithm);
    const QByteArray group = groupName(parameters.diffieHellmanGroup);
    if (!group.isEmpty())
        parts << group;
    return parts.join('-');
}

QByteArray ViciConnection::keyIdentifier(const QByteArray &certificateDer)
{
    const unsigned char *data = reinterpret_cast<const unsigned char *>(certificateDer.constData());
    X509 *certificate = d2i_X509(nullptr, &data, certificateDer.size());
    if (!certificate)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = X509_pubkey_digest(certificate, EVP_sha1(), digest, &length) == 1;
    X509_free(certificate);
    if (!ok)
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
}

} // namespace Orvex
