#pragma once

#include "ui/AppStoryboard.h"

#include <functional>

namespace Orvex {

class VPNService;

// Every screen of the client, by group; the tunnel's screens work the tunnel
// service `tunnel` gives.
SceneTable makeScenes(const std::function<VPNService &()> &tunnel);

} // namespace Orvex
