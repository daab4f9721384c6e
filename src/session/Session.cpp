#include "Session.h"

#include "session/DefaultsKeys.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/Logging.h"
#include "platform/SecretStore.h"
#include "platform/SecureFile.h"
#include "platform/UserDefaults.h"
#include "session/ClientIdentity.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>

#include <memory>

namespace Orvex {

namespace {

// The account file holds one hex SHA-1; anything longer is not ours.
constexpr qint64 maxAccountFileSize = 256;

QString dataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QLatin1String("/orvex");
}

} // namespace

Session::Session(SecretStore &secrets, UserDefaults &defaults, IdentityStore &identities,
                 const QString &accountFile, const Config &config, QObject *parent)
    : QObject(parent)
    , m_secrets(secrets)
    , m_defaults(defaults)
    , m_identities(identities)
    , m_accountFile(accountFile)
    , m_config(config)
{}

const QString &Session::archivePassphrase() const
{
    return m_config.pkcs12Passphrase;
}

Session::~Session() = default;

QString Session::standardAccountFile()
{
    return dataFolder() + QLatin1String("/account");
}

QString Session::standardFallbackFile()
{
    return dataFolder() + QLatin1String("/secrets");
}

void Session::load(std::function<void()> done)
{
    QPointer<Session> self(this);
    // A Secret Service that never answers (stuck behind an unlock prompt
    // nobody sees) must not keep the client from starting: past the deadline
    // the session is ready without the password, which still arrives later.
    auto finished = std::make_shared<bool>(false);
    auto finish = [self, done, finished] {
        if (*finished || !self)
            return;
        *finished = true;
        qCInfo(lcSession, "loaded: %s", self->isSignedIn() ? "signed in" : "not signed in");
        if (done)
            done();
    };
    QTimer::singleShot(loadDeadlineMs, this, finish);
    // A damaged settings file is set aside whole, secrets included, and
    // nothing ever reads them back from there: they go now.
    m_defaults.scrubSetAside({DefaultsKeys::password, DefaultsKeys::certificate});
    migrateCertificate([self, finish] {
        if (!self)
            return;
        self->finishSignOut(
            [self, finish] {
                if (self)
                    self->migratePassword(finish);
            },
            finish);
    });
}

void Session::reached(MigrationStep step)
{
    if (m_checkpoint)
        m_checkpoint(step);
}

void Session::migrateCertificate(std::function<void()> next)
{
    const std::optional<QByteArray> archive = m_defaults.data(DefaultsKeys::certificate);
    if (!archive) {
        next();
        return;
    }
    QPointer<Session> self(this);
    ClientIdentity::importInBackground(m_identities, *archive, archivePassphrase(), this,
                                       [self, next](const std::optional<IdentityStore::Identity> &identity) {
                                           if (!self)
                                               return;
                                           // An archive that does not open stays where it is: nothing better
                                           // replaces it yet, and the next certificate fetched removes it.
                                           if (identity && self->writeReference(identity->reference)) {
                                               self->reached(MigrationStep::identityWritten);
                                               qCInfo(lcSession, "certificate moved into the identity store");
                                               self->m_defaults.remove(DefaultsKeys::certificate);
                                               self->reached(MigrationStep::certificateRemoved);
                                               Q_EMIT self->identityChanged();
                                           }
                                           next();
                                       });
}

// A sign-out whose password removal was not confirmed: removed now, before
// anything is read, and only then is the mark gone. Still not confirmed, the
// signed-out account's password is not read either (`pending`).
void Session::finishSignOut(std::function<void()> next, std::function<void()> pending)
{
    if (!m_defaults.boolean(DefaultsKeys::secretRemovalPending)) {
        next();
        return;
    }
    QPointer<Session> self(this);
    m_secrets.remove(passwordKey, this, [self, next, pending](SecretStore::Outcome outcome) {
        if (!self)
            return;
        if (outcome == SecretStore::Outcome::failed) {
            pending();
            return;
        }
        self->m_defaults.remove(DefaultsKeys::secretRemovalPending);
        next();
    });
}

void Session::migratePassword(std::function<void()> next)
{
    const std::optional<QString> legacy = m_defaults.string(DefaultsKeys::password);
    if (!legacy) {
        readPassword(std::move(next));
        return;
    }
    m_password = legacy;
    QPointer<Session> self(this);
    m_secrets.write(passwordKey, *legacy, this, [self, next](SecretStore::Outcome outcome) {
        if (!self)
            return;
        if (outcome == SecretStore::Outcome::done) {
            self->reached(MigrationStep::passwordWritten);
            self->m_defaults.remove(DefaultsKeys::password);
            self->reached(MigrationStep::passwordRemoved);
        }
        next();
    });
}

