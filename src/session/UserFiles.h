#pragma once

#include <QString>

namespace Orvex {

// Where one user's client keeps its files: the defaults store, the account's
// identity reference, the secrets file used when there is no Secret Service,
// the key store's folder and the saved tunnel configuration. The client uses
// the standard places; a test or a tool puts them all under a folder of its
// own, so what it starts from is empty unless it wrote it there.
struct UserFiles
{
    QString defaults;
    QString account;
    QString fallbackSecrets;
    QString identities;
    QString tunnelConfiguration;

    // The XDG places every run of the client shares.
    static UserFiles standard();
    // The same layout under `folder`: nothing outside it is read or written.
    static UserFiles under(const QString &folder);
};

} // namespace Orvex
