#include "VPNConfiguration.h"

#include "config/Config.h"

namespace Orvex {

VPNConfiguration VPNConfiguration::defaults()
{
    VPNConfiguration configuration;
    configuration.hostname = Config::current().vpnGatewayHost;
    configuration.identityDataPassword = Config::current().pkcs12Passphrase;
    return configuration;
}

} // namespace Orvex
