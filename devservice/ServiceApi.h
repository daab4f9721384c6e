#pragma once

#include "Answer.h"
#include "Store.h"
#include "Throttle.h"

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
    // PEM private key that signs the packages served (".sig" beside each);
    // empty: packages are served unsigned.
    std::string updateSigningKey;
    // Used for download addresses when a request names no usable Host.
    std::string fallbackOrigin;
    bool seedUsage = false;
    // Validity of the client certificates getcert issues.
    int clientCertificateDays = 825;
    // The first wait after too many failed passwords.
    std::int64_t firstBackOffSeconds = 1;
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

    // Password guessing: an account may fail 5 times, a source address 20,
    // then each further failure doubles the wait (from firstBackOffSeconds, 1 s
    // unless set otherwise, up to 15 min). A success clears the account's
    // count. Sign-in (getuser with a password) and getcert share the counts.
    static constexpr int accountFreeFailures = 5;
    static constexpr int sourceFreeFailures = 20;
    static constexpr std::int64_t maxBackOffSeconds = 900;
    // SMS: 5 per number per 15 minutes, 30 per source address per hour.
    static constexpr int smsPerNumber = 5;
    static constexpr std::int64_t smsNumberWindow = 900;
    static constexpr int smsPerSource = 30;
    static constexpr std::int64_t smsSourceWindow = 3600;
    // Sign-ups: 20 per source address per hour.
    static constexpr int signUpsPerSource = 20;
    static constexpr std::int64_t signUpSourceWindow = 3600;

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
    // A refusal for a key that must wait, or nothing.
    std::optional<Answer> held(const char *command, const std::string &account, const std::string &source);
    // The same, but when nothing must wait the try is counted as a failure
    // before the password is checked; guessed() takes it back if it was right.
    std::optional<Answer> admit(const char *command, const std::string &account, const std::string &source);
    void guessed(bool right, const std::string &account, const std::string &source);
    bool checkPassword(const std::string &password, const Account &account);

    ServiceSettings m_settings;
    Store &m_store;
    const CertificateAuthority &m_authority;
    Throttle m_throttle;
};

} // namespace OrvexDev
