#pragma once

// Real PKCS#12 archives for the key-store tests, built bag by bag with OpenSSL
// so a test decides exactly which certificates and keys an archive holds and in
// which order.

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>
#include <QString>

#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>

namespace TestPkcs12 {

struct KeyFree
{
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
    void operator()(X509 *p) const { X509_free(p); }
    void operator()(PKCS12 *p) const { PKCS12_free(p); }
};

// A private key with a self-signed certificate for it.
struct Credential
{
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> certificate;

    QByteArray certificateDer() const
    {
        unsigned char *buffer = nullptr;
        const int length = i2d_X509(certificate.get(), &buffer);
        QByteArray der(reinterpret_cast<const char *>(buffer), length);
        OPENSSL_free(buffer);
        return der;
    }
    // What the key store names the identity by.
    QByteArray sha1() const { return QCryptographicHash::hash(certificateDer(), QCryptographicHash::Sha1); }
};

inline Credential makeCredential(const char *commonName, bool rsa = false, long days = 1)
{
    Credential c;
    c.key.reset(rsa ? EVP_RSA_gen(2048) : EVP_EC_gen("P-256"), KeyFree());
    X509 *cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 60L * 60 * 24 * days);
    X509_set_pubkey(cert, c.key.get());
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(commonName),
                               -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, c.key.get(), EVP_sha256());
    c.certificate.reset(cert, KeyFree());
    return c;
}

struct Bag
{
    enum Kind { Certificate, ShroudedKey, PlainKey };
    Kind kind;
    Credential credential;
    QByteArray localKeyId; // none when empty
};

inline Bag certificateBag(const Credential &c, const QByteArray &id = {})
{
    return {Bag::Certificate, c, id};
}
inline Bag keyBag(const Credential &c, const QByteArray &id = {}, bool shrouded = true)
{
    return {shrouded ? Bag::ShroudedKey : Bag::PlainKey, c, id};
}

// The bags in one safe (encrypted with the passphrase unless `plainSafe`),
// with a SHA-256 MAC of `macRounds`. An empty list gives an archive with one
// empty safe.
inline QByteArray makeArchive(const QList<Bag> &bags, const QString &passphrase, bool plainSafe = false,
                              int macRounds = PKCS12_DEFAULT_ITER)
{
    const QByteArray pass = passphrase.toUtf8();
    STACK_OF(PKCS12_SAFEBAG) *safeBags = sk_PKCS12_SAFEBAG_new_null();
    for (const Bag &bag : bags) {
        PKCS12_SAFEBAG *made = nullptr;
        if (bag.kind == Bag::Certificate)
            made = PKCS12_add_cert(&safeBags, bag.credential.certificate.get());
        else
            made = PKCS12_add_key(&safeBags, bag.credential.key.get(), 0, PKCS12_DEFAULT_ITER,
                                  bag.kind == Bag::ShroudedKey ? NID_aes_256_cbc : -1, pass.constData());
        if (made && !bag.localKeyId.isEmpty())
            PKCS12_add_localkeyid(made,
                                  reinterpret_cast<unsigned char *>(
                                      const_cast<char *>(bag.localKeyId.constData())),
                                  int(bag.localKeyId.size()));
    }
    STACK_OF(PKCS7) *safes = sk_PKCS7_new_null();
    PKCS12_add_safe(&safes, safeBags, plainSafe ? -1 : NID_aes_256_cbc, PKCS12_DEFAULT_ITER, pass.constData());
    sk_PKCS12_SAFEBAG_pop_free(safeBags, PKCS12_SAFEBAG_free);
    std::unique_ptr<PKCS12, KeyFree> p12(PKCS12_add_safes(safes, 0));
    sk_PKCS7_pop_free(safes, PKCS7_free);
    if (!p12)
        return {};
    PKCS12_set_mac(p12.get(), pass.constData(), int(pass.size()), nullptr, 0, macRounds, EVP_sha256());
    unsigned char *buffer = nullptr;
    const int length = i2d_PKCS12(p12.get(), &buffer);
    QByteArray der(reinterpret_cast<const char *>(buffer), length);
    OPENSSL_free(buffer);
    return der;
}

// The usual archive: the certificate, then its key, sharing a local key id.
inline QByteArray makeIdentityArchive(const Credential &c, const QString &passphrase)
{
    return makeArchive({certificateBag(c, "id-1"), keyBag(c, "id-1")}, passphrase);
}

} // namespace TestPkcs12
