#pragma once

#include <QString>

namespace Orvex {

// Tells whether the previous run of the client ended the orderly way. A run
// marks itself at start and removes the mark when its quit path has run; a
// mark that is still there at the next start was left by a client that was
// killed (SIGKILL, a crash, power loss), which may have left behind what only
// the quit path takes away: a tunnel up with nobody watching it, resolver
// settings it applied.
class RunMarker final
{
public:
    // Beside the saved tunnel configuration.
    static QString defaultPath();

    explicit RunMarker(const QString &path = defaultPath());

    // Marks this run. True when a mark of an earlier run was found whose
    // process is gone (a live one is another client of this user, elsewhere,
    // and is left alone).
    bool begin();
    // The quit path has run: nothing is left to clear.
    void end();

    QString path() const { return m_path; }

private:
    QString m_path;
};

} // namespace Orvex
