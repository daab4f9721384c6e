#pragma once

#include <string>

namespace OrvexDev {

// Random identifiers, password hashing and comparisons that do not leak timing.
namespace Secrets {

// `bytes` random bytes from the OpenSSL generator, as lower-case hexadecimal.
std::string randomHex(size_t bytes);

// A random password of `length` characters from an alphabet without look-alikes.
std::string randomPassword(size_t length);

// "pbkdf2-sha256$<iterations>$<salt, base64>$<hash, base64>" with a fresh salt.
std::string hashPassword(const std::string &password);

// Checks `password` against a stored hash of the form above; a malformed hash
// never matches.
bool verifyPassword(const std::string &password, const std::string &stored);

bool equal(const std::string &a, const std::string &b);

} // namespace Secrets

} // namespace OrvexDev
