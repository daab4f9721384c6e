// orvex-devservice: a local stand-in for the service API and the help desk, for
// development, tests and the demo. See README.md in this folder.

#include "CertificateAuthority.h"
#include "ConnectionGuard.h"
#include "Database.h"
#include "DevRoutes.h"
#include "FaultTable.h"
#include "Files.h"
#include "FrontEnd.h"
#include "GatewayUsageMonitor.h"
#include "HelpDesk.h"
#include "Secrets.h"
#include "ServiceApi.h"
#include "Store.h"
#include "UpdateCatalog.h"

#include "config/Config.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace OrvexDev;

namespace {

const char *const usageText
    = "usage: orvex-devservice --data DIR [--listen HOST:PORT] [--seed-demo] [--seed-usage]\n"
      "                        [--dev-routes] [--gateway-vici PATH] [--vici-interval MS]\n"
      "                        [--latest-version X.Y.Z] [--update-signing-key PEM]\n"
      "                        [--threads N] [--cert-days N] [--request-deadline MS]\n"
      "                        [--password-rounds N] [--first-backoff S] [--log]\n"
      "       orvex-devservice issue-gateway-cert --data DIR --host NAME [--host NAME...]\n"
      "                        --out-cert FILE --out-key FILE [--days N]\n"
      "\n"
      "Serves the service API and the help desk over HTTPS with its own CA (DIR/ca.crt).\n"
      "--listen 127.0.0.1:0 picks a free port; the address is printed once it is ready.\n"
      "Constants shared with the client come from the configuration (ORVEX_CONFIG).\n"
      "--cert-days N makes getcert issue client certificates valid for N days (default 825).\n";

const char *const demoEmail = "demo@orvex.example";

// The largest request body taken (help-desk tickets and development routes).
constexpr size_t maxBody = 1024 * 1024;

// Resident memory of this process in kB, from /proc.
std::int64_t residentKb()
{
    const auto status = Files::read("/proc/self/status");
    if (!status)
        return -1;
    const size_t at = status->find("VmRSS:");
    if (at == std::string::npos)
        return -1;
    return std::atoll(status->c_str() + at + 6);
}

struct Options
{
    std::string listenHost = "127.0.0.1";
    int listenPort = 8443;
    std::string dataDir;
    bool seedDemo = false;
    bool seedUsage = false;
    bool devRoutes = false;
    std::string gatewayVici;
    int viciIntervalMs = 5000;
    std::string latestVersion = ORVEX_DEVSERVICE_LATEST_VERSION;
    std::string updateSigningKey;
    int passwordRounds = Secrets::defaultRounds;
    int requestDeadlineMs = 10000;
    int firstBackOffSeconds = 1;
    int threads = 32;
    int certDays = 825;
    bool log = false;
    // issue-gateway-cert
    std::vector<std::string> hosts;
    std::string outCertificate;
    std::string outKey;
    int days = 825;
};

[[noreturn]] void fail(const std::string &message)
{
    std::fprintf(stderr, "orvex-devservice: %s\n", message.c_str());
    std::exit(1);
}

[[noreturn]] void usageError(const std::string &message)
{
    std::fprintf(stderr, "orvex-devservice: %s\n%s", message.c_str(), usageText);
    std::exit(2);
}

int parseNumber(const std::string &text, int min, int max, const char *option)
{
    int value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() || value < min
        || value > max)
        usageError(std::string(option) + " wants a number from " + std::to_string(min) + " to "
                   + std::to_string(max));
    return value;
}

void parseListen(const std::string &text, Options &options)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        usageError("--listen wants HOST:PORT");
    std::string host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    options.listenHost = host;
    options.listenPort = parseNumber(text.substr(colon + 1), 0, 65535, "--listen");
}

