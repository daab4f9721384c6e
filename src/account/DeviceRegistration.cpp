#include "DeviceRegistration.h"

#include "session/DefaultsKeys.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "ui/BaseHandler.h"
#include "ui/Navigator.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QPointer>

namespace Orvex::DeviceRegistration {

bool holdsDevice(const UserModel &user, const QString &udid)
{
    if (!user.devices)
        return false;
    for (const Device &device : *user.devices) {
        if (device.udid && *device.udid == udid)
            return true;
    }
    return false;
}

void run(BaseHandler *handler, NetworkService &network, const UserDefaults &defaults, const UserModel &user)
{
    const QString udid = user.email ? Utility::udid(*user.email) : QString();
    if (holdsDevice(user, udid)) {
        Navigator::showMain(handler);
        return;
    }

    const std::optional<QString> email = defaults.string(DefaultsKeys::tempEmail);
    if (!email) {
        handler->report(sessionMissingError());
        return;
    }
    QPointer<BaseHandler> guard(handler);
    network.addDevice(udid, *email, [guard](const Result<Empty> &result) {
        if (!guard)
            return;
        if (!result.isSuccess()) {
            guard->report(result.error());
            return;
        }
        Navigator::showMain(guard);
    });
}

Error sessionMissingError()
{
    //: session_missing
    return Error::generic(QCoreApplication::translate(
        "Orvex::DeviceRegistration",
        "Your account details are no longer stored on this computer. Please, start again."));
}

} // namespace Orvex::DeviceRegistration
