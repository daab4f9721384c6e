// Idle benchmark: the real client, signed in to orvex-devservice with its
// main window open (offscreen) and its tunnel up through the namespace
// gateway, left alone for 30 s. Counts the wake-ups of each of its threads
// (voluntary context switches, from /proc) and the CPU time it used; the main
// thread runs all of our code, the others are Qt's and the libraries'.
// `perf stat` is run alongside when it works here. Needs root.
//
// usage: bench_idle [SECONDS]

#include "session/DefaultsKeys.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>

#include <unistd.h>

using namespace Orvex;

namespace {

struct ThreadSample
{
    QString name;
    qint64 voluntary = 0;
    qint64 involuntary = 0;
};

struct Sample
{
    std::map<qint64, ThreadSample> threads;
    qint64 cpuTicks = 0; // utime + stime of the whole process
};

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

qint64 statusField(const QByteArray &status, const char *field)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().toLongLong();
    }
    return 0;
}

Sample sample(qint64 pid)
{
    Sample s;
    const QString base = QStringLiteral("/proc/%1").arg(pid);
    const QByteArray stat = readFile(base + QStringLiteral("/stat"));
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    s.cpuTicks = fields.value(11).toLongLong() + fields.value(12).toLongLong(); // utime, stime
    for (const QString &tid :
         QDir(base + QStringLiteral("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString task = base + QStringLiteral("/task/") + tid;
        const QByteArray status = readFile(task + QStringLiteral("/status"));
        ThreadSample t;
        t.name = QString::fromUtf8(readFile(task + QStringLiteral("/comm")).trimmed());
        t.voluntary = statusField(status, "voluntary_ctxt_switches:");
        t.involuntary = statusField(status, "nonvoluntary_ctxt_switches:");
        s.threads[tid.toLongLong()] = t;
    }
    return s;
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(100);
    }
    return true;
}

QString run(const QString &program, const QStringList &arguments, int *status = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    p.waitForFinished(120000);
    if (status)
        *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAll());
}