Options parseOptions(int argc, char **argv, int first)
{
    Options options;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usageError(arg + " wants a value");
            return argv[++i];
        };
        if (arg == "--listen")
            parseListen(value(), options);
        else if (arg == "--data")
            options.dataDir = value();
        else if (arg == "--seed-demo")
            options.seedDemo = true;
        else if (arg == "--seed-usage")
            options.seedUsage = true;
        else if (arg == "--dev-routes")
            options.devRoutes = true;
        else if (arg == "--gateway-vici")
            options.gatewayVici = value();
        else if (arg == "--vici-interval")
            options.viciIntervalMs = parseNumber(value(), 100, 3600000, "--vici-interval");
        else if (arg == "--latest-version")
            options.latestVersion = value();
        else if (arg == "--password-rounds")
            options.passwordRounds = parseNumber(value(), 1000, 10000000, "--password-rounds");
        else if (arg == "--first-backoff")
            options.firstBackOffSeconds = parseNumber(value(), 1, 900, "--first-backoff");
        else if (arg == "--request-deadline")
            options.requestDeadlineMs = parseNumber(value(), 100, 600000, "--request-deadline");
        else if (arg == "--update-signing-key")
            options.updateSigningKey = value();
        else if (arg == "--threads")
            options.threads = parseNumber(value(), 2, 512, "--threads");
        else if (arg == "--cert-days")
            options.certDays = parseNumber(value(), 1, 3650, "--cert-days");
        else if (arg == "--log")
            options.log = true;
        else if (arg == "--host")
            options.hosts.push_back(value());
        else if (arg == "--out-cert")
            options.outCertificate = value();
        else if (arg == "--out-key")
            options.outKey = value();
        else if (arg == "--days")
            options.days = parseNumber(value(), 1, 3650, "--days");
        else if (arg == "--help" || arg == "-h") {
            std::fputs(usageText, stdout);
            std::exit(0);
        } else
            usageError("unknown option " + arg);
    }
    if (options.dataDir.empty())
        usageError("--data DIR is required");
    return options;
}

void say(const std::string &line)
{
    std::fprintf(stdout, "orvex-devservice: %s\n", line.c_str());
    std::fflush(stdout);
}

std::unique_ptr<CertificateAuthority> openAuthority(const std::string &dir)
{
    std::string error;
    if (!Files::makeDirectory(dir, &error))
        fail(error);
    auto authority = CertificateAuthority::openOrCreate(dir, &error);
    if (!authority)
        fail(error);
    return authority;
}

int issueGatewayCertificate(const Options &options)
{
    if (options.hosts.empty() || options.outCertificate.empty() || options.outKey.empty())
        usageError("issue-gateway-cert wants --host, --out-cert and --out-key");
    for (const std::string &host : options.hosts) {
        unsigned char address[16];
        const bool isAddress = inet_pton(AF_INET, host.c_str(), address) == 1
                               || inet_pton(AF_INET6, host.c_str(), address) == 1;
        if (!isAddress && !CertificateAuthority::isDnsName(host))
            usageError("--host " + host + " is neither a DNS name nor an IP address");
    }
    const auto authority = openAuthority(options.dataDir);
    std::string certificate;
    std::string key;
    std::string error;
    if (!authority->issueGateway(options.hosts, options.days, &certificate, &key, &error))
        fail(error);
    if (!Files::writeAtomically(options.outKey, key, 0600, &error)
        || !Files::writeAtomically(options.outCertificate, certificate, 0644, &error))
        fail(error);
    say("gateway certificate for " + options.hosts.front() + " written to " + options.outCertificate
        + " (key " + options.outKey + ")");
    return 0;
}

