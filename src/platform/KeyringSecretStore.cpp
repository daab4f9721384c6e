#include "KeyringSecretStore.h"

#include <qt6keychain/keychain.h>

#include <QPointer>

namespace Orvex {

namespace {

SecretStore::Outcome outcomeOf(const QKeychain::Job *job)
{
    switch (job->error()) {
    case QKeychain::NoError:
        return SecretStore::Outcome::done;
    case QKeychain::EntryNotFound:
        return SecretStore::Outcome::notFound;
    default:
        return SecretStore::Outcome::failed;
    }
}

template<typename Job>
Job *newJob(const QString &service, const QString &key)
{
    auto *job = new Job(service);
    job->setAutoDelete(true);
    job->setInsecureFallback(false);
    job->setKey(key);
    return job;
}

} // namespace

KeyringSecretStore::KeyringSecretStore(const QString &service, QObject *parent)
    : SecretStore(parent)
    , m_service(service)
{}

void KeyringSecretStore::read(const QString &key, QObject *context, ReadHandler done)
{
    auto *job = newJob<QKeychain::ReadPasswordJob>(m_service, key);
    QPointer<QObject> guard(context);
    QObject::connect(job, &QKeychain::Job::finished, job, [guard, done](QKeychain::Job *finished) {
        if (!guard || !done)
            return;
        const Outcome outcome = outcomeOf(finished);
        done(outcome, outcome == Outcome::done
                          ? static_cast<QKeychain::ReadPasswordJob *>(finished)->textData()
                          : QString());
    });
    job->start();
}

void KeyringSecretStore::write(const QString &key, const QString &secret, QObject *context, WriteHandler done)
{
    auto *job = newJob<QKeychain::WritePasswordJob>(m_service, key);
    job->setTextData(secret);
    QPointer<QObject> guard(context);
    QObject::connect(job, &QKeychain::Job::finished, job, [guard, done](QKeychain::Job *finished) {
        if (guard && done)
            done(outcomeOf(finished));
    });
    job->start();
}

void KeyringSecretStore::remove(const QString &key, QObject *context, WriteHandler done)
{
    auto *job = newJob<QKeychain::DeletePasswordJob>(m_service, key);
    QPointer<QObject> guard(context);
    QObject::connect(job, &QKeychain::Job::finished, job, [guard, done](QKeychain::Job *finished) {
        if (guard && done)
            done(outcomeOf(finished));
    });
    job->start();
}

} // namespace Orvex
