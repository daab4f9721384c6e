#pragma once

// A private Wayland compositor for one test process: weston on its headless
// backend, with a socket of its own in a throwaway runtime folder (mode 0700,
// as Qt and weston demand), stopped by its process id when the object goes.
// Start it before the QApplication, which connects once. weston-screenshooter
// run from this process (or its children) takes a picture of the output.
//
//     Weston weston;
//     if (weston.isRunning())
//         weston.exportAsDisplay();
//     QApplication app(argc, argv);

#include "ProgramRun.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSize>
#include <QString>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

class Weston
{
public:
    explicit Weston(const QSize &screen = QSize(1280, 800))
    {
        if (!m_runtime.isValid()) {
            m_error = QStringLiteral("no temporary folder");
            return;
        }
        QFile::setPermissions(m_runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // Unique per process: tests of other checkouts run beside this one.
        m_socket = QStringLiteral("orvex-test-%1").arg(::getpid());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("DISPLAY"));
        m_process.setProcessEnvironment(environment);
        m_process.setProgram(QStringLiteral("weston"));
        // The pixman renderer composes real pictures, and --debug lets its
        // screenshooter client take one of the output.
        m_process.setArguments(
            {QStringLiteral("--backend=headless-backend.so"), QStringLiteral("--use-pixman"),
             QStringLiteral("--debug"), QStringLiteral("--socket=") + m_socket,
             QStringLiteral("--width=%1").arg(screen.width()),
             QStringLiteral("--height=%1").arg(screen.height()), QStringLiteral("--idle-time=0"),
             QStringLiteral("--log=") + m_runtime.filePath(QStringLiteral("weston.log"))});
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // Gone with this process even when it crashes.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_process.start();
        if (!m_process.waitForStarted(10000)) {
            m_error = QStringLiteral("weston did not start (package weston): ") + m_process.errorString();
            return;
        }
        // Ready once its socket is there; weston gives no other sign.
        const QString socketPath = m_runtime.filePath(m_socket);
        const QDeadlineTimer deadline(20000);
        while (!QFileInfo(socketPath).exists() && m_process.state() == QProcess::Running
               && !deadline.hasExpired())
            m_process.waitForFinished(20);
        if (!QFileInfo(socketPath).exists()) {
            m_error = QStringLiteral("weston made no socket: ") + log();
            stop();
            return;
        }
        m_running = true;
    }

    ~Weston() { stop(); }

    Weston(const Weston &) = delete;
    Weston &operator=(const Weston &) = delete;

    bool isRunning() const { return m_running; }
    QString error() const { return m_error; }
    QString log() const
    {
        QFile file(m_runtime.filePath(QStringLiteral("weston.log")));
        return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll().right(4000))
                                              : QString();
    }

    // Makes this compositor the display of this process and the ones it
    // starts, on Qt's Wayland platform.
    void exportAsDisplay() const
    {
        qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
        qputenv("WAYLAND_DISPLAY", m_socket.toLocal8Bit());
        qunsetenv("DISPLAY");
        qputenv("QT_QPA_PLATFORM", "wayland");
        // A headless weston has no seat. Qt's Wayland text-input support
        // (6.4) then follows a null input device as soon as a text editor
        // with the focus draws its cursor; the compose input context, as on
        // an X11 desktop, keeps text input away from it. Desktops always have
        // a seat.
        qputenv("QT_IM_MODULE", "compose");
    }

    // weston ends the helpers it started (its shell, its keyboard) itself.
    void stop()
    {
        m_running = false;
        endProcess(m_process);
    }

private:
    QTemporaryDir m_runtime{QDir::tempPath() + QStringLiteral("/orvex-wayland-XXXXXX")};
    QProcess m_process;
    QString m_socket;
    QString m_error;
    bool m_running = false;
};
