#pragma once

#include <QStringView>

#include <optional>

namespace Orvex {

// Package versions ordered the way the system's package manager orders them,
// so the client never offers what the installer would call a downgrade:
// [epoch:]upstream[-revision], digits compared as numbers, letters before other
// characters, and "~" before everything, even the end (1.0.1~rc1 < 1.0.1).
namespace DebianVersion {

// Whether `text` is a version the package manager accepts.
bool isValid(QStringView text);

// Negative, zero or positive as `a` is older than, equal to or newer than `b`;
// absent when either is not a valid version.
std::optional<int> compare(QStringView a, QStringView b);

} // namespace DebianVersion

} // namespace Orvex
