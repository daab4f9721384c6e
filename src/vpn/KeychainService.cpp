#include "KeychainService.h"

#include "account/DefaultsKeys.h"
#include "config/Config.h"
#include "platform/UserDefaults.h"

namespace Orvex {

std::optional<IdentityStore::Identity> KeychainService::importIdentity(
    const std::optional<QByteArray> &pkcs12)
{
    if (!pkcs12)
        return std::nullopt;
    return IdentityStore::standard().importPkcs12(*pkcs12, Config::current().pkcs12Passphrase);
}

std::optional<QByteArray> KeychainService::persistentReference(
    const std::optional<QByteArray> &pkcs12)
{
    const std::optional<IdentityStore::Identity> identity = importIdentity(pkcs12);
    if (!identity)
        return std::nullopt;
    return IdentityStore::standard().persistentReference(*identity);
}

bool KeychainService::isPrivateKeyShared()
{
    const std::optional<IdentityStore::Identity> identity = importIdentity(
        UserDefaults::standard().data(DefaultsKeys::certificate));
    if (!identity)
        return false;
    IdentityStore &store = IdentityStore::standard();
    if (!store.resolve(identity->reference))
        return false;
    const auto entries = store.accessList(identity->reference);
    if (!entries)
        return false;
    for (const IdentityStore::AccessEntry &entry : *entries) {
        if (entry.applications.size() >= sharedApplicationCount)
            return true;
    }
    return false;
}

} // namespace Orvex
