// The per-user defaults store: exact types across a restart and through
// QSettings, owner-only permissions, and survival of a damaged file.

#include "StderrCapture.h"
#include "TestFiles.h"

#include "platform/UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Orvex;
using namespace Qt::StringLiterals;

namespace {} // namespace

class tst_UserDefaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void valuesKeepTheirTypeAcrossARestart_data();
    void valuesKeepTheirTypeAcrossARestart();
    void absentRemovedRetypedAndSharedValues();
    void qsettingsWrittenFileIsRead();
    void fileAndFolderAreOwnerOnly();
    void plantedLinksAreNotFollowed();
    void damagedFileIsSetAsideAndStoreStartsEmpty_data();
    void damagedFileIsSetAsideAndStoreStartsEmpty();
    void unreadableFileIsSetAside();
};

void tst_UserDefaults::valuesKeepTheirTypeAcrossARestart_data()
{
    QTest::addColumn<QVariant>("value");
    const QString texts[] = {
        QString(),
        u"true"_s,
        u"@ByteArray(looks like bytes)"_s,
        u"@Variant(\\0\\0\\0\\x1\\x1)"_s,
        u"@@twice"_s,
        u"a,b;c=d \"quoted\" back\\slash"_s,
        u"Smith, Ann"_s, // a comma alone reads back as a list unless quoted
        u"  edge spaces  "_s,
        u"line one\nline two\r\n\ttabbed\\x41"_s,
        u"gr\u00fc\u00df \u20ac \U0001F510 \u0627\u0644"_s,
        QString(QChar(0)) + u"1f after a NUL"_s,
        u"p@ss w0rd!#%&*+/:<>?[]^`{|}~"_s,
    };
    int i = 0;
    for (const QString &text : texts)
        QTest::addRow("text %d", i++) << QVariant(text);
    QTest::newRow("bytes empty") << QVariant(QByteArray(""));
    QTest::newRow("bytes that read as text") << QVariant(QByteArray("tempEmail=someone"));
    QTest::newRow("bytes that read as a boolean") << QVariant(QByteArray("true"));
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    QTest::newRow("every byte value") << QVariant(all + all);
    QTest::newRow("bytes with a hex digit after NUL") << QVariant(QByteArray::fromHex("00610166ff30"));
    QTest::newRow("true") << QVariant(true);
    QTest::newRow("false") << QVariant(false);
}

void tst_UserDefaults::valuesKeepTheirTypeAcrossARestart()
{
    QFETCH(QVariant, value);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"orvex/orvex.conf"_s);
    const QString key = u"someKey"_s;
    {
        UserDefaults store(path);
        store.setString(u"neighbour"_s, u"stays"_s);
        if (value.typeId() == QMetaType::QString)
            store.setString(key, value.toString());
        else if (value.typeId() == QMetaType::QByteArray)
            store.setData(key, value.toByteArray());
        else
            store.setBoolean(key, value.toBool());
    }

    UserDefaults reopened(path);
    QVERIFY(reopened.contains(key));
    QCOMPARE(reopened.string(u"neighbour"_s), u"stays"_s);
    if (value.typeId() == QMetaType::QString) {
        QCOMPARE(reopened.string(key), value.toString());
        QCOMPARE(reopened.data(key), std::nullopt);
    } else if (value.typeId() == QMetaType::QByteArray) {
        QCOMPARE(reopened.data(key), value.toByteArray());
        QCOMPARE(reopened.string(key), std::nullopt);
    } else {
        QCOMPARE(reopened.boolean(key), value.toBool());
        QCOMPARE(reopened.string(key), std::nullopt);
    }

    // The file stays QSettings' INI: a QSettings reader in a fresh process
    // (no shared cache: a copy of the file) gets the same type and value.
    const QString copy = dir.filePath(u"copy.conf"_s);
    QVERIFY(QFile::copy(path, copy));
    QSettings settings(copy, QSettings::IniFormat);
    QCOMPARE(settings.status(), QSettings::NoError);
    const QVariant read = settings.value(key);
    QCOMPARE(read.typeId(), value.typeId());
    QCOMPARE(read, value);
}

