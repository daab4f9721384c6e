// The per-user defaults store: exact types across a restart and through
// QSettings, owner-only permissions, and survival of a damaged file.

#include "StderrCapture.h"

#include "platform/UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Orvex;

namespace {

unsigned modeOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeRaw(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Sets the umask for one test and restores it afterwards.
class Umask
{
public:
    explicit Umask(mode_t mask)
        : m_saved(::umask(mask))
    {}
    ~Umask() { ::umask(m_saved); }

private:
    mode_t m_saved;
};

} // namespace

class tst_UserDefaults : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void standardStoreIsWhereQSettingsLooks();
    void valuesKeepTheirTypeAcrossARestart_data();
    void valuesKeepTheirTypeAcrossARestart();
    void absentRemovedAndRetypedValues();
    void qsettingsWrittenFileIsRead();
    void changeByAnotherWriterIsSeen();
    void fileAndFolderAreOwnerOnly();
    void plantedLinksAreNotFollowed();
    void damagedFileIsSetAsideAndStoreStartsEmpty_data();
    void damagedFileIsSetAsideAndStoreStartsEmpty();
    void unreadableFileIsSetAside();
};

void tst_UserDefaults::standardStoreIsWhereQSettingsLooks()
{
    const QString expected = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                             + QStringLiteral("/orvex/orvex.conf");
    QCOMPARE(UserDefaults::standardFilePath(), expected);
    QCOMPARE(UserDefaults::standard().filePath(), expected);
    QCOMPARE(QSettings(QStringLiteral("orvex"), QStringLiteral("orvex")).fileName(), expected);
}

void tst_UserDefaults::valuesKeepTheirTypeAcrossARestart_data()
{
    QTest::addColumn<QVariant>("value");
    const QString texts[] = {
        QString(),
        QStringLiteral("true"),
        QStringLiteral("@ByteArray(looks like bytes)"),
        QStringLiteral("@Variant(\\0\\0\\0\\x1\\x1)"),
        QStringLiteral("@@twice"),
        QStringLiteral("a,b;c=d \"quoted\" back\\slash"),
        QStringLiteral("Smith, Ann"), // a comma alone reads back as a list unless quoted
        QStringLiteral("  edge spaces  "),
        QStringLiteral("line one\nline two\r\n\ttabbed\\x41"),
        QStringLiteral("gr\u00fc\u00df \u20ac \U0001F510 \u0627\u0644"),
        QString(QChar(0)) + QStringLiteral("1f after a NUL"),
        QStringLiteral("p@ss w0rd!#%&*+/:<>?[]^`{|}~"),
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
    QTest::newRow("bytes with a hex digit after NUL") << QVariant(QByteArray("\0a\x01"
                                                                             "f\xff"
                                                                             "0",
                                                                             6));
    QTest::newRow("true") << QVariant(true);
    QTest::newRow("false") << QVariant(false);
}

void tst_UserDefaults::valuesKeepTheirTypeAcrossARestart()
{
    QFETCH(QVariant, value);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("orvex/orvex.conf"));
    const QString key = QStringLiteral("someKey");
    {
        UserDefaults store(path);
        store.setString(QStringLiteral("neighbour"), QStringLiteral("stays"));
        if (value.typeId() == QMetaType::QString)
            store.setString(key, value.toString());
        else if (value.typeId() == QMetaType::QByteArray)
            store.setData(key, value.toByteArray());
        else
            store.setBoolean(key, value.toBool());
    }

    // A new process reads what the last one wrote.
    UserDefaults reopened(path);
    QVERIFY(reopened.contains(key));
    QCOMPARE(reopened.string(QStringLiteral("neighbour")), QStringLiteral("stays"));
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
    const QString copy = dir.filePath(QStringLiteral("copy.conf"));
    QVERIFY(QFile::copy(path, copy));
    QSettings settings(copy, QSettings::IniFormat);
    QCOMPARE(settings.status(), QSettings::NoError);
    const QVariant read = settings.value(key);
    QCOMPARE(read.typeId(), value.typeId());
    QCOMPARE(read, value);
}

