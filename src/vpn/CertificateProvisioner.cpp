#include "CertificateProvisioner.h"

#include "session/Session.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "platform/IdentityStore.h"
#include "session/ClientIdentity.h"

#include <QPointer>

namespace Orvex {

namespace {

// Still the account the request was made for, and still signed in.
bool isSameAccount(const Session &session, const QString &email)
{
    return session.email() == email && session.password().has_value();
}

void keep(QPointer<QObject> guard, QPointer<Session> session, const QString &email, const QByteArray &archive,
          CertificateProvisioner::ResultHandler resultHandler, CertificateProvisioner::Connect connect)
{
    // Answered while the session lives, even when the handler that asked has
    // gone: what was imported for nobody must be removed again.
    ClientIdentity::importInBackground(session->identities(), archive, session->archivePassphrase(),
                                       session.data(),
                                       [guard, session, email, resultHandler,
                                        connect](const std::optional<IdentityStore::Identity> &identity) {
                                           if (!identity) {
                                               if (guard && resultHandler)
                                                   resultHandler(Error::Code::unusableCertificate);
                                               return;
                                           }
                                           if (!guard || !isSameAccount(*session, email)) {
                                               // Its handler gone, signed out (or another account) while
                                               // the answer was on its way or being imported: it must not
                                               // stay behind in the store.
                                               if (session->identityReference() != identity->reference)
                                                   session->identities().remove(*identity);
                                               return;
                                           }
                                           if (!session->replaceIdentity(identity->reference)) {
                                               if (session->identityReference() != identity->reference)
                                                   session->identities().remove(*identity);
                                               if (resultHandler)
                                                   resultHandler(Error::Code::unknown);
                                               return;
                                           }
                                           if (connect)
                                               connect();
                                       });
}

} // namespace

void CertificateProvisioner::fetchCertificate(QObject *owner, NetworkService &network, Session &session,
                                              ResultHandler resultHandler, Connect connect)
{
    const QPointer<QObject> guard(owner);
    const QPointer<Session> account(&session);
    // The network service lives for the whole process.
    NetworkService *service = &network;
    service->getToken(
        [guard, account, service, resultHandler, connect](const Result<VPNApiResponse::Token> &token) {
            if (!guard || !account)
                return;
            if (!token.isSuccess()) {
                if (resultHandler)
                    resultHandler(token.error());
                return;
            }
            const std::optional<QString> email = account->email();
            const std::optional<QString> password = account->password();
            if (!email || !password)
                return;

            service->getCert(*password, Utility::udid(*email), *email, token.value().token.name,
                             [guard, account, resultHandler, connect,
                              email = *email](const Result<QByteArray> &certificate) {
                                 if (!guard || !account)
                                     return;
                                 if (!certificate.isSuccess()) {
                                     if (resultHandler)
                                         resultHandler(certificate.error());
                                     return;
                                 }
                                 if (!isSameAccount(*account, email))
                                     return;
                                 keep(guard, account, email, certificate.value(), resultHandler, connect);
                             });
        });
}

} // namespace Orvex
