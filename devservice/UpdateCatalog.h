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

// The bytes served for a package: a Debian package of "orvex" at `version`
// whose control fields say it is the development stand-in and whose data is
// empty. It is something to download and hand on, not something to install.
std::string packageBytes(const std::string &version);

// The shortest RSA signing key used, as the client requires.
constexpr int minRsaKeyBits = 3072;

// The detached signature of `data` under the private key `keyPem`: Ed25519 over
// the bytes, or RSA-PSS (SHA-256, salt as long as the digest) for an RSA key of
// at least minRsaKeyBits. Absent, with `error` set, when the key is neither,
// too short or cannot be read.
std::optional<std::string> sign(const std::string &keyPem, const std::string &data,
                                std::string *error = nullptr);

} // namespace OrvexDev::UpdateCatalog
