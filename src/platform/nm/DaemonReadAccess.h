#pragma once

#include "base/Outcome.h"

#include <QString>
#include <QStringList>

namespace Orvex {

class IdentityStore;

// NetworkManager's strongSwan service (charon-nm) runs as root but keeps no
// capability that lets it read other users' files: a key in a user's private
// store (a 0700 folder, 0600 files) is closed to it like to anybody else, and
// the tunnel fails for want of "secrets". So the user lets root alone in,
// with POSIX ACL entries: read on the files, search (not listing) on each
// folder above them that the user owns, up to the home folder.
//
// Nobody else may gain anything on the way. The files get exactly "owner
// read-write, root read", whatever they held before: entries a default ACL
// of the folder planted, or named entries the user switched off with chmod,
// would otherwise come alive again under a new mask. The folders keep their
// mask, widened by search alone, with search taken from every other entry the
// old mask held it back from. What the files end up with is read back, and
// anything but the owner and root able to read them is a failure.
class DaemonReadAccess
{
public:
    // Grants it; succeeds when the daemon can now read every file, else fails
    // with a sentence for the main screen. A process run by root needs
    // nothing (its files are root's own).
    static Outcome<> grant(const QStringList &files);
    // The same for files of the user `owner`, whoever runs it: symbolic links
    // resolved first, then every folder of `owner` from the files' own up to
    // `top`.
    static Outcome<> grantFor(const QStringList &files, const QString &top, uint owner);

    // Opens the identity's files to the daemon, and only then names
    // `application` in its access list, which makes the key count as shared.
    // On a failure the list stays as it was.
    static Outcome<> share(IdentityStore &store, const QByteArray &reference, const QString &application);

    // The access ACL (the extended attribute's bytes) that gives root
    // `permissions`: 4 (read) on a key file, that file's exact list; 1
    // (search) on a folder, `acl` (empty: none yet, made from `mode`) with
    // root's search added. Empty when `acl` cannot be read.
    static QByteArray withRootEntry(const QByteArray &acl, unsigned mode, unsigned permissions);

    // Whether, under the access ACL `acl`, root and the owner may read and
    // nobody else may. False for a list that cannot be read.
    static bool onlyOwnerAndRootRead(const QByteArray &acl);
};

} // namespace Orvex
