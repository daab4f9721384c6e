#include "SettingsHandler.h"

#include "ui/AppStoryboard.h"
#include "session/Session.h"
#include "ui/Navigator.h"
#include "ui/WindowController.h"
#include "account/StartViewController.h"
#include "vpn/VPNService.h"
#include "platform/Logging.h"

#include <QPointer>

namespace Orvex {

SettingsHandler::SettingsHandler(VPNService &service, QObject *parent)
    : BaseHandler(parent)
    , m_service(service)
{}

SettingsHandler::~SettingsHandler() = default;

void SettingsHandler::logout()
{
    // The finishing step holds nothing of this handler: closing the settings
    // window while the tunnel stops must not leave the sign-out half done.
    QPointer<Session> session(&m_service.session());
    QPointer<WindowController> window(WindowController::of(this));
    m_service.signOut([session, window] {
        if (session)
            session->logout([](const Outcome<> &forgotten) {
                if (!forgotten.isSuccess())
                    qCWarning(lcSession, "%s", qPrintable(forgotten.error()));
            });
        if (window)
            Navigator::setRoot(window,
                               instantiate<StartViewController>(window->context(), AppStoryboard::Auth),
                               NavigationDirection::toRight);
    });
}

} // namespace Orvex
