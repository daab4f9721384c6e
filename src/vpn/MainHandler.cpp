#include "MainHandler.h"

#include "Shared/NotificationCenter.h"
#include "account/DefaultsKeys.h"
#include "account/User.h"
#include "account/Utility.h"
#include "api/NetworkService.h"
#include "platform/UserDefaults.h"
#include "platform/VpnConnection.h"
#include "platform/VpnManager.h"
#include "vpn/CertificateProvisioner.h"
#include "vpn/VPNService.h"

#include <QPointer>

namespace Orvex {

MainHandler::MainHandler(VPNService &service, QObject *parent)
    : BaseHandler(parent)
    , m_service(service)
    , m_clock([] { return QDateTime::currentDateTime(); })
{
    m_isCheckingUser = false;
    checkCurrentUser();
}

MainHandler::MainHandler(QObject *parent)
    : MainHandler(VPNService::shared(), parent)
{
}

MainHandler::~MainHandler() = default;

void MainHandler::checkCurrentUser()
{
    const UserDefaults &defaults = UserDefaults::standard();
    const std::optional<QString> email = defaults.string(DefaultsKeys::tempEmail);
    const std::optional<QString> password = defaults.string(DefaultsKeys::password);
    if (!email || !password || m_isCheckingUser)
        return;
    m_isCheckingUser = true;
    QPointer<MainHandler> self(this);
    NetworkService::shared().getUser(*email, *password, [self](const Result<UserResponse> &) {
        // Whatever the answer, the check is over; a failure is not the
        // user's concern here.
        if (self)
            self->m_isCheckingUser = false;
    });
}

void MainHandler::mainButtonAction()
{
    m_service.noteUserRequest();
    if (m_service.status() == ConnectionStatus::connected)
        loadThenToggle(false); // the live state is connected: toggle disconnects
    else
        connect();
}

void MainHandler::connect()
{
    if (UserDefaults::standard().data(DefaultsKeys::certificate)) {
        loadThenToggle(true);
        return;
    }
    // Without a session there is nobody to fetch a certificate for: the
    // sequence would stop after the token anyway.
    if (!User::isSignedIn())
        return;
    QPointer<MainHandler> self(this);
    CertificateProvisioner::fetchCertificate(
            this,
            [self](const Error &error) {
                if (self)
                    self->report(error);
            },
            [self] {
                if (!self)
                    return;
                Q_EMIT self->tunnelOperationStarted();
                self->m_service.connect();
            });
}

void MainHandler::loadThenToggle(bool keepConnected)
{
    QPointer<MainHandler> self(this);
    m_service.manager()->loadFromPreferences([self, keepConnected](const std::optional<QString> &error) {
        if (!self)
            return;
        if (error) {
            self->report(Error::generic(*error));
            return;
        }
        VpnConnection *connection = self->m_service.manager()->connection();
        if (keepConnected && connection->status() == VpnStatus::Connected) {
            // Already up (on-demand, or before the client started): connecting
            // must not turn into switching it off. Observers learn the state.
            connection->postStatusDidChange();
            return;
        }
        Q_EMIT self->tunnelOperationStarted();
        self->m_service.toggle();
    });
}

void MainHandler::getDeviceUsage()
{
    const std::optional<QString> email = UserDefaults::standard().string(DefaultsKeys::tempEmail);
    if (!email)
        return;
    QPointer<MainHandler> self(this);
    NetworkService::shared().getDeviceUsage(
            Utility::udid(*email), m_clock(), [self](const Result<DeviceUsageModel> &result) {
                if (!self || !result.isSuccess())
                    return;
                NotificationCenter::defaultCenter().post(Notifications::didRecieveDeviceUsage,
                                                         QVariant::fromValue(result.value()));
            });
}

} // namespace Orvex
