#include "RunMarker.h"

#include "platform/SecureFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <tuple>

namespace Orvex {

namespace {

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
    const Outcome<std::optional<QByteArray>> previous = SecureFile::read(m_path);
    bool left = false;
    if (!previous.isSuccess()) {
        left = true;
    } else if (const std::optional<QByteArray> &pidText = previous.value()) {
        // Only a short decimal number is ever written here.
        bool ok = false;
        const qint64 pid = pidText->size() <= 20 ? pidText->trimmed().toLongLong(&ok) : 0;
        left = !(ok && isRunningClient(pid));
    }
    // Without the folder the mark below is not written either, and only a kill
    // of this run goes unnoticed at the next start: not a reason to refuse to
    // run, and no one here to tell.
    std::ignore = SecureFile::makePrivateDirectory(QFileInfo(m_path).absolutePath());
    SecureFile::writeAtomically(m_path, QByteArray::number(QCoreApplication::applicationPid()));
    return left;
}

void RunMarker::end()
{
    QFile::remove(m_path);
}

} // namespace Orvex
