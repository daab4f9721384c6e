#include "Scenes.h"

#include "account/AuthViewController.h"
#include "account/ConfirmationCodeViewController.h"
#include "account/MobileViewController.h"
#include "session/Session.h"
#include "account/StartViewController.h"
#include "settings/InfoViewController.h"
#include "settings/SettingsViewController.h"
#include "support/SupportViewController.h"
#include "update/UpdateMessageViewController.h"
#include "update/UpdateViewController.h"
#include "ui/AlertController.h"
#include "ui/AppStoryboard.h"
#include "home/MainViewController.h"

#include <type_traits>

namespace Orvex {

namespace {

template<typename T>
void add(SceneTable &table, AppStoryboard storyboard, SceneFactory factory)
{
    table.add(storyboard, sceneIdentifier<T>(), std::move(factory));
}

// A screen that needs the application's objects takes the context; one that
// needs none is made bare.
template<typename T>
void add(SceneTable &table, AppStoryboard storyboard)
{
    add<T>(table, storyboard, []([[maybe_unused]] const AppContext &context) -> ViewController * {
        if constexpr (std::is_constructible_v<T, const AppContext &>)
            return new T(context);
        else
            return new T;
    });
}

} // namespace

SceneTable makeScenes(const std::function<VPNService &()> &tunnel)
{
    SceneTable table;
    // The tunnel's screens work the tunnel service they are given.
    add<MainViewController>(table, AppStoryboard::Main,
                            [tunnel](const AppContext &context) -> ViewController * {
                                return new MainViewController(tunnel(), context.network, context.config,
                                                              context.pace);
                            });

    add<StartViewController>(table, AppStoryboard::Auth);
    add<AuthViewController>(table, AppStoryboard::Auth);
    add<MobileViewController>(table, AppStoryboard::Auth);
    add<ConfirmationCodeViewController>(table, AppStoryboard::Auth);

    add<InfoViewController>(table, AppStoryboard::Settings);
    add<AlertController>(table, AppStoryboard::Settings);
    add<SettingsViewController>(table, AppStoryboard::Settings,
                                [tunnel](const AppContext &context) -> ViewController * {
                                    return new SettingsViewController(tunnel(), context.config);
                                });
    add<UpdateViewController>(table, AppStoryboard::Settings);
    add<UpdateMessageViewController>(table, AppStoryboard::Settings);
    add<SupportViewController>(table, AppStoryboard::Settings);

    table.setEntry(AppStoryboard::Main, sceneIdentifier<MainViewController>());
    // A stored session signs in by itself; without one the start screen asks.
    table.setFirstScreen([](const AppContext &context) -> ViewController * {
        if (context.session.isSignedIn()) {
            auto *auth = new AuthViewController(context);
            auth->currentAuth = AuthType::autoSignIn;
            return auth;
        }
        return new StartViewController(context);
    });
    return table;
}

} // namespace Orvex
