#pragma once

#include "platform/FileSecretStore.h"
#include "platform/KeyringSecretStore.h"

namespace Orvex {

// The account's secrets as the desktop allows: in the Secret Service when one
// runs on the session bus, else in the 0600 file. A secret found in the file
// (an earlier run had no service, or the service refused it) is the newest
// copy: it is answered, and moved into the service when one runs, the file's
// copy removed once the service has confirmed its own. Removal clears both;
// with no service running it clears the file and fails: what the service may
// still hold is out of reach.
class DesktopSecretStore final : public SecretStore
{
    Q_OBJECT

public:
    static constexpr QLatin1String serviceName{"org.freedesktop.secrets"};

    DesktopSecretStore(const QString &applicationId, const QString &fallbackFile, QObject *parent = nullptr);

    void read(const QString &key, QObject *context, ReadHandler done) override;
    void write(const QString &key, const QString &secret, QObject *context, WriteHandler done) override;
    void remove(const QString &key, QObject *context, WriteHandler done) override;

private:
    // Runs `then` with whether a Secret Service is running now. Only a running
    // one counts: starting one on demand could raise an unlock prompt nobody
    // sees (a headless session) and hold the sign-in until it times out.
    void probe(QObject *context, std::function<void(bool)> then);

    KeyringSecretStore m_keyring;
    FileSecretStore m_file;
};

} // namespace Orvex