void tst_UserDefaults::absentRemovedRetypedAndSharedValues()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"s.conf"_s);
    UserDefaults store(path);
    QCOMPARE(store.string(u"password"_s), std::nullopt);
    QVERIFY(!store.boolean(u"password"_s));
    QVERIFY(!store.contains(u"password"_s));

    store.setString(u"password"_s, u"secret"_s);
    store.setString(u"name"_s, u"Ann"_s);
    store.remove(u"password"_s);
    QVERIFY(!store.contains(u"password"_s));
    QVERIFY(!UserDefaults(path).contains(u"password"_s));
    QVERIFY(!readFile(path).contains("secret"));
    // Removing what is not there writes nothing.
    const QByteArray before = readFile(path);
    store.remove(u"password"_s);
    QCOMPARE(readFile(path), before);

    // A write of another type replaces the value and its type.
    store.setBoolean(u"name"_s, true);
    QCOMPARE(store.string(u"name"_s), std::nullopt);
    store.setData(u"name"_s, QByteArray("x"));
    QVERIFY(!store.boolean(u"name"_s));
    QCOMPARE(UserDefaults(path).data(u"name"_s), QByteArray("x"));

    // Another writer's change is seen, and a second writer adds to what the
    // first saved instead of dropping it.
    UserDefaults second(path);
    QVERIFY(!second.contains(u"tempEmail"_s)); // read before the change
    store.setString(u"tempEmail"_s, u"a@example.com"_s);
    QCOMPARE(second.string(u"tempEmail"_s), u"a@example.com"_s);
    second.setString(u"password"_s, u"pw"_s);
    QCOMPARE(store.string(u"password"_s), u"pw"_s);
    QCOMPARE(store.string(u"tempEmail"_s), u"a@example.com"_s);
    store.remove(u"tempEmail"_s);
    QVERIFY(!second.contains(u"tempEmail"_s));
}

void tst_UserDefaults::qsettingsWrittenFileIsRead()
{
    // The standard store is where QSettings looks for the application's own.
    const QString expected = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                             + u"/orvex/orvex.conf"_s;
    QCOMPARE(UserDefaults::standardFilePath(), expected);
    QCOMPARE(UserDefaults::standard().filePath(), expected);
    QCOMPARE(QSettings(u"orvex"_s, u"orvex"_s).fileName(), expected);

    QTemporaryDir dir;
    const QString path = dir.filePath(u"q.conf"_s);
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(u"tempEmail"_s, u"a,b@example.com"_s);
        settings.setValue(u"certificate"_s, QByteArray("\x30\x82\x00\xff", 4));
        settings.setValue(u"isAutoConnectEnabled"_s, true);
        settings.setValue(u"isAutoStartEnabled"_s, false);
        settings.setValue(u"list"_s, QStringList{u"x"_s, u"y"_s});
        settings.setValue(u"group/inner"_s, u"grouped"_s);
    }
    UserDefaults store(path);
    QCOMPARE(store.string(u"tempEmail"_s), u"a,b@example.com"_s);
    QCOMPARE(store.data(u"certificate"_s), QByteArray("\x30\x82\x00\xff", 4));
    // QSettings leaves booleans as the text "true"/"false".
    QVERIFY(store.boolean(u"isAutoConnectEnabled"_s));
    QVERIFY(!store.boolean(u"isAutoStartEnabled"_s));
    QCOMPARE(store.string(u"group/inner"_s), u"grouped"_s);

    // Values of other kinds are carried through our own writes untouched.
    store.setString(u"phone"_s, u"+15550100"_s);
    const QString copy = dir.filePath(u"copy.conf"_s);
    QVERIFY(QFile::copy(path, copy));
    QSettings after(copy, QSettings::IniFormat);
    QCOMPARE(after.value(u"list"_s).toStringList(), (QStringList{u"x"_s, u"y"_s}));
    QCOMPARE(after.value(u"group/inner"_s).toString(), u"grouped"_s);
    QCOMPARE(after.value(u"phone"_s).toString(), u"+15550100"_s);
}

