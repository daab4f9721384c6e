#pragma once

#include <optional>
#include <string>

#include <sys/types.h>

namespace OrvexDev::Files {

std::optional<std::string> read(const std::string &path);

// Writes through a temporary file in the same folder and renames it into place,
// so readers see the old or the new content, never half of it. The file is
// created with `mode` from the start (a key is never readable by others, not
// even for a moment).
bool writeAtomically(const std::string &path, const std::string &content, mode_t mode, std::string *error);

bool exists(const std::string &path);

// Creates `dir` (and its parents) with mode 0700 when missing, and makes it
// 0700 when it exists. Refuses a folder that is another user's or another
// user's link, and a way to it that others could change: a folder or link of
// another user (root aside) or a folder others may write to without the
// sticky bit.
bool makeDirectory(const std::string &dir, std::string *error);

} // namespace OrvexDev::Files
