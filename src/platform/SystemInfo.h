#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace Orvex::SystemInfo {

// The machine's stable identifier (/etc/machine-id, the line terminator not
// part of it); absent when it cannot be read.
std::optional<QString> machineId();

// The computer's user-visible name: the pretty host name when one is set, else
// the host name; empty when the system reports none.
QString computerName();

// The running kernel's version as three decimal numbers, e.g. "6.1.0".
QString kernelVersion();

// Parses the leading "major.minor.patch" of a kernel release text; missing
// numbers are 0 (so "6.1-rc2" gives "6.1.0").
QString threePartVersion(const QString &release);

// Test seams: replace a source for the rest of the process (empty function
// restores the real one).
void setMachineIdSourceForTesting(std::function<std::optional<QString>()> source);
void setComputerNameSourceForTesting(std::function<QString()> source);

} // namespace Orvex::SystemInfo