// Stops a child by its own process id: SIGTERM, then SIGKILL.
void stop(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(process.processId()), SIGTERM);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(5, atoi(argv[1])) : 30;
    if (geteuid() != 0) {
        std::printf("bench_idle: needs root (the gateway runs in network namespaces); skipped\n");
        return 0;
    }

    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/orvex-bench-idle-XXXXXX"));
    const QString h = home.path();
    for (const char *dir : {"config", "data", "cache", "runtime"})
        QDir().mkpath(h + QLatin1Char('/') + QLatin1String(dir));
    QFile::setPermissions(h + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", h.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (h + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", (h + QStringLiteral("/data")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (h + QStringLiteral("/cache")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", (h + QStringLiteral("/runtime")).toLocal8Bit());

    int result = 1;
    QProcess service, bus, client;
    const QString gatewayScript = qEnvironmentVariableIsEmpty("ORVEX_GATEWAY_SCRIPT")
                                      ? QStringLiteral(ORVEX_GATEWAY_SCRIPT_PATH)
                                      : qEnvironmentVariable("ORVEX_GATEWAY_SCRIPT");
    const QString gatewayDir = h + QStringLiteral("/gateway");
    bool gatewayUp = false;
    auto fail = [&](const QString &why) {
        std::fprintf(stderr, "bench_idle: %s\n", qPrintable(why));
        return 1;
    };

    [&] {
        // The service, with the demo account and its usage.
        const QString serviceDir = h + QStringLiteral("/service");
        service.start(QStringLiteral(ORVEX_DEVSERVICE_BINARY),
                      {QStringLiteral("--data"), serviceDir, QStringLiteral("--listen"),
                       QStringLiteral("127.0.0.1:0"), QStringLiteral("--seed-demo"),
                       QStringLiteral("--seed-usage")});
        QString announced;
        const QRegularExpression listening(QStringLiteral("listening on (https://\\S+)"));
        if (!waitFor(
                [&] {
                    announced += QString::fromUtf8(service.readAllStandardOutput());
                    return listening.match(announced).hasMatch() || service.state() == QProcess::NotRunning;
                },
                60000)
            || service.state() == QProcess::NotRunning)
            return void(fail(QStringLiteral("orvex-devservice did not start")));
        const QString origin = listening.match(announced).captured(1);
        const QString email
            = QRegularExpression(QStringLiteral("demo e-mail (\\S+)")).match(announced).captured(1);
        const QString password
            = QRegularExpression(QStringLiteral("demo password (\\S+)")).match(announced).captured(1);

        // The gateway, trusting the service's CA, which issues the client's certificate.
        int status = 0;
        gatewayUp = true;
        const QString up = run(gatewayScript,
                               {QStringLiteral("up"), QStringLiteral("--dir"), gatewayDir,
                                QStringLiteral("--ca"), serviceDir, QStringLiteral("--devservice"),
                                QStringLiteral(ORVEX_DEVSERVICE_BINARY), QStringLiteral("--tag"),
                                QStringLiteral("idle%1").arg(getpid())},
                               &status);
        QHash<QString, QString> gateway;
        for (const QString &line : up.split(QLatin1Char('\n'))) {
            const int eq = line.indexOf(QLatin1Char('='));
            if (eq > 0)
                gateway.insert(line.left(eq), line.mid(eq + 1));
        }
        if (status != 0 || gateway.value(QStringLiteral("CLIENT_VICI")).isEmpty())
            return void(fail(QStringLiteral("scripts/gateway up failed: ") + up));

        const QJsonObject config{{QStringLiteral("apiBaseURL"), origin},
                                 {QStringLiteral("caCertificates"),
                                  QJsonArray{serviceDir + QStringLiteral("/ca.crt"),
                                             gateway.value(QStringLiteral("CA_CERT"))}},
                                 {QStringLiteral("vpnBackend"), QStringLiteral("vici")},
                                 {QStringLiteral("viciSocket"), gateway.value(QStringLiteral("CLIENT_VICI"))},
                                 {QStringLiteral("viciUpdownScript"),
                                  QStringLiteral(ORVEX_UPDOWN_SCRIPT_PATH)},
                                 {QStringLiteral("viciNetworkNamespace"),
                                  QStringLiteral("/run/netns/") + gateway.value(QStringLiteral("CLIENT_NS"))},
                                 {QStringLiteral("vpnGatewayHost"),
                                  gateway.value(QStringLiteral("GATEWAY_HOST"))}};
        const QString configPath = h + QStringLiteral("/orvex.json");
        QFile configFile(configPath);
        if (!configFile.open(QIODevice::WriteOnly) || configFile.write(QJsonDocument(config).toJson()) <= 0)
            return void(fail(QStringLiteral("cannot write the configuration")));
        configFile.close();

        // A stored session where the client looks for it: it signs in by
        // itself and goes to the main screen.
        UserDefaults defaults(UserDefaults::standardFilePath());
        defaults.setString(DefaultsKeys::tempEmail, email);
        defaults.setString(DefaultsKeys::password, password);

        bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                  QStringLiteral("--print-address=1")});
        QString busAddress;
        if (!waitFor(
                [&] {
                    busAddress += QString::fromUtf8(bus.readAllStandardOutput());
                    return busAddress.contains(QLatin1Char('\n'));
                },
                20000))
            return void(fail(QStringLiteral("no private session bus")));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("ORVEX_CONFIG"), configPath);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress.trimmed());
        env.remove(QStringLiteral("ORVEX_BENCH_FIRST_FRAME"));
        client.setProcessEnvironment(env);
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start(QStringLiteral(ORVEX_CLIENT_BINARY), {});
        if (!client.waitForStarted(20000))
            return void(fail(QStringLiteral("the client did not start")));

        const QString clientUri = QStringLiteral("unix://") + gateway.value(QStringLiteral("CLIENT_VICI"));
        if (!waitFor(
                [&] {
                    return client.state() == QProcess::Running
                           && run(QStringLiteral("swanctl"),
                                  {QStringLiteral("--list-sas"), QStringLiteral("--uri"), clientUri})
                                  .contains(QLatin1String("INSTALLED"));
                },
                90000))
            return void(fail(QStringLiteral("the client's tunnel did not come up")));
        // Let the sign-in, the usage answer and the chart's animation settle.
        QThread::sleep(5);

        const qint64 pid = client.processId();
        QProcess perf;
        perf.setProcessChannelMode(QProcess::MergedChannels);
        const Sample before = sample(pid);
        QElapsedTimer clock;
        clock.start();
        perf.start(QStringLiteral("perf"),
                   {QStringLiteral("stat"), QStringLiteral("-x,"), QStringLiteral("-e"),
                    QStringLiteral("context-switches,task-clock"), QStringLiteral("-p"), QString::number(pid),
                    QStringLiteral("--"), QStringLiteral("sleep"), QString::number(seconds)});
        if (!perf.waitForStarted(5000) || !perf.waitForFinished((seconds + 20) * 1000)) {
            perf.kill();
            QThread::sleep(ulong(std::max<qint64>(0, seconds - clock.elapsed() / 1000)));
        }
        const double elapsed = clock.elapsed() / 1000.0;
        const Sample after = sample(pid);
        if (client.state() != QProcess::Running)
            return void(fail(QStringLiteral("the client exited during the measurement")));

        const double tick = double(sysconf(_SC_CLK_TCK));
        const double cpuMs = (after.cpuTicks - before.cpuTicks) * 1000.0 / tick;
        std::printf("idle client, window open, tunnel up, %.1f s:\n", elapsed);
        std::printf("  %-8s %-18s %12s %14s\n", "thread", "name", "wake-ups/s", "preempted/s");
        double mainRate = 0, allRate = 0;
        for (const auto &[tid, t] : after.threads) {
            const auto was = before.threads.find(tid);
            const qint64 v0 = was == before.threads.end() ? 0 : was->second.voluntary;
            const qint64 i0 = was == before.threads.end() ? 0 : was->second.involuntary;
            const double rate = (t.voluntary - v0) / elapsed;
            allRate += rate;
            if (tid == pid)
                mainRate = rate;
            std::printf("  %-8lld %-18s %12.2f %14.2f%s\n", (long long) tid, qPrintable(t.name), rate,
                        (t.involuntary - i0) / elapsed, tid == pid ? "   <- main thread (our code)" : "");
        }
        std::printf("  all threads %.2f wake-ups/s; CPU %.0f ms in %.0f s (%.3f %%)\n", allRate, cpuMs,
                    elapsed, cpuMs / (elapsed * 10));
        const QString perfOut = QString::fromUtf8(perf.readAll());
        const QRegularExpression perfLine(QStringLiteral("^([0-9.]+),[^,]*,context-switches"),
                                          QRegularExpression::MultilineOption);
        const auto m = perfLine.match(perfOut);
        if (m.hasMatch())
            std::printf("  perf stat: %s context switches (%.2f/s)\n", qPrintable(m.captured(1)),
                        m.captured(1).toDouble() / elapsed);
        else
            std::printf("  perf stat: not available here\n");
        std::printf("FIGURE idle-main-wakeups-per-s %.2f\nFIGURE idle-all-wakeups-per-s %.2f\n"
                    "FIGURE idle-cpu-ms-per-30s %.1f\n",
                    mainRate, allRate, cpuMs * 30 / elapsed);
        result = 0;
    }();

    stop(client);
    if (gatewayUp)
        run(gatewayScript, {QStringLiteral("down"), QStringLiteral("--dir"), gatewayDir});
    stop(service);
    stop(bus);
    return result;
}
