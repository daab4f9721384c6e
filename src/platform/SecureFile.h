#pragma once

#include "base/Outcome.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace Orvex {

// Owner-only files for secrets (the session store, private keys). Every file
// written here is mode 0600 and every folder made here 0700, whatever the
// process umask; a write replaces the file atomically, so a crash leaves the
// old or the new contents, never a torn file.
class SecureFile final
{
public:
    // Creates `path` and its missing parents. The last component is set to 0700
    // even when it already exists; parents that had to be made are 0700 as
    // well. A failure, saying why in words for a person, when the folder
    // cannot be made, belongs to another user, or is a symbolic link that
    // another user owns. A link of our own to a folder of our own is used.
    static Outcome<> makePrivateDirectory(const QString &path);

    // Writes `contents` to a new 0600 file beside `path`, flushes it to disk and
    // renames it over `path`. The folder must exist. False (and `path`
    // untouched) on any failure.
    static bool writeAtomically(const QString &path, const QByteArray &contents);

    // Reads the whole file: absent when it does not exist, a failure when it
    // exists but cannot be read.
    static Outcome<std::optional<QByteArray>> read(const QString &path);

    // Sets an existing regular file we own to 0600; false when that fails. A
    // symbolic link under `path` is not followed (and false).
    static bool restrictToOwner(const QString &path);

    // Permission bits (mode & 07777) of the file or folder itself (a link is
    // not followed), or absent.
    static std::optional<unsigned> mode(const QString &path);
};

} // namespace Orvex
