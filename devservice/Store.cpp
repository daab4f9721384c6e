#include "Store.h"

// A column plus a non-negative amount, held at the largest integer: SQLite
// would otherwise turn an overflowing sum into an inexact floating-point value.
#define ORVEX_SATURATING_SUM(column, amount) \
    "CASE WHEN " column " > 9223372036854775807 - " amount " THEN 9223372036854775807 ELSE " column \
    " + " amount " END"

namespace OrvexDev {

namespace {

void check(Statement &statement, Connection &connection)
{
    if (!statement.ok())
        throw StoreError(connection.lastError());
}

Account readAccount(const Statement &s)
{
    Account a;
    a.id = s.integer(0);
    a.email = s.text(1);
    a.name = s.text(2);
    a.phone = s.text(3);
    a.passwordHash = s.text(4);
    a.createdAt = s.integer(5);
    return a;
}

Device readDevice(const Statement &s)
{
    Device d;
    d.id = s.integer(0);
    d.accountId = s.integer(1);
    d.udid = s.text(2);
    d.apn = s.text(3);
    d.nickName = s.text(4);
    d.systemName = s.text(5);
    d.systemVersion = s.text(6);
    d.status = s.text(7);
    d.createdAt = s.integer(8);
    return d;
}

const char *const deviceColumns = "id, account_id, udid, apn, nick_name, system_name,"
                                  " system_version, status, created_at";

const char *tokenTable(Store::TokenKind kind)
{
    return kind == Store::TokenKind::Certificate ? "certificate_tokens" : "sms_tokens";
}

} // namespace

std::unique_ptr<Database::Lease> Store::lease()
{
    auto connection = m_database.lease();
    if (!connection)
        throw StoreError("cannot open the database");
    return connection;
}

std::optional<Account> Store::account(const std::string &email)
{
    auto c = lease();
    auto s = (*c)->prepare("SELECT id, email, name, phone, password_hash, created_at"
                           " FROM accounts WHERE email = ?");
    s.bind(1, email);
    if (s.next())
        return readAccount(s);
    check(s, **c);
    return std::nullopt;
}

std::optional<Account> Store::createAccount(const Account &account)
{
    std::optional<Account> created;
    bool failed = false;
    std::string error;
    m_database.transaction([&](Connection &c) {
        auto exists = c.prepare("SELECT 1 FROM accounts WHERE email = ?");
        exists.bind(1, account.email);
        if (exists.next())
            return false;
        if (!exists.ok()) {
            failed = true;
            error = c.lastError();
            return false;
        }
        auto insert = c.prepare("INSERT INTO accounts(email, name, phone, password_hash,"
                                " created_at) VALUES (?, ?, ?, ?, ?)");
        insert.bind(1, account.email)
            .bind(2, account.name)
            .bind(3, account.phone)
            .bind(4, account.passwordHash)
            .bind(5, account.createdAt);
        if (!insert.run()) {
            failed = true;
            error = c.lastError();
            return false;
        }
        created = account;
        created->id = c.lastInsertId();
        return true;
    });
    if (failed)
        throw StoreError(error);
    return created;
}

void Store::setPassword(std::int64_t accountId, const std::string &passwordHash)
{
    auto c = lease();
    auto s = (*c)->prepare("UPDATE accounts SET password_hash = ? WHERE id = ?");
    s.bind(1, passwordHash).bind(2, accountId);
    s.run();
    check(s, **c);
}

std::vector<Device> Store::devices(std::int64_t accountId)
{
    auto c = lease();
    const std::string sql = std::string("SELECT ") + deviceColumns
                            + " FROM devices WHERE account_id = ? ORDER BY id";
    auto s = (*c)->prepare(sql.c_str());
    s.bind(1, accountId);
    std::vector<Device> result;
    while (s.next())
        result.push_back(readDevice(s));
    check(s, **c);
    return result;
}

std::optional<Device> Store::device(const std::string &udid)
{
    auto c = lease();
    const std::string sql = std::string("SELECT ") + deviceColumns + " FROM devices WHERE udid = ?";
    auto s = (*c)->prepare(sql.c_str());
    s.bind(1, udid);
    if (s.next())
        return readDevice(s);
    check(s, **c);
    return std::nullopt;
}

Store::DeviceOutcome Store::saveDevice(Device &device)
{
    DeviceOutcome outcome = DeviceOutcome::Added;
    const std::int64_t now = device.createdAt;
    std::string error;
    const bool committed = m_database.transaction([&](Connection &c) {
        auto find = c.prepare("SELECT id, account_id, created_at FROM devices WHERE udid = ?");
        find.bind(1, device.udid);
        if (find.next()) {
            if (find.integer(1) != device.accountId) {
                outcome = DeviceOutcome::OwnedByAnother;
                return true;
            }
            device.id = find.integer(0);
            device.createdAt = find.integer(2);
            auto update = c.prepare("UPDATE devices SET apn = ?, nick_name = ?, system_name = ?,"
                                    " system_version = ?, status = ?, updated_at = ?"
                                    " WHERE id = ?");
            update.bind(1, device.apn)
                .bind(2, device.nickName)
                .bind(3, device.systemName)
                .bind(4, device.systemVersion)
                .bind(5, device.status)
                .bind(6, now)
                .bind(7, device.id);
            outcome = DeviceOutcome::Updated;
            if (!update.run()) {
                error = c.lastError();
                return false;
            }
            return true;
        }
        if (!find.ok()) {
            error = c.lastError();
            return false;
        }
        auto insert = c.prepare("INSERT INTO devices(account_id, udid, apn, nick_name,"
                                " system_name, system_version, status, created_at, updated_at)"
                                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, device.accountId)
            .bind(2, device.udid)
            .bind(3, device.apn)
            .bind(4, device.nickName)
            .bind(5, device.systemName)
            .bind(6, device.systemVersion)
            .bind(7, device.status)
            .bind(8, device.createdAt)
            .bind(9, device.createdAt);
        if (!insert.run()) {
            error = c.lastError();
            return false;
        }
        device.id = c.lastInsertId();
        return true;
    });
    if (!committed)
        throw StoreError(error.empty() ? "cannot save the device" : error);
    return outcome;
}

void Store::addToken(TokenKind kind, const std::string &token, std::int64_t now, std::int64_t ttl)
{
    auto c = lease();
    const std::string sql = std::string("INSERT INTO ") + tokenTable(kind)
                            + "(token, created_at, expires_at) VALUES (?, ?, ?)";
    auto s = (*c)->prepare(sql.c_str());
    s.bind(1, token).bind(2, now).bind(3, now + ttl);
    s.run();
    check(s, **c);
    // Old tokens are of no use to anybody; keep the table small. The expiry
    // index finds them without reading the rest.
    const std::string prune = std::string("DELETE FROM ") + tokenTable(kind) + " WHERE expires_at < ?";
    auto p = (*c)->prepare(prune.c_str());
    p.bind(1, now - 86400);
    p.run();
}

bool Store::consumeToken(TokenKind kind, const std::string &token, std::int64_t now)
{
    auto c = lease();
    // One statement, so two requests racing for the same token cannot both win.
    const std::string sql = std::string("UPDATE ") + tokenTable(kind)
                            + " SET used_at = ? WHERE token = ? AND used_at IS NULL"
                              " AND expires_at > ?";
    auto s = (*c)->prepare(sql.c_str());
    s.bind(1, now).bind(2, token).bind(3, now);
    s.run();
    check(s, **c);
    return (*c)->changes() == 1;
}

void Store::addCertificate(std::int64_t deviceId, const std::string &serial, const std::string &subject,
                           std::int64_t notAfter, const std::string &pem)
{
    auto c = lease();
    auto s = (*c)->prepare("INSERT INTO certificates(serial, device_id, subject, not_after, pem,"
                           " issued_at) VALUES (?, ?, ?, ?, ?, strftime('%s','now'))");
    s.bind(1, serial).bind(2, deviceId).bind(3, subject).bind(4, notAfter).bind(5, pem);
    s.run();
    check(s, **c);
}

int Store::certificateCount(std::int64_t deviceId)
{
    auto c = lease();
    auto s = (*c)->prepare("SELECT count(*) FROM certificates WHERE device_id = ?");
    s.bind(1, deviceId);
    const int count = s.next() ? int(s.integer(0)) : 0;
    check(s, **c);
    return count;
}

SmsMessage Store::addSms(const std::string &to, const std::string &message, const std::string &sid)
{
    auto c = lease();
    auto s = (*c)->prepare("INSERT INTO sms(to_number, message, sid, created_at)"
                           " VALUES (?, ?, ?, strftime('%s','now'))"
                           " RETURNING id, created_at");
    s.bind(1, to).bind(2, message).bind(3, sid);
    SmsMessage sms{0, to, message, sid, 0};
    if (s.next()) {
        sms.id = s.integer(0);
        sms.createdAt = s.integer(1);
    }
    s.run();
    check(s, **c);
    return sms;
}

std::vector<SmsMessage> Store::sms(const std::string &to, int limit)
{
    auto c = lease();
    auto s = (*c)->prepare("SELECT id, to_number, message, sid, created_at FROM sms"
                           " WHERE ?1 = '' OR to_number = ?1 ORDER BY id DESC LIMIT ?2");
    s.bind(1, to).bind(2, std::int64_t(limit));
    std::vector<SmsMessage> result;
    while (s.next())
        result.push_back({s.integer(0), s.text(1), s.text(2), s.text(3), s.integer(4)});
    check(s, **c);
    return result;
}

std::int64_t Store::addTicket(const Ticket &ticket)
{
    auto c = lease();
    auto s = (*c)->prepare("INSERT INTO tickets(subject, body, requester_email, requester_name,"
                           " document, created_at) VALUES (?, ?, ?, ?, ?, ?)");
    s.bind(1, ticket.subject)
        .bind(2, ticket.body)
        .bind(3, ticket.requesterEmail)
        .bind(4, ticket.requesterName)
        .bind(5, ticket.document)
        .bind(6, ticket.createdAt);
    s.run();
    check(s, **c);
    return (*c)->lastInsertId();
}

std::vector<Ticket> Store::tickets(int limit)
{
    auto c = lease();
    auto s = (*c)->prepare("SELECT id, subject, body, requester_email, requester_name, document,"
                           " created_at FROM tickets ORDER BY id DESC LIMIT ?");
    s.bind(1, std::int64_t(limit));
    std::vector<Ticket> result;
    while (s.next()) {
        result.push_back({s.integer(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5), s.integer(6)});
    }
    check(s, **c);
    return result;
}

void Store::addUsage(std::int64_t deviceId, std::int64_t hour, std::int64_t bytesIn, std::int64_t bytesOut)
{
    auto c = lease();
    auto s = (*c)->prepare(
        "INSERT INTO usage(device_id, hour, bytes_in, bytes_out)"
        " VALUES (?1, ?2, ?3, ?4) ON CONFLICT(device_id, hour) DO UPDATE"
        " SET bytes_in = " ORVEX_SATURATING_SUM("bytes_in",
                                                "?3") ","
                                                      " bytes_out = " ORVEX_SATURATING_SUM("bytes_out",
                                                                                           "?4"));
    s.bind(1, deviceId).bind(2, hour).bind(3, bytesIn).bind(4, bytesOut);
    s.run();
    check(s, **c);
}

void Store::fillUsage(std::int64_t deviceId, const std::vector<UsageHour> &hours)
{
    std::string error;
    const bool committed = m_database.transaction([&](Connection &c) {
        auto s = c.prepare("INSERT OR IGNORE INTO usage(device_id, hour, bytes_in, bytes_out)"
                           " VALUES (?, ?, ?, ?)");
        for (const UsageHour &h : hours) {
            s.reset();
            s.bind(1, deviceId).bind(2, h.hour).bind(3, h.bytesIn).bind(4, h.bytesOut);
            if (!s.run()) {
                error = c.lastError();
                return false;
            }
        }
        return true;
    });
    if (!committed)
        throw StoreError(error.empty() ? "cannot store usage" : error);
}

std::vector<UsageHour> Store::usage(std::int64_t deviceId, std::int64_t fromHour, std::int64_t toHour)
{
    auto c = lease();
    auto s = (*c)->prepare("SELECT hour, bytes_in, bytes_out FROM usage WHERE device_id = ?"
                           " AND hour >= ? AND hour < ? ORDER BY hour");
    s.bind(1, deviceId).bind(2, fromHour).bind(3, toHour);
    std::vector<UsageHour> result;
    while (s.next())
        result.push_back({s.integer(0), s.integer(1), s.integer(2)});
    check(s, **c);
    return result;
}

std::vector<Device> Store::allDevices()
{
    auto c = lease();
    const std::string sql = std::string("SELECT ") + deviceColumns + " FROM devices ORDER BY id";
    auto s = (*c)->prepare(sql.c_str());
    std::vector<Device> result;
    while (s.next())
        result.push_back(readDevice(s));
    check(s, **c);
    return result;
}

std::pair<std::int64_t, std::int64_t> Store::applyGatewayCounters(const std::string &key,
                                                                  std::int64_t deviceId, std::int64_t hour,
                                                                  std::int64_t gatewayIn,
                                                                  std::int64_t gatewayOut, std::int64_t now)
{
    std::pair<std::int64_t, std::int64_t> added{0, 0};
    std::string error;
    const bool committed = m_database.transaction([&](Connection &c) {
        std::int64_t lastIn = 0;
        std::int64_t lastOut = 0;
        auto find = c.prepare("SELECT bytes_in, bytes_out FROM gateway_counters WHERE sa_key = ?");
        find.bind(1, key);
        if (find.next()) {
            lastIn = find.integer(0);
            lastOut = find.integer(1);
        } else if (!find.ok()) {
            error = c.lastError();
            return false;
        }
        const std::int64_t grownIn = gatewayIn >= lastIn ? gatewayIn - lastIn : gatewayIn;
        const std::int64_t grownOut = gatewayOut >= lastOut ? gatewayOut - lastOut : gatewayOut;
        // The gateway receives what the device sends.
        added = {grownOut, grownIn};
        auto save = c.prepare("INSERT INTO gateway_counters(sa_key, bytes_in, bytes_out, seen_at)"
                              " VALUES (?1, ?2, ?3, ?4) ON CONFLICT(sa_key) DO UPDATE"
                              " SET bytes_in = ?2, bytes_out = ?3, seen_at = ?4");
        save.bind(1, key).bind(2, gatewayIn).bind(3, gatewayOut).bind(4, now);
        if (!save.run()) {
            error = c.lastError();
            return false;
        }
        if (deviceId > 0 && (grownIn > 0 || grownOut > 0)) {
            auto usage = c.prepare(
                "INSERT INTO usage(device_id, hour, bytes_in, bytes_out)"
                " VALUES (?1, ?2, ?3, ?4) ON CONFLICT(device_id, hour)"
                " DO UPDATE SET bytes_in = " ORVEX_SATURATING_SUM(
                    "bytes_in", "?3") ","
                                      " bytes_out = " ORVEX_SATURATING_SUM("bytes_out", "?4"));
            usage.bind(1, deviceId).bind(2, hour).bind(3, added.first).bind(4, added.second);
            if (!usage.run()) {
                error = c.lastError();
                return false;
            }
        }
        return true;
    });
    if (!committed)
        throw StoreError(error.empty() ? "cannot store gateway counters" : error);
    return deviceId > 0 ? added : std::pair<std::int64_t, std::int64_t>{0, 0};
}

void Store::pruneGatewayCounters(std::int64_t olderThan)
{
    auto c = lease();
    auto s = (*c)->prepare("DELETE FROM gateway_counters WHERE seen_at < ?");
    s.bind(1, olderThan);
    s.run();
    check(s, **c);
}

} // namespace OrvexDev
