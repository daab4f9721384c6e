#include "UserFiles.h"

#include "platform/IdentityStore.h"
#include "platform/UserDefaults.h"
#include "platform/VPNManager.h"
#include "session/Session.h"

namespace Orvex {

UserFiles UserFiles::standard()
{
    return UserFiles{UserDefaults::standardFilePath(), Session::standardAccountFile(),
                     Session::standardFallbackFile(), IdentityStore::standardDirectory(),
                     VPNManager::defaultStoragePath()};
}

UserFiles UserFiles::under(const QString &folder)
{
    // The names the standard places end with, so a folder laid out this way
    // reads like a user's own.
    return UserFiles{folder + QLatin1String("/config/orvex.conf"), folder + QLatin1String("/data/account"),
                     folder + QLatin1String("/data/secrets"), folder + QLatin1String("/data/identities"),
                     folder + QLatin1String("/config/vpn-configuration.json")};
}

} // namespace Orvex
