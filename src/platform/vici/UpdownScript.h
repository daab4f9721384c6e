#pragma once

#include "base/Outcome.h"

#include <QString>

namespace Orvex {

// The script charon runs as the tunnel comes up and goes down. charon hands
// its path to a shell and runs it as root, so whoever may change the file, or
// swap it for another one, runs code as root: charon is given a path only
// while root alone can do either.
class UpdownScript
{
public:
    // Succeeds when `path` is absolute and made of letters, digits and
    // `/._+-` (no `..` component), is itself no symbolic link but a regular
    // file owned by root that neither its group nor others may write to, and
    // every folder above it (after symbolic links in them are followed) is
    // owned by root and not writable by group or others. Fails with a
    // sentence naming the file or folder and what is wrong with it.
    static Outcome<> check(const QString &path);
};

} // namespace Orvex
