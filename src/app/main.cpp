#include "app/AppWiring.h"
#include "app/CommandLine.h"
#include "ui/FirstFrame.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "platform/HeapTuning.h"
#include "platform/SessionBus.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <optional>

using namespace Orvex;

namespace {

// For the start-up benchmark: report the first painted frame of the main
// window on stdout and quit.
void exitAfterFirstFrame(QWidget *window)
{
    struct FirstFrame final : QObject
    {
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (event->type() == QEvent::Paint) {
                watched->removeEventFilter(this);
                QTimer::singleShot(0, qApp, [] {
                    std::fputs("first-frame\n", stdout);
                    std::fflush(stdout);
                    QCoreApplication::exit(0);
                });
            }
            return false;
        }
    };
    window->installEventFilter(new FirstFrame);
}

} // namespace

int main(int argc, char *argv[])
{
    // The command line is answered first: --version and --help need no
    // display, and work even with a bad configuration, which matters only to
    // a client that starts.
    if (const std::optional<int> status = CommandLine::handle(CommandLine::fromArgv(argc, argv)))
        return *status;

    // A bad configuration stops the client here, before any window or request.
    Config::loadOrExit();

    HeapTuning::apply();
    QApplication app(argc, argv);
    AppWiring::prepare(app);

    SingleInstance instance;
    if (instance.claim(SessionBus::clientAppId) == SingleInstance::Claim::AlreadyRunning) {
        instance.requestReopen([](bool) { QCoreApplication::exit(0); });
        return app.exec();
    }

    AppWiring::dress(app);
    AppWiring client(&app);
    client.bringForwardOnReopen(instance);
    if (qEnvironmentVariableIsSet("ORVEX_BENCH_FIRST_FRAME"))
        exitAfterFirstFrame(&client.window());
    FirstFrame::holdUntilPainted(&client.window());
    client.launch();
    return client.exec();
}
