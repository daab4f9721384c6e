#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace OrvexDev {

struct X509Free
{
    void operator()(X509 *x) const;
};
struct PkeyFree
{
    void operator()(EVP_PKEY *k) const;
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;

// The service's own certificate authority. Its key and certificate live in the
// data folder (ca.key readable by the owner only, ca.crt for everybody who must
// trust it); it signs the TLS certificate of the service itself, the client
// certificates handed out by getcert and the tunnel gateway's certificate.
class CertificateAuthority
{
public:
    ~CertificateAuthority();

    // Loads DIR/ca.crt and DIR/ca.key, creating both when neither exists yet.
    // Refuses a folder that holds only one of them, or a key that does not belong
    // to the certificate.
    static std::unique_ptr<CertificateAuthority> openOrCreate(const std::string &dir, std::string *error);

    struct KeyAndCertificate
    {
        PkeyPtr key;
        X509Ptr certificate;
    };

    // A TLS server certificate for `hosts` (names or IP addresses; the first is
    // also the common name).
    std::optional<KeyAndCertificate> issueServer(const std::vector<std::string> &hosts,
                                                 std::string *error) const;

    // The tunnel gateway's certificate (server and IKE use), as PEM texts.
    bool issueGateway(const std::vector<std::string> &hosts, int days, std::string *certificatePem,
                      std::string *keyPem, std::string *error) const;

    struct ClientIdentity
    {
        std::string pkcs12;
        std::string serial;
        std::string subject;
        std::string certificatePem;
        std::int64_t notAfter = 0;
    };
    // A fresh key and a client certificate whose subject CN and only DNS name
    // are `name`, packed with the CA certificate into a PKCS#12 archive protected
    // by `passphrase`.
    std::optional<ClientIdentity> issueClient(const std::string &name, const std::string &passphrase,
                                              int days, std::string *error) const;

    X509 *certificate() const { return m_certificate.get(); }
    std::string certificatePem() const;

    // True when `name` may stand in a certificate as a DNS name.
    static bool isDnsName(const std::string &name);

private:
    CertificateAuthority(PkeyPtr key, X509Ptr certificate);

    PkeyPtr m_key;
    X509Ptr m_certificate;
};

} // namespace OrvexDev
