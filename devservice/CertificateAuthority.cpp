#include "CertificateAuthority.h"

#include "Files.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <ctime>

namespace OrvexDev {

void X509Free::operator()(X509 *x) const
{
    X509_free(x);
}

void PkeyFree::operator()(EVP_PKEY *k) const
{
    EVP_PKEY_free(k);
}

namespace {

struct BioFree
{
    void operator()(BIO *b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

constexpr int caDays = 3650;
constexpr int serverDays = 397;

std::string openSslError(const std::string &what)
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (!code)
        return what;
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return what + ": " + text;
}

std::string bioText(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return std::string(data, size_t(size > 0 ? size : 0));
}

std::string certificateToPem(X509 *certificate)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), certificate);
    return bioText(bio.get());
}

std::string keyToPem(EVP_PKEY *key)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
    return bioText(bio.get());
}

std::string nameText(X509_NAME *name)
{
    BioPtr bio(BIO_new(BIO_s_mem()));
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253);
    return bioText(bio.get());
}

bool isIpAddress(const std::string &host, unsigned char *bytes, int *length)
{
    if (inet_pton(AF_INET, host.c_str(), bytes) == 1) {
        *length = 4;
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), bytes) == 1) {
        *length = 16;
        return true;
    }
    return false;
}

bool addExtension(X509 *certificate, X509V3_CTX *context, int nid, const char *value)
{
    X509_EXTENSION *extension = X509V3_EXT_nconf_nid(nullptr, context, nid, value);
    if (!extension)
        return false;
    const bool ok = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return ok;
}

// Builds the subjectAltName from typed entries rather than a configuration
// string, so no name can smuggle in further entries.
bool addSubjectAltNames(X509 *certificate, const std::vector<std::string> &hosts)
{
    GENERAL_NAMES *names = sk_GENERAL_NAME_new_null();
    bool ok = names != nullptr;
    for (const std::string &host : hosts) {
        if (!ok)
            break;
        GENERAL_NAME *entry = GENERAL_NAME_new();
        unsigned char address[16];
        int length = 0;
        if (isIpAddress(host, address, &length)) {
            ASN1_OCTET_STRING *ip = ASN1_OCTET_STRING_new();
            ok = ip && ASN1_OCTET_STRING_set(ip, address, length) == 1;
            GENERAL_NAME_set0_value(entry, GEN_IPADD, ip);
        } else {
            ASN1_IA5STRING *dns = ASN1_IA5STRING_new();
            ok = dns && ASN1_STRING_set(dns, host.data(), int(host.size())) == 1;
            GENERAL_NAME_set0_value(entry, GEN_DNS, dns);
        }
        ok = ok && sk_GENERAL_NAME_push(names, entry) > 0;
        if (!ok)
            GENERAL_NAME_free(entry);
    }
    ok = ok && X509_add1_ext_i2d(certificate, NID_subject_alt_name, names, 0, 0) == 1;
    GENERAL_NAMES_free(names);
    return ok;
}

bool setRandomSerial(X509 *certificate)
{
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1)
        return false;
    bytes[0] &= 0x7f; // positive
    bytes[0] |= 0x40; // and always 16 bytes long
    BIGNUM *number = BN_bin2bn(bytes, sizeof bytes, nullptr);
    const bool ok = number && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
    BN_free(number);
    return ok;
}

struct Profile
{
    std::string commonName;
    std::string organisation;
    std::vector<std::string> altNames;
    int days = 0;
    bool authority = false;
    const char *keyUsage = nullptr;
    const char *extendedKeyUsage = nullptr;
};

X509Ptr makeCertificate(const Profile &profile, EVP_PKEY *subjectKey, X509 *issuer, EVP_PKEY *issuerKey)
{
    X509Ptr certificate(X509_new());
    X509 *x = certificate.get();
    if (!x || X509_set_version(x, 2) != 1 || !setRandomSerial(x))
        return nullptr;
    // An hour of slack for clocks that are a little behind.
    if (!X509_gmtime_adj(X509_getm_notBefore(x), -3600)
        || !X509_gmtime_adj(X509_getm_notAfter(x), long(profile.days) * 86400))
        return nullptr;
    X509_NAME *name = X509_get_subject_name(x);
    if (!profile.organisation.empty()
        && X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char *>(profile.organisation.c_str()),
                                      -1, -1, 0)
               != 1)
        return nullptr;
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>(profile.commonName.c_str()), -1,
                                   -1, 0)
        != 1)
        return nullptr;
    if (X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name) != 1
        || X509_set_pubkey(x, subjectKey) != 1)
        return nullptr;

    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer ? issuer : x, x, nullptr, nullptr, 0);
    if (!addExtension(x, &context, NID_basic_constraints,
                      profile.authority ? "critical,CA:TRUE" : "critical,CA:FALSE")
        || !addExtension(x, &context, NID_key_usage, profile.keyUsage)
        || !addExtension(x, &context, NID_subject_key_identifier, "hash")
        || !addExtension(x, &context, NID_authority_key_identifier, "keyid:always"))
        return nullptr;
    if (profile.extendedKeyUsage && !addExtension(x, &context, NID_ext_key_usage, profile.extendedKeyUsage))
        return nullptr;
    if (!profile.altNames.empty() && !addSubjectAltNames(x, profile.altNames))
        return nullptr;
    if (X509_sign(x, issuerKey, EVP_sha256()) <= 0)
        return nullptr;
    return certificate;
}

