#include "DesktopSecretStore.h"

#include "platform/SessionBus.h"

#include <QPointer>

namespace Orvex {

DesktopSecretStore::DesktopSecretStore(const QString &applicationId, const QString &fallbackFile,
                                       QObject *parent)
    : SecretStore(parent)
    , m_keyring(applicationId)
    , m_file(fallbackFile)
{}

void DesktopSecretStore::probe(QObject *context, std::function<void(bool)> then)
{
    SessionBus::isNameOwned(serviceName, context, std::move(then));
}

void DesktopSecretStore::read(const QString &key, QObject *context, ReadHandler done)
{
    // The file holds a secret only when the service could not take it, and
    // loses it whenever the service confirms a write: what it holds is the
    // newest copy, whatever the service still has from before.
    QPointer<DesktopSecretStore> self(this);
    m_file.read(key, context, [self, key, context, done](Outcome outcome, const QString &secret) {
        if (!self)
            return;
        self->probe(context, [self, key, context, done, outcome, secret](bool running) {
            if (!self)
                return;
            if (outcome == Outcome::done) {
                if (running) // moved into the service, the file's copy gone once it is safe
                    self->write(key, secret, self, {});
                if (done)
                    done(outcome, secret);
                return;
            }
            if (!running) {
                if (done)
                    done(outcome, secret);
                return;
            }
            self->m_keyring.read(key, context, done);
        });
    });
}

void DesktopSecretStore::write(const QString &key, const QString &secret, QObject *context, WriteHandler done)
{
    QPointer<DesktopSecretStore> self(this);
    probe(context, [self, key, secret, context, done](bool running) {
        if (!self)
            return;
        if (!running) {
            self->m_file.write(key, secret, context, done);
            return;
        }
        self->m_keyring.write(key, secret, context, [self, key, secret, context, done](Outcome outcome) {
            if (!self)
                return;
            if (outcome != Outcome::done) {
                // A service that refuses (no default collection, locked for
                // good) is treated like none.
                self->m_file.write(key, secret, context, done);
                return;
            }
            self->m_file.remove(key, context, [done](Outcome) {
                if (done)
                    done(Outcome::done);
            });
        });
    });
}

void DesktopSecretStore::remove(const QString &key, QObject *context, WriteHandler done)
{
    QPointer<DesktopSecretStore> self(this);
    auto removeFromFile = [self, key, context, done](Outcome keyring) {
        if (!self)
            return;
        self->m_file.remove(key, context, [keyring, done](Outcome file) {
            if (!done)
                return;
            if (keyring == Outcome::failed || file == Outcome::failed)
                done(Outcome::failed);
            else if (keyring == Outcome::done || file == Outcome::done)
                done(Outcome::done);
            else
                done(Outcome::notFound);
        });
    };
    probe(context, [self, key, context, removeFromFile](bool running) {
        if (!self)
            return;
        if (running)
            self->m_keyring.remove(key, context, removeFromFile);
        else
            removeFromFile(Outcome::failed);
    });
}

} // namespace Orvex
