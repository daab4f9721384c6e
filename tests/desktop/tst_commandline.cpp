// The client's command line, run as the real program: answered before any
// display, configuration or session bus is touched.

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

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
    environment.insert(QStringLiteral("ORVEX_CONFIG"), config);
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
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")};
    QTest::newRow("-v") << QStringList{QStringLiteral("-v")};
    // Qt's own options are passed over, as desktops and developers use them.
    QTest::newRow("after -platform") << QStringList{QStringLiteral("-platform"), QStringLiteral("offscreen"),
                                                    QStringLiteral("--version")};
    QTest::newRow("after -session") << QStringList{QStringLiteral("-session"), QStringLiteral("1234abcd"),
                                                   QStringLiteral("-v")};
}

void tst_CommandLine::printsTheVersion()
{
    QFETCH(QStringList, arguments);
    const Run run = runClient(arguments);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QStringLiteral("orvex %1\n").arg(version));
    QCOMPARE(run.err, QString());
}

void tst_CommandLine::printsHelp()
{
    for (const QString &option : {QStringLiteral("--help"), QStringLiteral("-h")}) {
        const Run run = runClient({option});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.startsWith(QStringLiteral("Usage: orvex [options]\n")), qPrintable(run.out));
        QVERIFY(run.out.contains(QStringLiteral("--version")));
        QVERIFY(run.out.contains(QStringLiteral("--help")));
        // Qt's options work but are not the client's to document.
        QVERIFY2(!run.out.contains(QStringLiteral("platform")), qPrintable(run.out));
        QCOMPARE(run.err, QString());
    }
}

void tst_CommandLine::answersDespiteABadConfiguration()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString config = dir.filePath(QStringLiteral("config.json"));
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"apiBaseURL": "http://plain.example"})");
    file.close();

    const Run version = runClient({QStringLiteral("--version")}, config);
    QCOMPARE(version.exitCode, 0);
    QCOMPARE(version.out, QStringLiteral("orvex %1\n").arg(::version));

    // Starting for real still stops at the configuration.
    const Run start = runClient({}, config);
    QCOMPARE(start.exitCode, 2);
    QVERIFY2(start.err.contains(QStringLiteral("apiBaseURL")), qPrintable(start.err));
    QCOMPARE(start.out, QString());
}

void tst_CommandLine::rejectsWithOneLineAndStatusTwo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("named");
    QTest::newRow("unknown long") << QStringList{QStringLiteral("--frobnicate")} << QStringLiteral("frobnicate");
    QTest::newRow("unknown short") << QStringList{QStringLiteral("-x")} << QStringLiteral("x");
    QTest::newRow("unknown after a good one") << QStringList{QStringLiteral("--version"), QStringLiteral("--nope")}
                                              << QStringLiteral("nope");
    QTest::newRow("value for a flag") << QStringList{QStringLiteral("--version=2")} << QStringLiteral("version");
    QTest::newRow("argument") << QStringList{QStringLiteral("notes.txt")} << QStringLiteral("notes.txt");
    QTest::newRow("toolkit option without its value") << QStringList{QStringLiteral("-style")}
                                                       << QStringLiteral("style");
}

void tst_CommandLine::rejectsWithOneLineAndStatusTwo()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, named);
    const Run run = runClient(arguments);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.out, QString());
    QVERIFY2(run.err.startsWith(QStringLiteral("orvex: ")), qPrintable(run.err));
    QVERIFY2(run.err.endsWith(u'\n') && run.err.count(u'\n') == 1, qPrintable(run.err));
    QVERIFY2(run.err.contains(named), qPrintable(run.err));
}

QTEST_GUILESS_MAIN(tst_CommandLine)

#include "tst_commandline.moc"
