#pragma once

#include "api/AccountRecords.h"
#include "api/Error.h"

namespace Orvex {

class BaseHandler;
class NetworkService;
class UserDefaults;

// The last steps of every way in (sign-in, and account creation after the
// phone check): make sure this machine is one of the account's devices, then
// show the main screen.
namespace DeviceRegistration {

// Looks for this machine's udid (made from the record's e-mail) among the
// account's devices, in the service's order. Found: the main screen is shown.
// Missing: the machine is registered with addDevice for the stored e-mail and,
// once the service has it, the main screen is shown. Failures are reported
// through `handler`; once `handler` is gone nothing more happens. The stored
// e-mail comes from `defaults`, the request goes through `network`.
void run(BaseHandler *handler, NetworkService &network, const UserDefaults &defaults, const UserModel &user);

// Whether `user`'s device list holds the machine `udid`.
bool holdsDevice(const UserModel &user, const QString &udid);

// Reported when the sign-in or sign-up details this step needs are no longer
// stored on this computer (the defaults file was removed meanwhile).
Error sessionMissingError();

} // namespace DeviceRegistration

} // namespace Orvex
