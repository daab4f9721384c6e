#include "UpdateCatalog.h"

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
    std::snprintf(header,
                  sizeof header,
                  "%-16s%-12s%-6s%-6s%-8s%-10zu`\n",
                  name.c_str(),
                  "0",
                  "0",
                  "0",
                  "100644",
                  data.size());
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
    addMember(archive,
              "README",
              "Orvex " + version
                      + " as offered by orvex-devservice: a stand-in for the real package, served"
                        " so the update download can be exercised end to end.\n");
    return archive;
}

} // namespace OrvexDev::UpdateCatalog
