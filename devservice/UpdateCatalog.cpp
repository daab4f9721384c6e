#include "UpdateCatalog.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <charconv>
#include <cstdio>

namespace OrvexDev::UpdateCatalog {

std::optional<std::vector<long>> parseVersion(const std::string &text)
{
    std::vector<long> parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find('.', start);
        const std::string part = text.substr(start, end == std::string::npos ? end : end - start);
        if (part.empty() || part.size() > 9)
            return std::nullopt;
        long value = 0;
        const auto result = std::from_chars(part.data(), part.data() + part.size(), value);
        if (result.ec != std::errc() || result.ptr != part.data() + part.size() || value < 0)
            return std::nullopt;
        parts.push_back(value);
        if (parts.size() > 4)
            return std::nullopt;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return parts;
}

int compare(const std::vector<long> &a, const std::vector<long> &b)
{
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const long x = i < a.size() ? a[i] : 0;
        const long y = i < b.size() ? b[i] : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

std::string packageName(const std::string &version, const std::string &os)
{
    if (os == "linux")
        return "orvex-" + version + ".deb";
    if (os == "mac")
        return "orvex-" + version + ".pkg";
    return {};
}

namespace {

void addMember(std::string &archive, const std::string &name, const std::string &data)
{
    char header[61];
    std::snprintf(header, sizeof header, "%-16s%-12s%-6s%-6s%-8s%-10zu`\n", name.c_str(), "0", "0", "0",
                  "100644", data.size());
    archive.append(header, 60);
    archive += data;
    if (data.size() % 2)
        archive += '\n';
}

} // namespace

std::string packageBytes(const std::string &version)
{
    std::string archive = "!<arch>\n";
    addMember(archive, "debian-binary", "2.0\n");
    addMember(archive, "README",
              "Orvex " + version
                  + " as offered by orvex-devservice: a stand-in for the real package, served"
                    " so the update download can be exercised end to end.\n");
    return archive;
}

std::optional<std::string> sign(const std::string &keyPem, const std::string &data, std::string *error)
{
    auto fail = [error](const char *why) -> std::optional<std::string> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    BIO *bio = BIO_new_mem_buf(keyPem.data(), int(keyPem.size()));
    EVP_PKEY *key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    if (!key)
        return fail("the update signing key is not a PEM private key");
    const int type = EVP_PKEY_get_base_id(key);
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    std::string signature;
    bool ok = false;
    if (type == EVP_PKEY_ED25519) {
        size_t length = 0;
        const auto *bytes = reinterpret_cast<const unsigned char *>(data.data());
        ok = context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1
             && EVP_DigestSign(context, nullptr, &length, bytes, data.size()) == 1;
        if (ok) {
            signature.resize(length);
            ok = EVP_DigestSign(context, reinterpret_cast<unsigned char *>(signature.data()), &length, bytes,
                                data.size())
                 == 1;
            signature.resize(length);
        }
    } else if (type == EVP_PKEY_RSA) {
        EVP_PKEY_CTX *keyContext = nullptr;
        size_t length = 0;
        ok = context && EVP_DigestSignInit(context, &keyContext, EVP_sha256(), nullptr, key) == 1
             && EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) == 1
             && EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, RSA_PSS_SALTLEN_DIGEST) == 1
             && EVP_DigestSignUpdate(context, data.data(), data.size()) == 1
             && EVP_DigestSignFinal(context, nullptr, &length) == 1;
        if (ok) {
            signature.resize(length);
            ok = EVP_DigestSignFinal(context, reinterpret_cast<unsigned char *>(signature.data()), &length)
                 == 1;
            signature.resize(length);
        }
    }
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    if (type != EVP_PKEY_ED25519 && type != EVP_PKEY_RSA)
        return fail("the update signing key is neither Ed25519 nor RSA");
    if (!ok)
        return fail("signing the package failed");
    return signature;
}

} // namespace OrvexDev::UpdateCatalog
