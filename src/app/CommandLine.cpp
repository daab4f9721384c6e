#include "CommandLine.h"

#include "api/Utility.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

#include <cstdio>

namespace Orvex::CommandLine {

namespace {

constexpr char programName[] = "orvex";

// Qt's own toolkit options. QApplication strips them from the arguments
// itself; they are accepted here, unlisted, because desktops pass some of them
// unasked (a session manager restores a client with -session) and a developer
// may choose -platform or -style as with any Qt program.
void addToolkitOptions(QCommandLineParser &parser)
{
    static const char *const withValue[] = {"platform",
                                            "platformpluginpath",
                                            "platformtheme",
                                            "plugin",
                                            "qwindowgeometry",
                                            "qwindowicon",
                                            "qwindowtitle",
                                            "session",
                                            "display",
                                            "geometry",
                                            "name",
                                            "title",
                                            "visual",
                                            "style",
                                            "stylesheet",
                                            "qmljsdebugger"};
    static const char *const flags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};
    for (const char *name : withValue) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setValueName(QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char *name : flags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

int fail(const QString &message)
{
    std::fprintf(stderr, "%s: %s Try '%s --help'.\n", programName, qPrintable(message), programName);
    return 2;
}

} // namespace

std::optional<int> handle(const QStringList &arguments, Choices *choices)
{
    QCommandLineParser parser;
    // Qt's options are spelled with one dash (-platform); short option
    // bundling would read "-platform" as seven letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        QStringLiteral("Orvex Cloud: the desktop client of the Orvex Cloud VPN service.\n"
                       "Started without options it opens its window, or brings the window of\n"
                       "the client already running in this session forward."));
    // Not addHelpOption(): its --help-all would document Qt's options, which
    // are passed over here but are not the client's.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help"), QStringLiteral("?")},
                                  QStringLiteral("Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption
        verbose(QStringLiteral("verbose"),
                QStringLiteral("Logs what the client does (tunnel states, requests in brief) on stderr."));
    parser.addOption(verbose);
    parser.addOption(
        QCommandLineOption(QStringLiteral("tray"),
                           QStringLiteral(
                               "Starts in the tray without opening the window (as D-Bus activation\n"
                               "does for orvexctl). A client already running is left as it is.")));
    addToolkitOptions(parser);

    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return fail(
            QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst()));

    if (parser.isSet(help)) {
        // Without an application object the parser cannot know the program's
        // name for its usage line.
        QString text = parser.helpText();
        const qsizetype endOfUsage = text.indexOf(u'\n');
        text.replace(0, endOfUsage, QStringLiteral("Usage: %1 [options]").arg(QLatin1String(programName)));
        std::fputs(qPrintable(text), stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("%s %s\n", programName, qPrintable(Utility::applicationVersion()));
        return 0;
    }
    if (choices)
        choices->verbose = parser.isSet(verbose);
    return std::nullopt;
}

bool startsInTray(const QStringList &arguments)
{
    return arguments.contains(QStringLiteral("--tray"));
}

QStringList fromArgv(int argc, char *argv[])
{
    QStringList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}

} // namespace Orvex::CommandLine
