// orvexctl: the tunnel of the running Orvex client from a terminal or a status
// bar. See orvexctl(1) for the commands and exit statuses.

#include "ControlClient.h"

#include "Version.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace {

using Exit = ControlClient::Exit;

constexpr int defaultWaitSeconds = 60;
constexpr int maxWaitSeconds = 3600;
constexpr qsizetype maxReportBytes = 1 << 20;

const char usage[] = "Usage: orvexctl COMMAND\n"
                     "\n"
                     "The VPN of the running Orvex client (started when it is not running).\n"
                     "\n"
                     "Commands:\n"
                     "  status [--json]          the tunnel's state, as one line or as JSON\n"
                     "  on [--wait [SECONDS]]    turn the VPN on; with --wait, until it is up\n"
                     "                           (at most SECONDS, default 60)\n"
                     "  off                      turn the VPN off (also lifts a block)\n"
                     "  watch                    one JSON line now and at every change\n"
                     "  diagnostics [--json]     a report for a help-desk ticket, without secrets\n"
                     "  --help, --version\n"
                     "\n"
                     "Exit status: 0 connected (status, on --wait) or done, 1 not connected,\n"
                     "2 error (usage, no session bus, the client unreachable), 3 signed out.\n";

void out(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int fail(const QString &text, int status = Exit::Failure)
{
    std::fprintf(stderr, "orvexctl: %s\n", ControlClient::printable(text).toUtf8().constData());
    return status;
}

int stateExit(const QVariantMap &properties)
{
    return properties.value(QStringLiteral("State")).toString() == QLatin1String("Connected")
               ? Exit::Connected
               : Exit::NotConnected;
}

int status(ControlClient &client, bool asJson)
{
    QString error;
    const std::optional<QVariantMap> properties = client.properties(&error);
    if (!properties)
        return fail(QStringLiteral("Orvex does not answer: %1").arg(error));
    if (asJson)
        out(QString::fromUtf8(ControlClient::json(*properties)));
    else
        out(ControlClient::line(*properties));
    return stateExit(*properties);
}

int switchOff(ControlClient &client)
{
    const QDBusMessage reply = client.call(QStringLiteral("Disconnect"));
    if (reply.type() != QDBusMessage::ReplyMessage)
        return fail(QStringLiteral("Orvex does not answer: %1").arg(reply.errorMessage()));
    return Exit::Connected;
}

int switchOn(QCoreApplication &app, ControlClient &client, std::optional<int> waitSeconds)
{
    QString error;
    // Read first: this starts a client that is not running, and tells which
    // outcome is older than this request.
    const std::optional<QVariantMap> before = client.properties(&error);
    if (!before)
        return fail(QStringLiteral("Orvex does not answer: %1").arg(error));
    if (waitSeconds && !client.follow())
        return fail(QStringLiteral("cannot follow the client's changes"));
    const QDBusMessage reply = client.call(QStringLiteral("Connect"));
    if (reply.type() == QDBusMessage::ErrorMessage) {
        if (reply.errorName() == QLatin1String("org.orvex.Client1.Error.SignedOut"))
            return fail(reply.errorMessage(), Exit::SignedOut);
        return fail(QStringLiteral("Orvex does not answer: %1").arg(reply.errorMessage()));
    }
    if (!waitSeconds)
        return Exit::Connected;

    // A block or a failure that was there before this request is no answer
    // to it: only one after the state has moved is.
    const auto key = [](const QVariantMap &p) {
        return p.value(QStringLiteral("State")).toString() + u'\n'
               + p.value(QStringLiteral("Reason")).toString();
    };
    const QString earlier = key(*before);
    auto moved = std::make_shared<bool>(false);
    auto settled = std::make_shared<bool>(false);
    const auto settle = [&app, earlier, key, moved, settled](const QVariantMap &p) {
        if (*settled)
            return;
        *moved = *moved || key(p) != earlier;
        const QString state = p.value(QStringLiteral("State")).toString();
        if (state == QLatin1String("Connected")) {
            *settled = true;
            out(ControlClient::line(p));
            app.exit(Exit::Connected);
            return;
        }
        const bool failed = state == QLatin1String("Blocked")
                            || (state == QLatin1String("Off")
                                && !p.value(QStringLiteral("Reason")).toString().isEmpty());
        if (*moved && failed) {
            *settled = true;
            fail(ControlClient::line(p), Exit::NotConnected);
            app.exit(Exit::NotConnected);
        }
    };
    QObject::connect(&client, &ControlClient::changed, &app, settle);
    QObject::connect(&client, &ControlClient::presence, &app, [&app](bool running) {
        if (!running) {
            fail(QStringLiteral("Orvex quit before the VPN was up"), Exit::NotConnected);
            app.exit(Exit::NotConnected);
        }
    });
    QTimer::singleShot(*waitSeconds * 1000, &app, [&app, waitSeconds] {
        fail(QStringLiteral("the VPN was not up within %1 s").arg(*waitSeconds), Exit::NotConnected);
        app.exit(Exit::NotConnected);
    });
    // What happened between the read and the follow.
    if (const std::optional<QVariantMap> now = client.properties(&error))
        QTimer::singleShot(0, &app, [settle, p = *now] { settle(p); });
    return QCoreApplication::exec();
}

int watch(QCoreApplication &app, ControlClient &client)
{
    QString error;
    const std::optional<QVariantMap> first = client.properties(&error);
    if (!first)
        return fail(QStringLiteral("Orvex does not answer: %1").arg(error));
    if (!client.follow())
        return fail(QStringLiteral("cannot follow the client's changes"));
    auto last = std::make_shared<QByteArray>();
    const auto print = [last](const QVariantMap &p) {
        const QByteArray line = ControlClient::json(p);
        if (line == *last)
            return;
        *last = line;
        out(QString::fromUtf8(line));
    };
    print(*first);
    QObject::connect(&client, &ControlClient::changed, &app, print);
    // A client that quits is shown as such; one that comes back is read
    // again. Only an explicit command starts it.
    QObject::connect(&client, &ControlClient::presence, &app, [&client, print](bool running) {
        QString ignored;
        if (!running)
            print(ControlClient::notRunning());
        else if (const std::optional<QVariantMap> now = client.properties(&ignored))
            print(*now);
    });
    return QCoreApplication::exec();
}

QString entryLine(const QJsonValue &value, const char *textName)
{
    const QJsonObject entry = value.toObject();
    QString text = entry.value(QStringLiteral("at")).toString();
    if (entry.contains(QStringLiteral("state")))
        text += QStringLiteral("  %1 (%2)")
                    .arg(entry.value(QStringLiteral("state")).toString(),
                         entry.value(QStringLiteral("status")).toString());
    const QString detail = entry.value(QLatin1String(textName)).toString();
    if (!detail.isEmpty())
        text += QStringLiteral("  ") + detail;
    return QStringLiteral("  ") + ControlClient::printable(text);
}

int diagnostics(ControlClient &client, bool asJson)
{
    const QDBusMessage reply = client.call(QStringLiteral("Diagnostics"));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return fail(QStringLiteral("Orvex does not answer: %1").arg(reply.errorMessage()));
    const QByteArray text = reply.arguments().constFirst().toString().toUtf8();
    QJsonParseError error;
    const QJsonDocument document = text.size() <= maxReportBytes ? QJsonDocument::fromJson(text, &error)
                                                                 : QJsonDocument();
    if (!document.isObject())
        return fail(QStringLiteral("the client's report is not readable"));
    QJsonObject report = document.object();
    report.insert(QStringLiteral("orvexctl"), QStringLiteral(ORVEX_SHORT_VERSION "." ORVEX_BUILD_NUMBER));
    report.insert(QStringLiteral("generated"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    if (asJson) {
        out(QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Indented)).trimmed());
        return Exit::Connected;
    }
    const auto field = [](const QJsonObject &object, const char *name) {
        return ControlClient::printable(object.value(QLatin1String(name)).toVariant().toString());
    };
    const QJsonObject program = report.value(QStringLiteral("client")).toObject();
    const QJsonObject system = report.value(QStringLiteral("system")).toObject();
    const QJsonObject tunnel = report.value(QStringLiteral("tunnel")).toObject();
    out(QStringLiteral("Orvex diagnostics, %1").arg(field(report, "generated")));
    out(QStringLiteral("Client:   orvex %1 (Qt %2), orvexctl %3")
            .arg(field(program, "version"), field(program, "qt"), field(report, "orvexctl")));
    out(QStringLiteral("System:   %1, kernel %2, %3")
            .arg(field(system, "distribution"), field(system, "kernel"), field(system, "architecture")));
    const QString daemon = field(report.value(QStringLiteral("backend")).toObject(), "daemon");
    out(QStringLiteral("Backend:  %1").arg(daemon.isEmpty() ? QStringLiteral("(not known yet)") : daemon));
    out(QStringLiteral("Tunnel:   %1 (%2) since %3, gateway %4, account %5")
            .arg(field(tunnel, "State"), field(tunnel, "Status"), field(tunnel, "LastChange"),
                 field(tunnel, "Gateway"), field(tunnel, "Email")));
    if (!field(tunnel, "Reason").isEmpty())
        out(QStringLiteral("Reason:   %1").arg(field(tunnel, "Reason")));
    out(QStringLiteral("States of the last hour:"));
    for (const QJsonValue &entry : report.value(QStringLiteral("history")).toArray())
        out(entryLine(entry, "reason"));
    out(QStringLiteral("Last errors:"));
    const QJsonArray errors = report.value(QStringLiteral("errors")).toArray();
    if (errors.isEmpty())
        out(QStringLiteral("  none"));
    for (const QJsonValue &entry : errors)
        out(entryLine(entry, "error"));
    out(QStringLiteral("Settings:"));
    const QJsonObject settings = report.value(QStringLiteral("settings")).toObject();
    for (auto it = settings.begin(); it != settings.end(); ++it)
        out(QStringLiteral("  %1 = %2")
                .arg(ControlClient::printable(it.key(), 64),
                     ControlClient::printable(it.value().toVariant().toString())));
    return Exit::Connected;
}

// "on [--wait [SECONDS]]": false for anything else; `wait` stays empty
// without --wait.
bool readWait(const QStringList &rest, std::optional<int> *wait)
{
    if (rest.isEmpty())
        return true;
    if (rest.first() != QLatin1String("--wait") || rest.size() > 2)
        return false;
    if (rest.size() == 1) {
        *wait = defaultWaitSeconds;
        return true;
    }
    bool ok = false;
    const int seconds = rest.at(1).toInt(&ok);
    if (!ok || seconds < 1 || seconds > maxWaitSeconds)
        return false;
    *wait = seconds;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString command = arguments.value(0);
    const QStringList rest = arguments.mid(1);
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        std::fputs(usage, stdout);
        return Exit::Connected;
    }
    if (command == QLatin1String("--version")) {
        std::puts("orvexctl " ORVEX_SHORT_VERSION "." ORVEX_BUILD_NUMBER);
        return Exit::Connected;
    }
    const bool json = rest == QStringList{QStringLiteral("--json")};
    const bool bare = rest.isEmpty();
    std::optional<int> wait;
    const bool waitRead = command == QLatin1String("on") && readWait(rest, &wait);
    const bool known = ((command == QLatin1String("status") || command == QLatin1String("diagnostics"))
                        && (bare || json))
                       || waitRead
                       || ((command == QLatin1String("off") || command == QLatin1String("watch")) && bare);
    if (!known) {
        std::fputs(usage, stderr);
        return Exit::Failure;
    }

    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return fail(QStringLiteral("no session bus: %1").arg(bus.lastError().message()));
    ControlClient client(bus);
    int exitStatus = Exit::Failure;
    if (command == QLatin1String("status"))
        exitStatus = status(client, json);
    else if (command == QLatin1String("on"))
        exitStatus = switchOn(app, client, wait);
    else if (command == QLatin1String("off"))
        exitStatus = switchOff(client);
    else if (command == QLatin1String("watch"))
        exitStatus = watch(app, client);
    else
        exitStatus = diagnostics(client, json);
    // Everything is said: leave without tearing Qt down. Its D-Bus thread may
    // still be reading a message (a signal of a client that just started)
    // while the types it needs are being destroyed, and say so on stderr.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(exitStatus);
}
