#include "PackageSignature.h"

#include "config/Config.h"

#include <QFile>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <memory>

namespace Orvex::PackageSignature {

namespace {

struct KeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
struct BioFree
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};

QString notValid()
{
    return QStringLiteral("The update package is not signed by the Orvex Cloud update key, so it"
                          " was not kept.");
}

} // namespace

QString verify(const QByteArray &publicKeyPem, const QString &path, const QByteArray &signature)
{
    std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(publicKeyPem.constData(), int(publicKeyPem.size())));
    std::unique_ptr<EVP_PKEY, KeyFree> key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr)
                                               : nullptr);
    if (!key)
        return QStringLiteral("The configured update signing key cannot be read.");
    const int type = EVP_PKEY_get_base_id(key.get());
    if (type != EVP_PKEY_ED25519 && type != EVP_PKEY_RSA)
        return QStringLiteral("The configured update signing key is neither Ed25519 nor RSA.");
    if (type == EVP_PKEY_RSA && EVP_PKEY_get_bits(key.get()) < Config::minRsaSigningKeyBits)
        return QStringLiteral("The configured update signing key is an RSA key of fewer than %1 bits.")
            .arg(Config::minRsaSigningKeyBits);
    if (signature.isEmpty() || signature.size() > maxSignatureSize)
        return notValid();

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("The downloaded update package cannot be read.");
    const qint64 size = file.size();
    // Mapped rather than read: Ed25519 signs the whole message at once, and a
    // package is too large to copy for that.
    const uchar *data = size > 0 ? file.map(0, size) : reinterpret_cast<const uchar *>("");
    if (!data)
        return QStringLiteral("The downloaded update package cannot be read.");

    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context)
        return notValid();
    const auto *sig = reinterpret_cast<const unsigned char *>(signature.constData());
    int verified = 0;
    if (type == EVP_PKEY_ED25519) {
        verified = EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1
                   && EVP_DigestVerify(context.get(), sig, size_t(signature.size()), data, size_t(size)) == 1;
    } else {
        EVP_PKEY_CTX *keyContext = nullptr;
        verified = EVP_DigestVerifyInit(context.get(), &keyContext, EVP_sha256(), nullptr, key.get()) == 1
                   && EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) == 1
                   && EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, RSA_PSS_SALTLEN_AUTO) == 1
                   && EVP_DigestVerifyUpdate(context.get(), data, size_t(size)) == 1
                   && EVP_DigestVerifyFinal(context.get(), sig, size_t(signature.size())) == 1;
    }
    return verified ? QString() : notValid();
}

} // namespace Orvex::PackageSignature
