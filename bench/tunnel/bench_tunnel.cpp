// Prints the median time from startVPNTunnel() to "connected" through
// VPNManager and its VICI backend, and from a bare VICI `initiate` to its
// answer, measured alternately on the same gateway in the same run.

#include "ConfigCompat.h"
#include "EventWait.h"
#include "GatewayFixture.h"

#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "session/UserFiles.h"
#include "config/Config.h"
#include "platform/DesktopSecretStore.h"
#include "platform/IdentityStore.h"
#include "platform/SessionBus.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VPNManager.h"
#include "platform/vici/ViciClient.h"
#include "vpn/VPNService.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

using namespace Orvex;

namespace {

// Runs the event loop until `done` holds or 30 s pass; false on time-out.
template<typename Predicate>
bool waitFor(Predicate done)
{
    return BenchLoop::waitFor(done, 30000);
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

int fail(const char *what, GatewayFixture &gateway)
{
    std::fprintf(stderr, "bench_tunnel: %s\n%s\n", what, qPrintable(gateway.logs()));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(10, atoi(argv[1])) : 15;
    if (!GatewayFixture::isRoot()) {
        std::printf("bench_tunnel: needs root (the gateway runs in network namespaces); skipped\n");
        return 0;
    }
    // Private folders: the benchmark must not touch the user's configuration.
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("ORVEX_GATEWAY_SCRIPT"))
        qputenv("ORVEX_GATEWAY_SCRIPT", ORVEX_GATEWAY_SCRIPT_PATH);

    GatewayFixture gateway;
    QString error;
    if (!gateway.up(&error)) {
        std::fprintf(stderr, "bench_tunnel: %s\n", qPrintable(error));
        return 1;
    }
    Config config = Config::parse({}, {}).value();
    config.vpnGatewayHost = gateway.host();
    config.viciSocket = gateway.clientVici();
    // The checkout's own script, root's alone as the client requires.
    config.viciUpdownScript = QStringLiteral(ORVEX_UPDOWN_SCRIPT_PATH);
    BenchConfig::setGuardedNamespace(config, gateway.clientNamespace());
    config.caCertificates = {gateway.caCertificate()};
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(QStringLiteral("bench")); });
    // The client's own session on the standard files, as AppWiring makes it.
    const UserFiles files = UserFiles::standard();
    UserDefaults defaults(files.defaults);
    defaults.setString(DefaultsKeys::tempEmail, QStringLiteral("bench@example.com"));
    DesktopSecretStore secrets(SessionBus::clientAppId, files.fallbackSecrets);
    IdentityStore identities(files.identities);
    Session session(secrets, defaults, identities, files.account, config);

    VPNManager manager(VPNManager::makeConfiguredBackend(config, identities, files.tunnelConfiguration),
                       files.tunnelConfiguration);
    VPNService service(&manager, session, config);
    const QByteArray archive = gateway.issueClientIdentity(service.localIdentifier(), config.pkcs12Passphrase);
    if (archive.isEmpty())
        return fail("cannot issue a client identity", gateway);
    const std::optional<IdentityStore::Identity> identity
        = identities.importSingleIdentity(archive, config.pkcs12Passphrase);
    if (!identity || !session.replaceIdentity(identity->reference))
        return fail("cannot keep the client identity", gateway);

    // Save once (on-demand off), as connect() would, without starting.
    service.config().isOnDemandEnabled = false;
    bool saved = false;
    manager.loadFromPreferences(
        [&](const Outcome<> &loaded) { service.configureAndSave(loaded, [&] { saved = true; }); });
    if (!waitFor([&] { return saved; }))
        return fail("the configuration was not saved", gateway);

    VPNConnection *connection = manager.connection();
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

    QList<double> ours, direct, off;
    QElapsedTimer clock;
    for (int round = 0; round < rounds; ++round) {
        clock.start();
        if (!connection->startVPNTunnel().isSuccess())
            return fail("startVPNTunnel refused", gateway);
        if (!waitFor([&] { return connection->status() == VPNStatus::Connected; }))
            return fail("our tunnel did not come up", gateway);
        ours << clock.nsecsElapsed() / 1e6;
        clock.start();
        connection->stopVPNTunnel();
        if (!waitFor([&] { return connection->status() == VPNStatus::Disconnected; }))
            return fail("our tunnel did not go down", gateway);
        off << clock.nsecsElapsed() / 1e6;

        std::optional<bool> up;
        clock.start();
        bare.call("initiate", initiate, [&](const ViciReply &reply) { up = reply.isSuccess(); });
        if (!waitFor([&] { return up.has_value(); }) || !*up)
            return fail("bare initiate failed", gateway);
        direct << clock.nsecsElapsed() / 1e6;
        bool down = false;
        bare.call("terminate", terminate, [&](const ViciReply &) { down = true; });
        if (!waitFor([&] { return down && connection->status() == VPNStatus::Disconnected; }))
            return fail("bare terminate failed", gateway);
    }

    const double oursMedian = median(ours);
    const double directMedian = median(direct);
    std::printf("tunnel up, median of %d rounds each (same gateway, same run):\n", rounds);
    std::printf("  startVPNTunnel() to connected (VPNManager, VICI backend): %8.2f ms\n", oursMedian);
    std::printf("  bare VICI initiate to its answer:                         %8.2f ms\n", directMedian);
    const auto range = [](const QList<double> &v) {
        return QStringLiteral("%1 .. %2")
            .arg(*std::min_element(v.begin(), v.end()), 0, 'f', 2)
            .arg(*std::max_element(v.begin(), v.end()), 0, 'f', 2);
    };
    std::printf("  range ours %s ms, bare %s ms\n", qPrintable(range(ours)), qPrintable(range(direct)));
    std::printf("  ratio ours / bare:                                        %8.2f (target <= 1.20)\n",
                oursMedian / directMedian);
    std::printf("  stopVPNTunnel() to disconnected:                          %8.2f ms\n", median(off));
    std::printf("FIGURE connect-ms %.2f\nFIGURE connect-bare-ms %.2f\nFIGURE connect-ratio %.3f\n"
                "FIGURE disconnect-ms %.2f\n",
                oursMedian, directMedian, oursMedian / directMedian, median(off));
    return 0;
}
