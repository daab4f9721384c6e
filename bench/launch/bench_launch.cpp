// Launch to protected: from exec of the client, with a stored session, a
// stored certificate and on-demand on (as a client left running at log-out
// leaves things), to the tunnel up: the client's charon reports the child SA
// up (its child-updown event, watched over VICI by the benchmark). Beside it,
// in the same run and alternated with it, the parts a start cannot do
// without:
//
//   first-frame-ms        exec to the first painted frame (same stored state)
//   service-round-trip-ms the sign-in's one request (getUser) on a fresh TLS
//                         connection, as a starting client makes it
//   bare-initiate-ms      a bare VICI initiate of the same connection
//
// Prints "SAMPLE name value" lines; scripts/bench takes medians and the ratio
// launch / (first frame + round trip + bare initiate). Needs root.
//
// usage: bench_launch [ROUNDS [CLIENT]]

#include "DevServiceProcess.h"
#include "EventWait.h"
#include "GatewayFixture.h"

#include "session/DefaultsKeys.h"
#include "api/URLRouter.h"
#include "config/Config.h"
#include "platform/UserDefaults.h"
#include "platform/vici/ViciClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <functional>

using namespace Orvex;

namespace {

bool waitFor(const std::function<bool()> &done, int ms = 60000)
{
    return BenchLoop::waitFor(done, ms);
}

void sample(const char *name, double value)
{
    std::printf("SAMPLE %s %.3f\n", name, value);
    std::fflush(stdout);
}

// Stops a child by its own process id.
void kill(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(process.processId()), SIGKILL);
    process.waitForFinished(10000);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    const QString client = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral(ORVEX_CLIENT_BINARY);
    if (!GatewayFixture::isRoot()) {
        std::printf("bench_launch: needs root (the gateway runs in network namespaces); skipped\n");
        return 0;
    }
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/orvex-bench-launch-XXXXXX"));
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
    if (qEnvironmentVariableIsEmpty("ORVEX_GATEWAY_SCRIPT"))
        qputenv("ORVEX_GATEWAY_SCRIPT", ORVEX_GATEWAY_SCRIPT_PATH);

    DevServiceProcess service;
    if (!service.start({QStringLiteral("--seed-demo"), QStringLiteral("--seed-usage")})) {
        std::fprintf(stderr, "bench_launch: %s\n", qPrintable(service.errors()));
        return 1;
    }
    GatewayFixture gateway;
    QString error;
    if (!gateway.upTrusting(service.dataDir(), &error)) {
        std::fprintf(stderr, "bench_launch: %s\n", qPrintable(error));
        return 1;
    }
    QProcess bus, orvex;
    const auto fail = [&](const char *what) {
        std::fprintf(stderr, "bench_launch: %s\n%s\n", what, qPrintable(gateway.logs()));
        kill(orvex);
        kill(bus);
        return 1;
    };

    const QJsonObject config{{QStringLiteral("apiBaseURL"), service.origin()},
                             {QStringLiteral("caCertificates"),
                              QJsonArray{service.caCertificate(), gateway.caCertificate()}},
                             {QStringLiteral("vpnBackend"), QStringLiteral("vici")},
                             {QStringLiteral("viciSocket"), gateway.clientVici()},
                             {QStringLiteral("viciUpdownScript"), QStringLiteral(ORVEX_UPDOWN_SCRIPT_PATH)},
                             {QStringLiteral("viciNetworkNamespace"), gateway.clientNamespace()},
                             {QStringLiteral("vpnGatewayHost"), gateway.host()}};
    const QString configPath = h + QStringLiteral("/orvex.json");
    QFile configFile(configPath);
    if (!configFile.open(QIODevice::WriteOnly) || configFile.write(QJsonDocument(config).toJson()) <= 0)
        return fail("cannot write the configuration");
    configFile.close();