void Session::readPassword(std::function<void()> next)
{
    QPointer<Session> self(this);
    m_secrets.read(passwordKey, this, [self, next](SecretStore::Outcome outcome, const QString &secret) {
        if (!self)
            return;
        if (outcome == SecretStore::Outcome::done)
            self->m_password = secret;
        next();
    });
}

std::optional<QString> Session::email() const
{
    return m_defaults.string(DefaultsKeys::tempEmail);
}

bool Session::isSignedIn() const
{
    return email().has_value() && m_password.has_value();
}

void Session::setCredentials(const QString &email, const QString &password, std::function<void(bool)> done)
{
    m_defaults.setString(DefaultsKeys::tempEmail, email);
    m_password = password;
    QPointer<Session> self(this);
    m_secrets.write(passwordKey, password, this, [self, done, password](SecretStore::Outcome outcome) {
        const bool stored = outcome == SecretStore::Outcome::done;
        if (stored)
            qCInfo(lcSession, "signed in; the password is in the secret store");
        else
            qCWarning(lcSession, "signed in, but the password could not be stored");
        // A copy an earlier version left in the settings goes once the new
        // one is safe, and so does a removal a sign-out left pending: the
        // store's copy is this one now (unless a sign-out came since).
        if (self && stored) {
            self->m_defaults.remove(DefaultsKeys::password);
            if (self->m_password == password)
                self->m_defaults.remove(DefaultsKeys::secretRemovalPending);
        }
        if (done)
            done(stored);
    });
}

std::optional<QByteArray> Session::identityReference() const
{
    if (QFileInfo(m_accountFile).size() > maxAccountFileSize)
        return std::nullopt;
    // An account file that cannot be read names no identity, like a missing one.
    const std::optional<QByteArray> text = SecureFile::read(m_accountFile).valueOr(std::nullopt);
    if (!text)
        return std::nullopt;
    const QByteArray hex = text->trimmed();
    const QByteArray reference = QByteArray::fromHex(hex);
    if (reference.size() != 20 || reference.toHex() != hex.toLower())
        return std::nullopt;
    return reference;
}

bool Session::writeReference(const std::optional<QByteArray> &reference)
{
    if (!reference)
        return !QFileInfo::exists(m_accountFile) || QFile::remove(m_accountFile);
    return SecureFile::makePrivateDirectory(QFileInfo(m_accountFile).absolutePath()).isSuccess()
           && SecureFile::writeAtomically(m_accountFile, reference->toHex() + '\n');
}

bool Session::replaceIdentity(const QByteArray &reference)
{
    if (!writeReference(reference))
        return false;
    // Only now is the old identity no longer named anywhere.
    for (const QByteArray &other : m_identities.references()) {
        if (other != reference)
            m_identities.remove({other});
    }
    m_defaults.remove(DefaultsKeys::certificate);
    qCInfo(lcSession, "certificate replaced");
    Q_EMIT identityChanged();
    return true;
}

void Session::logout(std::function<void(const Outcome<> &)> done)
{
    m_defaults.remove(DefaultsKeys::tempEmail);
    m_defaults.remove(DefaultsKeys::phone);
    m_defaults.remove(DefaultsKeys::password);
    // A code that was sent but never typed would otherwise outlive the session.
    m_defaults.remove(DefaultsKeys::smsCode);
    m_defaults.remove(DefaultsKeys::certificate);
    // Copies of a damaged settings file may hold any of these.
    m_defaults.removeSetAside();
    m_password.reset();
    for (const QByteArray &reference : m_identities.references())
        m_identities.remove({reference});
    writeReference(std::nullopt);
    qCInfo(lcSession, "signed out; certificate and settings removed");
    Q_EMIT identityChanged();
    // Marked before the store is asked, so that a process ended before the
    // answer leaves the removal to the next start too.
    m_defaults.setBoolean(DefaultsKeys::secretRemovalPending, true);
    QPointer<Session> self(this);
    m_secrets.remove(passwordKey, this, [self, done](SecretStore::Outcome outcome) {
        const bool removed = outcome != SecretStore::Outcome::failed;
        if (!removed)
            qCWarning(lcSession, "the password could not be removed from the secret store yet");
        if (self && removed)
            self->m_defaults.remove(DefaultsKeys::secretRemovalPending);
        if (!done)
            return;
        if (removed) {
            done(Outcome<>::success());
            return;
        }
        done(Outcome<>::failure(
            QStringLiteral("The account password could not be removed from the desktop's keyring (no Secret "
                           "Service answered, or it refused); it is removed when the client next starts.")));
    });
}

} // namespace Orvex
