#include "platform/LoginItem.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

using namespace Orvex;

namespace {

const QString launcherId = u"com.orvex.launcher"_s;

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool writeFile(const QString &path, const QByteArray &contents, bool executable = false)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        return false;
    file.close();
    return !executable || file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

ino_t inodeOf(const QString &path)
{
    struct stat st
    {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

// desktop-file-validate, when installed, must find no error in the entry.
void validate(const QString &path)
{
    const QString validator = QStandardPaths::findExecutable(u"desktop-file-validate"_s, {u"/usr/bin"_s});
    if (validator.isEmpty()) {
        qWarning("desktop-file-validate is not installed; the entry's syntax is not checked");
        return;
    }
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(validator, {path});
    QVERIFY(process.waitForFinished(30000));
    QVERIFY2(process.exitCode() == 0, process.readAll().constData());
}

} // namespace

class tst_LoginItem : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void entryLifecycle();
    void quotesAnAwkwardLauncherPath();
    void findsTheLauncher();
    void refusals();
    void honoursTheUsersSwitch();

private:
    QString autostartDir() const { return m_configHome.path() + u"/autostart"_s; }

    QTemporaryDir m_configHome;
    std::unique_ptr<QTemporaryDir> m_bin;
    QString m_launcher;
};

void tst_LoginItem::initTestCase()
{
    // setEnabled prefers a launcher beside the running binary, here this test.
    QVERIFY(!QFileInfo::exists(QCoreApplication::applicationDirPath() + u"/orvex-launcher"_s));
    // The tests empty the autostart folder: never the user's own.
    QVERIFY(m_configHome.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome.path()));
}

void tst_LoginItem::init()
{
    QDir(autostartDir()).removeRecursively();
    m_bin = std::make_unique<QTemporaryDir>();
    m_launcher = m_bin->filePath(u"orvex-launcher"_s);
    QVERIFY(writeFile(m_launcher, "#!/bin/sh\n", true));
    // The only launcher to be found is the fake one.
    qputenv("PATH", QFile::encodeName(m_bin->path()));
}

void tst_LoginItem::entryLifecycle()
{
    const QString path = LoginItem::entryPath(launcherId);
    QCOMPARE(path, autostartDir() + u"/com.orvex.launcher.desktop"_s);
    QVERIFY(!LoginItem::isEnabled(launcherId));

    // An old entry is replaced by a new file renamed over it, never rewritten
    // in place where the session could read it half written.
    QVERIFY(QDir().mkpath(autostartDir()));
    QVERIFY(writeFile(path, "[Desktop Entry]\nType=Application\nName=Old\nExec=/old\n"));
    const ino_t before = inodeOf(path);
    QVERIFY(LoginItem::setEnabled(launcherId, true));
    QVERIFY(inodeOf(path) != before);
    QVERIFY(LoginItem::isEnabled(launcherId));
    QCOMPARE(QDir(autostartDir()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{u"com.orvex.launcher.desktop"_s});

    const QString written = readAll(path);
    const QStringList lines = written.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.value(0), u"[Desktop Entry]"_s);
    for (const QString &expected : {u"Type=Application"_s, u"Name=Orvex"_s, u"Exec="_s + m_launcher,
                                    u"NoDisplay=true"_s, u"X-GNOME-Autostart-enabled=true"_s})
        QVERIFY2(lines.contains(expected), qPrintable(expected));
    validate(path);

    // Off twice, then on: removed, still removed, and the same entry again.
    QVERIFY(LoginItem::setEnabled(launcherId, false));
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!LoginItem::isEnabled(launcherId));
    QVERIFY(LoginItem::setEnabled(launcherId, false));
    QVERIFY(LoginItem::setEnabled(launcherId, true));
    QCOMPARE(readAll(path), written);
}

void tst_LoginItem::quotesAnAwkwardLauncherPath()
{
    const QString dir = m_bin->filePath(u"My Apps/100%$x"_s);
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(writeFile(dir + u"/orvex-launcher"_s, "#!/bin/sh\n", true));
    qputenv("PATH", QFile::encodeName(dir));

    QVERIFY(LoginItem::setEnabled(launcherId, true));
    // Quoted for the space, '$' escaped inside the quotes, '%' doubled, and
    // that escaping backslash escaped again by the key-file format.
    const QString expected = u"Exec=\""_s + m_bin->path() + u"/My Apps/100%%\\\\$x/orvex-launcher\""_s;
    const QString entry = readAll(LoginItem::entryPath(launcherId));
    QVERIFY2(entry.split(u'\n').contains(expected), qPrintable(entry));
    validate(LoginItem::entryPath(launcherId));
}

void tst_LoginItem::findsTheLauncher()
{
    QTemporaryDir clientDir;
    const QString beside = clientDir.filePath(u"orvex-launcher"_s);
    QCOMPARE(LoginItem::findLauncher(clientDir.path()), m_launcher);
    QVERIFY(writeFile(beside, "#!/bin/sh\n")); // cannot run: does not count
    QCOMPARE(LoginItem::findLauncher(clientDir.path()), m_launcher);
    QVERIFY(QFile::setPermissions(beside, QFile::ReadOwner | QFile::ExeOwner));
    QCOMPARE(LoginItem::findLauncher(clientDir.path()), beside);
}

void tst_LoginItem::refusals()
{
    // No launcher anywhere: an existing entry stays as it was.
    const QString path = LoginItem::entryPath(launcherId);
    QVERIFY(QDir().mkpath(autostartDir()));
    QVERIFY(writeFile(path, "[Desktop Entry]\nType=Application\nName=Kept\nExec=/kept\n"));
    qputenv("PATH", "/nonexistent");
    QVERIFY(!LoginItem::setEnabled(launcherId, true));
    QVERIFY(readAll(path).contains("Name=Kept"_L1));

    // An id that is not a plain file name never leaves the autostart folder.
    qputenv("PATH", QFile::encodeName(m_bin->path()));
    QVERIFY(!LoginItem::setEnabled(u"../escaped"_s, true));
    QVERIFY(!QFileInfo::exists(m_configHome.filePath(u"escaped.desktop"_s)));
    QVERIFY(!LoginItem::setEnabled(QString(), true));
}

void tst_LoginItem::honoursTheUsersSwitch()
{
    const QString path = LoginItem::entryPath(launcherId);
    QVERIFY(QDir().mkpath(autostartDir()));
    const QByteArray head = "[Desktop Entry]\nType=Application\nName=Orvex\nExec=/x/orvex-launcher\n";
    QVERIFY(writeFile(path, head + "Hidden=true\n"));
    QVERIFY(!LoginItem::isEnabled(launcherId));
    QVERIFY(writeFile(path, head + "X-GNOME-Autostart-enabled=false\n"));
    QVERIFY(!LoginItem::isEnabled(launcherId));
    // The same key in another group says nothing about the entry.
    QVERIFY(writeFile(path, head + "[Desktop Action Quit]\nName=Quit\nHidden=true\n"));
    QVERIFY(LoginItem::isEnabled(launcherId));
}

QTEST_GUILESS_MAIN(tst_LoginItem)
#include "tst_loginitem.moc"
