#pragma once

#include "platform/Outcome.h"

#include <QString>
#include <QStringList>

namespace Orvex {

// NetworkManager's strongSwan service (charon-nm) runs as root but keeps no
// capability that lets it read other users' files: a key in a user's private
// store (a 0700 folder, 0600 files) is closed to it like to anybody else, and
// the tunnel fails for want of "secrets". So the user lets root alone in,
// with POSIX ACL entries: read on the files, search (not listing) on each
// folder above them that the user owns, up to the home folder. Other users'
// access stays as it was.
class DaemonReadAccess
{
public:
    // Grants it; succeeds when the daemon can now read every file. A process
    // run by root needs nothing (its files are root's own).
    static Outcome<> grant(const QStringList &files);

    // The named-user ACL entry for uid 0 gets `permissions` (4 read, 1
    // search) in the access ACL `acl` (the extended attribute's bytes; empty:
    // none yet, made from `mode`). Empty when `acl` cannot be read.
    static QByteArray withRootEntry(const QByteArray &acl, unsigned mode, unsigned permissions);
};

} // namespace Orvex