void tst_UserDefaults::fileAndFolderAreOwnerOnly()
{
    const Umask umask(022);
    QTemporaryDir dir;
    const QString folder = dir.filePath(u"config/orvex"_s);
    const QString path = folder + u"/orvex.conf"_s;
    UserDefaults store(path);
    store.setString(u"password"_s, u"pw"_s);
    store.setData(u"certificate"_s, QByteArray(100, 'c'));
    QCOMPARE(modeOf(path), 0600u);
    QCOMPARE(modeOf(folder), 0700u);
    store.remove(u"password"_s);
    QCOMPARE(modeOf(path), 0600u);
    QCOMPARE(modeOf(dir.filePath(u"config"_s)), 0700u);
    // Saves leave no temporary or lock files behind.
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{u"orvex.conf"_s});

    // What a plain QSettings writer leaves under umask 022 is tightened.
    const QString loose = dir.filePath(u"loose/orvex.conf"_s);
    QSettings(loose, QSettings::IniFormat).setValue(u"password"_s, u"pw"_s);
    QCOMPARE(modeOf(loose), 0644u);
    QCOMPARE(modeOf(dir.filePath(u"loose"_s)), 0755u);
    UserDefaults tightened(loose);
    QCOMPARE(tightened.string(u"password"_s), u"pw"_s);
    QCOMPARE(modeOf(loose), 0600u);
    tightened.setString(u"phone"_s, u"1"_s);
    QCOMPARE(modeOf(loose), 0600u);
    QCOMPARE(modeOf(dir.filePath(u"loose"_s)), 0700u);
}

// A settings file or folder replaced by a symbolic link must not carry our
// chmod to the link's target, and another user's link in place of the folder
// is refused with a message rather than used.
void tst_UserDefaults::plantedLinksAreNotFollowed()
{
    const Umask umask(022);
    QTemporaryDir dir;
    const QString victim = dir.filePath(u"victim"_s);
    QVERIFY(writeFile(victim, "[General]\nowner=someone else\n"));
    QVERIFY(::chmod(QFile::encodeName(victim).constData(), 0644) == 0);

    // The file is a link: reading leaves the target's mode alone, a save
    // replaces the link with a file of our own.
    const QString folder = dir.filePath(u"orvex"_s);
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
    const QString path = folder + u"/orvex.conf"_s;
    QVERIFY(QFile::link(victim, path));
    {
        UserDefaults store(path);
        QCOMPARE(store.string(u"owner"_s), u"someone else"_s);
        QCOMPARE(modeOf(victim), 0644u);
        store.setString(u"phone"_s, u"1"_s);
        QCOMPARE(modeOf(victim), 0644u);
        QCOMPARE(readFile(victim), QByteArray("[General]\nowner=someone else\n"));
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(modeOf(path), 0600u);
    }

    // Our own link to a folder of our own is used, and the folder it names is
    // made private.
    {
        const QString ownTarget = dir.filePath(u"mine"_s);
        QVERIFY(QDir().mkpath(ownTarget));
        const QString ownLink = dir.filePath(u"own"_s);
        QVERIFY(QFile::link(ownTarget, ownLink));
        UserDefaults own(ownLink + u"/orvex.conf"_s);
        own.setString(u"phone"_s, u"3"_s);
        QCOMPARE(modeOf(ownTarget), 0700u);
        QCOMPARE(modeOf(ownTarget + u"/orvex.conf"_s), 0600u);
    }

    // The folder is another user's link to a folder: refused, said once, and
    // neither the target's mode nor its contents change.
    const QString target = dir.filePath(u"elsewhere"_s);
    QVERIFY(QDir().mkpath(target));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0755) == 0);
    const QString linkedFolder = dir.filePath(u"linked"_s);
    QVERIFY(QFile::link(target, linkedFolder));
    if (::lchown(QFile::encodeName(linkedFolder).constData(), ::geteuid() + 1, ::getegid()) != 0)
        QSKIP("making a link owned by another user needs root");
    StderrCapture captured(dir.filePath(u"stderr"_s));
    {
        UserDefaults store(linkedFolder + u"/orvex.conf"_s);
        store.setString(u"password"_s, u"pw"_s);
        store.setString(u"phone"_s, u"2"_s);
        // Kept for this run, in memory.
        QCOMPARE(store.string(u"password"_s), u"pw"_s);
    }
    const QByteArray said = captured.text();
    QCOMPARE(modeOf(target), 0755u);
    QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    QVERIFY2(said.contains("is a symbolic link owned by another user"), said.constData());
    QCOMPARE(said.count("settings are not saved"), 1);
}

