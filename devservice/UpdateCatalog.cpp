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

// One entry of a POSIX ustar archive: a 512-byte header, then the data padded
// to whole blocks. Owner root, time 0, so the same input gives the same bytes
// (the signature served beside a package is made afresh for every request).
void addTarEntry(std::string &tar, const std::string &name, char type, const std::string &data)
{
    char header[512] = {};
    auto put = [&header](size_t offset, size_t width, const std::string &text) {
        text.copy(header + offset, std::min(width, text.size()));
    };
    auto octal = [&put](size_t offset, size_t width, size_t value) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "%0*zo", int(width - 1), value);
        put(offset, width - 1, digits);
    };
    put(0, 100, name);
    octal(100, 8, type == '5' ? 0755 : 0644);
    octal(108, 8, 0);
    octal(116, 8, 0);
    octal(124, 12, data.size());
    octal(136, 12, 0);
    header[156] = type;
    put(257, 6, std::string("ustar", 6));
    put(263, 2, "00");
    put(265, 32, "root");
    put(297, 32, "root");
    // The checksum is taken with its own field as spaces.
    std::fill(header + 148, header + 156, ' ');
    size_t sum = 0;
    for (const char c : header)
        sum += static_cast<unsigned char>(c);
    std::snprintf(header + 148, 8, "%06zo", sum);
    header[155] = ' ';
    tar.append(header, sizeof header);
    tar += data;
    tar.append((512 - data.size() % 512) % 512, '\0');
}

std::string endTar(std::string tar)
{
    tar.append(1024, '\0');
    return tar;
}

} // namespace

std::string packageBytes(const std::string &version)
{
    // Uncompressed control and data members, which dpkg reads as well as
    // compressed ones; the data holds nothing, so installing it changes nothing.
    std::string control;
    addTarEntry(control, "./", '5', {});
    addTarEntry(control, "./control", '0',
                "Package: orvex\n"
                "Version: "
                    + version
                    + "\n"
                      "Architecture: all\n"
                      "Maintainer: orvex-devservice <devservice@orvex.invalid>\n"
                      "Description: Orvex stand-in served by orvex-devservice\n"
                      " Served so the update download can be exercised end to end; it installs\n"
                      " nothing.\n");
    std::string data;
    addTarEntry(data, "./", '5', {});

    std::string archive = "!<arch>\n";
    addMember(archive, "debian-binary", "2.0\n");
    addMember(archive, "control.tar", endTar(control));
    addMember(archive, "data.tar", endTar(data));
    return archive;
}

std::optional<std::string> sign(const std::string &keyPem, const std::string &data, std::string *error)
{
    auto fail = [error](const std::string &why) -> std::optional<std::string> {
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
    // The client refuses shorter RSA keys; signing with one would only make
    // packages no client accepts.
    if (type == EVP_PKEY_RSA && EVP_PKEY_get_bits(key) < minRsaKeyBits) {
        EVP_PKEY_free(key);
        return fail("the update signing key is RSA of fewer than " + std::to_string(minRsaKeyBits) + " bits");
    }
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
