#pragma once

#include "account/AuthData.h"
#include "api/AccountRecords.h"
#include "ui/BaseHandler.h"

namespace Orvex {

class NetworkService;
class Session;

// The logic of the sign-in screen.
//
// Sign-up asks the service whether the e-mail is still free, stores name,
// e-mail and password and moves on to the phone screen, which creates the
// account. Sign-in (typed or automatic) fetches the account with the
// password, stores e-mail, password and phone, then makes sure this machine is
// one of the account's devices and shows the main screen.
//
// Every failure is reported through resultHandler and nothing is retried.
// An answer that arrives after the screen has gone still does what keeps the
// session consistent (sign-in stores the credentials, sign-up stores its
// details and shows the phone screen) and nothing that needs the screen.
class AuthHandler final : public BaseHandler
{
    Q_OBJECT

public:
    // Signs in and up into `session` (the name and phone go to its defaults
    // store) through `network`.
    AuthHandler(Session &session, NetworkService &network, QObject *parent = nullptr);

    void authenticate(const AuthData &data);
    Session &session() const { return m_session; }

private:
    Session &m_session;
    NetworkService &m_network;

    void signUp(const AuthData &data);
    void signIn(const AuthData &data);
};

} // namespace Orvex
