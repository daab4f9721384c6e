// The client's command line, run as the real program: answered before any
// display, configuration or session bus is touched.

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString client = QStringLiteral(ORVEX_CLIENT_BINARY);
const QString version = QStringLiteral(ORVEX_PROJECT_VERSION);

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

// No display of any kind: a client that built its application object before
// reading the command line would abort here.
Run runClient(const QStringList &arguments, const QString &config = QString())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DBUS_SESSION_BUS_ADDRESS"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(u"ORVEX_CONFIG"_s, config);
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(client, arguments);
    Run result;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
    result.err = QString::fromLocal8Bit(process.readAllStandardError());
    return result;
}

} // namespace

class tst_CommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void printsTheVersion_data();
    void printsTheVersion();
    void printsHelp();
    void answersDespiteABadConfiguration();
    void rejectsWithOneLineAndStatusTwo_data();
    void rejectsWithOneLineAndStatusTwo();
};

void tst_CommandLine::printsTheVersion_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("--version") << QStringList{u"--version"_s};
    QTest::newRow("-v") << QStringList{u"-v"_s};
    // Qt's own options are passed over, as desktops and developers use them.
    QTest::newRow("after -platform") << QStringList{u"-platform"_s, u"offscreen"_s, u"--version"_s};
    QTest::newRow("after -session") << QStringList{u"-session"_s, u"1234abcd"_s, u"-v"_s};
}

void tst_CommandLine::printsTheVersion()
{
    QFETCH(QStringList, arguments);
    const Run run = runClient(arguments);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, u"orvex %1\n"_s.arg(version));
    QCOMPARE(run.err, QString());
}

void tst_CommandLine::printsHelp()
{
    for (const QString &option : {u"--help"_s, u"-h"_s}) {
        const Run run = runClient({option});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.startsWith(u"Usage: orvex [options]\n"_s), qPrintable(run.out));
        QVERIFY(run.out.contains(u"--version"_s));
        QVERIFY(run.out.contains(u"--help"_s));
        // Qt's options work but are not the client's to document.
        QVERIFY2(!run.out.contains(u"platform"_s), qPrintable(run.out));
        QCOMPARE(run.err, QString());
    }
}

void tst_CommandLine::answersDespiteABadConfiguration()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString config = dir.filePath(u"config.json"_s);
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"apiBaseURL": "http://plain.example"})");
    file.close();

    const Run version = runClient({u"--version"_s}, config);
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, u"orvex %1\n"_s.arg(::version));

    // Starting for real still stops at the configuration.
    const Run start = runClient({}, config);
    QCOMPARE(start.exitCode, 2);
    QVERIFY2(start.err.contains(u"apiBaseURL"_s), qPrintable(start.err));
    QCOMPARE(start.out, QString());
}

void tst_CommandLine::rejectsWithOneLineAndStatusTwo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named");
    QTest::newRow("unknown long") << QStringList{u"--frobnicate"_s} << u"frobnicate"_s;
    QTest::newRow("unknown short") << QStringList{u"-x"_s} << u"x"_s;
    QTest::newRow("unknown after a good one") << QStringList{u"--version"_s, u"--nope"_s} << u"nope"_s;
    QTest::newRow("value for a flag") << QStringList{u"--version=2"_s} << u"version"_s;
    QTest::newRow("argument") << QStringList{u"notes.txt"_s} << u"notes.txt"_s;
    QTest::newRow("toolkit option without its value") << QStringList{u"-style"_s} << u"style"_s;
}

void tst_CommandLine::rejectsWithOneLineAndStatusTwo()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);
    const Run run = runClient(arguments);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QVERIFY2(run.err.startsWith(u"orvex: "_s), qPrintable(run.err));
    QVERIFY2(run.err.endsWith(u'\n') && run.err.count(u'\n') == 1, qPrintable(run.err));
    QVERIFY2(run.err.contains(named), qPrintable(run.err));
}

QTEST_GUILESS_MAIN(tst_CommandLine)

#include "tst_commandline.moc"
