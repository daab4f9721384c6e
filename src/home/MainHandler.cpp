#include "MainHandler.h"

#include "session/Session.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"
#include "vpn/CertificateProvisioner.h"
#include "session/ClientIdentity.h"
#include "vpn/VPNService.h"

#include <QPointer>

namespace Orvex {

MainHandler::MainHandler(VPNService &service, NetworkService &network, QObject *parent)
    : BaseHandler(parent)
    , m_service(service)
    , m_network(network)
    , m_clock([] { return QDateTime::currentDateTime(); })
{
    m_isCheckingUser = false;
    checkCurrentUser();
}

MainHandler::~MainHandler() = default;

void MainHandler::checkCurrentUser()
{
    const Session &session = m_service.session();
    const std::optional<QString> email = session.email();
    const std::optional<QString> password = session.password();
    if (!email || !password || m_isCheckingUser)
        return;
    m_isCheckingUser = true;
    QPointer<MainHandler> self(this);
    m_network.getUser(*email, *password, [self](const Result<UserResponse> &) {
        // Whatever the answer, the check is over; a failure is not the
        // user's concern here.
        if (self)
            self->m_isCheckingUser = false;
    });
}

void MainHandler::mainButtonAction()
{
    if (m_service.status() == VPNStatus::Connected)
        turnOff();
    else
        turnOn();
}

void MainHandler::turnOn()
{
    m_service.noteUserRequest();
    connect();
}

void MainHandler::turnOff()
{
    m_service.noteUserRequest();
    loadThenToggle(false);
}

void MainHandler::connect()
{
    Session &session = m_service.session();
    const QDateTime now = m_clock().toUTC();
    const std::optional<QByteArray> reference = ClientIdentity::storedReference(session.identities(),
                                                                                session.identityReference());
    if (reference && !ClientIdentity::needsRenewal(session.identities(), *reference, now)) {
        loadThenToggle(true);
        return;
    }
    // Without a session there is nobody to fetch a certificate for: the
    // sequence would stop after the token anyway.
    const bool usable = reference && ClientIdentity::isValid(session.identities(), *reference, now);
    if (!session.isSignedIn()) {
        if (usable)
            loadThenToggle(true);
        return;
    }
    QPointer<MainHandler> self(this);
    CertificateProvisioner::fetchCertificate(
        this, m_network, session,
        [self, usable](const Error &error) {
            if (!self)
                return;
            // A renewal that fails leaves the old certificate while it
            // lasts; the next connect tries again.
            if (usable) {
                Q_EMIT self->m_service.certificateRenewalFailed(error.localizedDescription());
                self->loadThenToggle(true);
            } else
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
    m_service.manager()->loadFromPreferences([self, keepConnected](const Outcome<> &loaded) {
        if (!self)
            return;
        if (!loaded.isSuccess()) {
            self->report(Error::generic(loaded.error()));
            return;
        }
        if (!keepConnected) {
            // Switching off. The tunnel may have gone down since the press (the
            // gateway ended it): toggling would then bring it back up against
            // the user's wish. Stopping is the answer, whatever the live state.
            Q_EMIT self->tunnelOperationStarted();
            self->m_service.disconnectLoaded();
            return;
        }
        VPNConnection *connection = self->m_service.manager()->connection();
        if (connection->status() == VPNStatus::Connected) {
            // Already up (on-demand, or before the client started): connecting
            // must not turn into switching it off. Observers learn the state.
            connection->postStatusDidChange();
            return;
        }
        Q_EMIT self->tunnelOperationStarted();
        self->m_service.toggleLoaded();
    });
}

void MainHandler::getDeviceUsage()
{
    const std::optional<QString> email = m_service.session().email();
    if (!email)
        return;
    QPointer<MainHandler> self(this);
    m_network.getDeviceUsage(Utility::udid(*email), m_clock(), [self](const Result<DeviceUsageModel> &result) {
        if (!self || !result.isSuccess())
            return;
        Q_EMIT self->didRecieveDeviceUsage(result.value());
    });
}

} // namespace Orvex
