#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace Orvex {

// Where the account's secrets live: the desktop's Secret Service, or a file
// where none answers. Every operation is asynchronous; its handler runs later
// on the calling thread, never from inside the call, and not at all once
// `context` has gone.
class SecretStore : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        done,     // read: found; write and remove: confirmed
        notFound, // read and remove: nothing stored under the key
        failed,   // the store did not answer or refused
    };
    using ReadHandler = std::function<void(Outcome, const QString &secret)>;
    using WriteHandler = std::function<void(Outcome)>;

    using QObject::QObject;

    virtual void read(const QString &key, QObject *context, ReadHandler done) = 0;
    virtual void write(const QString &key, const QString &secret, QObject *context, WriteHandler done) = 0;
    virtual void remove(const QString &key, QObject *context, WriteHandler done) = 0;
};

} // namespace Orvex
