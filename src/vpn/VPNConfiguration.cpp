#include "VPNConfiguration.h"

#include "config/Config.h"

namespace Orvex {

VPNConfiguration VPNConfiguration::defaults(const Config &config)
{
    VPNConfiguration configuration;
    configuration.hostname = config.vpnGatewayHost;
    return configuration;
}

} // namespace Orvex
