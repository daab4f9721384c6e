#pragma once

#include "base/Outcome.h"

#include <QString>

#include <functional>

namespace Orvex {

// What a Debian package says about itself in its control member. The signature
// covers the package's bytes and so these fields, where the update offer's
// version is only the service's word.
namespace PackageControl {

struct Fields
{
    QString package;
    QString version;
};

// Reads Package and Version from the package at `path` with dpkg-deb, in a
// process of its own that is stopped past a time limit or past a few
// kilobytes of output. Returns at once; `done` runs on this thread, once,
// with the fields or why they could not be read (a sentence for the user).
void read(const QString &path, std::function<void(const Outcome<Fields> &)> done);

// The most a control field read here may be.
constexpr qsizetype maxOutput = qsizetype(16) * 1024;
// How long dpkg-deb may take; it reads only the small control member.
constexpr int timeLimitMs = 30000;

} // namespace PackageControl

} // namespace Orvex
