#pragma once

#include "account/AuthType.h"

#include <QString>

namespace Orvex {

// What the sign-in screen hands to its handler when the button is pressed.
struct AuthData
{
    AuthType authType = AuthType::signIn;
    QString name;     // sent by sign-up only
    QString email;    // as typed
    QString password; // as typed
};

} // namespace Orvex
