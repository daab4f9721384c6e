#pragma once

#include <string>

namespace OrvexDev {

// Random identifiers, password hashing and comparisons that do not leak timing.
namespace Secrets {

// `bytes` random bytes from the OpenSSL generator, as lower-case hexadecimal.
std::string randomHex(size_t bytes);

// A random password of `length` characters from an alphabet without look-alikes.
std::string randomPassword(size_t length);

// Rounds of PBKDF2-SHA256 for new hashes: current guidance for the default; a
// lower count only where tests create and check many passwords.
constexpr int defaultRounds = 600000;
void setRounds(int rounds);
int rounds();

// "pbkdf2-sha256$<iterations>$<salt, base64>$<hash, base64>" with a fresh salt.
std::string hashPassword(const std::string &password);

// Whether a stored hash was made with fewer rounds than new hashes get, so it
// is worth making again from the password at the next successful sign-in.
bool isWeakerThanCurrent(const std::string &stored);

// Checks `password` against a stored hash of the form above; a malformed hash
// never matches.
bool verifyPassword(const std::string &password, const std::string &stored);

bool equal(const std::string &a, const std::string &b);

} // namespace Secrets

} // namespace OrvexDev
