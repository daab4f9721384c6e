// Prints orvex-devservice's start-up time (first start on an empty data folder,
// and a restart), getuser.json requests per second as measured by wrk over
// loopback HTTPS (the record read with the fixed check value, and a sign-in
// that verifies the salted password hash), and the service's memory.

#include "config/Config.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <csignal>
#include <cstdio>

namespace {

struct Service
{
    std::unique_ptr<QProcess> process;
    QString origin;
    QString password;
    double startMs = 0;
};

Service start(const QString &dataDir)
{
    Service service;
    service.process = std::make_unique<QProcess>();
    QElapsedTimer clock;
    clock.start();
    service.process->start(QStringLiteral(ORVEX_DEVSERVICE_BINARY),
                           {QStringLiteral("--data"), dataDir, QStringLiteral("--seed-demo"),
                            QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0")});
    QString output;
    static const QRegularExpression listening(QStringLiteral("listening on (\\S+)"));
    while (service.process->waitForReadyRead(30000)) {
        output += QString::fromUtf8(service.process->readAllStandardOutput());
        const auto match = listening.match(output);
        if (match.hasMatch()) {
            service.startMs = double(clock.nsecsElapsed()) / 1e6;
            service.origin = match.captured(1);
            break;
        }
    }
    static const QRegularExpression password(QStringLiteral("demo password (\\S+)"));
    service.password = password.match(output).captured(1);
    return service;
}

void stop(Service &service)
{
    ::kill(pid_t(service.process->processId()), SIGTERM);
    service.process->waitForFinished(30000);
}

QString memory(const Service &service)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(service.process->processId()));
    if (!status.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    QString rss;
    QString peak;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            rss = QString::fromLatin1(line.mid(6).simplified());
        if (line.startsWith("VmHWM:"))
            peak = QString::fromLatin1(line.mid(6).simplified());
    }
    return QStringLiteral("RSS %1, peak %2").arg(rss, peak);
}

QString wrk(const QString &url)
{
    QProcess tool;
    tool.start(QStringLiteral("wrk"),
               {QStringLiteral("-t2"), QStringLiteral("-c16"), QStringLiteral("-d10s"), url});
    if (!tool.waitForFinished(60000))
        return QStringLiteral("wrk did not finish");
    const QString report = QString::fromUtf8(tool.readAllStandardOutput());
    static const QRegularExpression rate(QStringLiteral("Requests/sec:\\s*(\\S+)"));
    static const QRegularExpression latency(QStringLiteral("Latency\\s+(\\S+)"));
    static const QRegularExpression failures(QStringLiteral("Non-2xx or 3xx responses: (\\d+)"));
    QString line = QStringLiteral("%1 requests/s, mean latency %2")
                       .arg(rate.match(report).captured(1), latency.match(report).captured(1));
    if (failures.match(report).hasMatch())
        line += QStringLiteral(", %1 non-2xx").arg(failures.match(report).captured(1));
    return line;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString data = dir.path() + QStringLiteral("/data");

    Service service = start(data);
    if (service.origin.isEmpty()) {
        std::fprintf(stderr, "bench_devservice: the service did not start\n");
        return 1;
    }
    const double firstStart = service.startMs;
    stop(service);
    service = start(data);
    std::printf("start-up to listening: first start %.1f ms (creates the CA), restart %.1f ms\n", firstStart,
                service.startMs);
    std::printf("memory after start: %s\n", qPrintable(memory(service)));

    if (QStandardPaths::findExecutable(QStringLiteral("wrk")).isEmpty()) {
        std::printf("wrk is not installed: no load figures\n");
    } else {
        const auto url = [&](const QString &check) {
            return service.origin + QStringLiteral("/getuser.json?user=demo%40orvex.example&check=")
                   + QString::fromLatin1(QUrl::toPercentEncoding(check));
        };
        std::printf("getuser.json, record by check value (wrk -t2 -c16 -d10s): %s\n",
                    qPrintable(wrk(url(Orvex::Config::parse({}, {}).value().serviceCheckValue))));
        std::printf("getuser.json, sign-in with the password (PBKDF2): %s\n",
                    qPrintable(wrk(url(service.password))));
        std::printf("memory after load: %s\n", qPrintable(memory(service)));
    }
    stop(service);
    return 0;
}
