#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace OrvexDev {

class Statement;

// One SQLite connection, leased from the pool for the duration of a request.
class Connection
{
public:
    explicit Connection(sqlite3 *db)
        : m_db(db)
    {}

    // Runs `sql` (no results wanted); answers false on error.
    bool exec(const char *sql);
    Statement prepare(const char *sql);
    std::int64_t lastInsertId() const;
    int changes() const;
    std::string lastError() const;
    sqlite3 *handle() const { return m_db; }

private:
    sqlite3 *m_db;
};

// A prepared statement with positional binding (1-based) and column reads
// (0-based). Errors are sticky: once a step fails, ok() stays false.
class Statement
{
public:
    Statement(sqlite3 *db, const char *sql);
    ~Statement();
    Statement(Statement &&other) noexcept;
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, const std::string &text);
    Statement &bind(int index, std::int64_t value);
    Statement &bindNull(int index);

    // Makes the statement ready to run again with new bindings.
    void reset();
    // Steps once: true while a row is available.
    bool next();
    // Steps to completion; answers whether it succeeded.
    bool run();
    bool ok() const { return m_ok; }

    std::string text(int column) const;
    std::int64_t integer(int column) const;
    bool isNull(int column) const;

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_stmt = nullptr;
    bool m_ok = true;
};

// The service's store: one SQLite file in WAL mode under the data folder. Each
// request leases a connection of its own, so readers never wait for each other;
// writers are serialised by SQLite (BEGIN IMMEDIATE with a busy time-out).
class Database
{
public:
    ~Database();

    static std::unique_ptr<Database> open(const std::string &path, std::string *error);

    class Lease
    {
    public:
        Lease(Database &owner, sqlite3 *db)
            : m_owner(owner)
            , m_connection(db)
        {}
        ~Lease();
        Lease(const Lease &) = delete;
        Lease &operator=(const Lease &) = delete;
        Connection *operator->() { return &m_connection; }
        Connection &operator*() { return m_connection; }

    private:
        Database &m_owner;
        Connection m_connection;
    };

    // A connection for this thread's current work; null when SQLite cannot open
    // another one.
    std::unique_ptr<Lease> lease();

    // Runs `work` inside BEGIN IMMEDIATE ... COMMIT; rolls back when it answers
    // false or a statement failed. Answers whether the commit happened.
    bool transaction(const std::function<bool(Connection &)> &work);

private:
    explicit Database(std::string path)
        : m_path(std::move(path))
    {}
    sqlite3 *openConnection(std::string *error);
    void giveBack(sqlite3 *db);
    bool createSchema(std::string *error);

    std::string m_path;
    std::mutex m_mutex;
    std::vector<sqlite3 *> m_idle;
};

} // namespace OrvexDev
