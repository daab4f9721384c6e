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

namespace Orvex {

namespace {

template<typename T>
void add(AppStoryboard storyboard)
{
    QString identifier = QString::fromLatin1(T::staticMetaObject.className());
    identifier = identifier.mid(identifier.lastIndexOf(QLatin1String("::")) + 2);
    StoryboardRegistry::registerScene(storyboard, identifier, [] { return new T; });
}

} // namespace

void registerAllScenes()
{
    add<MainViewController>(AppStoryboard::Main);

    add<StartViewController>(AppStoryboard::Auth);
    add<AuthViewController>(AppStoryboard::Auth);
    add<MobileViewController>(AppStoryboard::Auth);
    add<ConfirmationCodeViewController>(AppStoryboard::Auth);

    add<InfoViewController>(AppStoryboard::Settings);
    add<AlertController>(AppStoryboard::Settings);
    add<SettingsViewController>(AppStoryboard::Settings);
    add<UpdateViewController>(AppStoryboard::Settings);
    add<UpdateMessageViewController>(AppStoryboard::Settings);
    add<SupportViewController>(AppStoryboard::Settings);

    StoryboardRegistry::registerEntry(AppStoryboard::Main, QStringLiteral("MainViewController"));
    // A stored session signs in by itself; without one the start screen asks.
    StoryboardRegistry::registerFirstScreen([]() -> ViewController * {
        if (Session::shared().isSignedIn()) {
            auto *auth = new AuthViewController;
            auth->currentAuth = AuthType::autoSignIn;
            return auth;
        }
        return new StartViewController;
    });
}

} // namespace Orvex
