#pragma once

#include "platform/IdentityStore.h"

#include <QByteArray>

#include <optional>

namespace Orvex {

// The certificate's side of the key store: turns the stored PKCS#12 archive
// into a key-store identity and answers what the tunnel configuration asks.
// Stateless; the archive's passphrase is the configured `pkcs12Passphrase`.
class KeychainService final
{
public:
    KeychainService() = delete;

    // An access-list entry naming this many applications makes the key shared.
    static constexpr int sharedApplicationCount = 2;

    // Imports the archive's first item into the standard identity store.
    // Absent for absent bytes, a wrong passphrase, an archive without items, or
    // a first item without a certificate and its private key.
    static std::optional<IdentityStore::Identity> importIdentity(
        const std::optional<QByteArray> &pkcs12);

    // The persistent reference (certificate SHA-1) of the archive's identity,
    // imported first; absent when there is none.
    static std::optional<QByteArray> persistentReference(const std::optional<QByteArray> &pkcs12);

    // Whether the stored certificate's private key may be used by another
    // application besides the client: some entry of its access list names at
    // least two applications. False without a stored certificate, identity,
    // key or access list.
    static bool isPrivateKeyShared();
};

} // namespace Orvex
