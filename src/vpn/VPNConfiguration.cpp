#include "VPNConfiguration.h"

#include "config/Config.h"

namespace Orvex {

VPNConfiguration VPNConfiguration::defaults()
{
    VPNConfiguration configuration;
    configuration.hostname = Config::current().vpnGatewayHost;
    return configuration;
}

} // namespace Orvex
