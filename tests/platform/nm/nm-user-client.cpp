// The tunnel service with the NetworkManager backend, run by tst_nm_e2e as an
// ordinary user: `nm-user-client GATEWAY CA_FILE IDENTITY.p12` reads commands
// from stdin (connect, disconnect, on-demand, quit) and reports on stdout
// ("status connected", "reason TEXT" as the main screen shows it, "quit").

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
#include "vpn/VPNService.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

using namespace Orvex;
using namespace Qt::StringLiterals;

namespace {

void say(const QString &line)
{
    std::fputs(qPrintable(line + u'\n'), stdout);
    std::fflush(stdout);
}

QString statusName(VPNStatus status)
{
    static const char *const names[] = {"invalid",   "disconnected", "connecting",
                                        "connected", "reasserting",  "disconnecting"};
    return QString::fromLatin1(names[int(status)]);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(u"orvex"_s);
    QCoreApplication::setApplicationName(u"orvex"_s);
    const QStringList arguments = QCoreApplication::arguments();
    QFile archiveFile(arguments.value(3));
    if (arguments.size() != 4 || !archiveFile.open(QIODevice::ReadOnly)) {
        say(u"usage: nm-user-client GATEWAY CA_FILE IDENTITY.p12"_s);
        return 2;
    }
    Config config = Config::parse({}, {}).value();
    config.vpnGatewayHost = arguments.at(1);
    config.caCertificates = {arguments.at(2)};
    config.vpnBackend = u"networkmanager"_s;
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(u"nm-e2e-machine"_s); });
    // The client's own session on the standard files, as AppWiring makes it.
    const UserFiles files = UserFiles::standard();
    UserDefaults defaults(files.defaults);
    defaults.setString(DefaultsKeys::tempEmail, u"ann@example.com"_s);
    DesktopSecretStore secrets(SessionBus::clientAppId, files.fallbackSecrets);
    IdentityStore identities(files.identities);
    Session session(secrets, defaults, identities, files.account, config);
    const std::optional<IdentityStore::Identity> identity
        = identities.importSingleIdentity(archiveFile.readAll(), config.pkcs12Passphrase);
    if (!identity || !session.replaceIdentity(identity->reference)) {
        say(u"the identity was not taken"_s);
        return 1;
    }

    VPNManager manager(VPNManager::makeConfiguredBackend(config, identities, files.tunnelConfiguration),
                       files.tunnelConfiguration);
    VPNService service(&manager, session, config);
    QObject::connect(&service, &VPNService::statusDidChange, &app,
                     [](VPNStatus status) { say(u"status "_s + statusName(status)); });
    QObject::connect(manager.backend(), &VPNBackend::reasonChanged, &app,
                     [&manager] { say(u"reason "_s + manager.backend()->unavailableReason()); });

    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&commands, &QSocketNotifier::activated, &app, [&] {
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            commands.setEnabled(false);
            return;
        }
        pending.append(buffer, got);
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0;) {
            const QByteArray command = pending.left(end);
            pending.remove(0, end + 1);
            if (command == "connect") {
                service.connect();
            } else if (command == "disconnect") {
                service.disconnect();
            } else if (command == "on-demand") {
                // With the key handed over once, a connect saves on-demand on.
                defaults.setBoolean(DefaultsKeys::isAutoConnectEnabled, true);
                service.connect();
            } else if (command == "quit") {
                service.quit([] {
                    say(u"quit"_s);
                    QCoreApplication::exit(0);
                });
            }
        }
    });
    return app.exec();
}