void tst_UserDefaults::absentRemovedAndRetypedValues()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("s.conf"));
    UserDefaults store(path);
    QCOMPARE(store.string(QStringLiteral("password")), std::nullopt);
    QVERIFY(!store.boolean(QStringLiteral("password")));
    QVERIFY(!store.contains(QStringLiteral("password")));

    store.setString(QStringLiteral("password"), QStringLiteral("secret"));
    store.setString(QStringLiteral("name"), QStringLiteral("Ann"));
    store.remove(QStringLiteral("password"));
    QVERIFY(!store.contains(QStringLiteral("password")));
    QVERIFY(!UserDefaults(path).contains(QStringLiteral("password")));
    QVERIFY(!contentsOf(path).contains("secret"));
    // Removing what is not there writes nothing.
    const QByteArray before = contentsOf(path);
    store.remove(QStringLiteral("password"));
    QCOMPARE(contentsOf(path), before);

    // A write of another type replaces the value and its type.
    store.setBoolean(QStringLiteral("name"), true);
    QCOMPARE(store.string(QStringLiteral("name")), std::nullopt);
    store.setData(QStringLiteral("name"), QByteArray("x"));
    QVERIFY(!store.boolean(QStringLiteral("name")));
    QCOMPARE(UserDefaults(path).data(QStringLiteral("name")), QByteArray("x"));
}

void tst_UserDefaults::qsettingsWrittenFileIsRead()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("q.conf"));
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(QStringLiteral("tempEmail"), QStringLiteral("a,b@example.com"));
        settings.setValue(QStringLiteral("certificate"), QByteArray("\x30\x82\x00\xff", 4));
        settings.setValue(QStringLiteral("isAutoConnectEnabled"), true);
        settings.setValue(QStringLiteral("isAutoStartEnabled"), false);
        settings.setValue(QStringLiteral("list"), QStringList{QStringLiteral("x"), QStringLiteral("y")});
        settings.setValue(QStringLiteral("group/inner"), QStringLiteral("grouped"));
    }
    UserDefaults store(path);
    QCOMPARE(store.string(QStringLiteral("tempEmail")), QStringLiteral("a,b@example.com"));
    QCOMPARE(store.data(QStringLiteral("certificate")), QByteArray("\x30\x82\x00\xff", 4));
    // QSettings leaves booleans as the text "true"/"false".
    QVERIFY(store.boolean(QStringLiteral("isAutoConnectEnabled")));
    QVERIFY(!store.boolean(QStringLiteral("isAutoStartEnabled")));
    QCOMPARE(store.string(QStringLiteral("group/inner")), QStringLiteral("grouped"));

    // Values of other kinds are carried through our own writes untouched.
    store.setString(QStringLiteral("phone"), QStringLiteral("+15550100"));
    const QString copy = dir.filePath(QStringLiteral("copy.conf"));
    QVERIFY(QFile::copy(path, copy));
    QSettings after(copy, QSettings::IniFormat);
    QCOMPARE(after.value(QStringLiteral("list")).toStringList(),
             (QStringList{QStringLiteral("x"), QStringLiteral("y")}));
    QCOMPARE(after.value(QStringLiteral("group/inner")).toString(), QStringLiteral("grouped"));
    QCOMPARE(after.value(QStringLiteral("phone")).toString(), QStringLiteral("+15550100"));
}

void tst_UserDefaults::changeByAnotherWriterIsSeen()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("s.conf"));
    UserDefaults first(path);
    UserDefaults second(path);
    QVERIFY(!second.contains(QStringLiteral("tempEmail")));
    first.setString(QStringLiteral("tempEmail"), QStringLiteral("a@example.com"));
    QCOMPARE(second.string(QStringLiteral("tempEmail")), QStringLiteral("a@example.com"));
    // The second writer adds to what the first saved instead of dropping it.
    second.setString(QStringLiteral("password"), QStringLiteral("pw"));
    QCOMPARE(first.string(QStringLiteral("password")), QStringLiteral("pw"));
    QCOMPARE(first.string(QStringLiteral("tempEmail")), QStringLiteral("a@example.com"));
    first.remove(QStringLiteral("tempEmail"));
    QVERIFY(!second.contains(QStringLiteral("tempEmail")));
}

