#pragma once

#include <QProcess>

#include <csignal>
#include <sys/prctl.h>

// A program run to its end: its exit code (-1 when it did not start, crashed
// or hung) and what it printed.
struct ProgramRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

// The child ends with this process, also when it crashes: a child left
// running holds the test's output open, and ctest would wait on it until its
// time limit instead of reporting the crash.
inline void endsWithThisProcess(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

// Asks `process` to end; kills it when it has not in five seconds.
inline void endProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

inline ProgramRun runProgram(const QString &program, const QStringList &arguments, int timeoutMs = 120000,
                             const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {-1, {}, process.errorString()};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}
