#include "DaemonReadAccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <map>
#include <utility>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace Orvex {

namespace {

// The kernel's format of `system.posix_acl_access`: a version, then entries
// of (tag, permissions, id), little-endian, sorted by tag and id.
constexpr char AttributeName[] = "system.posix_acl_access";
constexpr quint32 Version = 2;
constexpr quint16 UserObj = 0x01, User = 0x02, GroupObj = 0x04, Group = 0x08, Mask = 0x10, Other = 0x20;
constexpr quint32 NoId = 0xffffffffu;
constexpr int EntrySize = 8;

Outcome<> grantOne(const QString &path, unsigned permissions)
{
    const auto fail = [&path](const QString &why) {
        return Outcome<>::failure(QStringLiteral("%1: %2").arg(path, why));
    };
    const auto lastError = [] { return QString::fromLocal8Bit(std::strerror(errno)); };
    const QByteArray native = QFile::encodeName(path);
    struct stat info
    {};
    if (::stat(native.constData(), &info) != 0)
        return fail(lastError());
    if ((info.st_mode & permissions) == permissions)
        return Outcome<>::success(); // open to everybody already
    char buffer[4096];
    const ssize_t size = ::getxattr(native.constData(), AttributeName, buffer, sizeof buffer);
    if (size < 0 && errno != ENODATA)
        return fail(lastError());
    const QByteArray acl = DaemonReadAccess::withRootEntry(size > 0 ? QByteArray(buffer, int(size))
                                                                    : QByteArray(),
                                                           info.st_mode & 07777, permissions);
    if (acl.isEmpty())
        return fail(QStringLiteral("unreadable access list"));
    if (::setxattr(native.constData(), AttributeName, acl.constData(), size_t(acl.size()), 0) != 0)
        return fail(lastError());
    return Outcome<>::success();
}

} // namespace

QByteArray DaemonReadAccess::withRootEntry(const QByteArray &acl, unsigned mode, unsigned permissions)
{
    std::map<std::pair<quint16, quint32>, quint16> entries;
    if (acl.isEmpty()) {
        entries[{UserObj, NoId}] = (mode >> 6) & 7;
        entries[{GroupObj, NoId}] = (mode >> 3) & 7;
        entries[{Other, NoId}] = mode & 7;
    } else {
        if (acl.size() < 4 || (acl.size() - 4) % EntrySize != 0
            || qFromLittleEndian<quint32>(acl.constData()) != Version)
            return {};
        for (qsizetype at = 4; at < acl.size(); at += EntrySize) {
            const char *entry = acl.constData() + at;
            entries[{qFromLittleEndian<quint16>(entry), qFromLittleEndian<quint32>(entry + 4)}]
                = qFromLittleEndian<quint16>(entry + 2);
        }
    }
    entries[{User, 0}] |= quint16(permissions);
    // The mask bounds every named entry and the owning group: it lets through
    // what they are given, no more.
    quint16 mask = 0;
    for (const auto &[key, granted] : entries) {
        if (key.first == User || key.first == Group || key.first == GroupObj)
            mask |= granted;
    }
    entries[{Mask, NoId}] = mask;

    QByteArray bytes(4 + EntrySize * qsizetype(entries.size()), '\0');
    qToLittleEndian<quint32>(Version, bytes.data());
    char *out = bytes.data() + 4;
    for (const auto &[key, granted] : entries) {
        qToLittleEndian<quint16>(key.first, out);
        qToLittleEndian<quint16>(granted, out + 2);
        qToLittleEndian<quint32>(key.second, out + 4);
        out += EntrySize;
    }
    return bytes;
}

Outcome<> DaemonReadAccess::grant(const QStringList &files)
{
    if (::geteuid() == 0)
        return Outcome<>::success();
    const QString home = QDir::cleanPath(QDir::homePath());
    for (const QString &file : files) {
        if (Outcome<> granted = grantOne(file, 4); !granted.isSuccess())
            return granted;
        // Each folder of the user's own above it, up to the home folder.
        QString folder = QFileInfo(file).absolutePath();
        while ((folder == home || folder.startsWith(home + u'/'))
               && QFileInfo(folder).ownerId() == ::geteuid()) {
            if (Outcome<> granted = grantOne(folder, 1); !granted.isSuccess())
                return granted;
            if (folder == home)
                break;
            folder = QFileInfo(folder).absolutePath();
        }
    }
    return Outcome<>::success();
}

} // namespace Orvex
