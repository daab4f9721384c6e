#pragma once

#include "Answer.h"
#include "Store.h"

#include <optional>
#include <string>

namespace httplib {
struct Request;
}

namespace OrvexDev {

class CertificateAuthority;

// The constants shared with the client (from the same configuration) and the
// service's own choices.
struct ServiceSettings
{
    std::string apiIdentifier;
    std::string serviceCheckValue;
    std::string signUpCheckValue;
    std::string vpnDomain;
    std::string pkcs12Passphrase;
    std::string latestVersion;
    // Used for download addresses when a request names no usable Host.
    std::string fallbackOrigin;
    bool seedUsage = false;
    // Validity of the client certificates getcert issues.
    int clientCertificateDays = 825;
};

// The service API: every request the client sends, answered from the store and
// the certificate authority.
class ServiceApi
{
public:
    ServiceApi(ServiceSettings settings, Store &store, const CertificateAuthority &authority);

    Answer handle(const httplib::Request &request);

    // Gives a device made-up history from the start of last month to now, where
    // it has no traffic recorded.
    void seedUsage(std::int64_t deviceId, const std::string &udid);

    static constexpr std::int64_t certificateTokenLifetime = 300;
    static constexpr std::int64_t smsTokenLifetime = 600;

private:
    Answer getUser(const httplib::Request &request);
    Answer addUser(const httplib::Request &request);
    Answer checkUserAccount(const httplib::Request &request);
    Answer lookup(const httplib::Request &request);
    Answer verification();
    Answer sendSms(const httplib::Request &request);
    Answer addDevice(const httplib::Request &request);
    Answer portable(const httplib::Request &request);
    Answer generateToken();
    Answer certificate(const httplib::Request &request);
    Answer deviceUsage(const httplib::Request &request);
    Answer checkUpdates(const httplib::Request &request);
    Answer download(const std::string &name);

    std::string originOf(const httplib::Request &request) const;

    ServiceSettings m_settings;
    Store &m_store;
    const CertificateAuthority &m_authority;
};

} // namespace OrvexDev
