#pragma once

#include "platform/SecretStore.h"

#include <QJsonObject>

#include <optional>

namespace Orvex {

// Secrets in an owner-only (0600) file, written atomically: the stand-in where
// no Secret Service answers. The first secret written into a file that held
// none is announced once on stderr, so the user learns where the password went
// without being told again on every start.
class FileSecretStore final : public SecretStore
{
    Q_OBJECT

public:
    explicit FileSecretStore(const QString &filePath, QObject *parent = nullptr);

    QString filePath() const { return m_path; }

    void read(const QString &key, QObject *context, ReadHandler done) override;
    void write(const QString &key, const QString &secret, QObject *context, WriteHandler done) override;
    void remove(const QString &key, QObject *context, WriteHandler done) override;

private:
    // The file's secrets; absent when it exists but cannot be read or parsed.
    std::optional<QJsonObject> load() const;
    bool save(const QJsonObject &secrets) const;

    QString m_path;
};

} // namespace Orvex
