#include "UserDefaults.h"

#include "platform/Logging.h"
#include "platform/SecureFile.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>

#include <sys/stat.h>
#include <unistd.h>

namespace Orvex {

namespace {

// Long enough for another process to finish one small atomic save; short
// enough that a stuck lock never freezes the interface for long. Without the
// lock the save still happens, it just may race another writer.
constexpr int lockWaitMs = 1000;

// A settings file of the client is a few kilobytes, a certificate included.
constexpr qint64 maxSetAsideSize = qint64(4) * 1024 * 1024;

} // namespace

QString UserDefaults::standardFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QLatin1String("/orvex/orvex.conf");
}

UserDefaults::UserDefaults(const QString &filePath)
    : m_path(QFileInfo(filePath).absoluteFilePath())
{}

std::optional<QString> UserDefaults::string(const QString &key) const
{
    const IniDocument::Value *value = lookup(key);
    if (const QString *text = value ? std::get_if<QString>(value) : nullptr)
        return *text;
    return std::nullopt;
}

std::optional<QByteArray> UserDefaults::data(const QString &key) const
{
    const IniDocument::Value *value = lookup(key);
    if (const QByteArray *bytes = value ? std::get_if<QByteArray>(value) : nullptr)
        return *bytes;
    return std::nullopt;
}

bool UserDefaults::boolean(const QString &key) const
{
    const IniDocument::Value *value = lookup(key);
    if (!value)
        return false;
    if (const bool *flag = std::get_if<bool>(value))
        return *flag;
    if (const QString *text = std::get_if<QString>(value)) {
        const QString t = text->trimmed();
        if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0
            || t.compare(QLatin1String("yes"), Qt::CaseInsensitive) == 0)
            return true;
        bool isNumber = false;
        const qlonglong number = t.toLongLong(&isNumber);
        return isNumber && number != 0;
    }
    return false;
}

bool UserDefaults::contains(const QString &key) const
{
    return lookup(key) != nullptr;
}

void UserDefaults::setString(const QString &key, const QString &value)
{
    write(key, IniDocument::Value(value));
}

void UserDefaults::setData(const QString &key, const QByteArray &value)
{
    write(key, IniDocument::Value(value));
}

void UserDefaults::setBoolean(const QString &key, bool value)
{
    write(key, IniDocument::Value(value));
}

void UserDefaults::remove(const QString &key)
{
    write(key, std::nullopt);
}

const IniDocument::Value *UserDefaults::lookup(const QString &key) const
{
    refresh();
    return m_document.value(key);
}

UserDefaults::FileStamp UserDefaults::stamp() const
{
    struct stat st;
    if (::stat(QFile::encodeName(m_path).constData(), &st) != 0)
        return {};
    return {true, st.st_dev, st.st_ino, st.st_size,
            qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

void UserDefaults::refresh() const
{
    if (!m_isLoaded || stamp() != m_loaded)
        load();
}

void UserDefaults::load() const
{
    m_document = IniDocument();
    const QFileInfo info(m_path);
    using Read = Outcome<std::optional<QByteArray>>;
    // A folder or a device in the file's place cannot be read as settings.
    const Read read = info.exists() && !info.isFile() ? Read::failure(QStringLiteral("not a file"))
                                                      : SecureFile::read(m_path);

    if (!read.isSuccess()) {
        quarantine("it cannot be read");
    } else if (const std::optional<QByteArray> &bytes = read.value()) {
        if (std::optional<IniDocument> document = IniDocument::parse(*bytes)) {
            m_document = std::move(*document);
            // A file left 0644 by an older writer is tightened now rather than
            // at the next save; a link in its place is left alone (the next
            // save replaces it with a file of our own).
            SecureFile::restrictToOwner(m_path);
        } else {
            quarantine("it is damaged");
        }
    }
    m_loaded = stamp();
    m_isLoaded = true;
}

void UserDefaults::quarantine(const char *reason) const
{
    const QString base = m_path + QLatin1String(".corrupt-")
                         + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    QString aside = base;
    for (int n = 2; QFileInfo::exists(aside) || QFileInfo(aside).isSymLink(); ++n)
        aside = base + u'-' + QString::number(n);

    if (QFile::rename(m_path, aside)) {
        if (QFileInfo(aside).isFile())
            SecureFile::restrictToOwner(aside);
        qCWarning(lcApp, "the settings file %s was set aside as %s because %s; starting with empty settings",
                  qPrintable(m_path), qPrintable(aside), reason);
    } else {
        qCWarning(lcApp,
                  "the settings file %s is ignored because %s and could not be set aside; starting with "
                  "empty settings",
                  qPrintable(m_path), reason);
    }
}

QStringList UserDefaults::setAside() const
{
    const QFileInfo info(m_path);
    QStringList paths;
    const QFileInfoList found = QDir(info.absolutePath())
                                    .entryInfoList({info.fileName() + QLatin1String(".corrupt-*")},
                                                   QDir::Files | QDir::Hidden | QDir::System
                                                       | QDir::NoSymLinks);
    for (const QFileInfo &copy : found)
        paths.append(copy.absoluteFilePath());
    return paths;
}

void UserDefaults::scrubSetAside(const QStringList &keys)
{
    refresh();
    for (const QString &path : setAside()) {
        if (QFileInfo(path).size() > maxSetAsideSize) {
            QFile::remove(path);
            continue;
        }
        // A copy that cannot be read cannot be scrubbed either; it is left as it is.
        const std::optional<QByteArray> bytes = SecureFile::read(path).valueOr(std::nullopt);
        if (!bytes)
            continue;
        const QByteArray scrubbed = IniDocument::withoutKeys(*bytes, keys);
        if (scrubbed != *bytes && !SecureFile::writeAtomically(path, scrubbed))
            QFile::remove(path);
    }
}

void UserDefaults::removeSetAside()
{
    for (const QString &path : setAside())
        QFile::remove(path);
}

void UserDefaults::write(const QString &key, const std::optional<IniDocument::Value> &value)
{
    const QString folder = QFileInfo(m_path).absolutePath();
    if (const Outcome<> made = SecureFile::makePrivateDirectory(folder); !made.isSuccess()) {
        // The change stays in memory for this process; said once per store.
        if (!m_refusalReported) {
            m_refusalReported = true;
            qCWarning(lcApp, "settings are not saved: %s", qPrintable(made.error()));
        }
        refresh();
        if (value)
            m_document.setValue(key, *value);
        else
            m_document.remove(key);
        return;
    }

    // QSettings locks the same file, so a QSettings writer elsewhere and this
    // store do not lose each other's changes.
    QLockFile lock(m_path + QLatin1String(".lock"));
    lock.tryLock(lockWaitMs);

    refresh();
    const IniDocument::Value *current = m_document.value(key);
    if (value ? (current && *current == *value) : !current)
        return;
    if (value)
        m_document.setValue(key, *value);
    else
        m_document.remove(key);

    // On failure the change stays in memory for this process and the next
    // save writes it along with its own.
    if (SecureFile::writeAtomically(m_path, m_document.toByteArray()))
        m_loaded = stamp();
}

} // namespace Orvex
