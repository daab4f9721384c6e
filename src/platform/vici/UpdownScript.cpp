#include "UpdownScript.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace Orvex {

namespace {

bool othersMayWrite(const struct stat &info)
{
    return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

} // namespace

Outcome<> UpdownScript::check(const QString &path)
{
    static const QRegularExpression allowed(
        QRegularExpression::anchoredPattern(u"/[A-Za-z0-9/._+-]{1,4000}"));
    if (!allowed.match(path).hasMatch() || path.split(u'/').contains(QLatin1String("..")))
        return Outcome<>::failure(QStringLiteral("The tunnel script's path may hold only letters, digits and "
                                                 "/ . _ + -, and no \"..\" component."));
    const auto unsafe = [&path](const QString &why) {
        return Outcome<>::failure(
            QStringLiteral("The tunnel script %1 is not safe to run as root: %2.").arg(path, why));
    };
    const auto unusable = [&path](int error) {
        return Outcome<>::failure(QStringLiteral("The tunnel script %1 cannot be used: %2.")
                                      .arg(path, QString::fromLocal8Bit(std::strerror(error))));
    };

    // The path as given must name the file itself: a link could be pointed
    // elsewhere by whoever owns it.
    const QByteArray native = QFile::encodeName(path);
    struct stat info = {};
    if (::lstat(native.constData(), &info) != 0)
        return unusable(errno);
    if (S_ISLNK(info.st_mode))
        return unsafe(QStringLiteral("it is a symbolic link"));
    if (!S_ISREG(info.st_mode))
        return unsafe(QStringLiteral("it is not a regular file"));
    if (info.st_uid != 0)
        return unsafe(QStringLiteral("it is not owned by root"));
    if (othersMayWrite(info))
        return unsafe(QStringLiteral("its group or others may write to it"));

    // Whoever may write to a folder on the way may put another file in its
    // place. Linked folders (/lib to /usr/lib) are judged where they lead.
    char *resolved = ::realpath(native.constData(), nullptr);
    if (!resolved)
        return unusable(errno);
    QString folder = QFile::decodeName(resolved);
    std::free(resolved);
    while (folder != QLatin1String("/")) {
        folder.truncate(qMax(folder.lastIndexOf(u'/'), 1));
        if (::lstat(QFile::encodeName(folder).constData(), &info) != 0)
            return unusable(errno);
        if (info.st_uid != 0)
            return unsafe(QStringLiteral("its folder %1 is not owned by root").arg(folder));
        if (othersMayWrite(info))
            return unsafe(
                QStringLiteral("its folder %1 may be written to by its group or others").arg(folder));
    }
    return Outcome<>::success();
}

} // namespace Orvex
