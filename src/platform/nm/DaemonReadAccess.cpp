#include "DaemonReadAccess.h"

#include "platform/IdentityStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <map>
#include <optional>
#include <utility>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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
constexpr quint16 Read = 4, Write = 2, Search = 1;

using Entries = std::map<std::pair<quint16, quint32>, quint16>;

// Empty when `acl` is not an access list.
std::optional<Entries> parse(const QByteArray &acl)
{
    if (acl.size() < 4 || (acl.size() - 4) % EntrySize != 0
        || qFromLittleEndian<quint32>(acl.constData()) != Version)
        return std::nullopt;
    Entries entries;
    for (qsizetype at = 4; at < acl.size(); at += EntrySize) {
        const char *entry = acl.constData() + at;
        entries[{qFromLittleEndian<quint16>(entry), qFromLittleEndian<quint32>(entry + 4)}]
            = qFromLittleEndian<quint16>(entry + 2);
    }
    return entries;
}

QByteArray serialize(const Entries &entries)
{
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

// Why the daemon cannot be let in, for the main screen; `detail` names the
// file and what went wrong, in the system's words.
Outcome<> refused(const QString &path, const QString &detail)
{
    return Outcome<>::failure(
        QCoreApplication::translate(
            "Orvex::VPNBackend", "NetworkManager's VPN service cannot be allowed to read the VPN key (%1).")
            .arg(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), detail)));
}

Outcome<> refusedFor(const QString &path, int error)
{
    if (error == EOPNOTSUPP)
        return Outcome<>::failure(
            QCoreApplication::translate("Orvex::VPNBackend",
                                        "NetworkManager's VPN service cannot be allowed to read the VPN key: "
                                        "the file system holding %1 does not support access control lists.")
                .arg(QDir::toNativeSeparators(path)));
    return refused(path, QString::fromLocal8Bit(std::strerror(error)));
}

