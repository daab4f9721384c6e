#pragma once

#include <optional>
#include <string>
#include <vector>

namespace OrvexDev::UpdateCatalog {

// "1.2.7" → {1, 2, 7}. One to four dot-separated decimal numbers, nothing else.
std::optional<std::vector<long>> parseVersion(const std::string &text);

// Negative, zero or positive as a is older than, the same as or newer than b;
// missing trailing numbers count as 0 (1.2 == 1.2.0).
int compare(const std::vector<long> &a, const std::vector<long> &b);

// The package file offered for an operating system ("linux" or "mac"); empty
// for any other.
std::string packageName(const std::string &version, const std::string &os);

// The bytes served for a package: an ar archive shaped like a Debian package
// (debian-binary first) with a note that it is the development stand-in. It
// is something to download and hand on, not something to install.
std::string packageBytes(const std::string &version);

// The detached signature of `data` under the private key `keyPem`: Ed25519 over
// the bytes, or RSA-PSS (SHA-256, salt as long as the digest) for an RSA key.
// Absent, with `error` set, when the key is neither or cannot be read.
std::optional<std::string> sign(const std::string &keyPem, const std::string &data,
                                std::string *error = nullptr);

} // namespace OrvexDev::UpdateCatalog
