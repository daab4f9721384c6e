#include "User.h"

#include "account/DefaultsKeys.h"
#include "platform/IdentityStore.h"
#include "platform/UserDefaults.h"
#include "vpn/KeychainService.h"

namespace Orvex {

bool User::isSignedIn()
{
    const UserDefaults &defaults = UserDefaults::standard();
    return defaults.string(DefaultsKeys::tempEmail).has_value()
           && defaults.string(DefaultsKeys::password).has_value();
}

void User::logout()
{
    UserDefaults &defaults = UserDefaults::standard();
    defaults.remove(DefaultsKeys::tempEmail);
    defaults.remove(DefaultsKeys::phone);
    defaults.remove(DefaultsKeys::password);
    // A code that was sent but never typed would otherwise outlive the session.
    defaults.remove(DefaultsKeys::smsCode);
    // The identity is found by importing the stored archive again; a failed
    // import or deletion does not keep the certificate from being forgotten.
    if (const std::optional<QByteArray> certificate = defaults.data(DefaultsKeys::certificate)) {
        if (const auto identity = KeychainService::importIdentity(certificate))
            IdentityStore::standard().remove(*identity);
    }
    defaults.remove(DefaultsKeys::certificate);
}

} // namespace Orvex
