#pragma once

#include <QString>

// The launcher as a login item: an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/<launcher id>.desktop, that the desktop session
// runs at login.
namespace Orvex::LoginItem {

// The executable the entry starts.
inline constexpr char launcherExecutableName[] = "orvex-launcher";

// Writes the entry (atomically: a reader sees the old file or the complete new
// one) when `enabled`, removes it otherwise. Returns false when the launcher's
// executable cannot be found, `launcherId` is not a plain file name, or the
// file cannot be written or removed; nothing is changed then.
bool setEnabled(const QString &launcherId, bool enabled);

// Whether an entry for `launcherId` exists and the desktop would run it (not
// hidden, not switched off by the user's session settings).
bool isEnabled(const QString &launcherId);

// Where the entry for `launcherId` lives.
QString entryPath(const QString &launcherId);

// The absolute path of the launcher's executable: the one beside the running
// client's binary (in `clientDir`) when there, else the first on PATH; empty
// when neither exists.
QString findLauncher(const QString &clientDir);

} // namespace Orvex::LoginItem
