#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>

namespace {

const QString appId = QStringLiteral("com.orvex.client");
const QString version = QStringLiteral(ORVEX_PROJECT_VERSION);
const QList<int> iconSizes{16, 22, 24, 32, 48, 64, 128, 256, 512};

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run run(const QString &program, const QStringList &arguments, int timeoutMs = 120000,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    Run result;
    if (!process.waitForStarted(10000)) {
        result.err = process.errorString();
        return result;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.err = QStringLiteral("timed out");
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

// The [Desktop Entry] group of a desktop file, key by key.
QHash<QString, QString> desktopEntry(const QString &path)
{
    QHash<QString, QString> keys;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return keys;
    bool inEntry = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'[')) {
            inEntry = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (inEntry && eq > 0)
            keys.insert(line.left(eq), line.mid(eq + 1));
    }
    return keys;
}

} // namespace

class tst_Package : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void filesAreWhereTheyBelong();
    void iconsAreRenderedAtTheirSizes_data();
    void iconsAreRenderedAtTheirSizes();
    void controlDeclaresDependencies();
    void desktopEntryAndMetadataAgree();
    void clientRunsFromTheUnpackedRoot();
    void lintianFindsNoErrors();

private:
    QString rootPath(const QString &relative) const { return m_dir.filePath(QStringLiteral("root/") + relative); }

    QTemporaryDir m_dir;
    QString m_deb;
    QString m_control;
    QStringList m_files; // relative to the root
};

