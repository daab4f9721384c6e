#pragma once

// A private D-Bus daemon for one test: started with the session
// configuration, so the tests never touch the user's bus or the system bus,
// and stopped by its process id when the object goes.
//
//     PrivateBus bus;
//     QVERIFY2(bus.isRunning(), qPrintable(bus.error()));
//     bus.exportAsSessionBus(); // before the first use of Qt D-Bus

#include "ProgramRun.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#include <csignal>
#include <sys/types.h>

class PrivateBus
{
public:
    // `configFile` replaces the session configuration (a test's own service
    // folder for D-Bus activation); `environment` is the daemon's, which the
    // services it starts inherit.
    explicit PrivateBus(const QString &configFile = {},
                        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
    {
        // With --fork the program we start exits once the daemon listens; it
        // prints the address, then the daemon's own pid.
        const QString config = configFile.isEmpty() ? QStringLiteral("--session")
                                                    : QStringLiteral("--config-file=") + configFile;
        const ProgramRun daemon = runProgram(QStringLiteral("dbus-daemon"),
                                             {config, QStringLiteral("--fork"), QStringLiteral("--nopidfile"),
                                              QStringLiteral("--print-address=1"),
                                              QStringLiteral("--print-pid=1")},
                                             10000, environment);
        const QStringList lines = daemon.out.trimmed().split(QLatin1Char('\n'));
        bool ok = false;
        m_pid = daemon.exitCode == 0 && lines.size() == 2 ? lines.at(1).trimmed().toLongLong(&ok) : 0;
        if (!ok || m_pid <= 0) {
            m_pid = 0;
            m_error = QStringLiteral("dbus-daemon did not start: ") + daemon.err;
            return;
        }
        m_address = lines.at(0).trimmed();
    }

    ~PrivateBus() { stop(); }

    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    bool isRunning() const { return m_pid > 0; }
    QString address() const { return m_address; }
    QString error() const { return m_error; }

    // Makes this bus the session bus of this process and the ones it starts.
    // Qt D-Bus reads the variable once, at its first use.
    void exportAsSessionBus() const { qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toLocal8Bit()); }

    // Ends the daemon. It is not our child after --fork, so there is nothing
    // to reap: wait until the pid is gone, then insist.
    void stop()
    {
        if (m_pid <= 0)
            return;
        const pid_t pid = static_cast<pid_t>(m_pid);
        m_pid = 0;
        ::kill(pid, SIGTERM);
        QDeadlineTimer deadline(5000);
        while (isAlive(pid) && !deadline.hasExpired())
            QThread::msleep(10);
        if (isAlive(pid))
            ::kill(pid, SIGKILL);
    }

    // Alive and not merely a zombie waiting for a parent (init, after --fork)
    // that may never reap it.
    static bool isAlive(pid_t pid)
    {
        if (::kill(pid, 0) != 0)
            return false;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return true;
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        return close < 0 || line.mid(close + 2, 1) != "Z";
    }

private:
    QString m_address;
    qint64 m_pid = 0;
    QString m_error;
};
