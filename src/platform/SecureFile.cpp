#include "SecureFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Orvex {

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

bool writeAll(int fd, const QByteArray &data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += n;
    }
    return true;
}

void syncDirectory(const QString &dir)
{
    const int fd = ::open(encoded(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

bool SecureFile::makePrivateDirectory(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    // Walk down from the first missing ancestor so every folder made here is
    // created 0700 instead of inheriting the umask's 0755.
    QStringList missing;
    QString probe = clean;
    while (!QFileInfo::exists(probe)) {
        missing.prepend(probe);
        const QString parent = QFileInfo(probe).path();
        if (parent == probe)
            break;
        probe = parent;
    }
    for (const QString &dir : std::as_const(missing)) {
        if (::mkdir(encoded(dir).constData(), 0700) != 0 && errno != EEXIST)
            return false;
        ::chmod(encoded(dir).constData(), 0700);
    }
    struct stat st;
    if (::stat(encoded(clean).constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    if ((st.st_mode & 07777) != 0700 && st.st_uid == ::geteuid())
        ::chmod(encoded(clean).constData(), 0700);
    return true;
}

bool SecureFile::writeAtomically(const QString &path, const QByteArray &contents)
{
    const QFileInfo target(path);
    const QString dir = target.absolutePath();
    QString tempPath;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tempPath = dir + QLatin1Char('/') + QLatin1Char('.') + target.fileName() + QLatin1String(".tmp-")
                   + QString::number(QRandomGenerator::global()->generate64(), 36);
        fd = ::open(encoded(tempPath).constData(),
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                    0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;

    // The umask can only remove bits, but an odd one (0277) would leave the
    // owner unable to rewrite the file later: set the mode exactly.
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, contents) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok)
        ok = ::rename(encoded(tempPath).constData(), encoded(target.absoluteFilePath()).constData())
             == 0;
    if (!ok) {
        ::unlink(encoded(tempPath).constData());
        return false;
    }
    syncDirectory(dir);
    return true;
}

std::optional<QByteArray> SecureFile::read(const QString &path, bool *error)
{
    if (error)
        *error = false;
    QFile file(path);
    if (!file.exists())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = true;
        return std::nullopt;
    }
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = true;
        return std::nullopt;
    }
    return data;
}

bool SecureFile::restrictToOwner(const QString &path)
{
    return ::chmod(encoded(path).constData(), 0600) == 0;
}

std::optional<unsigned> SecureFile::mode(const QString &path)
{
    struct stat st;
    if (::stat(encoded(path).constData(), &st) != 0)
        return std::nullopt;
    return unsigned(st.st_mode & 07777);
}

} // namespace Orvex
