#pragma once

#include "base/Outcome.h"

#include <QByteArray>
#include <QString>

namespace Orvex {

// The resolver configuration charon leaves behind when it dies while a tunnel
// is up. Its `resolve` plugin puts each resolver the gateway pushed on a line
// of its own at the top of the file, marked as its own, and takes exactly
// those lines out again when the tunnel goes down; a daemon that never got to
// that point leaves them, and names keep going to a resolver that is only
// reachable through a tunnel that is gone.
class ResolverLeftovers
{
public:
    // `content` without the lines charon added; every other byte as it was.
    static QByteArray withoutTunnelResolvers(const QByteArray &content);

    // Takes charon's lines out of the file at `path`, in place (the same file,
    // so a bind-mounted resolv.conf stays bound). Only for when no tunnel is
    // up: the lines of a live tunnel are its resolvers. Succeeds when nothing
    // was left over or the file was repaired.
    static Outcome<> repair(const QString &path);
};

} // namespace Orvex
