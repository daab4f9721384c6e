#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace Orvex {

// The per-user key store: client identities (a certificate with its private
// key) imported from PKCS#12 archives, kept apart from the account's
// password, which lives in the desktop's secret store.
//
// Layout: <directory>/<hex SHA-1 of the certificate>/ holding
//   certificate.pem   the certificate (PEM)
//   private-key.pem   its private key (unencrypted PKCS#8 PEM)
//   access-list.json  which applications may use the key
// The folders are 0700 and the files 0600; every file is written atomically.
//
// An identity is named by its persistent reference, the SHA-1 of the
// certificate's DER (20 bytes). A tunnel configuration carries those bytes and
// `resolve` turns them back into the files and DER forms the VPN daemon needs.
//
// Access list: a list of entries, each naming the applications allowed to use
// the private key. Import creates one entry with the client alone
// (`clientApplication()`); the tunnel backend adds the VPN daemon with
// `grantAccess(reference, "charon")` when it first hands the key over, after
// which the key counts as shared (usable without the client present).
class IdentityStore final
{
public:
    // The handle an import answers; it names one stored identity.
    struct Identity
    {
        QByteArray reference; // SHA-1 of the certificate's DER
        bool operator==(const Identity &) const = default;
    };

    // What a VPN backend needs to present the identity.
    struct Material
    {
        QString certificatePath; // PEM
        QString privateKeyPath;  // PEM, unencrypted PKCS#8
        QByteArray certificateDer;
        QByteArray privateKeyDer; // PKCS#8 DER: VICI `load-key` with type "any"
        QString keyType;          // "rsa", "ecdsa", or "any" for other algorithms
    };

    struct AccessEntry
    {
        QString authorization; // what the entry allows; "use" for the key's use
        QStringList applications;
        bool operator==(const AccessEntry &) const = default;
    };

    static QString clientApplication(); // "orvex"
    static QString standardDirectory(); // $XDG_DATA_HOME/orvex/identities

    explicit IdentityStore(const QString &directory);
    IdentityStore(const IdentityStore &) = delete;
    IdentityStore &operator=(const IdentityStore &) = delete;

    QString directory() const { return m_directory; }

    // Opens the archive with the passphrase and stores its one identity: the
    // first certificate in the archive's bag order, together with the private
    // key that belongs to it (same local key id, or the matching public key).
    // This is what a certificate from the service must look like before it is
    // kept. Absent when the archive does not parse, the passphrase is wrong
    // (MAC or decryption fails), it holds no private key or more than one, or
    // the first item has no matching key; later items are never looked at.
    // Also absent when the archive asks for more key-derivation work than any
    // real one does (over a million rounds in all, or a scheme other than
    // PKCS#12's PBE or PBKDF2). Importing an identity that is already stored
    // keeps it as it is, access list included.
    std::optional<Identity> importSingleIdentity(const QByteArray &archive, const QString &passphrase);

    // The stored certificate's validity period (UTC); absent when the
    // identity is not stored or its certificate cannot be read. Reads the
    // certificate alone, never the key.
    struct Validity
    {
        QDateTime notBefore;
        QDateTime notAfter;
    };
    std::optional<Validity> validity(const QByteArray &reference) const;

    // The references of every identity in the store.
    QList<QByteArray> references() const;

    // The identity's persistent reference when it is stored, else absent.
    std::optional<QByteArray> persistentReference(const Identity &identity) const;

    // The stored identity a reference names, checked (certificate hash and key
    // pair) before it is answered; absent when missing or damaged.
    std::optional<Material> resolve(const QByteArray &reference) const;

    // Deletes the identity (certificate, key and access list). False when it was
    // not stored or could not be removed.
    bool remove(const Identity &identity);

    // The private key's access list; absent when the identity is not stored or
    // its list cannot be read.
    std::optional<QList<AccessEntry>> accessList(const QByteArray &reference) const;

    // Adds the application to the key's "use" entry (no-op when already there).
    bool grantAccess(const QByteArray &reference, const QString &application);

private:
    QString identityFolder(const QByteArray &reference) const;
    bool writeAccessList(const QString &folder, const QList<AccessEntry> &entries) const;

    QString m_directory;
};

} // namespace Orvex
