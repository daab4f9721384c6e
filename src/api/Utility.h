#pragma once

#include <QString>

#include <optional>

namespace Orvex::Utility {

// The machine's platform identifier, exactly as the system reports it.
std::optional<QString> platformUUID();

// Lower-case hexadecimal MD5 of the text's UTF-8 bytes.
QString md5Hex(const QString &text);

// The machine udid for an account: md5Hex(platform UUID + "@" + email), or the
// empty text when the platform identifier cannot be read. Computed anew on
// every call.
QString udid(const QString &email);

// "<short version>.<build number>", e.g. "1.0.1"; sent to the update check and
// shown on the information screen.
QString applicationVersion();

// The running system's version as three numbers, e.g. "6.1.0".
QString systemVersion();

} // namespace Orvex::Utility
