// What a person feels, measured inside the running client (offscreen window,
// real orvex-devservice over loopback HTTPS, real strongSwan gateway in
// network namespaces):
//
//   click-connected-ms   a real mouse click on the main button (stored
//                        certificate, tunnel down) to the connection reporting
//                        "connected"
//   click-connected-cpu-ms  the main thread's CPU time over the same span:
//                        what the client itself spends on a switch
//   bare-initiate-ms     a bare VICI `initiate` of the same connection on the
//                        same charon, to its answer; alternated with the above
//   bare-initiate-cpu-ms the main thread's CPU time over that span: the floor
//                        the measuring loop itself sets
//   stall-<step>-ms      the longest time the event loop did not turn during
//                        the step: how late a 1 ms timer fired, at worst
//   stall-<step>-cpu-ms  the most CPU time the main thread spent between two
//                        firings of that timer during the step: the client's
//                        own work that held the loop, which a loaded machine
//                        does not inflate (a thread waiting for a core spends
//                        no CPU time)
//
// Steps: sign-in (automatic, stored e-mail and password, to the main screen),
// first-load (the main screen's first load: certificate fetch and tunnel up),
// turn-on, turn-off, chart-refresh (the usage answer after a disconnect drawn
// into the chart). identity-checks-per-switch-ms times, apart, the look-ups
// of the stored identity that a switch makes on the main thread. stall-idle-ms is the same measure with the client doing
// nothing: the floor that the machine's other work sets. Every measurement is printed as "SAMPLE name value";
// scripts/bench takes medians. Needs root.
//
// usage: bench_responsiveness [ROUNDS]

#include "DevServiceProcess.h"
#include "ConfigCompat.h"
#include "EventWait.h"
#include "GatewayFixture.h"

#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "controls/Button.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"
#include "platform/vici/ViciClient.h"
#include "home/MainHandler.h"
#include "home/MainViewController.h"
#include "session/ClientIdentity.h"
#include "vpn/VPNService.h"

#include "TestSession.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <functional>
#include <map>

using namespace Orvex;

namespace {

qint64 threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Fires every millisecond on the main thread (a precise timer); the longest
// gap between two firings, less the millisecond, is the longest stall since
// the last reset. The main thread's CPU time over each gap tells the
// client's own work from time spent waiting for a core.
class StallMonitor final : public QObject
{
public:
    StallMonitor()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            const qint64 cpu = threadCpuNs();
            m_worst = std::max(m_worst, now - m_last - 1000000);
            m_worstCpu = std::max(m_worstCpu, cpu - m_lastCpu);
            if (m_traceGaps && cpu - m_lastCpu > 5000000)
                traceGap(now - m_last, cpu - m_lastCpu);
            m_last = now;
            m_lastCpu = cpu;
        });
        m_clock.start();
        m_last = m_clock.nsecsElapsed();
        m_lastCpu = threadCpuNs();
        m_timer.start();
    }
    void reset()
    {
        m_worst = 0;
        m_worstCpu = 0;
        m_last = m_clock.nsecsElapsed();
        m_lastCpu = threadCpuNs();
    }
    double worstMs() const
    {
        // A stall still going on counts too.
        const qint64 open = m_clock.nsecsElapsed() - m_last - 1000000;
        return std::max(m_worst, open) / 1e6;
    }
    double worstCpuMs() const { return std::max(m_worstCpu, threadCpuNs() - m_lastCpu) / 1e6; }

private:
    // With BENCH_GAPS set, every gap with over 5 ms of the main thread's CPU
    // time is printed with its span on CLOCK_MONOTONIC, to be lined up with
    // `perf record -k CLOCK_MONOTONIC` samples of what ran in it.
    static void traceGap(qint64 wallNs, qint64 cpuNs)
    {
        timespec end{};
        clock_gettime(CLOCK_MONOTONIC, &end);
        const double to = double(end.tv_sec) + end.tv_nsec / 1e9;
        std::fprintf(stderr, "GAP cpu %.2f ms wall %.2f ms from %.6f to %.6f\n", cpuNs / 1e6, wallNs / 1e6,
                     to - wallNs / 1e9, to);
    }
    const bool m_traceGaps = qEnvironmentVariableIsSet("BENCH_GAPS");
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_lastCpu = 0;
    qint64 m_worst = 0;
    qint64 m_worstCpu = 0;
};

// Turns the event loop until `done` holds; false after `ms`. Never sleeps
// outside the loop, so the stall monitor sees only the client's own work.
bool waitFor(const std::function<bool()> &done, int ms = 30000)
{
    return BenchLoop::waitFor(done, ms);
}

using BenchLoop::settle;

void sample(const char *name, double value)
{
    std::printf("SAMPLE %s %.3f\n", name, value);
    std::fflush(stdout);
}

// With BENCH_GAPS set, a measured span that ended just now, on
// CLOCK_MONOTONIC like the gaps.
void traceSpan(const char *name, double ms)
{
    if (!qEnvironmentVariableIsSet("BENCH_GAPS"))
        return;
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double to = double(end.tv_sec) + end.tv_nsec / 1e9;
    std::fprintf(stderr, "SPAN %s from %.6f to %.6f\n", name, to - ms / 1e3, to);
}

