#pragma once

#include <QStringList>

#include <optional>

namespace Orvex::CommandLine {

// Reads the client's arguments before anything else is built: no display, no
// configuration and no session bus are needed to answer --version or --help.
// Prints what was asked for (help and version on stdout, a one-line error on
// stderr) and answers the exit status when the process should end now;
// answers nothing when the client should start.
//
// `arguments` include the program name first, as QCoreApplication::arguments().
// What they ask of a client that starts goes to `choices`.
struct Choices
{
    // Every orvex log category on, on stderr (see platform/Logging.h).
    bool verbose = false;
};
std::optional<int> handle(const QStringList &arguments, Choices *choices = nullptr);

// After handle(): the client was asked to start in the tray, without its
// window (--tray; D-Bus activation starts it so).
bool startsInTray(const QStringList &arguments);

// The arguments of main() as text, for handle().
QStringList fromArgv(int argc, char *argv[]);

} // namespace Orvex::CommandLine