// The demo account keeps one password across restarts: it is generated once and
// kept beside the database (owner-only), so the printed password always works.
void seedDemoAccount(const std::string &dir, Store &store)
{
    const std::string path = dir + "/demo-account.json";
    std::string password;
    if (const auto saved = Files::read(path)) {
        const auto document = nlohmann::json::parse(*saved, nullptr, false);
        if (document.is_object() && document.contains("password") && document["password"].is_string())
            password = document["password"].get<std::string>();
    }
    auto account = store.account(demoEmail);
    if (password.empty() || (account && !Secrets::verifyPassword(password, account->passwordHash))) {
        password = Secrets::randomPassword(12);
        std::string error;
        if (!Files::writeAtomically(path, dumpJson({{"email", demoEmail}, {"password", password}}), 0600,
                                    &error))
            fail(error);
        if (account)
            store.setPassword(account->id, Secrets::hashPassword(password));
    }
    if (!account) {
        Account demo;
        demo.email = demoEmail;
        demo.name = "Demo User";
        demo.phone = "+33612345678";
        demo.passwordHash = Secrets::hashPassword(password);
        demo.createdAt = std::int64_t(std::time(nullptr));
        store.createAccount(demo);
    }
    say(std::string("demo e-mail ") + demoEmail);
    say("demo password " + password);
}

