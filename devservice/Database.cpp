#include "Database.h"

#include <sqlite3.h>

namespace OrvexDev {

namespace {

// Version 1 of the store. Times are Unix seconds (UTC); usage is kept per device
// and UTC hour (Unix time / 3600), from the device's point of view (in = received).
const char *const schemaSql = R"sql(
BEGIN;
CREATE TABLE IF NOT EXISTS meta (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS accounts (
    id INTEGER PRIMARY KEY,
    email TEXT NOT NULL UNIQUE COLLATE NOCASE,
    name TEXT NOT NULL,
    phone TEXT NOT NULL,
    password_hash TEXT NOT NULL,
    created_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS devices (
    id INTEGER PRIMARY KEY,
    account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
    udid TEXT NOT NULL UNIQUE,
    apn TEXT NOT NULL,
    nick_name TEXT NOT NULL,
    system_name TEXT NOT NULL,
    system_version TEXT NOT NULL,
    status TEXT NOT NULL,
    created_at INTEGER NOT NULL,
    updated_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS devices_by_account ON devices(account_id);
CREATE TABLE IF NOT EXISTS certificate_tokens (
    token TEXT PRIMARY KEY,
    created_at INTEGER NOT NULL,
    expires_at INTEGER NOT NULL,
    used_at INTEGER
);
CREATE TABLE IF NOT EXISTS sms_tokens (
    token TEXT PRIMARY KEY,
    created_at INTEGER NOT NULL,
    expires_at INTEGER NOT NULL,
    used_at INTEGER
);
-- Expired tokens are deleted as new ones come: by expiry, without a scan.
CREATE INDEX IF NOT EXISTS certificate_tokens_by_expiry ON certificate_tokens(expires_at);
CREATE INDEX IF NOT EXISTS sms_tokens_by_expiry ON sms_tokens(expires_at);
CREATE TABLE IF NOT EXISTS certificates (
    serial TEXT PRIMARY KEY,
    device_id INTEGER NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
    subject TEXT NOT NULL,
    not_after INTEGER NOT NULL,
    pem TEXT NOT NULL,
    issued_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS usage (
    device_id INTEGER NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
    hour INTEGER NOT NULL,
    bytes_in INTEGER NOT NULL DEFAULT 0,
    bytes_out INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (device_id, hour)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS gateway_counters (
    sa_key TEXT PRIMARY KEY,
    bytes_in INTEGER NOT NULL,
    bytes_out INTEGER NOT NULL,
    seen_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS sms (
    id INTEGER PRIMARY KEY,
    to_number TEXT NOT NULL,
    message TEXT NOT NULL,
    sid TEXT NOT NULL UNIQUE,
    created_at INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS tickets (
    id INTEGER PRIMARY KEY,
    subject TEXT NOT NULL,
    body TEXT NOT NULL,
    requester_email TEXT NOT NULL,
    requester_name TEXT NOT NULL,
    document TEXT NOT NULL,
    created_at INTEGER NOT NULL
);
INSERT OR IGNORE INTO meta(key, value) VALUES ('schema', '1');
COMMIT;
)sql";

} // namespace

bool Connection::exec(const char *sql)
{
    return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Statement Connection::prepare(const char *sql)
{
    return Statement(m_db, sql);
}

std::int64_t Connection::lastInsertId() const
{
    return sqlite3_last_insert_rowid(m_db);
}

int Connection::changes() const
{
    return sqlite3_changes(m_db);
}

std::string Connection::lastError() const
{
    return sqlite3_errmsg(m_db);
}

Statement::Statement(sqlite3 *db, const char *sql)
    : m_db(db)
{
    if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
        m_ok = false;
}

Statement::~Statement()
{
    sqlite3_finalize(m_stmt);
}

Statement::Statement(Statement &&other) noexcept
    : m_db(other.m_db)
    , m_stmt(other.m_stmt)
    , m_ok(other.m_ok)
{
    other.m_stmt = nullptr;
}

Statement &Statement::bind(int index, const std::string &text)
{
    if (m_ok && sqlite3_bind_text(m_stmt, index, text.data(), int(text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        m_ok = false;
    return *this;
}

Statement &Statement::bind(int index, std::int64_t value)
{
    if (m_ok && sqlite3_bind_int64(m_stmt, index, value) != SQLITE_OK)
        m_ok = false;
    return *this;
}

Statement &Statement::bindNull(int index)
{
    if (m_ok && sqlite3_bind_null(m_stmt, index) != SQLITE_OK)
        m_ok = false;
    return *this;
}

void Statement::reset()
{
    if (!m_stmt)
        return;
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
}

bool Statement::next()
{
    if (!m_ok)
        return false;
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        m_ok = false;
    return false;
}

bool Statement::run()
{
    while (next()) {
    }
    return m_ok;
}

std::string Statement::text(int column) const
{
    const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, column));
    if (!data)
        return {};
    return std::string(data, size_t(sqlite3_column_bytes(m_stmt, column)));
}

std::int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(m_stmt, column);
}

bool Statement::isNull(int column) const
{
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
}

Database::Lease::~Lease()
{
    m_owner.giveBack(m_connection.handle());
}

Database::~Database()
{
    std::lock_guard lock(m_mutex);
    for (sqlite3 *db : m_idle)
        sqlite3_close_v2(db);
}

std::unique_ptr<Database> Database::open(const std::string &path, std::string *error)
{
    std::unique_ptr<Database> database(new Database(path));
    if (!database->createSchema(error))
        return nullptr;
    return database;
}

sqlite3 *Database::openConnection(std::string *error)
{
    sqlite3 *db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(m_path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        if (error)
            *error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 10000);
    // WAL keeps readers and the one writer apart; FULL makes every commit durable
    // before the answer leaves, so a killed service has lost nothing it confirmed.
    const char *setup = "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;"
                        " PRAGMA foreign_keys=ON;";
    if (sqlite3_exec(db, setup, nullptr, nullptr, nullptr) != SQLITE_OK) {
        if (error)
            *error = sqlite3_errmsg(db);
        sqlite3_close_v2(db);
        return nullptr;
    }
    return db;
}

bool Database::createSchema(std::string *error)
{
    sqlite3 *db = openConnection(error);
    if (!db)
        return false;
    char *message = nullptr;
    const int rc = sqlite3_exec(db, schemaSql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        if (error)
            *error = message ? message : "cannot create the schema";
        sqlite3_free(message);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db);
        return false;
    }
    giveBack(db);
    return true;
}

std::unique_ptr<Database::Lease> Database::lease()
{
    sqlite3 *db = nullptr;
    {
        std::lock_guard lock(m_mutex);
        if (!m_idle.empty()) {
            db = m_idle.back();
            m_idle.pop_back();
        }
    }
    if (!db)
        db = openConnection(nullptr);
    if (!db)
        return nullptr;
    return std::make_unique<Lease>(*this, db);
}

void Database::giveBack(sqlite3 *db)
{
    std::lock_guard lock(m_mutex);
    m_idle.push_back(db);
}

bool Database::transaction(const std::function<bool(Connection &)> &work)
{
    auto connection = lease();
    if (!connection)
        return false;
    if (!(*connection)->exec("BEGIN IMMEDIATE"))
        return false;
    if (!work(**connection)) {
        (*connection)->exec("ROLLBACK");
        return false;
    }
    if (!(*connection)->exec("COMMIT")) {
        (*connection)->exec("ROLLBACK");
        return false;
    }
    return true;
}

} // namespace OrvexDev
