#pragma once

#include "Database.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace OrvexDev {

// Raised when the database fails; the front end turns it into an internal-error
// answer. Never raised for an ordinary "not found".
class StoreError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct Account
{
    std::int64_t id = 0;
    std::string email;
    std::string name;
    std::string phone;
    std::string passwordHash;
    std::int64_t createdAt = 0;
};

struct Device
{
    std::int64_t id = 0;
    std::int64_t accountId = 0;
    std::string udid;
    std::string apn;
    std::string nickName;
    std::string systemName;
    std::string systemVersion;
    std::string status;
    std::int64_t createdAt = 0;
};

struct SmsMessage
{
    std::int64_t id = 0;
    std::string to;
    std::string message;
    std::string sid;
    std::int64_t createdAt = 0;
};

struct Ticket
{
    std::int64_t id = 0;
    std::string subject;
    std::string body;
    std::string requesterEmail;
    std::string requesterName;
    std::string document;
    std::int64_t createdAt = 0;
};

struct UsageHour
{
    std::int64_t hour = 0; // Unix time / 3600
    std::int64_t bytesIn = 0;
    std::int64_t bytesOut = 0;
};

// The service's records and the questions asked of them. Every method is safe to
// call from any request thread.
class Store
{
public:
    explicit Store(Database &database)
        : m_database(database)
    {}

    std::optional<Account> account(const std::string &email);
    // Answers the new account, or nothing when the e-mail is taken.
    std::optional<Account> createAccount(const Account &account);
    void setPassword(std::int64_t accountId, const std::string &passwordHash);

    std::vector<Device> devices(std::int64_t accountId);
    std::optional<Device> device(const std::string &udid);
    enum class DeviceOutcome { Added, Updated, OwnedByAnother };
    DeviceOutcome saveDevice(Device &device);

    // One-time tokens: `kind` is the table (certificate or SMS tokens).
    enum class TokenKind { Certificate, Sms };
    void addToken(TokenKind kind, const std::string &token, std::int64_t now, std::int64_t ttl);
    // Marks the token used; answers false when it is unknown, used or expired.
    bool consumeToken(TokenKind kind, const std::string &token, std::int64_t now);

    void addCertificate(std::int64_t deviceId, const std::string &serial, const std::string &subject,
                        std::int64_t notAfter, const std::string &pem);
    int certificateCount(std::int64_t deviceId);

    SmsMessage addSms(const std::string &to, const std::string &message, const std::string &sid);
    // Newest first; all numbers when `to` is empty.
    std::vector<SmsMessage> sms(const std::string &to, int limit);

    std::int64_t addTicket(const Ticket &ticket);
    std::vector<Ticket> tickets(int limit);

    // Adds traffic to a device's hour.
    void addUsage(std::int64_t deviceId, std::int64_t hour, std::int64_t bytesIn, std::int64_t bytesOut);
    // Fills hours that have no record yet (seeded history never overwrites real
    // traffic).
    void fillUsage(std::int64_t deviceId, const std::vector<UsageHour> &hours);
    // Hours in [fromHour, toHour), oldest first.
    std::vector<UsageHour> usage(std::int64_t deviceId, std::int64_t fromHour, std::int64_t toHour);
    std::vector<Device> allDevices();

    // Applies one gateway SA's byte counters (the gateway's view: in = from the
    // device). The growth since the SA was last seen is added to the device's
    // hour, counter and usage in one transaction, so a restart neither loses nor
    // repeats traffic. A counter that went down means a new SA under the same key:
    // all of it is new. Answers the growth added as (device in, device out).
    std::pair<std::int64_t, std::int64_t> applyGatewayCounters(const std::string &key, std::int64_t deviceId,
                                                               std::int64_t hour, std::int64_t gatewayIn,
                                                               std::int64_t gatewayOut, std::int64_t now);
    void pruneGatewayCounters(std::int64_t olderThan);

private:
    std::unique_ptr<Database::Lease> lease();

    Database &m_database;
};

} // namespace OrvexDev
