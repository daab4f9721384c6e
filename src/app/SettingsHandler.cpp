#include "SettingsHandler.h"

#include "Shared/Extensions/AppStoryboard.h"
#include "account/User.h"
#include "app/Navigator.h"
#include "app/StartViewController.h"
#include "vpn/VPNService.h"

namespace Orvex {

SettingsHandler::SettingsHandler(QObject *parent)
    : SettingsHandler(VPNService::shared(), parent)
{}

SettingsHandler::SettingsHandler(VPNService &service, QObject *parent)
    : BaseHandler(parent)
    , m_service(service)
{}

SettingsHandler::~SettingsHandler() = default;

void SettingsHandler::logout()
{
    // The finishing step holds nothing of this handler: closing the settings
    // window while the tunnel stops must not leave the sign-out half done.
    m_service.disconnect([] {
        User::logout();
        Navigator::setRoot(instantiate<StartViewController>(AppStoryboard::Auth),
                           NavigationDirection::toRight);
    });
}

} // namespace Orvex
