#include "app/AppWiring.h"
#include "app/CommandLine.h"
#include "ui/FirstFrame.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "platform/HeapTuning.h"
#include "platform/Logging.h"
#include "platform/SessionBus.h"
#include "platform/SingleInstance.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <optional>
#include <utility>

#include <unistd.h>

using namespace Orvex;

namespace {

// For the start-up benchmark: report the first painted frame of the main
// window on stdout and stay there, so that what the benchmark reads of the
// process (its memory, its libraries) is the first frame's and nothing of
// what the frame lets start (the update check, the sign-in). The benchmark
// ends the process; an alarm does, should it never come.
void stopAtFirstFrame(QWidget *window)
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
                    ::alarm(10);
                    for (;;)
                        ::pause();
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
    const QStringList arguments = CommandLine::fromArgv(argc, argv);
    CommandLine::Choices choices;
    if (const std::optional<int> status = CommandLine::handle(arguments, &choices))
        return *status;
    Logging::install(choices.verbose);
    const bool inTray = CommandLine::startsInTray(arguments);

    // A bad configuration stops the client here, before any window or request.
    Config config = Config::loadOrExit();

    HeapTuning::apply();
    QApplication app(argc, argv);
    AppWiring::prepare(app);

    SingleInstance instance;
    if (instance.claim(SessionBus::clientAppId) == SingleInstance::Claim::AlreadyRunning) {
        // Started for the tray (activation raced a start by the user): the
        // running client already answers, and its window stays as it is.
        if (inTray)
            return 0;
        instance.requestReopen([](bool) { QCoreApplication::exit(0); });
        return app.exec();
    }

    AppWiring::dress(app);
    AppWiring client(&app, std::move(config));
    client.bringForwardOnReopen(instance);
    if (inTray)
        client.startInTray();
    else
        FirstFrame::holdUntilPainted(&client.window());
    // After the hold: the filter installed last sees the frame first.
    if (qEnvironmentVariableIsSet("ORVEX_BENCH_FIRST_FRAME"))
        stopAtFirstFrame(&client.window());
    client.launch();
    return client.exec();
}
