#include "FileSecretStore.h"

#include "platform/Logging.h"
#include "platform/SecureFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>

namespace Orvex {

namespace {

// A secrets file is a handful of short texts; anything larger is not ours.
constexpr qint64 maxFileSize = qint64(64) * 1024;

// Runs `call` on the next turn of the event loop unless `context` went first.
void later(QObject *context, std::function<void()> call)
{
    QPointer<QObject> guard(context);
    QTimer::singleShot(0, context, [guard, call = std::move(call)] {
        if (guard)
            call();
    });
}

} // namespace

FileSecretStore::FileSecretStore(const QString &filePath, QObject *parent)
    : SecretStore(parent)
    , m_path(QFileInfo(filePath).absoluteFilePath())
{}

std::optional<QJsonObject> FileSecretStore::load() const
{
    if (QFileInfo(m_path).size() > maxFileSize)
        return std::nullopt;
    const Orvex::Outcome<std::optional<QByteArray>> bytes = SecureFile::read(m_path);
    if (!bytes.isSuccess())
        return std::nullopt;
    if (!bytes.value())
        return QJsonObject();
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(*bytes.value(), &parse);
    if (parse.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

bool FileSecretStore::save(const QJsonObject &secrets) const
{
    if (secrets.isEmpty()) {
        // Nothing left to keep: no file either.
        return !QFileInfo::exists(m_path) || QFile::remove(m_path);
    }
    return SecureFile::makePrivateDirectory(QFileInfo(m_path).absolutePath()).isSuccess()
           && SecureFile::writeAtomically(m_path, QJsonDocument(secrets).toJson(QJsonDocument::Compact));
}

void FileSecretStore::read(const QString &key, QObject *context, ReadHandler done)
{
    const std::optional<QJsonObject> secrets = load();
    const QJsonValue value = secrets ? secrets->value(key) : QJsonValue();
    const Outcome outcome = !secrets ? Outcome::failed : value.isString() ? Outcome::done : Outcome::notFound;
    later(context, [done, outcome, secret = value.toString()] {
        if (done)
            done(outcome, secret);
    });
}

void FileSecretStore::write(const QString &key, const QString &secret, QObject *context, WriteHandler done)
{
    // A damaged file is replaced rather than kept: it can hold nothing usable.
    QJsonObject secrets = load().value_or(QJsonObject());
    const bool announce = secrets.isEmpty();
    secrets.insert(key, secret);
    const bool written = save(secrets);
    if (written && announce) {
        qCWarning(lcSession,
                  "no Secret Service answers; the account password is kept in %s, readable by you alone",
                  qPrintable(QDir::toNativeSeparators(m_path)));
    }
    later(context, [done, written] {
        if (done)
            done(written ? Outcome::done : Outcome::failed);
    });
}

void FileSecretStore::remove(const QString &key, QObject *context, WriteHandler done)
{
    std::optional<QJsonObject> secrets = load();
    Outcome outcome = Outcome::notFound;
    if (!secrets) {
        // Unreadable: whatever it held goes with it.
        outcome = QFile::remove(m_path) ? Outcome::done : Outcome::failed;
    } else if (secrets->contains(key)) {
        secrets->remove(key);
        outcome = save(*secrets) ? Outcome::done : Outcome::failed;
    }
    later(context, [done, outcome] {
        if (done)
            done(outcome);
    });
}

} // namespace Orvex
