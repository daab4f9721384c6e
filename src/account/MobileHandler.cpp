#include "MobileHandler.h"

#include "ui/AppStoryboard.h"
#include "account/ConfirmationCodeViewController.h"
#include "session/DefaultsKeys.h"
#include "account/MobileFormatter.h"
#include "api/NetworkService.h"
#include "ui/Navigator.h"
#include "ui/WindowController.h"
#include "platform/SecureRandom.h"
#include "platform/UserDefaults.h"

#include <QPointer>

namespace Orvex {

MobileHandler::MobileHandler(UserDefaults &defaults, NetworkService &network, QObject *parent)
    : BaseHandler(parent)
    , m_defaults(defaults)
    , m_network(network)
{}

QString MobileHandler::confirmationCode(quint32 value)
{
    return QStringLiteral("%1").arg(value, 4, 10, QLatin1Char('0'));
}

void MobileHandler::send(const QString &number)
{
    mobile = number;
    QPointer<MobileHandler> self(this);
    m_network.verifyMobile(number, [self](const Result<MobileApiResponse::Verify> &result) {
        if (!self)
            return;
        if (!result.isSuccess()) {
            self->report(result.error());
            return;
        }
        // "200", also written "0200" or "+200"; "200 OK" is no status.
        if (MobileFormatter::integerValue(result.value().status) != 200) {
            self->report(Error(Error::Code::invalidMobile));
            return;
        }
        self->requestCode();
    });
}

void MobileHandler::requestCode()
{
    QPointer<MobileHandler> self(this);
    m_network.getVerificationCode([self](const Result<QString> &result) {
        if (!self)
            return;
        if (!result.isSuccess()) {
            self->report(result.error());
            return;
        }
        self->sendCode(result.value());
    });
}

void MobileHandler::sendCode(const QString &verification)
{
    if (!mobile) {
        report(Error(Error::Code::invalidMobile));
        return;
    }
    const QString code = confirmationCode(SecureRandom::uniform(10000));
    m_defaults.setString(DefaultsKeys::smsCode, code);
    m_defaults.setString(DefaultsKeys::phone, *mobile);

    QPointer<MobileHandler> self(this);
    m_network.sendSms(*mobile, code, verification, [self](const Result<MobileApiResponse::SMS> &result) {
        if (!self)
            return;
        if (!result.isSuccess()) {
            self->report(result.error());
            return;
        }
        self->report();
        if (WindowController *window = WindowController::of(self))
            Navigator::show(window,
                            instantiate<ConfirmationCodeViewController>(window->context(),
                                                                        AppStoryboard::Auth),
                            NavigationDirection::toLeft);
    });
}

} // namespace Orvex
