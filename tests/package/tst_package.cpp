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

#include "ProgramRun.h"
#include "TestFiles.h"

using namespace Qt::StringLiterals;

namespace {

const QString appId = u"com.orvex.client"_s;
const QString version = QStringLiteral(ORVEX_PROJECT_VERSION);
const QList<int> iconSizes{16, 22, 24, 32, 48, 64, 128, 256, 512};

// The first "name<separator>value" line of `text`: control fields, and the
// keys of a desktop entry (whose own group comes first).
QString field(const QString &text, const QString &name, const QString &separator)
{
    const QRegularExpression line(u"^%1%2(.*)$"_s.arg(QRegularExpression::escape(name), separator),
                                  QRegularExpression::MultilineOption);
    return line.match(text).captured(1);
}

} // namespace

class tst_Package : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void filesAreWhereTheyBelong();
    void controlDeclaresDependencies();
    void desktopEntryAndMetadataAgree();
    void clientRunsFromTheUnpackedRoot();
    void lintianFindsNoErrors();

private:
    QString rootPath(const QString &relative) const { return m_dir.filePath(u"root/"_s + relative); }

    QTemporaryDir m_dir;
    QString m_deb;
    QString m_control;
    QStringList m_files; // relative to the root
};

void tst_Package::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The package's staging tree and output go into the test's own folder.
    const QString out = m_dir.filePath(u"out"_s);
    const ProgramRun cpack = runProgram(QStringLiteral(ORVEX_CPACK),
                                        {u"--config"_s, QStringLiteral(ORVEX_CPACK_CONFIG), u"-G"_s, u"DEB"_s,
                                         u"-B"_s, out},
                                        600000);
    QVERIFY2(cpack.exitCode == 0, qPrintable(cpack.out + cpack.err));
    const QStringList debs = QDir(out).entryList({u"*.deb"_s}, QDir::Files);
    QCOMPARE(debs.size(), 1);
    m_deb = QDir(out).filePath(debs.constFirst());
    QVERIFY2(QFileInfo(m_deb).fileName().startsWith(u"orvex_"_s + version + u'_'), qPrintable(m_deb));

    const ProgramRun unpack = runProgram(u"dpkg-deb"_s, {u"-x"_s, m_deb, m_dir.filePath(u"root"_s)});
    QVERIFY2(unpack.exitCode == 0, qPrintable(unpack.err));
    const ProgramRun control = runProgram(u"dpkg-deb"_s, {u"-f"_s, m_deb});
    QVERIFY2(control.exitCode == 0, qPrintable(control.err));
    m_control = control.out;

    const QDir root(m_dir.filePath(u"root"_s));
    for (QDirIterator it(root.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
        m_files << root.relativeFilePath(it.next());
    m_files.sort();
}

void tst_Package::filesAreWhereTheyBelong()
{
    QStringList expected{
        u"usr/bin/orvex"_s,
        u"usr/bin/orvex-launcher"_s,
        u"usr/bin/orvexctl"_s,
        u"usr/share/applications/"_s + appId + u".desktop"_s,
        u"usr/share/metainfo/"_s + appId + u".metainfo.xml"_s,
        u"usr/share/icons/hicolor/scalable/apps/"_s + appId + u".svg"_s,
        u"usr/share/man/man1/orvex.1.gz"_s,
        u"usr/share/man/man1/orvex-launcher.1.gz"_s,
        u"usr/share/man/man1/orvexctl.1.gz"_s,
        u"usr/share/dbus-1/services/org.orvex.Client1.service"_s,
        u"usr/share/bash-completion/completions/orvexctl"_s,
        u"usr/share/doc/orvex/copyright"_s,
        u"usr/share/doc/orvex/changelog.gz"_s,
        u"usr/libexec/orvex/tunnel-updown"_s,
        u"etc/strongswan.d/orvex-client.conf"_s,
    };
    for (int size : iconSizes) {
        expected << u"usr/share/icons/hicolor/%1x%1/apps/%2.png"_s.arg(size).arg(appId);
        // Drawn at that size, not an empty canvas: the tile covers the centre,
        // and the corners outside its rounding stay clear.
        const QImage image(rootPath(expected.constLast()));
        QCOMPARE(image.size(), QSize(size, size));
        QCOMPARE(qAlpha(image.pixel(size / 2, size / 2)), 255);
        QCOMPARE(qAlpha(image.pixel(0, 0)), 0);
    }
    // The phone-number and chart modules, in the client's private library folder.
    static const QRegularExpression module(
        u"^usr/lib/([a-z0-9_-]+/)?orvex/orvex-(phonenumbers|chart)\\.so$"_s);
    QCOMPARE(m_files.filter(module).size(), 2);
    expected << m_files.filter(module);
    // Nothing missing, and nothing else: no development service, no test
    // programs, no headers or static libraries, nothing outside /usr.
    expected.sort();
    QCOMPARE(m_files, expected);

    for (const QString &program : {u"usr/bin/orvex"_s, u"usr/bin/orvex-launcher"_s, u"usr/bin/orvexctl"_s})
        QVERIFY2(QFileInfo(rootPath(program)).isExecutable(), qPrintable(program));

    // The journey driver is a test program: none of it in the client, neither
    // its variables, its texts (UTF-16 literals) nor its class.
    const QByteArray binary = readFile(rootPath(u"usr/bin/orvex"_s));
    QVERIFY(!binary.isEmpty());
    const QString driverText = u"journey: all "_s;
    for (const QByteArray &trace :
         {QByteArray("ORVEX_AUTOMATION"), QByteArray("Automation"),
          QByteArray(reinterpret_cast<const char *>(driverText.utf16()), driverText.size() * 2)})
        QVERIFY2(!binary.contains(trace), trace.constData());
}

void tst_Package::controlDeclaresDependencies()
{
    const auto control = [this](const QString &name) { return field(m_control, name, u": "_s); };
    QCOMPARE(control(u"Package"_s), u"orvex"_s);
    QCOMPARE(control(u"Version"_s), version);
    const ProgramRun architecture = runProgram(u"dpkg"_s, {u"--print-architecture"_s});
    QCOMPARE(control(u"Architecture"_s), architecture.out.trimmed());

    // Read from the binaries by dpkg-shlibdeps: the libraries the client and
    // the launcher really link (on Debian 13 several carry a t64 suffix).
    const QString depends = control(u"Depends"_s);
    for (const QString &library :
         {u"libqt6core6"_s, u"libqt6gui6"_s, u"libqt6widgets6"_s, u"libqt6network6"_s, u"libqt6dbus6"_s,
          u"libqt6charts6"_s, u"libphonenumber"_s, u"libssl3"_s, u"libicu"_s})
        QVERIFY2(depends.contains(library), qPrintable(library + u" not in: "_s + depends));

    const auto names = [&depends](const QString &package) {
        return QRegularExpression(u"(^|, )"_s + QRegularExpression::escape(package) + u"( |,|$)"_s)
            .match(depends)
            .hasMatch();
    };
    // nft is no library: the package's removal needs it to take the traffic
    // block away.
    QVERIFY2(names(u"nftables"_s), qPrintable(depends));
    // Every image is an SVG: the package named for the SVG plugins holds them
    // (libqt6svg6 on Debian 12, qt6-svg-plugins on Debian 13).
    bool svgPlugins = false;
    for (const QString &candidate : {u"libqt6svg6"_s, u"qt6-svg-plugins"_s}) {
        if (names(candidate))
            svgPlugins = svgPlugins
                         || runProgram(u"dpkg"_s, {u"-L"_s, candidate})
                                .out.contains(u"/qt6/plugins/imageformats/libqsvg.so"_s);
    }
    QVERIFY2(svgPlugins, qPrintable(u"no package in Depends holds the SVG plugins: "_s + depends));

    const QString recommends = control(u"Recommends"_s);
    for (const QString &package :
         {u"charon-systemd | strongswan-charon"_s, u"strongswan-swanctl"_s, u"network-manager-strongswan"_s})
        QVERIFY2(recommends.contains(package), qPrintable(package + u" not in: "_s + recommends));
}

void tst_Package::desktopEntryAndMetadataAgree()
{
    const QString desktopFile = rootPath(u"usr/share/applications/"_s + appId + u".desktop"_s);
    const QString metainfo = rootPath(u"usr/share/metainfo/"_s + appId + u".metainfo.xml"_s);

    if (!QStandardPaths::findExecutable(u"desktop-file-validate"_s).isEmpty()) {
        const ProgramRun validate = runProgram(u"desktop-file-validate"_s, {desktopFile});
        QVERIFY2(validate.exitCode == 0 && validate.out.isEmpty(), qPrintable(validate.out + validate.err));
    }
    if (QStandardPaths::findExecutable(u"appstreamcli"_s).isEmpty())
        QFAIL("appstreamcli is missing (scripts/install-deps installs it)");
    // --no-net: the web pages named in it are not reachable from here.
    const ProgramRun appstream = runProgram(u"appstreamcli"_s,
                                            {u"validate"_s, u"--no-net"_s, u"--pedantic"_s, metainfo});
    QVERIFY2(appstream.exitCode == 0, qPrintable(appstream.out + appstream.err));

    // The menu entry starts a program of the package and shows its icon.
    const QString entry = QString::fromUtf8(readFile(desktopFile));
    const QString program = field(entry, u"Exec"_s, u"="_s).section(u' ', 0, 0);
    QVERIFY2(m_files.contains(u"usr/bin/"_s + program), qPrintable(program));
    QCOMPARE(field(entry, u"TryExec"_s, u"="_s), program);
    const QString icon = field(entry, u"Icon"_s, u"="_s);
    QVERIFY2(m_files.contains(u"usr/share/icons/hicolor/scalable/apps/"_s + icon + u".svg"_s),
             qPrintable(icon));

    // The metadata names that entry and that icon, and its newest release
    // (listed first) is the version the client reports.
    const QString metadata = QString::fromUtf8(readFile(metainfo));
    const auto element = [&metadata](const QString &pattern) {
        return QRegularExpression(pattern).match(metadata).captured(1);
    };
    QCOMPARE(element(u"<id>([^<]*)</id>"_s), appId);
    QCOMPARE(element(u"<launchable type=\"desktop-id\">([^<]*)</launchable>"_s),
             QFileInfo(desktopFile).fileName());
    QCOMPARE(element(u"<icon type=\"stock\">([^<]*)</icon>"_s), icon);
    QCOMPARE(element(u"<release version=\"([^\"]*)\""_s), version);
}

void tst_Package::clientRunsFromTheUnpackedRoot()
{
    const QString client = rootPath(u"usr/bin/orvex"_s);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"LD_LIBRARY_PATH"_s);
    const ProgramRun shown = runProgram(client, {u"--version"_s}, 60000, environment);
    QCOMPARE(shown.exitCode, 0);
    QCOMPARE(shown.out, u"orvex %1\n"_s.arg(version));
    QCOMPARE(shown.err, QString());

    // Only system libraries, found without help: no search path into the
    // build tree survived the install, and every library resolves.
    for (const QString &program :
         {client, rootPath(u"usr/bin/orvex-launcher"_s), rootPath(u"usr/bin/orvexctl"_s)}) {
        const ProgramRun dynamic = runProgram(u"readelf"_s, {u"-d"_s, program});
        QCOMPARE(dynamic.exitCode, 0);
        QVERIFY2(!dynamic.out.contains(u"RPATH"_s) && !dynamic.out.contains(u"RUNPATH"_s),
                 qPrintable(dynamic.out));
        const ProgramRun ldd = runProgram(u"ldd"_s, {program}, 60000, environment);
        QCOMPARE(ldd.exitCode, 0);
        QVERIFY2(!ldd.out.contains(u"not found"_s), qPrintable(ldd.out));
        static const QRegularExpression resolved(u"=> (\\S+)"_s);
        for (auto it = resolved.globalMatch(ldd.out); it.hasNext();) {
            const QString library = it.next().captured(1);
            QVERIFY2(library.startsWith(u"/lib"_s) || library.startsWith(u"/usr/lib"_s), qPrintable(library));
        }
    }
}

void tst_Package::lintianFindsNoErrors()
{
    if (QStandardPaths::findExecutable(u"lintian"_s).isEmpty())
        QFAIL("lintian is missing (scripts/install-deps installs it)");
    const ProgramRun lintian = runProgram(u"lintian"_s, {u"--fail-on"_s, u"error"_s, m_deb}, 600000);
    QVERIFY2(lintian.exitCode == 0, qPrintable(lintian.out + lintian.err));
}

QTEST_GUILESS_MAIN(tst_Package)

#include "tst_package.moc"
