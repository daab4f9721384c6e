#pragma once

#include <QByteArray>
#include <QFile>
#include <QtGlobal>
#include <QString>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

// Sends what the code under test prints on stderr to a file for as long as
// it lives, or until text() hands the file's contents back. Its log messages
// too: Qt's own handler writes them on stderr, where QtTest's would put them
// in the test's log.
class StderrCapture
{
public:
    explicit StderrCapture(const QString &path)
        : m_path(path)
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        m_handler = qInstallMessageHandler(nullptr);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    QByteArray text()
    {
        restore();
        QFile file(m_path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        qInstallMessageHandler(m_handler);
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }

    QString m_path;
    int m_saved = -1;
    QtMessageHandler m_handler = nullptr;
};