void tst_Package::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The package's staging tree and output go into the test's own folder.
    const QString out = m_dir.filePath(QStringLiteral("out"));
    const Run cpack = run(QStringLiteral(ORVEX_CPACK),
                          {QStringLiteral("--config"), QStringLiteral(ORVEX_CPACK_CONFIG), QStringLiteral("-G"),
                           QStringLiteral("DEB"), QStringLiteral("-B"), out},
                          600000);
    QVERIFY2(cpack.exitCode == 0, qPrintable(cpack.out + cpack.err));
    const QStringList debs = QDir(out).entryList({QStringLiteral("*.deb")}, QDir::Files);
    QCOMPARE(debs.size(), 1);
    m_deb = QDir(out).filePath(debs.constFirst());
    QVERIFY2(QFileInfo(m_deb).fileName().startsWith(QStringLiteral("orvex_") + version + u'_'), qPrintable(m_deb));

    const Run unpack = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), m_deb, m_dir.filePath(QStringLiteral("root"))});
    QVERIFY2(unpack.exitCode == 0, qPrintable(unpack.err));
    const Run control = run(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), m_deb});
    QVERIFY2(control.exitCode == 0, qPrintable(control.err));
    m_control = control.out;

    const QDir root(m_dir.filePath(QStringLiteral("root")));
    for (QDirIterator it(root.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        m_files << root.relativeFilePath(it.next());
    m_files.sort();
}

void tst_Package::filesAreWhereTheyBelong()
{
    QStringList expected{
        QStringLiteral("usr/bin/orvex"),
        QStringLiteral("usr/bin/orvex-launcher"),
        QStringLiteral("usr/share/applications/") + appId + QStringLiteral(".desktop"),
        QStringLiteral("usr/share/metainfo/") + appId + QStringLiteral(".metainfo.xml"),
        QStringLiteral("usr/share/icons/hicolor/scalable/apps/") + appId + QStringLiteral(".svg"),
        QStringLiteral("usr/share/man/man1/orvex.1.gz"),
        QStringLiteral("usr/share/man/man1/orvex-launcher.1.gz"),
        QStringLiteral("usr/share/doc/orvex/copyright"),
        QStringLiteral("usr/share/doc/orvex/changelog.gz"),
        QStringLiteral("usr/libexec/orvex/tunnel-updown"),
        QStringLiteral("etc/strongswan.d/orvex-client.conf"),
    };
    for (int size : iconSizes)
        expected << QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(appId);
    // The phone-number and chart modules, in the client's private library folder.
    static const QRegularExpression module(
        QStringLiteral("^usr/lib/([a-z0-9_-]+/)?orvex/orvex-(phonenumbers|chart)\\.so$"));
    QCOMPARE(m_files.filter(module).size(), 2);
    expected << m_files.filter(module);
    for (const QString &file : expected)
        QVERIFY2(m_files.contains(file), qPrintable(file + QStringLiteral(" is missing; the package has:\n")
                                                     + m_files.join(u'\n')));

    // Nothing else: no development service, no test programs, no headers or
    // static libraries, nothing outside /usr.
    for (const QString &file : std::as_const(m_files))
        QVERIFY2(expected.contains(file), qPrintable(file + QStringLiteral(" should not be in the package")));

    for (const QString &program : {QStringLiteral("usr/bin/orvex"), QStringLiteral("usr/bin/orvex-launcher")})
        QVERIFY2(QFileInfo(rootPath(program)).isExecutable(), qPrintable(program));

    // The journey driver is a test program: none of it in the client, neither
    // its variables, its texts (UTF-16 literals) nor its class.
    QFile client(rootPath(QStringLiteral("usr/bin/orvex")));
    QVERIFY(client.open(QIODevice::ReadOnly));
    const QByteArray binary = client.readAll();
    const QString driverText = QStringLiteral("journey: all ");
    for (const QByteArray &trace :
         {QByteArray("ORVEX_AUTOMATION"), QByteArray("Automation"),
          QByteArray(reinterpret_cast<const char *>(driverText.utf16()), driverText.size() * 2)})
        QVERIFY2(!binary.contains(trace), trace.constData());
}

void tst_Package::iconsAreRenderedAtTheirSizes_data()
{
    QTest::addColumn<int>("size");
    for (int size : iconSizes)
        QTest::addRow("%dpx", size) << size;
}

void tst_Package::iconsAreRenderedAtTheirSizes()
{
    QFETCH(int, size);
    const QImage image(rootPath(QStringLiteral("usr/share/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(appId)));
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(size, size));
    // The drawing itself, not an empty canvas: the tile covers the centre,
    // and the corners outside its rounding stay clear.
    QCOMPARE(qAlpha(image.pixel(size / 2, size / 2)), 255);
    QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
}

void tst_Package::controlDeclaresDependencies()
{
    const auto field = [this](const QString &name) {
        const QRegularExpression line(QStringLiteral("^%1: (.*)$").arg(name), QRegularExpression::MultilineOption);
        return line.match(m_control).captured(1);
    };
    QCOMPARE(field(QStringLiteral("Package")), QStringLiteral("orvex"));
    QCOMPARE(field(QStringLiteral("Version")), version);
    const Run architecture = run(QStringLiteral("dpkg"), {QStringLiteral("--print-architecture")});
    QCOMPARE(field(QStringLiteral("Architecture")), architecture.out.trimmed());

    // Read from the binaries by dpkg-shlibdeps: the libraries the client and
    // the launcher really link.
    const QString depends = field(QStringLiteral("Depends"));
    for (const QString &library : {QStringLiteral("libqt6core6"), QStringLiteral("libqt6gui6"),
                                   QStringLiteral("libqt6widgets6"), QStringLiteral("libqt6network6"),
                                   QStringLiteral("libqt6dbus6"), QStringLiteral("libqt6charts6"),
                                   QStringLiteral("libqt6svg6"), QStringLiteral("libphonenumber"),
                                   QStringLiteral("libssl3"), QStringLiteral("libicu")})
        QVERIFY2(depends.contains(library), qPrintable(library + QStringLiteral(" not in: ") + depends));

    const QString recommends = field(QStringLiteral("Recommends"));
    for (const QString &package : {QStringLiteral("charon-systemd | strongswan-charon"),
                                   QStringLiteral("strongswan-swanctl"), QStringLiteral("network-manager-strongswan")})
        QVERIFY2(recommends.contains(package), qPrintable(package + QStringLiteral(" not in: ") + recommends));
}

void tst_Package::desktopEntryAndMetadataAgree()
{
    const QString desktopFile = rootPath(QStringLiteral("usr/share/applications/") + appId + QStringLiteral(".desktop"));
    const QString metainfo = rootPath(QStringLiteral("usr/share/metainfo/") + appId + QStringLiteral(".metainfo.xml"));

    if (!QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty()) {
        const Run validate = run(QStringLiteral("desktop-file-validate"), {desktopFile});
        QVERIFY2(validate.exitCode == 0 && validate.out.isEmpty(), qPrintable(validate.out + validate.err));
    }
    if (QStandardPaths::findExecutable(QStringLiteral("appstreamcli")).isEmpty())
        QFAIL("appstreamcli is missing (scripts/install-deps installs it)");
    // --no-net: the web pages named in it are not reachable from here.
    const Run appstream = run(QStringLiteral("appstreamcli"),
                              {QStringLiteral("validate"), QStringLiteral("--no-net"), QStringLiteral("--pedantic"), metainfo});
    QVERIFY2(appstream.exitCode == 0, qPrintable(appstream.out + appstream.err));

    // The menu entry starts a program of the package and shows its icon.
    const QHash<QString, QString> entry = desktopEntry(desktopFile);
    const QString program = entry.value(QStringLiteral("Exec")).section(u' ', 0, 0);
    QVERIFY2(m_files.contains(QStringLiteral("usr/bin/") + program), qPrintable(program));
    QCOMPARE(entry.value(QStringLiteral("TryExec")), program);
    const QString icon = entry.value(QStringLiteral("Icon"));
    QVERIFY2(m_files.contains(QStringLiteral("usr/share/icons/hicolor/scalable/apps/") + icon + QStringLiteral(".svg")),
             qPrintable(icon));

    // The metadata names that entry and that icon, and its newest release is
    // the version the client reports.
    QFile file(metainfo);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QString id, launchable, stockIcon, newestRelease;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const auto name = xml.name();
        if (name == QLatin1String("id"))
            id = xml.readElementText();
        else if (name == QLatin1String("launchable"))
            launchable = xml.readElementText();
        else if (name == QLatin1String("icon"))
            stockIcon = xml.readElementText();
        else if (name == QLatin1String("release") && newestRelease.isEmpty()) // newest first
            newestRelease = xml.attributes().value(QLatin1String("version")).toString();
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(id, appId);
    QCOMPARE(launchable, QFileInfo(desktopFile).fileName());
    QCOMPARE(stockIcon, icon);
    QCOMPARE(newestRelease, version);
}

void tst_Package::clientRunsFromTheUnpackedRoot()
{
    const QString client = rootPath(QStringLiteral("usr/bin/orvex"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LD_LIBRARY_PATH"));
    const Run shown = run(client, {QStringLiteral("--version")}, 60000, environment);
    QCOMPARE(shown.exitCode, 0);
    QCOMPARE(shown.out, QStringLiteral("orvex %1\n").arg(version));
    QCOMPARE(shown.err, QString());

    // Only system libraries, found without help: no search path into the
    // build tree survived the install, and every library resolves.
    for (const QString &program : {client, rootPath(QStringLiteral("usr/bin/orvex-launcher"))}) {
        const Run dynamic = run(QStringLiteral("readelf"), {QStringLiteral("-d"), program});
        QCOMPARE(dynamic.exitCode, 0);
        QVERIFY2(!dynamic.out.contains(QStringLiteral("RPATH")) && !dynamic.out.contains(QStringLiteral("RUNPATH")),
                 qPrintable(dynamic.out));
        const Run ldd = run(QStringLiteral("ldd"), {program}, 60000, environment);
        QCOMPARE(ldd.exitCode, 0);
        QVERIFY2(!ldd.out.contains(QStringLiteral("not found")), qPrintable(ldd.out));
        static const QRegularExpression resolved(QStringLiteral("=> (\\S+)"));
        for (auto it = resolved.globalMatch(ldd.out); it.hasNext();) {
            const QString library = it.next().captured(1);
            QVERIFY2(library.startsWith(QStringLiteral("/lib")) || library.startsWith(QStringLiteral("/usr/lib")),
                     qPrintable(library));
        }
    }
}

void tst_Package::lintianFindsNoErrors()
{
    if (QStandardPaths::findExecutable(QStringLiteral("lintian")).isEmpty())
        QFAIL("lintian is missing (scripts/install-deps installs it)");
    const Run lintian = run(QStringLiteral("lintian"), {QStringLiteral("--fail-on"), QStringLiteral("error"), m_deb}, 600000);
    const QString report = lintian.out + lintian.err;
    QVERIFY2(lintian.exitCode == 0, qPrintable(report));
    static const QRegularExpression error(QStringLiteral("^E: "), QRegularExpression::MultilineOption);
    QVERIFY2(!error.match(report).hasMatch(), qPrintable(report));
}

QTEST_GUILESS_MAIN(tst_Package)

#include "tst_package.moc"
