// What each change of the traffic block costs the main thread, from the
// apply() call until it returns, and how long until the change is in force
// (settled), for the changes a tunnel's life makes: Turn ON (open to
// blocking), up (blocking to the tunnel), down (the tunnel to blocking) and
// the lift (blocking to open). In a network namespace of its own, made and
// removed here. Needs root.

#include "EventWait.h"

#include "platform/NftablesLeakGuard.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using namespace Orvex;

namespace {

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (::geteuid() != 0) {
        std::printf("bench_policy: needs root (nftables in a namespace of its own); skipped\n");
        return 0;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const QString name = QStringLiteral("orvex-bench-policy-%1").arg(::getpid());
    if (QProcess::execute(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("add"), name}) != 0) {
        std::fprintf(stderr, "bench_policy: cannot make namespace %s\n", qPrintable(name));
        return 1;
    }
    int status = 0;
    {
        NftablesLeakGuard guard(QStringLiteral("/run/netns/") + name);
        bool settled = true;
        guard.whenSettled([&settled] { settled = true; });
        LeakPolicy policy;
        policy.gateway = {QHostAddress(QStringLiteral("192.0.2.1")),
                          QHostAddress(QStringLiteral("2001:db8::1"))};
        struct Step
        {
            const char *figure;
            LeakPolicy::Level level;
            std::vector<double> call, inForce;
        };
        std::vector<Step> steps{{"turn-on", LeakPolicy::Level::Blocking, {}, {}},
                                {"up", LeakPolicy::Level::Tunnel, {}, {}},
                                {"down", LeakPolicy::Level::Blocking, {}, {}},
                                {"lift", LeakPolicy::Level::Open, {}, {}}};
        for (int round = 0; round < rounds && status == 0; ++round) {
            for (Step &step : steps) {
                policy.level = step.level;
                const LeakPolicy wanted = step.level == LeakPolicy::Level::Open ? LeakPolicy() : policy;
                settled = false;
                QElapsedTimer timer;
                timer.start();
                const Outcome<> applied = guard.apply(wanted);
                step.call.push_back(timer.nsecsElapsed() / 1e6);
                if (!applied.isSuccess()) {
                    std::fprintf(stderr, "bench_policy: %s: %s\n", step.figure, qPrintable(applied.error()));
                    status = 1;
                    break;
                }
                if (!guard.isSettled() && !BenchLoop::waitFor([&] { return settled; }, 10000)) {
                    std::fprintf(stderr, "bench_policy: %s never settled\n", step.figure);
                    status = 1;
                    break;
                }
                step.inForce.push_back(timer.nsecsElapsed() / 1e6);
                if (!guard.verify().isSuccess()) {
                    std::fprintf(stderr, "bench_policy: %s: %s\n", step.figure,
                                 qPrintable(guard.verify().error()));
                    status = 1;
                    break;
                }
            }
        }
        std::printf("traffic block changes, median of %d rounds (main thread / until in force):\n", rounds);
        for (const Step &step : steps) {
            std::printf("  %-8s %6.2f ms / %6.2f ms\n", step.figure, median(step.call), median(step.inForce));
            for (double value : step.call)
                std::printf("SAMPLE policy-%s-main-ms %.3f\n", step.figure, value);
            for (double value : step.inForce)
                std::printf("SAMPLE policy-%s-in-force-ms %.3f\n", step.figure, value);
        }
    }
    QProcess::execute(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("del"), name});
    return status;
}