std::string urlHost(const std::string &host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

int serve(const Options &options, const Orvex::Config &config)
{
    std::signal(SIGPIPE, SIG_IGN);
    // Termination signals are taken by the main thread alone (sigtimedwait below).
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const auto authority = openAuthority(options.dataDir);

    std::string error;
    const auto database = Database::open(options.dataDir + "/devservice.sqlite3", &error);
    if (!database)
        fail("cannot open the database: " + error);
    Store store(*database);

    std::vector<std::string> hosts = {"localhost", "127.0.0.1", "::1"};
    const bool wildcard = options.listenHost == "0.0.0.0" || options.listenHost == "::";
    if (!wildcard && std::find(hosts.begin(), hosts.end(), options.listenHost) == hosts.end())
        hosts.insert(hosts.begin(), options.listenHost);
    auto serverIdentity = authority->issueServer(hosts, &error);
    if (!serverIdentity)
        fail(error);
    X509 *caCertificate = authority->certificate();
    Secrets::setRounds(options.passwordRounds);
    // Slow or endless requests must not take every worker: a host gets at most
    // half of them, and a request has a deadline and a byte budget (a full
    // body, the headers and TLS framing) to arrive in.
    ConnectionGuard::Limits limits;
    limits.perSource = std::max(1, options.threads / 2);
    limits.requestDeadline = std::chrono::milliseconds(options.requestDeadlineMs);
    limits.requestBytes = maxBody + 64 * 1024 + 16 * 1024;
    ConnectionGuard guard(limits);
    httplib::SSLServer server([&](SSL_CTX &context) {
        SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
        return guard.install(context)
               && SSL_CTX_use_certificate(&context, serverIdentity->certificate.get()) == 1
               && SSL_CTX_use_PrivateKey(&context, serverIdentity->key.get()) == 1
               && SSL_CTX_add1_chain_cert(&context, caCertificate) == 1;
    });
    if (!server.is_valid())
        fail("cannot set up TLS");
    const int threads = options.threads;
    server.new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };
    server.set_keep_alive_max_count(1000);
    server.set_keep_alive_timeout(5);
    server.set_read_timeout(10);
    server.set_write_timeout(10);
    server.set_payload_max_length(maxBody);
    server.set_tcp_nodelay(true);

    int port = options.listenPort;
    if (port == 0)
        port = server.bind_to_any_port(options.listenHost);
    else if (!server.bind_to_port(options.listenHost, port))
        port = -1;
    if (port <= 0)
        fail("cannot listen on " + options.listenHost + ":" + std::to_string(options.listenPort));

    ServiceSettings settings;
    settings.apiIdentifier = config.apiIdentifier.toStdString();
    settings.serviceCheckValue = config.serviceCheckValue.toStdString();
    settings.signUpCheckValue = config.signUpCheckValue.toStdString();
    settings.vpnDomain = config.vpnDomain.toStdString();
    settings.pkcs12Passphrase = config.pkcs12Passphrase.toStdString();
    settings.latestVersion = options.latestVersion;
    if (!options.updateSigningKey.empty()) {
        const auto pem = Files::read(options.updateSigningKey);
        if (!pem)
            fail("cannot read the update signing key " + options.updateSigningKey);
        if (!UpdateCatalog::sign(*pem, "probe", &error))
            fail(error);
        settings.updateSigningKey = *pem;
    }
    settings.fallbackOrigin = "https://" + urlHost(wildcard ? "127.0.0.1" : options.listenHost) + ":"
                              + std::to_string(port);
    settings.seedUsage = options.seedUsage;
    settings.clientCertificateDays = options.certDays;
    settings.firstBackOffSeconds = options.firstBackOffSeconds;
    ServiceApi api(settings, store, *authority);
    HelpDesk helpDesk(config.helpDeskAuthorization.toStdString(), store);
    FaultTable faults;
    DevRoutes devRoutes(store, faults);
    FrontEnd frontEnd(api, helpDesk, options.devRoutes ? &devRoutes : nullptr, faults, options.log);
    frontEnd.install(server);
    frontEnd.setGuard(&guard);
    devRoutes.setStats([&guard, threads] {
        const ConnectionGuard::Figures figures = guard.figures();
        return nlohmann::json{{"rssKb", residentKb()},
                              {"workers", threads},
                              {"workersFree", threads - std::int64_t(figures.open)},
                              {"connections", figures.open},
                              {"refusedOverCap", figures.refused},
                              {"cutAtDeadline", figures.timedOut},
                              {"cutOverBudget", figures.overBudget}};
    });
    guard.start();

    try {
        if (options.seedDemo)
            seedDemoAccount(options.dataDir, store);
        if (options.seedUsage) {
            for (const Device &device : store.allDevices())
                api.seedUsage(device.id, device.udid);
        }
    } catch (const StoreError &e) {
        fail(std::string("cannot seed the database: ") + e.what());
    }

    std::unique_ptr<GatewayUsageMonitor> monitor;
    if (!options.gatewayVici.empty()) {
        monitor = std::make_unique<GatewayUsageMonitor>(options.gatewayVici, options.viciIntervalMs,
                                                        settings.vpnDomain, store);
        monitor->start();
    }

    std::atomic<bool> serverEnded{false};
    std::thread listener([&] {
        server.listen_after_bind();
        serverEnded = true;
    });
    // Wait until the listener runs before announcing the address.
    while (!server.is_running() && !serverEnded)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    say("data folder " + options.dataDir + ", CA certificate " + options.dataDir + "/ca.crt");
    say("listening on https://" + urlHost(options.listenHost) + ":" + std::to_string(port));

    int status = 0;
    while (true) {
        const timespec slice = {0, 200 * 1000 * 1000};
        const int signal = sigtimedwait(&signals, nullptr, &slice);
        if (signal == SIGINT || signal == SIGTERM)
            break;
        if (serverEnded) {
            std::fprintf(stderr, "orvex-devservice: the HTTPS server stopped\n");
            status = 1;
            break;
        }
    }
    // Stop accepting, let the requests being answered finish, take the last
    // gateway sample, and leave. Workers idling on kept-alive connections are not
    // waited for (that could take the whole keep-alive time): every change is
    // already committed, so dropping those connections loses nothing.
    server.stop();
    frontEnd.drain(10000);
    guard.stop();
    if (monitor)
        monitor->stop();
    std::fflush(nullptr);
    listener.detach();
    std::_Exit(status);
}

} // namespace

int main(int argc, char **argv)
{
    // Everything the service writes (database, keys) is the owner's alone;
    // ca.crt is made readable on purpose.
    umask(077);
    if (argc > 1 && std::strcmp(argv[1], "issue-gateway-cert") == 0)
        return issueGatewayCertificate(parseOptions(argc, argv, 2));
    const Options options = parseOptions(argc, argv, 1);
    return serve(options, Orvex::Config::loadOrExit());
}
