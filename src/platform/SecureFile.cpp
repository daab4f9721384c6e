#include "SecureFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
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

Outcome<> SecureFile::makePrivateDirectory(const QString &path)
{
    const auto refuse = [](const QString &why) { return Outcome<>::failure(why); };
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    // Walk down from the first missing ancestor so every folder made here is
    // created 0700 instead of inheriting the umask's 0755.
    QStringList missing;
    QString probe = clean;
    struct stat st;
    while (::lstat(encoded(probe).constData(), &st) != 0 && errno == ENOENT) {
        missing.prepend(probe);
        const QString parent = QFileInfo(probe).path();
        if (parent == probe)
            break;
        probe = parent;
    }
    for (const QString &dir : std::as_const(missing)) {
        if (::mkdir(encoded(dir).constData(), 0700) != 0 && errno != EEXIST)
            return refuse(QStringLiteral("the folder %1 cannot be made: %2")
                              .arg(dir, QString::fromLocal8Bit(std::strerror(errno))));
    }

    // A link in place of the folder is taken only when it is our own: anyone
    // else's link could point our secrets (or our chmod) anywhere.
    if (::lstat(encoded(clean).constData(), &st) != 0)
        return refuse(QStringLiteral("the folder %1 cannot be examined").arg(clean));
    if (S_ISLNK(st.st_mode) && st.st_uid != ::geteuid())
        return refuse(QStringLiteral("the folder %1 is a symbolic link owned by another user (uid %2)")
                          .arg(clean)
                          .arg(st.st_uid));

    // The mode is set on what was opened, never on a name that may have been
    // swapped for a link in between.
    const int fd = ::open(encoded(clean).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return refuse(QStringLiteral("%1 is not a folder that can be opened").arg(clean));
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && st.st_uid != ::geteuid()) {
        ::close(fd);
        return refuse(
            QStringLiteral("the folder %1 belongs to another user (uid %2)").arg(clean).arg(st.st_uid));
    }
    if (ok && (st.st_mode & 07777) != 0700)
        ok = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    if (!ok)
        return refuse(QStringLiteral("the folder %1 cannot be made private").arg(clean));
    return Outcome<>::success();
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
        fd = ::open(encoded(tempPath).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
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
        ok = ::rename(encoded(tempPath).constData(), encoded(target.absoluteFilePath()).constData()) == 0;
    if (!ok) {
        ::unlink(encoded(tempPath).constData());
        return false;
    }
    syncDirectory(dir);
    return true;
}

Outcome<std::optional<QByteArray>> SecureFile::read(const QString &path)
{
    using Read = Outcome<std::optional<QByteArray>>;
    QFile file(path);
    if (!file.exists())
        return Read::success(std::nullopt);
    if (!file.open(QIODevice::ReadOnly))
        return Read::failure(QStringLiteral("%1 cannot be opened: %2").arg(path, file.errorString()));
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return Read::failure(QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString()));
    return Read::success(std::move(data));
}

bool SecureFile::restrictToOwner(const QString &path)
{
    // O_NOFOLLOW: a link planted under the name must not pass our chmod on to
    // whatever it points at. O_NONBLOCK keeps a planted FIFO from hanging us.
    const int fd = ::open(encoded(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
    if (ok && (st.st_mode & 07777) != 0600)
        ok = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    return ok;
}

std::optional<unsigned> SecureFile::mode(const QString &path)
{
    struct stat st;
    if (::lstat(encoded(path).constData(), &st) != 0)
        return std::nullopt;
    return unsigned(st.st_mode & 07777);
}

} // namespace Orvex
