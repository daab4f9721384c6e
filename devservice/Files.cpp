#include "Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace OrvexDev::Files {

std::optional<std::string> read(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad())
        return std::nullopt;
    return content.str();
}

bool writeAtomically(const std::string &path, const std::string &content, mode_t mode, std::string *error)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        if (error)
            *error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, mode) == 0;
    size_t written = 0;
    while (ok && written < content.size()) {
        const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            written += size_t(n);
    }
    ok = ok && fsync(fd) == 0;
    const int savedErrno = errno;
    ::close(fd);
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    if (error)
        *error = "cannot write " + path + ": " + std::strerror(ok ? errno : savedErrno);
    ::unlink(temporary.c_str());
    return false;
}

bool exists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool makeDirectory(const std::string &dir, std::string *error)
{
    if (dir.empty()) {
        if (error)
            *error = "empty folder name";
        return false;
    }
    for (size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
        const std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            if (error)
                *error = "cannot create " + part + ": " + std::strerror(errno);
            return false;
        }
        if (pos == std::string::npos)
            break;
    }
    const auto refuse = [error](const std::string &why) {
        if (error)
            *error = why;
        return false;
    };
    // The folder holds the CA key and the accounts: it must be ours alone. A
    // link is followed only when it is our own, and the mode is set on the
    // folder that was opened, not on a name that could be swapped meanwhile.
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0)
        return refuse("cannot examine " + dir + ": " + std::strerror(errno));
    if (S_ISLNK(st.st_mode) && st.st_uid != ::geteuid())
        return refuse(dir + " is a symbolic link owned by another user");
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return refuse(dir + " is not a folder");
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        ::close(fd);
        return refuse(dir + " is not a folder");
    }
    if (st.st_uid != ::geteuid()) {
        ::close(fd);
        return refuse(dir + " belongs to another user (uid " + std::to_string(st.st_uid)
                      + "); the data folder must be the service's own");
    }
    if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
        const int saved = errno;
        ::close(fd);
        return refuse("cannot make " + dir + " private (mode 0700): " + std::strerror(saved));
    }
    ::close(fd);
    return true;
}

} // namespace OrvexDev::Files
