#pragma once

#include "platform/SecretStore.h"

namespace Orvex {

// The desktop's Secret Service through QtKeychain, under one service name
// (the application id). QtKeychain's own plain-text fallback is never used:
// where the service fails, the caller decides what to do.
class KeyringSecretStore final : public SecretStore
{
    Q_OBJECT

public:
    explicit KeyringSecretStore(const QString &service, QObject *parent = nullptr);

    void read(const QString &key, QObject *context, ReadHandler done) override;
    void write(const QString &key, const QString &secret, QObject *context, WriteHandler done) override;
    void remove(const QString &key, QObject *context, WriteHandler done) override;

private:
    QString m_service;
};

} // namespace Orvex
