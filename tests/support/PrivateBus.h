#pragma once

// A private D-Bus daemon for one test: started with the session
// configuration, so the tests never touch the user's bus or the system bus,
// and ended with the object, or with the test should it crash.
//
//     PrivateBus bus;
//     QVERIFY2(bus.isRunning(), qPrintable(bus.error()));
//     bus.exportAsSessionBus(); // before the first use of Qt D-Bus

#include "ProgramRun.h"

#include <QDeadlineTimer>
#include <QFile>

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
        // Our own child, not forked away: it ends with the test even when
        // the test crashes, and never holds the test's output open after it.
        const QString config = configFile.isEmpty() ? QStringLiteral("--session")
                                                    : QStringLiteral("--config-file=") + configFile;
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        endsWithThisProcess(m_process);
        m_process.start(QStringLiteral("dbus-daemon"),
                        {config, QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                         QStringLiteral("--print-address=1")});
        // It prints the address once it listens.
        QByteArray out;
        const QDeadlineTimer deadline(10000);
        while (!out.contains('\n') && m_process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
            m_process.waitForReadyRead(int(qMax<qint64>(deadline.remainingTime(), 1)));
            out += m_process.readAllStandardOutput();
        }
        if (!out.contains('\n')) {
            m_error = QStringLiteral("dbus-daemon did not start: ") + m_process.errorString();
            endProcess(m_process);
            return;
        }
        m_address = QString::fromUtf8(out.left(out.indexOf('\n')).trimmed());
    }

    ~PrivateBus() { stop(); }

    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    bool isRunning() const { return m_process.state() == QProcess::Running && !m_address.isEmpty(); }
    QString address() const { return m_address; }
    QString error() const { return m_error; }

    // Makes this bus the session bus of this process and the ones it starts.
    // Qt D-Bus reads the variable once, at its first use.
    void exportAsSessionBus() const { qputenv("DBUS_SESSION_BUS_ADDRESS", m_address.toLocal8Bit()); }

    void stop() { endProcess(m_process); }

    // Alive and not merely a zombie waiting for a parent that may never
    // reap it.
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
    QProcess m_process;
    QString m_address;
    QString m_error;
};
