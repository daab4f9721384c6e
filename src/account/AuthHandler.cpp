#include "AuthHandler.h"

#include "ui/AppStoryboard.h"
#include "session/DefaultsKeys.h"
#include "account/DeviceRegistration.h"
#include "account/MobileViewController.h"
#include "session/Session.h"
#include "api/NetworkService.h"
#include "ui/Navigator.h"
#include "ui/WindowController.h"
#include "platform/UserDefaults.h"

#include <QPointer>

namespace Orvex {

namespace Keys = DefaultsKeys;

AuthHandler::AuthHandler(Session &session, NetworkService &network, QObject *parent)
    : BaseHandler(parent)
    , m_session(session)
    , m_network(network)
{}

void AuthHandler::authenticate(const AuthData &data)
{
    if (data.authType == AuthType::signUp)
        signUp(data);
    else
        signIn(data);
}

void AuthHandler::signUp(const AuthData &data)
{
    QPointer<AuthHandler> self(this);
    QPointer<Session> session(&m_session);
    // The defaults store outlives the network service that answers here.
    UserDefaults *defaults = &m_session.defaults();
    // The next screen opens in this window even when the asking screen has
    // gone by the answer.
    QPointer<WindowController> window(WindowController::of(this));
    m_network.checkUser(data.email, [self, session, defaults, data, window](const Result<Empty> &result) {
        if (!result.isSuccess()) {
            if (self)
                self->report(result.error());
            return;
        }
        defaults->setString(Keys::name, data.name);
        if (session)
            session->setCredentials(data.email, data.password);
        if (self)
            self->report();
        if (window)
            Navigator::show(window, instantiate<MobileViewController>(window->context(), AppStoryboard::Auth),
                            NavigationDirection::toLeft);
    });
}

void AuthHandler::signIn(const AuthData &data)
{
    QPointer<AuthHandler> self(this);
    QPointer<Session> session(&m_session);
    // The network service lives as long as its answers can arrive, and the
    // defaults store outlives it.
    NetworkService *network = &m_network;
    UserDefaults *defaults = &m_session.defaults();
    network->getUser(data.email, data.password,
                     [self, session, network, defaults, data](const Result<UserResponse> &result) {
                         if (!result.isSuccess()) {
                             if (self)
                                 self->report(result.error());
                             return;
                         }
                         const UserModel &user = result.value().user;
                         if (user.phoneNumber)
                             defaults->setString(Keys::phone, *user.phoneNumber);
                         else
                             defaults->remove(Keys::phone);
                         // The e-mail as typed, which is what every later request sends.
                         if (session)
                             session->setCredentials(data.email, data.password);
                         if (self)
                             DeviceRegistration::run(self, *network, *defaults, user);
                     });
}

} // namespace Orvex