    // A stored session with auto-connect on, where the client looks for it;
    // no login item.
    UserDefaults defaults(UserDefaults::standardFilePath());
    defaults.setString(DefaultsKeys::tempEmail, service.demoEmail());
    defaults.setString(DefaultsKeys::password, service.demoPassword());
    defaults.setBoolean(DefaultsKeys::isLaunchedBefore, true);
    defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled, true);
    defaults.setBoolean(DefaultsKeys::isAutoStartEnabled, false);

    bus.start(QStringLiteral("dbus-daemon"),
              {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    QString busAddress;
    if (!waitFor(
            [&] {
                busAddress += QString::fromUtf8(bus.readAllStandardOutput());
                return busAddress.contains(QLatin1Char('\n'));
            },
            20000))
        return fail("no private session bus");

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("ORVEX_CONFIG"), configPath);
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress.trimmed());
    env.remove(QStringLiteral("ORVEX_BENCH_FIRST_FRAME"));
    QProcessEnvironment frameEnv = env;
    frameEnv.insert(QStringLiteral("ORVEX_BENCH_FIRST_FRAME"), QStringLiteral("1"));

    // The client's charon, watched: the child SA's up and down events.
    ViciClient watch;
    watch.connectToDaemon(gateway.clientVici());
    int ups = 0, downs = 0;
    QElapsedTimer clock;
    double upAt = 0;
    QObject::connect(&watch, &ViciClient::eventReceived, &app,
                     [&](const QByteArray &name, const ViciMessage &m) {
                         if (name != "child-updown" || !m.subSection("orvex"))
                             return;
                         if (m.isYes("up")) {
                             ++ups;
                             upAt = clock.nsecsElapsed() / 1e6;
                         } else {
                             ++downs;
                         }
                     });
    std::optional<bool> registered;
    watch.registerEvent("child-updown", [&](const ViciReply &r) { registered = r.isSuccess(); });
    if (!waitFor([&] { return registered.has_value(); }) || !*registered)
        return fail("cannot watch the client's charon");

    ViciClient bare;
    bare.connectToDaemon(gateway.clientVici());
    ViciMessage initiate;
    initiate.set("child", "orvex");
    initiate.set("ike", "orvex");
    initiate.set("timeout", "30000");
    ViciMessage terminate;
    terminate.set("ike", "orvex");
    terminate.set("timeout", "3000");
    terminate.set("force", "yes");
    const auto takeDown = [&] {
        const int before = downs;
        bool answered = false;
        bare.call("terminate", terminate, [&](const ViciReply &) { answered = true; });
        return waitFor([&] { return answered && downs > before; }, 20000);
    };

    orvex.setProcessEnvironment(env);
    orvex.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    orvex.setStandardOutputFile(QProcess::nullDevice());
    // Warm-up: the first start fetches the certificate, connects and hands the
    // key to charon (which makes it shared: on-demand may be on from now on).
    int before = ups;
    clock.start();
    orvex.start(client, {});
    if (!waitFor([&] { return ups > before; }))
        return fail("the first start did not bring the tunnel up");
    std::printf("first start (certificate fetched): %.1f ms to the tunnel up\n", upAt);
    QElapsedTimer grace;
    grace.start();
    waitFor([&] { return grace.elapsed() > 1500; }, 3000);
    kill(orvex);
    if (!takeDown())
        return fail("the tunnel did not go down after the first start");

    Config requests = Config::parse({}, {}).value();
    requests.apiBaseURL = service.origin();
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.addCaCertificates(QSslCertificate::fromPath(service.caCertificate()));

    for (int round = 0; round < rounds; ++round) {
        // Launch to protected.
        before = ups;
        clock.start();
        orvex.start(client, {});
        if (!waitFor([&] { return ups > before; }))
            return fail("the launch did not bring the tunnel up");
        sample("launch-protected-ms", upAt);
        kill(orvex);
        if (!takeDown())
            return fail("the tunnel did not go down after the launch");

        // Bare initiate, before the first-frame run below: a client that
        // quits normally unloads the connection from charon.
        std::optional<bool> up;
        clock.start();
        bare.call("initiate", initiate, [&](const ViciReply &reply) { up = reply.isSuccess(); });
        if (!waitFor([&] { return up.has_value(); }) || !*up)
            return fail("bare initiate failed");
        sample("launch-bare-initiate-ms", clock.nsecsElapsed() / 1e6);
        if (!takeDown())
            return fail("bare terminate failed");

        // The first frame of the same start.
        QProcess frame;
        frame.setProcessEnvironment(frameEnv);
        frame.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        clock.start();
        frame.start(client, {});
        QByteArray seen;
        if (!waitFor([&] {
                seen += frame.readAllStandardOutput();
                return seen.contains("first-frame") || frame.state() == QProcess::NotRunning;
            })
            || !seen.contains("first-frame"))
            return fail("no first frame reported");
        sample("launch-first-frame-ms", clock.nsecsElapsed() / 1e6);
        kill(frame); // it waits at the frame

        // The sign-in's round trip on a fresh connection.
        {
            QNetworkAccessManager network;
            QNetworkRequest request = URLRouter::getUser(service.demoEmail(), service.demoPassword())
                                          .asURLRequest(requests);
            request.setSslConfiguration(ssl);
            clock.start();
            QNetworkReply *reply = network.get(request);
            if (!waitFor([&] { return reply->isFinished(); }) || reply->error() != QNetworkReply::NoError)
                return fail("the service did not answer getUser");
            sample("service-round-trip-ms", clock.nsecsElapsed() / 1e6);
            reply->deleteLater();
        }
    }
    kill(bus);
    return 0;
}
