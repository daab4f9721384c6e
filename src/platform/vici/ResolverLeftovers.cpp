#include "ResolverLeftovers.h"

#include <QFile>

#include <sys/file.h>

namespace Orvex {

namespace {

// How charon's resolve plugin marks its lines: "nameserver ADDRESS   # by strongSwan".
constexpr char Marker[] = "   # by strongSwan";
// A resolv.conf is a few lines; anything much larger is not one.
constexpr qint64 MaximumSize = 1 << 20;

bool isTunnelResolver(const QByteArray &line)
{
    if (!line.startsWith("nameserver "))
        return false;
    QByteArray body = line;
    if (body.endsWith('\n'))
        body.chop(1);
    if (!body.endsWith(Marker))
        return false;
    const QByteArray address = body.mid(11, body.size() - 11 - int(sizeof(Marker) - 1));
    return !address.isEmpty() && !address.contains(' ') && !address.contains('\t');
}

} // namespace

QByteArray ResolverLeftovers::withoutTunnelResolvers(const QByteArray &content)
{
    QByteArray kept;
    kept.reserve(content.size());
    qsizetype start = 0;
    while (start < content.size()) {
        qsizetype end = content.indexOf('\n', start);
        end = end < 0 ? content.size() : end + 1;
        const QByteArray line = content.mid(start, end - start);
        if (!isTunnelResolver(line))
            kept += line;
        start = end;
    }
    return kept;
}

Outcome<> ResolverLeftovers::repair(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return Outcome<>::success();
    if (!file.open(QIODevice::ReadWrite))
        return Outcome<>::failure(file.errorString());
    // Other tools that rewrite it in place take the same lock.
    if (::flock(file.handle(), LOCK_EX) != 0)
        return Outcome<>::failure(QStringLiteral("%1 cannot be locked").arg(path));
    if (file.size() > MaximumSize)
        return Outcome<>::failure(QStringLiteral("%1 is too large to be a resolver configuration").arg(path));
    const QByteArray content = file.read(MaximumSize + 1);
    const QByteArray repaired = withoutTunnelResolvers(content);
    if (repaired == content)
        return Outcome<>::success();
    // Rewritten in place rather than replaced: another file put in its stead
    // would not be the one a bind mount shows. The new bytes are written
    // before the rest is cut off, so a failure never leaves the file empty.
    if (!file.seek(0) || file.write(repaired) != repaired.size() || !file.flush()
        || !file.resize(repaired.size()))
        return Outcome<>::failure(file.errorString());
    return Outcome<>::success();
}

} // namespace Orvex
