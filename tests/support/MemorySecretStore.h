#pragma once

// A secret store in memory for unit tests: answers on the next turn of the
// event loop like the real ones, and can be told to fail (or to fail
// removals alone, as a Secret Service that is not running).

#include "platform/SecretStore.h"

#include <QHash>
#include <QPointer>
#include <QTimer>

class MemorySecretStore final : public Orvex::SecretStore
{
public:
    QHash<QString, QString> secrets;
    bool failing = false;
    bool refusesRemoval = false;

    void read(const QString &key, QObject *context, ReadHandler done) override
    {
        const bool found = secrets.contains(key);
        const QString secret = secrets.value(key);
        later(context, [this, done, found, secret] {
            done(failing ? Outcome::failed : found ? Outcome::done : Outcome::notFound, secret);
        });
    }
    void write(const QString &key, const QString &secret, QObject *context, WriteHandler done) override
    {
        if (!failing)
            secrets.insert(key, secret);
        later(context, [this, done] { done(failing ? Outcome::failed : Outcome::done); });
    }
    void remove(const QString &key, QObject *context, WriteHandler done) override
    {
        const bool refused = failing || refusesRemoval;
        const bool found = !refused && secrets.remove(key) > 0;
        later(context, [done, refused, found] {
            done(refused ? Outcome::failed : found ? Outcome::done : Outcome::notFound);
        });
    }

private:
    static void later(QObject *context, std::function<void()> call)
    {
        QPointer<QObject> guard(context);
        QTimer::singleShot(0, context, [guard, call] {
            if (guard && call)
                call();
        });
    }
};
