#include "ClientIdentity.h"

#include "platform/ThreadHandOff.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QThreadPool>

#include <openssl/crypto.h>

namespace Orvex {

namespace {

// The import's way to the pool, and its answer's way back.
ThreadHandOff toPool;
ThreadHandOff toCaller;

} // namespace

void ClientIdentity::importInBackground(IdentityStore &store, const QByteArray &pkcs12,
                                        const QString &passphrase, QObject *context, Imported done)
{
    // Decrypting the archive takes thousands of key-derivation rounds: never
    // on the thread that draws the windows.
    // The answer travels back through the application object, which outlives
    // any worker; `context` is only looked at on this thread.
    QPointer<QObject> guard(context);
    QObject *home = QCoreApplication::instance();
    const auto passing = toPool.pass();
    QThreadPool::globalInstance()->start([&store, pkcs12, passphrase, guard, home, done] {
        toPool.receive();
        const std::optional<IdentityStore::Identity> identity = store.importSingleIdentity(pkcs12, passphrase);
        // OpenSSL keeps state per thread (its error queue, among others) and
        // frees it when the thread ends. A pool thread ends only after main()
        // has returned, while OpenSSL's clean-up at exit frees that same
        // state: freed twice, the heap is damaged. Freed here, while the
        // application still waits for this task, the thread's end has nothing
        // left to free.
        OPENSSL_thread_stop();
        const auto passing = toCaller.pass();
        QMetaObject::invokeMethod(
            home,
            [guard, done, identity] {
                toCaller.receive();
                if (guard && done)
                    done(identity);
            },
            Qt::QueuedConnection);
    });
}

std::optional<QByteArray> ClientIdentity::storedReference(IdentityStore &store,
                                                          const std::optional<QByteArray> &reference)
{
    if (!reference)
        return std::nullopt;
    return store.persistentReference({*reference});
}

bool ClientIdentity::isPrivateKeyShared(IdentityStore &store, const std::optional<QByteArray> &reference)
{
    if (!storedReference(store, reference))
        return false;
    const auto entries = store.accessList(*reference);
    if (!entries)
        return false;
    for (const IdentityStore::AccessEntry &entry : *entries) {
        if (entry.applications.size() >= sharedApplicationCount)
            return true;
    }
    return false;
}

bool ClientIdentity::needsRenewal(IdentityStore &store, const QByteArray &reference, const QDateTime &now)
{
    const std::optional<IdentityStore::Validity> validity = store.validity(reference);
    return !validity || now < validity->notBefore || now.addDays(renewalDays) >= validity->notAfter;
}

bool ClientIdentity::isValid(IdentityStore &store, const QByteArray &reference, const QDateTime &now)
{
    const std::optional<IdentityStore::Validity> validity = store.validity(reference);
    return validity && validity->notBefore <= now && now < validity->notAfter;
}

} // namespace Orvex
