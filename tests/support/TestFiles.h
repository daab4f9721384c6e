#pragma once

#include <QFile>

#include <sys/stat.h>

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether all of `bytes` went in; `executable` makes it a program of its owner.
inline bool writeFile(const QString &path, const QByteArray &bytes, bool executable = false)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    file.close();
    return !executable || file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// The permission bits of `path`, and the file it names; 0 when there is nothing.
inline unsigned modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 0;
}
inline ino_t inodeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// The process's umask for as long as it lives.
class Umask
{
public:
    explicit Umask(mode_t mask)
        : m_saved(::umask(mask))
    {}
    ~Umask() { ::umask(m_saved); }

private:
    mode_t m_saved;
};