void tst_UserDefaults::fileAndFolderAreOwnerOnly()
{
    const Umask umask(022);
    QTemporaryDir dir;
    const QString folder = dir.filePath(QStringLiteral("config/orvex"));
    const QString path = folder + QStringLiteral("/orvex.conf");
    UserDefaults store(path);
    for (int i = 0; i < 5; ++i) {
        store.setString(QStringLiteral("password"), QStringLiteral("pw%1").arg(i));
        store.setData(QStringLiteral("certificate"), QByteArray(100 + i, 'c'));
        store.setBoolean(QStringLiteral("isAutoStartEnabled"), i % 2);
        QCOMPARE(modeOf(path), 0600u);
        QCOMPARE(modeOf(folder), 0700u);
    }
    store.remove(QStringLiteral("password"));
    QCOMPARE(modeOf(path), 0600u);
    QCOMPARE(modeOf(dir.filePath(QStringLiteral("config"))), 0700u);
    // Saves leave no temporary or lock files behind.
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("orvex.conf")});

    // What a plain QSettings writer leaves under umask 022 is tightened.
    const QString loose = dir.filePath(QStringLiteral("loose/orvex.conf"));
    QSettings(loose, QSettings::IniFormat).setValue(QStringLiteral("password"), QStringLiteral("pw"));
    QCOMPARE(modeOf(loose), 0644u);
    QCOMPARE(modeOf(dir.filePath(QStringLiteral("loose"))), 0755u);
    UserDefaults tightened(loose);
    QCOMPARE(tightened.string(QStringLiteral("password")), QStringLiteral("pw"));
    QCOMPARE(modeOf(loose), 0600u);
    tightened.setString(QStringLiteral("phone"), QStringLiteral("1"));
    QCOMPARE(modeOf(loose), 0600u);
    QCOMPARE(modeOf(dir.filePath(QStringLiteral("loose"))), 0700u);
}

