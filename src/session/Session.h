#pragma once

#include "base/Outcome.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace Orvex {

struct Config;
class IdentityStore;
class SecretStore;
class UserDefaults;

// The signed-in account on this machine: its e-mail, its password and the
// key-store identity made from its certificate. One session lives for the
// whole process; main() makes it and hands it to whatever needs it.
//
// Where each part is kept:
//  - the e-mail (and the phone number) in the defaults store, "tempEmail";
//  - the password in the secret store (the desktop's Secret Service, or its
//    0600 file), read once by `load` and kept in memory;
//  - the identity's reference in the account file beside the key store
//    (hex SHA-1 of the certificate, 0600), the identity itself in the store.
// The defaults store keeps no secret: `load` moves a password or certificate
// an earlier version left there into these places, and removes the old copy
// only after the new one is confirmed written, so a process that dies half-way
// loses nothing and the next start finishes the move. Copies of a damaged
// settings file the store set aside keep everything but those secrets.
class Session final : public QObject
{
    Q_OBJECT

public:
    // How long `load` waits for the secret store before going on without it.
    static constexpr int loadDeadlineMs = 20000;

    // The secret store's key of the account password.
    static constexpr QLatin1String passwordKey{"password"};

    // The points of the move at which a test may stop the process.
    enum class MigrationStep {
        identityWritten,    // new identity and reference stored, old archive still in the file
        certificateRemoved, // old archive removed from the file
        passwordWritten,    // password confirmed in the secret store, still in the file
        passwordRemoved,    // password removed from the file
    };

    // The service's identity archives open with `config`'s passphrase;
    // `config` outlives the session.
    Session(SecretStore &secrets, UserDefaults &defaults, IdentityStore &identities,
            const QString &accountFile, const Config &config, QObject *parent = nullptr);
    ~Session() override;

    static QString standardAccountFile();  // $XDG_DATA_HOME/orvex/account
    static QString standardFallbackFile(); // $XDG_DATA_HOME/orvex/secrets

    // Finishes any move from an earlier version's settings and a sign-out
    // whose password removal was not confirmed, then reads the password
    // (not while that removal still fails). `done` runs on this thread once
    // the session is ready.
    void load(std::function<void()> done);

    std::optional<QString> email() const;
    std::optional<QString> password() const { return m_password; }
    // True when an e-mail and a password are known, even empty ones; the
    // service is not asked.
    bool isSignedIn() const;

    // Keeps the account: the e-mail at once, the password in memory at once
    // and in the secret store when it has confirmed (which also ends a
    // removal left pending by a sign-out). `done` (optional) gets whether the
    // store confirmed.
    void setCredentials(const QString &email, const QString &password,
                        std::function<void(bool stored)> done = {});

    // The identity the tunnel authenticates with; absent when none is kept.
    std::optional<QByteArray> identityReference() const;
    IdentityStore &identities() const { return m_identities; }
    // What the identity archives the service sends are encrypted with.
    const QString &archivePassphrase() const;
    // The defaults store the account's e-mail and phone number live in.
    UserDefaults &defaults() const { return m_defaults; }

    // Makes `reference` (already in the key store) the session's identity.
    // The reference is written first; only then is every other identity
    // removed, so the store holds exactly this one. False when the reference
    // could not be written: the old identity is kept then.
    bool replaceIdentity(const QByteArray &reference);

    // Forgets the account on this machine: e-mail, phone, password (from the
    // secret store, its file and any old settings), every identity in the key
    // store, the account file and the copies of a damaged settings file.
    // Other preferences stay. `done` runs once the secret store has
    // answered, failing with why when it did not confirm the password gone
    // (no Secret Service ran, or it refused): the next `load` removes it
    // then. Nothing is sent to the service.
    void logout(std::function<void(const Outcome<> &forgotten)> done = {});

    // For tests: called at each step of the move, in order.
    void setMigrationCheckpoint(std::function<void(MigrationStep)> checkpoint)
    {
        m_checkpoint = std::move(checkpoint);
    }

Q_SIGNALS:
    void identityChanged();

private:
    void migrateCertificate(std::function<void()> next);
    void finishSignOut(std::function<void()> next, std::function<void()> pending);
    void migratePassword(std::function<void()> next);
    void readPassword(std::function<void()> next);
    void reached(MigrationStep step);
    bool writeReference(const std::optional<QByteArray> &reference);

    SecretStore &m_secrets;
    UserDefaults &m_defaults;
    IdentityStore &m_identities;
    QString m_accountFile;
    const Config &m_config;
    std::optional<QString> m_password;
    std::function<void(MigrationStep)> m_checkpoint;
};

} // namespace Orvex
