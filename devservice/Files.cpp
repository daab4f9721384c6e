#include "Files.h"

#include <cerrno>
#include <cstdlib>
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

namespace {

// Why another user could put a folder or link of their own in place of what
// `path` leads to, or of anything in it; empty when nobody but the service's
// user and root can. That is the case for a folder of theirs, a link of
// theirs, and a folder others may write to without the sticky bit (/tmp has
// it: there nobody removes or renames what is not theirs).
std::string whyNotSafe(const std::string &path)
{
    const auto trusted = [](uid_t uid) { return uid == ::geteuid() || uid == 0; };
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return "cannot examine " + path + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) {
        if (!trusted(st.st_uid))
            return path + " is a symbolic link owned by another user";
        if (::stat(path.c_str(), &st) != 0)
            return "cannot examine " + path + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(st.st_mode))
        return path + " is not a folder";
    if (!trusted(st.st_uid))
        return path + " belongs to another user (uid " + std::to_string(st.st_uid)
               + "), who could replace the data folder";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)
        return "others may write to " + path + " and replace the data folder";
    return {};
}

// The same for every folder on the way to `path` (not `path` itself).
std::string whyWayNotSafe(const std::string &path)
{
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        if (std::string why = whyNotSafe(path.substr(0, pos)); !why.empty())
            return why;
    }
    return {};
}

} // namespace

bool makeDirectory(const std::string &dir, std::string *error)
{
    const auto refuse = [error](const std::string &why) {
        if (error)
            *error = why;
        return false;
    };
    if (dir.empty())
        return refuse("empty folder name");
    // The folder holds the CA key and the accounts, so nobody else may be able
    // to swap it or any folder on the way for one of theirs. Each folder is
    // examined before anything is made in it.
    for (size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
        const std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return refuse("cannot create " + part + ": " + std::strerror(errno));
        if (pos == std::string::npos)
            break;
        if (std::string why = whyNotSafe(part); !why.empty())
            return refuse(why);
    }
    // The folder itself must be ours alone. A link is followed only when it is
    // our own, and the mode is set on the folder that was opened, not on a
    // name that could be swapped meanwhile.
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0)
        return refuse("cannot examine " + dir + ": " + std::strerror(errno));
    if (S_ISLNK(st.st_mode) && st.st_uid != ::geteuid())
        return refuse(dir + " is a symbolic link owned by another user");
    // Links of the service's own user or root were followed on the way: where
    // they lead must be as safe.
    char *resolved = ::realpath(dir.c_str(), nullptr);
    if (!resolved)
        return refuse("cannot examine " + dir + ": " + std::strerror(errno));
    const std::string why = whyWayNotSafe(resolved);
    std::free(resolved);
    if (!why.empty())
        return refuse(why);
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