// A settings file or folder replaced by a symbolic link must not carry our
// chmod to the link's target, and another user's link in place of the folder
// is refused with a message rather than used.
void tst_UserDefaults::plantedLinksAreNotFollowed()
{
    const Umask umask(022);
    QTemporaryDir dir;
    const QString victim = dir.filePath(QStringLiteral("victim"));
    writeRaw(victim, "[General]\nowner=someone else\n");
    QVERIFY(::chmod(QFile::encodeName(victim).constData(), 0644) == 0);

    // The file is a link: reading leaves the target's mode alone, a save
    // replaces the link with a file of our own.
    const QString folder = dir.filePath(QStringLiteral("orvex"));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
    const QString path = folder + QStringLiteral("/orvex.conf");
    QVERIFY(QFile::link(victim, path));
    {
        UserDefaults store(path);
        QCOMPARE(store.string(QStringLiteral("owner")), QStringLiteral("someone else"));
        QCOMPARE(modeOf(victim), 0644u);
        store.setString(QStringLiteral("phone"), QStringLiteral("1"));
        QCOMPARE(modeOf(victim), 0644u);
        QCOMPARE(contentsOf(victim), QByteArray("[General]\nowner=someone else\n"));
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(modeOf(path), 0600u);
    }

    // Our own link to a folder of our own is used, and the folder it names is
    // made private.
    {
        const QString ownTarget = dir.filePath(QStringLiteral("mine"));
        QVERIFY(QDir().mkpath(ownTarget));
        const QString ownLink = dir.filePath(QStringLiteral("own"));
        QVERIFY(QFile::link(ownTarget, ownLink));
        UserDefaults own(ownLink + QStringLiteral("/orvex.conf"));
        own.setString(QStringLiteral("phone"), QStringLiteral("3"));
        QCOMPARE(modeOf(ownTarget), 0700u);
        QCOMPARE(modeOf(ownTarget + QStringLiteral("/orvex.conf")), 0600u);
    }

    // The folder is another user's link to a folder: refused, said once, and
    // neither the target's mode nor its contents change.
    const QString target = dir.filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(target));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0755) == 0);
    const QString linkedFolder = dir.filePath(QStringLiteral("linked"));
    QVERIFY(QFile::link(target, linkedFolder));
    if (::lchown(QFile::encodeName(linkedFolder).constData(), ::geteuid() + 1, ::getegid()) != 0)
        QSKIP("making a link owned by another user needs root");
    StderrCapture captured(dir.filePath(QStringLiteral("stderr")));
    {
        UserDefaults store(linkedFolder + QStringLiteral("/orvex.conf"));
        store.setString(QStringLiteral("password"), QStringLiteral("pw"));
        store.setString(QStringLiteral("phone"), QStringLiteral("2"));
        // Kept for this run, in memory.
        QCOMPARE(store.string(QStringLiteral("password")), QStringLiteral("pw"));
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
    const QString folder = dir.filePath(QStringLiteral("orvex"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/orvex.conf");
    writeRaw(path, damaged);

    StderrCapture capture(dir.filePath(QStringLiteral("stderr.txt")));
    UserDefaults store(path);
    QVERIFY(!store.contains(QStringLiteral("tempEmail")));
    QVERIFY(!store.contains(QStringLiteral("password")));
    const QByteArray warning = capture.text();

    QCOMPARE(warning.count('\n'), 1);
    QVERIFY(warning.endsWith('\n'));
    QVERIFY(warning.contains(QFile::encodeName(path)));

    // The damaged bytes are kept, owner-only, beside the new store.
    const QStringList aside = QDir(folder).entryList({QStringLiteral("orvex.conf.corrupt-*")},
                                                     QDir::Files | QDir::Hidden);
    QCOMPARE(aside.size(), 1);
    const QString asidePath = folder + u'/' + aside.first();
    QCOMPARE(contentsOf(asidePath), damaged);
    QCOMPARE(modeOf(asidePath), 0600u);
    QVERIFY(!QFile::exists(path));

    store.setString(QStringLiteral("tempEmail"), QStringLiteral("new@example.com"));
    QCOMPARE(UserDefaults(path).string(QStringLiteral("tempEmail")), QStringLiteral("new@example.com"));
    QCOMPARE(contentsOf(asidePath), damaged);

    // A second damaged file gets a name of its own instead of replacing the first.
    writeRaw(path, damaged);
    StderrCapture again(dir.filePath(QStringLiteral("stderr2.txt")));
    QVERIFY(!store.contains(QStringLiteral("tempEmail")));
    QCOMPARE(again.text().count('\n'), 1);
    QCOMPARE(QDir(folder).entryList({QStringLiteral("orvex.conf.corrupt-*")}, QDir::Files).size(), 2);
}

void tst_UserDefaults::unreadableFileIsSetAside()
{
    // Root reads any file whatever its mode, so a folder in the file's place
    // stands for a store that cannot be read.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("orvex.conf"));
    QVERIFY(QDir().mkpath(path));
    StderrCapture capture(dir.filePath(QStringLiteral("stderr.txt")));
    UserDefaults store(path);
    QVERIFY(!store.contains(QStringLiteral("password")));
    QCOMPARE(capture.text().count('\n'), 1);
    store.setBoolean(QStringLiteral("isLaunchedBefore"), true);
    QVERIFY(UserDefaults(path).boolean(QStringLiteral("isLaunchedBefore")));
    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("orvex.conf.corrupt-*")}, QDir::Dirs).size(), 1);
}

QTEST_GUILESS_MAIN(tst_UserDefaults)
#include "tst_userdefaults.moc"
