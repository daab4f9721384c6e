#include "CertificateProvisioner.h"

#include "account/DefaultsKeys.h"
#include "account/Utility.h"
#include "api/NetworkService.h"
#include "platform/UserDefaults.h"

#include <QPointer>

namespace Orvex {

void CertificateProvisioner::fetchCertificate(QObject *owner,
                                              ResultHandler resultHandler,
                                              Connect connect)
{
    const QPointer<QObject> guard(owner);
    NetworkService::shared().getToken([guard, resultHandler, connect](
                                          const Result<VPNApiResponse::Token> &token) {
        if (!guard)
            return;
        if (!token.isSuccess()) {
            if (resultHandler)
                resultHandler(token.error());
            return;
        }
        const UserDefaults &defaults = UserDefaults::standard();
        const std::optional<QString> email = defaults.string(DefaultsKeys::tempEmail);
        const std::optional<QString> password = defaults.string(DefaultsKeys::password);
        if (!email || !password)
            return;

        NetworkService::shared().getCert(
            *password,
            Utility::udid(*email),
            *email,
            token.value().token.name,
            [guard, resultHandler, connect, email = *email](const Result<QByteArray> &certificate) {
                if (!guard)
                    return;
                if (!certificate.isSuccess()) {
                    if (resultHandler)
                        resultHandler(certificate.error());
                    return;
                }
                UserDefaults &defaults = UserDefaults::standard();
                if (defaults.string(DefaultsKeys::tempEmail) != email
                    || !defaults.string(DefaultsKeys::password))
                    return;
                defaults.setData(DefaultsKeys::certificate, certificate.value());
                if (connect)
                    connect();
            });
    });
}

} // namespace Orvex
