#include "account/AuthViewController.h"
#include "account/ConfirmationCodeViewController.h"
#include "account/MobileViewController.h"
#include "account/Session.h"
#include "account/StartViewController.h"
#include "app/InfoViewController.h"
#include "app/SettingsViewController.h"
#include "support/SupportViewController.h"
#include "update/UpdateMessageViewController.h"
#include "update/UpdateViewController.h"
#include "ui/AlertController.h"
#include "ui/AppStoryboard.h"
#include "usage/MainViewController.h"

#include <type_traits>

namespace Orvex {

namespace {

template<typename T>
void add(AppStoryboard storyboard, StoryboardRegistry::Factory factory)
{
    QString identifier = QString::fromLatin1(T::staticMetaObject.className());
    identifier = identifier.mid(identifier.lastIndexOf(QLatin1String("::")) + 2);
    StoryboardRegistry::registerScene(storyboard, identifier, std::move(factory));
}

// A screen that needs the application's objects takes the context; one that
// needs none is made bare.
template<typename T>
void add(AppStoryboard storyboard)
{
    add<T>(storyboard, []([[maybe_unused]] const AppContext &context) -> ViewController * {
        if constexpr (std::is_constructible_v<T, const AppContext &>)
            return new T(context);
        else
            return new T;
    });
}

} // namespace

void registerAllScenes()
{
    // The tunnel's screens work the tunnel service they are given.
    add<MainViewController>(AppStoryboard::Main, [](const AppContext &context) -> ViewController * {
        return new MainViewController(context.tunnel(), context.network);
    });

    add<StartViewController>(AppStoryboard::Auth);
    add<AuthViewController>(AppStoryboard::Auth);
    add<MobileViewController>(AppStoryboard::Auth);
    add<ConfirmationCodeViewController>(AppStoryboard::Auth);

    add<InfoViewController>(AppStoryboard::Settings);
    add<AlertController>(AppStoryboard::Settings);
    add<SettingsViewController>(AppStoryboard::Settings, [](const AppContext &context) -> ViewController * {
        return new SettingsViewController(context.tunnel());
    });
    add<UpdateViewController>(AppStoryboard::Settings);
    add<UpdateMessageViewController>(AppStoryboard::Settings);
    add<SupportViewController>(AppStoryboard::Settings);

    StoryboardRegistry::registerEntry(AppStoryboard::Main, QStringLiteral("MainViewController"));
    // A stored session signs in by itself; without one the start screen asks.
    StoryboardRegistry::registerFirstScreen([](const AppContext &context) -> ViewController * {
        if (context.session.isSignedIn()) {
            auto *auth = new AuthViewController(context);
            auth->currentAuth = AuthType::autoSignIn;
            return auth;
        }
        return new StartViewController;
    });
}

} // namespace Orvex
