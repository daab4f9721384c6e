#include "ConfirmationHandler.h"

#include "session/DefaultsKeys.h"
#include "account/DeviceRegistration.h"
#include "api/NetworkService.h"
#include "session/Session.h"
#include "platform/UserDefaults.h"

#include <QPointer>

namespace Orvex {

namespace Keys = DefaultsKeys;

ConfirmationHandler::ConfirmationHandler(Session &session, NetworkService &network, QObject *parent)
    : BaseHandler(parent)
    , m_session(session)
    , m_network(network)
    , m_sentCode(session.defaults().string(Keys::smsCode))
{}

ConfirmationHandler::~ConfirmationHandler()
{
    // Only the code this screen was opened for: a newer one, sent after the
    // user went back to the phone screen, belongs to the next code screen.
    UserDefaults &defaults = m_session.defaults();
    const std::optional<QString> stored = defaults.string(Keys::smsCode);
    if (stored && (stored == m_sentCode || stored == m_confirmedCode))
        defaults.remove(Keys::smsCode);
}

void ConfirmationHandler::confirm(const QString &code)
{
    if (m_confirmedCode && code == *m_confirmedCode) {
        lookUpAccount();
        return;
    }
    // No stored code means none was sent from here: nothing can match it. The
    // stored code stays after a wrong one, so the user can type again.
    const std::optional<QString> sent = m_session.defaults().string(Keys::smsCode);
    if (!sent || code != *sent) {
        report(Error(Error::Code::wrongConfirmationCode));
        return;
    }
    // Confirmed: the code has done its work and is not kept on disk.
    m_confirmedCode = *sent;
    m_session.defaults().remove(Keys::smsCode);
    lookUpAccount();
}

void ConfirmationHandler::lookUpAccount()
{
    const std::optional<QString> email = m_session.defaults().string(Keys::tempEmail);
    if (!email) {
        report(DeviceRegistration::sessionMissingError());
        return;
    }
    QPointer<ConfirmationHandler> self(this);
    // Without the password: the account may not exist yet.
    m_network.getUser(*email, std::nullopt, [self](const Result<UserResponse> &result) {
        if (!self)
            return;
        if (result.isSuccess())
            DeviceRegistration::run(self, self->m_network, self->m_session.defaults(), result.value().user);
        else if (result.error().code() == Error::Code::userNotExists)
            self->createAccount();
        else
            self->report(result.error());
    });
}

void ConfirmationHandler::createAccount()
{
    const UserDefaults &defaults = m_session.defaults();
    const std::optional<QString> email = defaults.string(Keys::tempEmail);
    const std::optional<QString> password = m_session.password();
    const std::optional<QString> phone = defaults.string(Keys::phone);
    if (!email || !password || !phone) {
        report(DeviceRegistration::sessionMissingError());
        return;
    }
    const QString name = defaults.string(Keys::name).value_or(QStringLiteral("Unknown"));

    QPointer<ConfirmationHandler> self(this);
    m_network.addUser(name, *email, *password, *phone, [self](const Result<UserResponse> &result) {
        if (!self)
            return;
        if (!result.isSuccess()) {
            self->report(result.error());
            return;
        }
        // Read the account back, devices included, as a sign-in would.
        self->lookUpAccount();
    });
}

} // namespace Orvex
