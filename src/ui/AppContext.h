#pragma once

#include "platform/Pace.h"

#include <functional>

namespace Orvex {

struct Config;
class NetworkService;
class SceneTable;
class Session;
class UserDefaults;

// The client's long-lived objects, made once by the composition root
// (AppWiring, for main()) and handed to the window and to every screen made
// from it; a screen passes on to its handler what that needs, and the next
// screen it makes is made from the same context. The framework reads only its
// scene table and its pace.
struct AppContext
{
    // The configuration the client was started with.
    const Config &config;
    // The per-user defaults store: every reader asks it at the moment it needs
    // a value, so what one screen writes the others see at once.
    UserDefaults &defaults;
    NetworkService &network;
    // The signed-in account.
    Session &session;
    // Every screen there is, made with this context.
    const SceneTable &scenes;
    // Starts loading what the main screen needs while a sign-in is under way,
    // so that it shows at once when the sign-in succeeds.
    std::function<void()> warmUpMainScreen;
    // How fast the deliberate pauses of the screens made from this context
    // run.
    Pace pace{};
};

} // namespace Orvex
