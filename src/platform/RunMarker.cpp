#include "RunMarker.h"

#include "platform/SecureFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>

namespace Orvex {

namespace {

std::vector<RunMarker::Cleanup> &cleanups()
{
    static std::vector<RunMarker::Cleanup> list;
    return list;
}

// The process is alive and is this same program (a recycled pid of some other
// program does not count).
bool isRunningClient(qint64 pid)
{
    if (pid <= 0 || pid == QCoreApplication::applicationPid())
        return false;
    if (::kill(pid_t(pid), 0) != 0 && errno != EPERM)
        return false;
    const QString executable = QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
    return !executable.isEmpty()
           && QFileInfo(executable).fileName()
                  == QFileInfo(QCoreApplication::applicationFilePath()).fileName();
}

} // namespace

QString RunMarker::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/orvex/running");
}

RunMarker::RunMarker(const QString &path)
    : m_path(path)
{}

bool RunMarker::begin()
{
    bool unreadable = false;
    const std::optional<QByteArray> previous = SecureFile::read(m_path, &unreadable);
    bool left = false;
    if (previous) {
        // Only a short decimal number is ever written here.
        bool ok = false;
        const qint64 pid = previous->size() <= 20 ? previous->trimmed().toLongLong(&ok) : 0;
        left = !(ok && isRunningClient(pid));
    } else if (unreadable) {
        left = true;
    }
    SecureFile::makePrivateDirectory(QFileInfo(m_path).absolutePath());
    SecureFile::writeAtomically(m_path, QByteArray::number(QCoreApplication::applicationPid()));
    return left;
}

void RunMarker::end()
{
    QFile::remove(m_path);
}

void RunMarker::addLeftoverCleanup(Cleanup cleanup)
{
    cleanups().push_back(std::move(cleanup));
}

void RunMarker::runLeftoverCleanups()
{
    for (const Cleanup &cleanup : cleanups()) {
        if (cleanup)
            cleanup();
    }
}

} // namespace Orvex
