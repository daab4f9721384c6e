#include "PackageControl.h"

#include <QCoreApplication>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QStringDecoder>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace Orvex::PackageControl {

namespace {

QString unreadable(const QString &why)
{
    return QStringLiteral("The version of the downloaded update package cannot be read (%1), so it was not"
                          " kept.")
        .arg(why);
}

// dpkg-deb's complaint, as one short line of printable text.
QString firstLine(const QByteArray &text)
{
    QString line = QString::fromUtf8(text.left(text.indexOf('\n') < 0 ? text.size() : text.indexOf('\n')));
    line = line.left(200);
    for (QChar &c : line) {
        if (!c.isPrint())
            c = u'?';
    }
    return line.trimmed();
}

// "Package: orvex\nVersion: 2.4.0\n"; a continuation line (leading space)
// would be a multi-line value, which neither field may have.
Outcome<Fields> parse(const QByteArray &output)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(output);
    if (utf8.hasError())
        return Outcome<Fields>::failure(unreadable(QStringLiteral("the control fields are not UTF-8")));
    Fields fields;
    for (const QString &line : text.split(u'\n', Qt::SkipEmptyParts)) {
        const qsizetype colon = line.indexOf(u':');
        if (colon <= 0 || line.front().isSpace())
            return Outcome<Fields>::failure(unreadable(QStringLiteral("unexpected control fields")));
        const QString name = line.left(colon);
        const QString value = line.mid(colon + 1).trimmed();
        if (std::any_of(value.cbegin(), value.cend(), [](QChar c) { return !c.isPrint(); }))
            return Outcome<Fields>::failure(unreadable(QStringLiteral("unexpected control fields")));
        if (name.compare(QLatin1String("Package"), Qt::CaseInsensitive) == 0)
            fields.package = value;
        else if (name.compare(QLatin1String("Version"), Qt::CaseInsensitive) == 0)
            fields.version = value;
    }
    if (fields.package.isEmpty() || fields.version.isEmpty())
        return Outcome<Fields>::failure(unreadable(QStringLiteral("it names no package or version")));
    return Outcome<Fields>::success(fields);
}

} // namespace

void read(const QString &path, std::function<void(const Outcome<Fields> &)> done)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("dpkg-deb"));
    if (program.isEmpty()) {
        // Still asynchronous, as promised.
        QTimer::singleShot(0, QCoreApplication::instance(), [done] {
            done(Outcome<Fields>::failure(unreadable(QStringLiteral("dpkg-deb is not installed"))));
        });
        return;
    }

    // Owned by the application, so a process still running at exit is ended
    // with it; otherwise it deletes itself once it has answered.
    auto *process = new QProcess(QCoreApplication::instance());
    auto output = std::make_shared<QByteArray>();
    auto errors = std::make_shared<QByteArray>();
    auto verdict = std::make_shared<QString>(); // set when we stopped it
    auto answered = std::make_shared<bool>(false);
    auto finish = [process, output, errors, verdict, answered, done] {
        if (*answered)
            return;
        *answered = true;
        process->deleteLater();
        if (!verdict->isEmpty())
            return done(Outcome<Fields>::failure(unreadable(*verdict)));
        if (process->exitStatus() != QProcess::NormalExit || process->exitCode() != 0) {
            const QString said = firstLine(*errors);
            return done(Outcome<Fields>::failure(
                unreadable(said.isEmpty() ? QStringLiteral("dpkg-deb failed") : said)));
        }
        done(parse(*output));
    };
    auto stop = [process, verdict](const QString &why) {
        if (verdict->isEmpty())
            *verdict = why;
        process->kill();
    };

    QObject::connect(process, &QProcess::readyReadStandardOutput, process, [process, output, stop] {
        if (output->size() > maxOutput)
            return;
        *output += process->read(maxOutput + 1 - output->size());
        if (output->size() > maxOutput)
            stop(QStringLiteral("its control fields are too long"));
    });
    QObject::connect(process, &QProcess::readyReadStandardError, process, [process, errors] {
        const QByteArray more = process->readAllStandardError();
        if (errors->size() < 4096)
            *errors += more.left(4096 - errors->size());
    });
    QObject::connect(process, &QProcess::finished, process, [process, output, verdict, finish] {
        if (output->size() <= maxOutput)
            *output += process->readAllStandardOutput().left(maxOutput + 1 - output->size());
        if (output->size() > maxOutput && verdict->isEmpty())
            *verdict = QStringLiteral("its control fields are too long");
        finish();
    });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [verdict, finish](QProcess::ProcessError error) {
                         // A crash or kill is followed by finished(); a process that never
                         // started is not.
                         if (error == QProcess::FailedToStart) {
                             *verdict = QStringLiteral("dpkg-deb could not be started");
                             finish();
                         }
                     });
    auto *timer = new QTimer(process);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, process,
                     [stop] { stop(QStringLiteral("dpkg-deb took too long")); });
    timer->start(timeLimitMs);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
    process->setProcessEnvironment(environment);
    process->setStandardInputFile(QProcess::nullDevice());
    // Both fields asked for, so dpkg-deb prints them as "Name: value" lines.
    process->start(program,
                   {QStringLiteral("--field"), path, QStringLiteral("Package"), QStringLiteral("Version")});
}

} // namespace Orvex::PackageControl