void tst_UserDefaults::damagedFileIsSetAsideAndStoreStartsEmpty_data()
{
    QTest::addColumn<QByteArray>("damaged");
    QTest::newRow("binary garbage") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    QTest::newRow("not UTF-8") << QByteArray("[General]\ntempEmail=caf\xe9\n");
    QTest::newRow("line without a value") << QByteArray("[General]\ntempEmail=a@b.c\npassword\n");
    QTest::newRow("torn quote") << QByteArray("[General]\npassword=\"half");
    QTest::newRow("torn section") << QByteArray("[General]\npassword=pw\n[Gen");
    QTest::newRow("empty key") << QByteArray("[General]\n=value\n");
}

void tst_UserDefaults::damagedFileIsSetAsideAndStoreStartsEmpty()
{
    QFETCH(QByteArray, damaged);
    QTemporaryDir dir;
    const QString folder = dir.filePath(u"orvex"_s);
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + u"/orvex.conf"_s;
    QVERIFY(writeFile(path, damaged));

    StderrCapture capture(dir.filePath(u"stderr.txt"_s));
    UserDefaults store(path);
    QVERIFY(!store.contains(u"tempEmail"_s));
    QVERIFY(!store.contains(u"password"_s));
    const QByteArray warning = capture.text();

    QCOMPARE(warning.count('\n'), 1);
    QVERIFY(warning.endsWith('\n'));
    QVERIFY(warning.contains(QFile::encodeName(path)));

    // The damaged bytes are kept, owner-only, beside the new store.
    const QStringList aside = QDir(folder).entryList({u"orvex.conf.corrupt-*"_s}, QDir::Files | QDir::Hidden);
    QCOMPARE(aside.size(), 1);
    const QString asidePath = folder + u'/' + aside.first();
    QCOMPARE(readFile(asidePath), damaged);
    QCOMPARE(modeOf(asidePath), 0600u);
    QVERIFY(!QFile::exists(path));

    store.setString(u"tempEmail"_s, u"new@example.com"_s);
    QCOMPARE(UserDefaults(path).string(u"tempEmail"_s), u"new@example.com"_s);
    QCOMPARE(readFile(asidePath), damaged);

    // A second damaged file gets a name of its own instead of replacing the first.
    QVERIFY(writeFile(path, damaged));
    StderrCapture again(dir.filePath(u"stderr2.txt"_s));
    QVERIFY(!store.contains(u"tempEmail"_s));
    QCOMPARE(again.text().count('\n'), 1);
    QCOMPARE(QDir(folder).entryList({u"orvex.conf.corrupt-*"_s}, QDir::Files).size(), 2);
}

void tst_UserDefaults::unreadableFileIsSetAside()
{
    // Root reads any file whatever its mode, so a folder in the file's place
    // stands for a store that cannot be read.
    QTemporaryDir dir;
    const QString path = dir.filePath(u"orvex.conf"_s);
    QVERIFY(QDir().mkpath(path));
    StderrCapture capture(dir.filePath(u"stderr.txt"_s));
    UserDefaults store(path);
    QVERIFY(!store.contains(u"password"_s));
    QCOMPARE(capture.text().count('\n'), 1);
    store.setBoolean(u"isLaunchedBefore"_s, true);
    QVERIFY(UserDefaults(path).boolean(u"isLaunchedBefore"_s));
    QCOMPARE(QDir(dir.path()).entryList({u"orvex.conf.corrupt-*"_s}, QDir::Dirs).size(), 1);
}

QTEST_GUILESS_MAIN(tst_UserDefaults)
#include "tst_userdefaults.moc"