std::int64_t notAfterOf(X509 *certificate)
{
    struct tm when = {};
    if (ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &when) != 1)
        return 0;
    return std::int64_t(timegm(&when));
}

// Serialises creation of the CA between processes that start on the same folder
// at the same moment.
class FolderLock
{
public:
    explicit FolderLock(const std::string &dir)
        : m_fd(::open((dir + "/.ca.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_EX);
    }
    ~FolderLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

private:
    int m_fd;
};

} // namespace

CertificateAuthority::CertificateAuthority(PkeyPtr key, X509Ptr certificate)
    : m_key(std::move(key))
    , m_certificate(std::move(certificate))
{}

CertificateAuthority::~CertificateAuthority() = default;

std::unique_ptr<CertificateAuthority> CertificateAuthority::openOrCreate(const std::string &dir,
                                                                         std::string *error)
{
    FolderLock lock(dir);
    const std::string certificatePath = dir + "/ca.crt";
    const std::string keyPath = dir + "/ca.key";
    const bool haveCertificate = Files::exists(certificatePath);
    const bool haveKey = Files::exists(keyPath);

    if (haveCertificate != haveKey) {
        *error = "the data folder holds only one of ca.crt and ca.key; remove it or restore the"
                 " other";
        return nullptr;
    }

    if (haveCertificate) {
        const auto certificateText = Files::read(certificatePath);
        const auto keyText = Files::read(keyPath);
        if (!certificateText || !keyText) {
            *error = "cannot read the CA files in " + dir;
            return nullptr;
        }
        BioPtr certificateBio(BIO_new_mem_buf(certificateText->data(), int(certificateText->size())));
        BioPtr keyBio(BIO_new_mem_buf(keyText->data(), int(keyText->size())));
        X509Ptr certificate(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
        PkeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
        if (!certificate || !key) {
            *error = openSslError("cannot parse " + certificatePath + " or " + keyPath);
            return nullptr;
        }
        if (X509_check_private_key(certificate.get(), key.get()) != 1) {
            *error = "ca.key does not belong to ca.crt";
            ERR_clear_error();
            return nullptr;
        }
        return std::unique_ptr<CertificateAuthority>(
            new CertificateAuthority(std::move(key), std::move(certificate)));
    }

    // P-256 keeps the first start fast; every client in sight verifies ECDSA.
    PkeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        *error = openSslError("cannot create the CA key");
        return nullptr;
    }
    Profile profile;
    profile.commonName = "Orvex Development CA";
    profile.organisation = "Orvex Cloud (development)";
    profile.days = caDays;
    profile.authority = true;
    profile.keyUsage = "critical,keyCertSign,cRLSign";
    X509Ptr certificate = makeCertificate(profile, key.get(), nullptr, key.get());
    if (!certificate) {
        *error = openSslError("cannot create the CA certificate");
        return nullptr;
    }
    // The key first: a folder with a certificate but no key would be refused.
    if (!Files::writeAtomically(keyPath, keyToPem(key.get()), 0600, error)
        || !Files::writeAtomically(certificatePath, certificateToPem(certificate.get()), 0644, error))
        return nullptr;
    return std::unique_ptr<CertificateAuthority>(
        new CertificateAuthority(std::move(key), std::move(certificate)));
}

std::optional<CertificateAuthority::KeyAndCertificate> CertificateAuthority::issueServer(
    const std::vector<std::string> &hosts, std::string *error) const
{
    PkeyPtr key(EVP_EC_gen("P-256"));
    if (!key || hosts.empty()) {
        *error = openSslError("cannot create the server key");
        return std::nullopt;
    }
    Profile profile;
    profile.commonName = hosts.front();
    profile.organisation = "Orvex Cloud (development)";
    profile.altNames = hosts;
    profile.days = serverDays;
    profile.keyUsage = "critical,digitalSignature";
    profile.extendedKeyUsage = "serverAuth";
    X509Ptr certificate = makeCertificate(profile, key.get(), m_certificate.get(), m_key.get());
    if (!certificate) {
        *error = openSslError("cannot issue the server certificate");
        return std::nullopt;
    }
    return KeyAndCertificate{std::move(key), std::move(certificate)};
}

bool CertificateAuthority::issueGateway(const std::vector<std::string> &hosts, int days,
                                        std::string *certificatePem, std::string *keyPem,
                                        std::string *error) const
{
    if (hosts.empty()) {
        *error = "no host name for the gateway certificate";
        return false;
    }
    PkeyPtr key(EVP_RSA_gen(2048));
    if (!key) {
        *error = openSslError("cannot create the gateway key");
        return false;
    }
    Profile profile;
    profile.commonName = hosts.front();
    profile.organisation = "Orvex Cloud (development)";
    profile.altNames = hosts;
    profile.days = days;
    profile.keyUsage = "critical,digitalSignature,keyEncipherment";
    // IKE peers of several platforms look for ikeIntermediate beside serverAuth.
    profile.extendedKeyUsage = "serverAuth,1.3.6.1.5.5.8.2.2";
    X509Ptr certificate = makeCertificate(profile, key.get(), m_certificate.get(), m_key.get());
    if (!certificate) {
        *error = openSslError("cannot issue the gateway certificate");
        return false;
    }
    *certificatePem = certificateToPem(certificate.get());
    *keyPem = keyToPem(key.get());
    return true;
}

std::optional<CertificateAuthority::ClientIdentity> CertificateAuthority::issueClient(
    const std::string &name, const std::string &passphrase, int days, std::string *error) const
{
    // RSA: every key store and IKE implementation the client may hand it to
    // takes RSA client keys.
    PkeyPtr key(EVP_RSA_gen(2048));
    if (!key) {
        *error = openSslError("cannot create the client key");
        return std::nullopt;
    }
    Profile profile;
    profile.commonName = name;
    profile.altNames = {name};
    profile.days = days;
    profile.keyUsage = "critical,digitalSignature,keyEncipherment";
    profile.extendedKeyUsage = "clientAuth";
    X509Ptr certificate = makeCertificate(profile, key.get(), m_certificate.get(), m_key.get());
    if (!certificate) {
        *error = openSslError("cannot issue the client certificate");
        return std::nullopt;
    }

    STACK_OF(X509) *chain = sk_X509_new_null();
    sk_X509_push(chain, m_certificate.get());
    // Default algorithms of OpenSSL 3: AES-256-CBC with PBKDF2 and a SHA-256 MAC.
    PKCS12 *archive = PKCS12_create(passphrase.c_str(), name.c_str(), key.get(), certificate.get(), chain, 0,
                                    0, 0, 0, 0);
    sk_X509_free(chain);
    if (!archive) {
        *error = openSslError("cannot build the PKCS#12 archive");
        return std::nullopt;
    }
    unsigned char *der = nullptr;
    const int size = i2d_PKCS12(archive, &der);
    PKCS12_free(archive);
    if (size <= 0) {
        *error = openSslError("cannot encode the PKCS#12 archive");
        return std::nullopt;
    }
    ClientIdentity identity;
    identity.pkcs12.assign(reinterpret_cast<const char *>(der), size_t(size));
    OPENSSL_free(der);

    BIGNUM *serial = ASN1_INTEGER_to_BN(X509_get_serialNumber(certificate.get()), nullptr);
    char *serialHex = serial ? BN_bn2hex(serial) : nullptr;
    identity.serial = serialHex ? serialHex : "";
    OPENSSL_free(serialHex);
    BN_free(serial);
    identity.subject = nameText(X509_get_subject_name(certificate.get()));
    identity.certificatePem = certificateToPem(certificate.get());
    identity.notAfter = notAfterOf(certificate.get());
    return identity;
}

std::string CertificateAuthority::certificatePem() const
{
    return certificateToPem(m_certificate.get());
}

bool CertificateAuthority::isDnsName(const std::string &name)
{
    if (name.empty() || name.size() > 253)
        return false;
    size_t labelStart = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            const size_t length = i - labelStart;
            if (length == 0 || length > 63 || name[labelStart] == '-' || name[i - 1] == '-')
                return false;
            labelStart = i + 1;
            continue;
        }
        const char c = name[i];
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
                             || c == '-';
        if (!allowed)
            return false;
    }
    return true;
}

} // namespace OrvexDev
