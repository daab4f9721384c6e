#include "HeldKeys.h"

#include "platform/Logging.h"
#include "platform/SecureFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Orvex {

namespace {

// The first 4 KB of the file: a regular file, not through a link, and
// nothing that could block (a FIFO) or take long to read.
QByteArray readHead(const QString &path)
{
    if (path.isEmpty())
        return {};
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray bytes(4096, '\0');
    struct stat info = {};
    const ssize_t got = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
                            ? ::read(fd, bytes.data(), bytes.size())
                            : -1;
    ::close(fd);
    bytes.resize(qMax<ssize_t>(got, 0));
    return bytes;
}

} // namespace

HeldKeys::HeldKeys(const QString &file)
    : m_file(file)
{
    // Only what can be a key id of ours is taken from the file: at most a
    // few lines of 40 hex digits.
    static const QRegularExpression keyId(QRegularExpression::anchoredPattern(u"[0-9a-f]{40}"));
    for (const QByteArray &line : readHead(m_file).split('\n')) {
        if (m_ids.size() < 16 && keyId.match(QString::fromLatin1(line)).hasMatch() && !m_ids.contains(line))
            m_ids << line;
    }
}

void HeldKeys::add(const QByteArray &id)
{
    if (id.isEmpty() || m_ids.contains(id))
        return;
    m_ids << id;
    write();
}

void HeldKeys::remove(const QByteArray &id)
{
    if (m_ids.removeAll(id) > 0)
        write();
}

void HeldKeys::write() const
{
    if (m_file.isEmpty())
        return;
    if (m_ids.isEmpty()) {
        QFile::remove(m_file);
        return;
    }
    QByteArray lines;
    for (const QByteArray &id : m_ids)
        lines += id + '\n';
    if (!SecureFile::makePrivateDirectory(QFileInfo(m_file).absolutePath()).isSuccess()
        || !SecureFile::writeAtomically(m_file, lines))
        qCWarning(lcVici, "the ids of the keys given to charon cannot be kept in %s", qPrintable(m_file));
}

} // namespace Orvex
