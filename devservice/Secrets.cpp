#include "Secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <charconv>
#include <stdexcept>
#include <vector>

namespace OrvexDev::Secrets {

namespace {

// PBKDF2-HMAC-SHA256. The count is stored with each hash, so raising it later
// keeps old hashes readable (and they are rehashed at the next sign-in).
std::atomic<int> iterations{defaultRounds};
constexpr size_t saltBytes = 16;
constexpr size_t hashBytes = 32;

std::vector<unsigned char> randomBytes(size_t count)
{
    std::vector<unsigned char> bytes(count);
    if (RAND_bytes(bytes.data(), int(bytes.size())) != 1)
        throw std::runtime_error("the random generator failed");
    return bytes;
}

std::string base64(const unsigned char *data, size_t size)
{
    std::string out(4 * ((size + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), data, int(size));
    out.resize(size_t(n));
    return out;
}

bool unbase64(const std::string &text, std::vector<unsigned char> *out)
{
    if (text.empty() || text.size() % 4 != 0)
        return false;
    out->assign(text.size() / 4 * 3 + 1, 0);
    const int n = EVP_DecodeBlock(out->data(), reinterpret_cast<const unsigned char *>(text.data()),
                                  int(text.size()));
    if (n < 0)
        return false;
    size_t size = size_t(n);
    // EVP_DecodeBlock counts the padding as decoded zero bytes.
    if (text.size() >= 1 && text[text.size() - 1] == '=')
        --size;
    if (text.size() >= 2 && text[text.size() - 2] == '=')
        --size;
    out->resize(size);
    return true;
}

bool derive(const std::string &password, const std::vector<unsigned char> &salt, int rounds,
            std::vector<unsigned char> *hash)
{
    return PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), salt.data(), int(salt.size()), rounds,
                             EVP_sha256(), int(hash->size()), hash->data())
           == 1;
}

} // namespace

std::string randomHex(size_t bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : randomBytes(bytes)) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
    return out;
}

std::string randomPassword(size_t length)
{
    static const std::string alphabet = "abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string out;
    while (out.size() < length) {
        for (unsigned char b : randomBytes(length)) {
            // Reject the top of the range so every character is equally likely.
            if (b < 256 - 256 % alphabet.size() && out.size() < length)
                out.push_back(alphabet[b % alphabet.size()]);
        }
    }
    return out;
}

void setRounds(int rounds)
{
    iterations = rounds;
}

int rounds()
{
    return iterations;
}

std::string hashPassword(const std::string &password)
{
    const int count = iterations;
    const std::vector<unsigned char> salt = randomBytes(saltBytes);
    std::vector<unsigned char> hash(hashBytes);
    if (!derive(password, salt, count, &hash))
        throw std::runtime_error("cannot hash the password");
    return "pbkdf2-sha256$" + std::to_string(count) + "$" + base64(salt.data(), salt.size()) + "$"
           + base64(hash.data(), hash.size());
}

bool isWeakerThanCurrent(const std::string &stored)
{
    const std::string prefix = "pbkdf2-sha256$";
    if (stored.compare(0, prefix.size(), prefix) != 0)
        return true;
    const size_t roundsEnd = stored.find('$', prefix.size());
    if (roundsEnd == std::string::npos)
        return true;
    int count = 0;
    const char *first = stored.data() + prefix.size();
    const char *last = stored.data() + roundsEnd;
    const auto parsed = std::from_chars(first, last, count);
    return parsed.ec != std::errc() || parsed.ptr != last || count < iterations;
}

bool verifyPassword(const std::string &password, const std::string &stored)
{
    const std::string prefix = "pbkdf2-sha256$";
    if (stored.compare(0, prefix.size(), prefix) != 0)
        return false;
    const size_t roundsEnd = stored.find('$', prefix.size());
    const size_t saltEnd = roundsEnd == std::string::npos ? roundsEnd : stored.find('$', roundsEnd + 1);
    if (saltEnd == std::string::npos)
        return false;
    int rounds = 0;
    const char *first = stored.data() + prefix.size();
    const char *last = stored.data() + roundsEnd;
    const auto parsed = std::from_chars(first, last, rounds);
    if (parsed.ec != std::errc() || parsed.ptr != last || rounds < 1 || rounds > 10000000)
        return false;
    std::vector<unsigned char> salt;
    std::vector<unsigned char> expected;
    if (!unbase64(stored.substr(roundsEnd + 1, saltEnd - roundsEnd - 1), &salt)
        || !unbase64(stored.substr(saltEnd + 1), &expected) || expected.empty())
        return false;
    std::vector<unsigned char> actual(expected.size());
    if (!derive(password, salt, rounds, &actual))
        return false;
    return CRYPTO_memcmp(actual.data(), expected.data(), expected.size()) == 0;
}

bool equal(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace OrvexDev::Secrets
