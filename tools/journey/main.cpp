// orvex-journey: the client as main() builds it, walked through a journey by
// the driver instead of a user. Not part of the package.

#include "Automation.h"

#include "app/AppWiring.h"
#include "config/Config.h"
#include "platform/Logging.h"
#include "platform/SessionBus.h"
#include "platform/SingleInstance.h"

#include <QApplication>

#include <cstdio>
#include <utility>

using namespace Orvex;

int main(int argc, char *argv[])
{
    const QString which = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("journey");
    Logging::install(false);
    Config config = Config::loadOrExit();

    QApplication app(argc, argv);
    AppWiring::prepare(app);
    // The journey owns the session's client: a client already running there
    // would answer in its place.
    SingleInstance instance;
    if (instance.claim(SessionBus::clientAppId) == SingleInstance::Claim::AlreadyRunning) {
        std::fputs("orvex-journey: a client is already running in this session\n", stderr);
        return 2;
    }
    AppWiring::dress(app);
    AppWiring client(&app, std::move(config));
    client.bringForwardOnReopen(instance);
    client.launch(
        [&app, &client, which] { Automation::begin(which, client.context(), client.tunnel(), &app); });
    return client.exec();
}
