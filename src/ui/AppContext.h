#pragma once

#include <functional>

namespace Orvex {

class NetworkService;
class Session;
class UserDefaults;
class VPNService;

// The client's long-lived objects, made once by the composition root
// (AppWiring, for main()) and handed to every screen the storyboard registry
// creates; a screen passes on to its handler what that needs. The framework
// only carries it and never looks inside.
struct AppContext
{
    // The per-user defaults store: every reader asks it at the moment it needs
    // a value, so what one screen writes the others see at once.
    UserDefaults &defaults;
    NetworkService &network;
    // The signed-in account.
    Session &session;
    // The tunnel service the screens switch and follow.
    std::function<VPNService &()> tunnel;
};

} // namespace Orvex