// A file or folder opened without following a link, closed when it goes.
class Node
{
public:
    Node(const QString &path, bool folder)
        : m_fd(::open(QFile::encodeName(path).constData(),
                      O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (folder ? O_DIRECTORY : 0)))
    {
        if (m_fd >= 0 && ::fstat(m_fd, &m_info) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~Node()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Node(const Node &) = delete;
    Node &operator=(const Node &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    const struct stat &info() const { return m_info; }
    // The access list; empty when there is none yet, absent on an error (in errno).
    std::optional<QByteArray> acl() const
    {
        char buffer[4096];
        const ssize_t size = ::fgetxattr(m_fd, AttributeName, buffer, sizeof buffer);
        if (size < 0)
            return errno == ENODATA ? std::optional<QByteArray>(QByteArray()) : std::nullopt;
        return QByteArray(buffer, int(size));
    }
    bool setAcl(const QByteArray &acl) const
    {
        return ::fsetxattr(m_fd, AttributeName, acl.constData(), size_t(acl.size()), 0) == 0;
    }

private:
    int m_fd = -1;
    struct stat m_info = {};
};

Outcome<> openKeyFile(const QString &path, uint owner)
{
    const Node file(path, false);
    if (!file.isOpen())
        return refusedFor(path, errno);
    if (!S_ISREG(file.info().st_mode) || file.info().st_uid != owner)
        return refused(path, QStringLiteral("not a file of this user"));
    const std::optional<QByteArray> before = file.acl();
    if (!before)
        return refusedFor(path, errno);
    const QByteArray acl = DaemonReadAccess::withRootEntry(*before, file.info().st_mode & 07777, Read);
    if (acl.isEmpty())
        return refused(path, QStringLiteral("unreadable access list"));
    if (!file.setAcl(acl))
        return refusedFor(path, errno);
    // What the file system made of it is what counts.
    const std::optional<QByteArray> after = file.acl();
    if (!after || !DaemonReadAccess::onlyOwnerAndRootRead(*after))
        return refused(path, QStringLiteral("the access list did not come out as written"));
    return Outcome<>::success();
}

// Without an access list, root is let in already when it is neither the
// owner nor in the folder's group and everybody may search it.
bool searchableByRoot(const struct stat &info)
{
    return (info.st_mode & S_IXOTH) && info.st_gid != 0;
}

Outcome<> openFolder(const Node &folder, const QString &path)
{
    const std::optional<QByteArray> before = folder.acl();
    const int error = errno;
    if ((before ? before->isEmpty() : error == EOPNOTSUPP) && searchableByRoot(folder.info()))
        return Outcome<>::success();
    if (!before)
        return refusedFor(path, error);
    const QByteArray acl = DaemonReadAccess::withRootEntry(*before, folder.info().st_mode & 07777, Search);
    if (acl.isEmpty())
        return refused(path, QStringLiteral("unreadable access list"));
    if (acl != *before && !folder.setAcl(acl))
        return refusedFor(path, errno);
    return Outcome<>::success();
}

} // namespace

QByteArray DaemonReadAccess::withRootEntry(const QByteArray &acl, unsigned mode, unsigned permissions)
{
    Entries entries;
    if (acl.isEmpty()) {
        entries[{UserObj, NoId}] = (mode >> 6) & 7;
        entries[{GroupObj, NoId}] = (mode >> 3) & 7;
        entries[{Other, NoId}] = mode & 7;
    } else if (const std::optional<Entries> parsed = parse(acl)) {
        entries = *parsed;
    } else {
        return {};
    }

    if (permissions & Read) {
        // A key file: the owner and root, nobody else, whatever was there.
        return serialize({{{UserObj, NoId}, Read | Write},
                          {{User, 0}, Read},
                          {{GroupObj, NoId}, 0},
                          {{Mask, NoId}, Read},
                          {{Other, NoId}, 0}});
    }

    // A folder: the mask bounds every named entry and the owning group. It
    // keeps what it let through and gains root's permissions; an entry that
    // held those but was masked off loses them, so it gains nothing.
    const auto oldMask = entries.find({Mask, NoId});
    const quint16 mask = oldMask != entries.end() ? oldMask->second : entries[{GroupObj, NoId}];
    const quint16 added = quint16(permissions) & ~mask;
    for (auto &[key, granted] : entries) {
        const bool bounded = key.first == User || key.first == Group || key.first == GroupObj;
        if (bounded && key != std::pair<quint16, quint32>{User, 0})
            granted &= ~added;
    }
    entries[{User, 0}] |= quint16(permissions);
    entries[{Mask, NoId}] = mask | quint16(permissions);
    return serialize(entries);
}

bool DaemonReadAccess::onlyOwnerAndRootRead(const QByteArray &acl)
{
    const std::optional<Entries> entries = parse(acl);
    if (!entries)
        return false;
    const auto mask = entries->find({Mask, NoId});
    const quint16 bound = mask != entries->end() ? mask->second : 7;
    bool rootReads = false;
    for (const auto &[key, granted] : *entries) {
        if (key.first == Mask)
            continue;
        const bool reads = (key.first == Other || key.first == UserObj ? granted : granted & bound) & Read;
        if (key == std::pair<quint16, quint32>{User, 0})
            rootReads = reads;
        else if (reads && key.first != UserObj)
            return false;
    }
    return rootReads;
}

Outcome<> DaemonReadAccess::grant(const QStringList &files)
{
    if (::geteuid() == 0)
        return Outcome<>::success();
    return grantFor(files, QDir::homePath(), ::geteuid());
}

Outcome<> DaemonReadAccess::grantFor(const QStringList &files, const QString &top, uint owner)
{
    // Every path as the kernel walks it: a link in the way would otherwise
    // leave the folders it leads through closed to root.
    const QString end = QFileInfo(top).canonicalFilePath();
    for (const QString &given : files) {
        const QString file = QFileInfo(given).canonicalFilePath();
        if (file.isEmpty())
            return refusedFor(given, ENOENT);
        if (Outcome<> opened = openKeyFile(file, owner); !opened.isSuccess())
            return opened;
        // Each folder of the user's own above it, up to `top`.
        for (QString folder = QFileInfo(file).absolutePath();; folder = QFileInfo(folder).absolutePath()) {
            const Node node(folder, true);
            if (!node.isOpen())
                return refusedFor(folder, errno);
            if (node.info().st_uid != owner)
                break;
            if (Outcome<> opened = openFolder(node, folder); !opened.isSuccess())
                return opened;
            if (folder == end || folder == QDir::rootPath())
                break;
        }
    }
    return Outcome<>::success();
}

Outcome<> DaemonReadAccess::share(IdentityStore &store, const QByteArray &reference,
                                  const QString &application)
{
    const std::optional<IdentityStore::Material> material = store.resolve(reference);
    if (!material)
        return refusedFor(QString::fromLatin1(reference.toHex()), ENOENT);
    if (Outcome<> granted = grant({material->certificatePath, material->privateKeyPath}); !granted.isSuccess())
        return granted;
    if (!store.grantAccess(reference, application))
        return refused(QFileInfo(material->privateKeyPath).absolutePath(),
                       QStringLiteral("its access list cannot be written"));
    return Outcome<>::success();
}

} // namespace Orvex
