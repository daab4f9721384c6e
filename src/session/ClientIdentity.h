#pragma once

#include "platform/IdentityStore.h"

#include <QByteArray>
#include <QDateTime>

#include <functional>
#include <optional>

class QObject;

namespace Orvex {

// The certificate's side of the key store: turns a PKCS#12 archive into a
// key-store identity once, when it arrives, and answers what the tunnel
// configuration asks about the identity the session names. The archive's
// passphrase is the configured `pkcs12Passphrase`.
class ClientIdentity final
{
public:
    ClientIdentity() = delete;

    // An access-list entry naming this many applications makes the key shared.
    static constexpr int sharedApplicationCount = 2;
    // A certificate this close to its end is replaced before the next connect.
    static constexpr int renewalDays = 7;

    using Imported = std::function<void(const std::optional<IdentityStore::Identity> &)>;

    // Checks and imports an archive off the calling thread: it must open with
    // `passphrase` and hold exactly one private key with its certificate.
    // `done` runs on the calling thread with the stored identity, or absent
    // when the archive is unusable (nothing is stored then). Not called when
    // `context` has gone.
    static void importInBackground(IdentityStore &store, const QByteArray &pkcs12, const QString &passphrase,
                                   QObject *context, Imported done);

    // The reference when its identity is stored (files present; nothing is
    // decrypted), else absent.
    static std::optional<QByteArray> storedReference(IdentityStore &store,
                                                     const std::optional<QByteArray> &reference);

    // Whether the identity's private key may be used by another application
    // besides the client: some entry of its access list names at least two
    // applications. False without an identity or access list.
    static bool isPrivateKeyShared(IdentityStore &store, const std::optional<QByteArray> &reference);

    // Whether the identity must be replaced before connecting at `now`: not
    // yet valid, expired, or expiring within `renewalDays`. True also when its
    // certificate cannot be read.
    static bool needsRenewal(IdentityStore &store, const QByteArray &reference, const QDateTime &now);

    // Whether the identity can still be used at `now`.
    static bool isValid(IdentityStore &store, const QByteArray &reference, const QDateTime &now);
};

} // namespace Orvex
