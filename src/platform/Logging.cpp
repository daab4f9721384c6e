#include "Logging.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

#ifdef ORVEX_HAVE_JOURNAL
#include <systemd/sd-journal.h>
#endif

Q_LOGGING_CATEGORY(lcTunnel, "orvex.tunnel", QtWarningMsg)
Q_LOGGING_CATEGORY(lcTunnelBlock, "orvex.tunnel.block", QtWarningMsg)
Q_LOGGING_CATEGORY(lcVici, "orvex.tunnel.vici", QtWarningMsg)
Q_LOGGING_CATEGORY(lcNetworkManager, "orvex.tunnel.nm", QtWarningMsg)
Q_LOGGING_CATEGORY(lcApi, "orvex.api", QtWarningMsg)
Q_LOGGING_CATEGORY(lcSession, "orvex.session", QtWarningMsg)
Q_LOGGING_CATEGORY(lcUpdate, "orvex.update", QtWarningMsg)
Q_LOGGING_CATEGORY(lcDesktop, "orvex.desktop", QtWarningMsg)

namespace Orvex::Logging {

namespace {

// Set once in install(), before any message can be routed by it.
bool toJournal = false;

// systemd hands a service or a desktop's programs their stderr as a stream
// to the journal and names it in JOURNAL_STREAM as "device:inode"; a stderr
// redirected since (a terminal, a file, a pipe) is another file.
bool stderrIsJournal()
{
    const QByteArray named = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = named.indexOf(':');
    if (colon <= 0)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = named.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = named.mid(colon + 1).toULongLong(&inodeOk);
    struct stat status = {};
    if (!deviceOk || !inodeOk || ::fstat(STDERR_FILENO, &status) != 0)
        return false;
    return qulonglong(status.st_dev) == device && qulonglong(status.st_ino) == inode;
}

#ifdef ORVEX_HAVE_JOURNAL
int journalPriority(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return 7;
    case QtInfoMsg:
        return 6;
    case QtWarningMsg:
        return 4;
    case QtCriticalMsg:
        return 3;
    case QtFatalMsg:
        return 2;
    }
    return 6;
}
#endif

void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const char *category = context.category ? context.category : "default";
    // One line per message: a message with a line break (an error text from
    // elsewhere) cannot pass for a second entry.
    QString text = message;
    text.replace(u'\n', u' ');
    // As Qt itself writes them: its uncategorised messages without a name.
    const bool named = qstrcmp(category, "default") != 0;
    const QByteArray line = named ? QByteArray(category) + ": " + text.toUtf8() : text.toUtf8();
#ifdef ORVEX_HAVE_JOURNAL
    if (toJournal
        && sd_journal_send("MESSAGE=%s", line.constData(), "PRIORITY=%d", journalPriority(type),
                           "QT_CATEGORY=%s", category, nullptr)
               == 0)
        return;
#else
    Q_UNUSED(type)
#endif
    // One write, so lines from other threads do not interleave.
    std::fputs((line + '\n').constData(), stderr);
    std::fflush(stderr);
}

} // namespace

void install(bool verbose)
{
    if (verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("orvex.*=true"));
    toJournal = !verbose && qEnvironmentVariableIntValue("QT_FORCE_STDERR_LOGGING") == 0 && stderrIsJournal();
    qInstallMessageHandler(handle);
}

} // namespace Orvex::Logging