// A step's stall, as wall time and as the main thread's CPU time.
void stall(const char *step, const StallMonitor &monitor)
{
    std::printf("SAMPLE stall-%s-ms %.3f\nSAMPLE stall-%s-cpu-ms %.3f\n", step, monitor.worstMs(), step,
                monitor.worstCpuMs());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Private folders: nothing of the user's is read or written.
    QTemporaryDir home(QDir::tempPath() + QStringLiteral("/orvex-bench-resp-XXXXXX"));
    for (const char *dir : {"config", "data", "cache", "runtime"})
        QDir().mkpath(home.filePath(QLatin1String(dir)));
    QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", home.filePath(QStringLiteral("cache")).toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", home.filePath(QStringLiteral("runtime")).toLocal8Bit());
    qputenv("DBUS_SESSION_BUS_ADDRESS",
            (QStringLiteral("unix:path=") + home.filePath(QStringLiteral("no-bus"))).toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("ORVEX_GATEWAY_SCRIPT"))
        qputenv("ORVEX_GATEWAY_SCRIPT", ORVEX_GATEWAY_SCRIPT_PATH);

    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    if (!GatewayFixture::isRoot()) {
        std::printf("bench_responsiveness: needs root (the gateway runs in network namespaces); skipped\n");
        return 0;
    }

    DevServiceProcess service;
    if (!service.start({QStringLiteral("--seed-demo"), QStringLiteral("--seed-usage")})) {
        std::fprintf(stderr, "bench_responsiveness: %s\n", qPrintable(service.errors()));
        return 1;
    }
    // The gateway trusts the certificates the service issues.
    GatewayFixture gateway;
    QString error;
    if (!gateway.upTrusting(service.dataDir(), &error)) {
        std::fprintf(stderr, "bench_responsiveness: %s\n", qPrintable(error));
        return 1;
    }
    const auto fail = [&](const char *what) {
        std::fprintf(stderr, "bench_responsiveness: %s\n%s\n", what, qPrintable(gateway.logs()));
        return 1;
    };

    Config config = Config::parse({}, {}).value();
    config.apiBaseURL = service.origin();
    config.caCertificates = {service.caCertificate()};
    config.vpnGatewayHost = gateway.host();
    config.vpnBackend = QStringLiteral("vici");
    config.viciSocket = gateway.clientVici();
    // The checkout's own script, root's alone as the client requires.
    config.viciUpdownScript = QStringLiteral(ORVEX_UPDOWN_SCRIPT_PATH);
    BenchConfig::setGuardedNamespace(config, gateway.clientNamespace());
    SystemInfo::setMachineIdSourceForTesting(
        [] { return std::optional<QString>(QStringLiteral("bench-resp")); });
    // The client's session and the screens' context. A stored session: the
    // window signs in by itself.
    TestSession client;
    client.config = config;
    client.session.setCredentials(service.demoEmail(), service.demoPassword());

    // The screens' tunnel, on the configured backend, as the client makes it.
    VPNManager manager(VPNManager::makeConfiguredBackend(client.config, client.identities,
                                                         client.files.tunnelConfiguration),
                       client.files.tunnelConfiguration);
    VPNService tunnel(&manager, client.session, client.config);
    client.tunnel = &tunnel;
    VPNConnection *connection = manager.connection();
    QElapsedTimer clock;
    std::optional<double> connectedAt, disconnectedAt;
    qint64 cpuAtClick = 0;
    double cpuToConnected = 0;
    QObject::connect(connection, &VPNConnection::statusDidChange, &app, [&] {
        if (connection->status() == VPNStatus::Connected && !connectedAt) {
            connectedAt = clock.nsecsElapsed() / 1e6;
            cpuToConnected = (threadCpuNs() - cpuAtClick) / 1e6;
        }
        if (connection->status() == VPNStatus::Disconnected && !disconnectedAt)
            disconnectedAt = clock.nsecsElapsed() / 1e6;
    });
    int usageAnswers = 0;

    StallMonitor monitor;

    // Sign-in: from the window's first screen to the main screen.
    WindowController window(client.context);
    window.windowDidLoad();
    window.show();
    const auto mainScreen = [&] { return qobject_cast<MainViewController *>(window.contentViewController()); };
    monitor.reset();
    clock.start();
    if (!waitFor(mainScreen))
        return fail("the automatic sign-in did not reach the main screen");
    stall("sign-in", monitor);
    std::printf("sign-in to the main screen: %.1f ms (includes the 1 s root-screen delay)\n",
                clock.nsecsElapsed() / 1e6);
    // The screen's handler announces each usage answer. Its first request may
    // have been answered before this connection, so one more is asked for:
    // the first load below waits for an answer that comes after it.
    QObject::connect(mainScreen()->handler(), &MainHandler::didRecieveDeviceUsage, &app,
                     [&] { ++usageAnswers; });
    mainScreen()->handler()->getDeviceUsage();

    // First load: certificate fetched, tunnel up, usage drawn. The main
    // screen starts it when it loads, which may be before the window has
    // moved to it: a tunnel already up by now counts, timed from sign-in.
    monitor.reset();
    if (!waitFor([&] { return connectedAt && usageAnswers > 0; }))
        return fail(!connectedAt
                        ? (client.session.identityReference()
                               ? "the first load stored the certificate but the tunnel did not come up"
                               : "the first load did not store a certificate")
                        : "the first load brought the tunnel up but no usage answer arrived");
    settle(50);
    stall("first-load", monitor);
    std::printf("sign-in start to connected with the certificate fetched: %.1f ms\n", *connectedAt);
    MainViewController *screen = mainScreen();
    Session &session = client.session;
    if (!session.identityReference())
        return fail("no certificate was stored");
    // The chart's first animation is over before the clicks begin.
    settle(1200);

    // What a switch spends on the stored identity on the main thread: the
    // on-demand decision and the renewal check read the imported files; no
    // archive is decrypted any more.
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer look;
        look.start();
        const std::optional<QByteArray> reference
            = ClientIdentity::storedReference(session.identities(), session.identityReference());
        ClientIdentity::isPrivateKeyShared(session.identities(), reference);
        if (reference)
            ClientIdentity::needsRenewal(session.identities(), *reference, QDateTime::currentDateTimeUtc());
        sample("identity-checks-per-switch-ms", look.nsecsElapsed() / 1e6);
    }

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

    // Waits for the usage answer that follows every disconnect, and measures
    // the stall while it is drawn.
    const auto chartRefresh = [&](int before) {
        monitor.reset();
        if (!waitFor([&] { return usageAnswers > before; }))
            return false;
        settle(50);
        stall("chart-refresh", monitor);
        return true;
    };

    for (int round = 0; round < rounds; ++round) {
        // Turn OFF.
        int answers = usageAnswers;
        disconnectedAt.reset();
        monitor.reset();
        clock.start();
        QTest::mouseClick(screen->mainButton(), Qt::LeftButton);
        if (!waitFor([&] { return disconnectedAt.has_value(); }))
            return fail("Turn OFF did not take the tunnel down");
        settle(20);
        stall("turn-off", monitor);
        sample("click-disconnected-ms", *disconnectedAt);
        if (!chartRefresh(answers))
            return fail("no usage answer after the disconnect");

        // Turn ON: the stored certificate.
        connectedAt.reset();
        monitor.reset();
        clock.start();
        cpuAtClick = threadCpuNs();
        QTest::mouseClick(screen->mainButton(), Qt::LeftButton);
        if (!waitFor([&] { return connectedAt.has_value(); }))
            return fail("Turn ON did not bring the tunnel up");
        sample("click-connected-ms", *connectedAt);
        sample("click-connected-cpu-ms", cpuToConnected);
        traceSpan("click-connected", *connectedAt);
        settle(20);
        stall("turn-on", monitor);
        if (screen->statusLabel()->text() != QLatin1String("Turn OFF"))
            return fail("the screen does not show the tunnel up");

        // The same tunnel by a bare initiate, with the client's tunnel down.
        answers = usageAnswers;
        disconnectedAt.reset();
        QTest::mouseClick(screen->mainButton(), Qt::LeftButton);
        if (!waitFor([&] { return disconnectedAt.has_value(); }) || !chartRefresh(answers))
            return fail("Turn OFF before the bare initiate did not finish");
        std::optional<bool> up;
        clock.start();
        const qint64 cpuAtInitiate = threadCpuNs();
        bare.call("initiate", initiate, [&](const ViciReply &reply) { up = reply.isSuccess(); });
        if (!waitFor([&] { return up.has_value(); }) || !*up)
            return fail("bare initiate failed");
        sample("bare-initiate-ms", clock.nsecsElapsed() / 1e6);
        sample("bare-initiate-cpu-ms", (threadCpuNs() - cpuAtInitiate) / 1e6);
        traceSpan("bare-initiate", clock.nsecsElapsed() / 1e6);
        answers = usageAnswers;
        bool down = false;
        disconnectedAt.reset();
        bare.call("terminate", terminate, [&](const ViciReply &) { down = true; });
        if (!waitFor([&] { return down && connection->status() == VPNStatus::Disconnected; })
            || !waitFor([&] { return usageAnswers > answers; }))
            return fail("bare terminate failed");
        settle(50);
        // Back to the state of the round's start: tunnel up through the client.
        connectedAt.reset();
        QTest::mouseClick(screen->mainButton(), Qt::LeftButton);
        if (!waitFor([&] { return connectedAt.has_value(); }))
            return fail("Turn ON after the bare initiate did not bring the tunnel up");
        settle(100);
        // Nothing happening: what the machine alone costs the measure.
        monitor.reset();
        settle(300);
        stall("idle", monitor);
    }

    disconnectedAt.reset();
    tunnel.disconnect();
    waitFor([&] { return disconnectedAt.has_value(); }, 10000);
    return 0;
}
