// What the client keeps: the per-user defaults (exact types across a restart
// and through QSettings, owner-only permissions, survival of a damaged file),
// the key store (which identity a PKCS#12 archive yields, how it is kept on
// disk, its access list, deletion), and the account's secrets where a user
// meets them: a real gnome-keyring on a private session bus (listed with
// secret-tool, as a user would), and the owner-only file where no Secret
// Service answers.

#include "PrivateBus.h"
#include "ProgramRun.h"
#include "StderrCapture.h"
#include "TestFiles.h"
#include "TestPkcs12.h"

#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "config/Config.h"
#include "platform/DesktopSecretStore.h"
#include "platform/IdentityStore.h"
#include "platform/SecureFile.h"
#include "platform/SessionBus.h"
#include "platform/UserDefaults.h"
#include "session/UserFiles.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
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
using namespace TestPkcs12;
namespace Keys = Orvex::DefaultsKeys;

Q_DECLARE_METATYPE(QList<TestPkcs12::Bag>)

namespace {

const QString passphrase = u"ovx4pk"_s;
const QString secretsName = u"org.freedesktop.secrets"_s;

QStringList entriesOf(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

// Credentials are slow enough to make (RSA) that the tests share them.
const Credential &alice()
{
    static const Credential c = makeCredential("alice");
    return c;
}
const Credential &bob()
{
    static const Credential c = makeCredential("bob");
    return c;
}

} // namespace

class tst_LocalStores : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void valuesKeepTheirTypeAcrossARestart_data();
    void valuesKeepTheirTypeAcrossARestart();
    void absentRemovedRetypedAndSharedValues();
    void qsettingsWrittenFileIsRead();
    void fileAndFolderAreOwnerOnly();
    void plantedLinksAreNotFollowed();
    void damagedFileIsSetAsideAndStoreStartsEmpty_data();
    void damagedFileIsSetAsideAndStoreStartsEmpty();
    void unreadableFileIsSetAside();

    void importStoresOwnerOnlyFilesNamedBySha1();
    void resolveGivesWhatTheVPNDaemonNeeds();
    void firstItemDecides_data();
    void firstItemDecides();
    void legacyArchiveFromTheOpensslTool();
    void reimportKeepsTheStoredIdentityAndRepairsADamagedOne();
    void removeDeletesOnlyThatIdentity();

    void oldPasswordMovesIntoTheKeyringAndOutAtSignOut();
    // Last: stops the keyring.
    void withoutSecretServiceTheFileServesAndSaysSoOnce();

private:
    QString secretTool(const QStringList &arguments);
    QStringList keyringItems();
    bool write(SecretStore &store, const QString &secret);
    std::optional<QString> read(SecretStore &store);
    bool load(Session &session);

    QTemporaryDir m_keyringHome;
    PrivateBus m_bus;
    QProcess m_keyring;
    std::optional<QTemporaryDir> m_folder;
    UserFiles m_files;
};

void tst_LocalStores::valuesKeepTheirTypeAcrossARestart_data()
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

void tst_LocalStores::valuesKeepTheirTypeAcrossARestart()
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

void tst_LocalStores::absentRemovedRetypedAndSharedValues()
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

void tst_LocalStores::qsettingsWrittenFileIsRead()
{
    // The standard store is where QSettings looks for the application's own.
    const QString expected = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                             + u"/orvex/orvex.conf"_s;
    QCOMPARE(UserDefaults::standardFilePath(), expected);
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

void tst_LocalStores::fileAndFolderAreOwnerOnly()
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
    QCOMPARE(entriesOf(folder), QStringList{u"orvex.conf"_s});

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
void tst_LocalStores::plantedLinksAreNotFollowed()
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
    QCOMPARE(entriesOf(target), QStringList());
    QVERIFY2(said.contains("is a symbolic link owned by another user"), said.constData());
    QCOMPARE(said.count("settings are not saved"), 1);
}

void tst_LocalStores::damagedFileIsSetAsideAndStoreStartsEmpty_data()
{
    QTest::addColumn<QByteArray>("damaged");
    QTest::newRow("binary garbage") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
    QTest::newRow("not UTF-8") << QByteArray("[General]\ntempEmail=caf\xe9\n");
    QTest::newRow("line without a value") << QByteArray("[General]\ntempEmail=a@b.c\npassword\n");
    QTest::newRow("torn quote") << QByteArray("[General]\npassword=\"half");
    QTest::newRow("torn section") << QByteArray("[General]\npassword=pw\n[Gen");
    QTest::newRow("empty key") << QByteArray("[General]\n=value\n");
}

void tst_LocalStores::damagedFileIsSetAsideAndStoreStartsEmpty()
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

void tst_LocalStores::unreadableFileIsSetAside()
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

void tst_LocalStores::importStoresOwnerOnlyFilesNamedBySha1()
{
    const Umask umask(0); // the widest the umask can make new files
    QTemporaryDir dir;
    const QString root = dir.filePath(u"orvex/identities"_s);
    IdentityStore store(root);
    const auto identity = store.importSingleIdentity(makeIdentityArchive(alice(), passphrase), passphrase);
    QVERIFY(identity);
    QCOMPARE(identity->reference, alice().sha1());
    QCOMPARE(store.persistentReference(*identity), alice().sha1());

    const QString folder = root + u'/' + QString::fromLatin1(alice().sha1().toHex());
    QCOMPARE(entriesOf(root), QStringList{QString::fromLatin1(alice().sha1().toHex())});
    QCOMPARE(modeOf(dir.filePath(u"orvex"_s)), 0700u);
    QCOMPARE(modeOf(root), 0700u);
    QCOMPARE(modeOf(folder), 0700u);
    const QStringList files = entriesOf(folder);
    QCOMPARE(files, (QStringList{u"access-list.json"_s, u"certificate.pem"_s, u"private-key.pem"_s}));
    for (const QString &file : files)
        QCOMPARE(modeOf(folder + u'/' + file), 0600u);

    // Importing grants the client alone.
    const auto access = store.accessList(identity->reference);
    QVERIFY(access);
    QCOMPARE(*access, (QList<IdentityStore::AccessEntry>{{u"use"_s, {u"orvex"_s}}}));
}

void tst_LocalStores::resolveGivesWhatTheVPNDaemonNeeds()
{
    QTemporaryDir dir;
    IdentityStore store(dir.path());
    const Credential rsa = makeCredential("rsa client", true);
    for (const Credential *c : {&alice(), &rsa}) {
        const auto identity = store.importSingleIdentity(makeIdentityArchive(*c, passphrase), passphrase);
        QVERIFY(identity);
        const auto material = store.resolve(identity->reference);
        QVERIFY(material);
        QCOMPARE(material->certificateDer, c->certificateDer());
        QCOMPARE(material->keyType, c == &rsa ? u"rsa"_s : u"ecdsa"_s);

        // That the key is the certificate's own, charon proves in the tunnel's end-to-end test.
        QVERIFY(!material->privateKeyDer.isEmpty());
        QVERIFY(QFile::exists(material->certificatePath) && QFile::exists(material->privateKeyPath));
    }
    QCOMPARE(store.resolve(QByteArray(20, 'x')), std::nullopt);
    QCOMPARE(store.resolve(QByteArray("../../etc")), std::nullopt);
    QCOMPARE(store.resolve(QByteArray()), std::nullopt);
}

void tst_LocalStores::firstItemDecides_data()
{
    QTest::addColumn<QList<Bag>>("bags");
    QTest::addColumn<QString>("openWith");
    QTest::addColumn<QByteArray>("expected"); // SHA-1 of the identity, empty for none

    const Credential &a = alice();
    const Credential &b = bob();
    QTest::newRow("certificate then key")
        << QList<Bag>{certificateBag(a, "1"), keyBag(a, "1")} << passphrase << a.sha1();
    QTest::newRow("key then certificate")
        << QList<Bag>{keyBag(a, "1"), certificateBag(a, "1")} << passphrase << a.sha1();
    QTest::newRow("no local key ids, paired by key")
        << QList<Bag>{certificateBag(a), keyBag(a)} << passphrase << a.sha1();
    QTest::newRow("unencrypted key bag")
        << QList<Bag>{certificateBag(a, "1"), keyBag(a, "1", false)} << passphrase << a.sha1();
    QTest::newRow("identity first, then a chain certificate")
        << QList<Bag>{certificateBag(a, "1"), keyBag(a, "1"), certificateBag(b)} << passphrase << a.sha1();

    QTest::newRow("wrong passphrase")
        << QList<Bag>{certificateBag(a, "1"), keyBag(a, "1")} << u"wrong1"_s << QByteArray();
    QTest::newRow("empty bag") << QList<Bag>{} << passphrase << QByteArray();
    QTest::newRow("first item without a key, a later one with it")
        << QList<Bag>{certificateBag(b), certificateBag(a, "1"), keyBag(a, "1")} << passphrase
        << QByteArray();
    QTest::newRow("key alone") << QList<Bag>{keyBag(a, "1")} << passphrase << QByteArray();
    QTest::newRow("certificate alone") << QList<Bag>{certificateBag(a, "1")} << passphrase << QByteArray();
    QTest::newRow("same id, key of another certificate")
        << QList<Bag>{certificateBag(a, "1"), keyBag(b, "1")} << passphrase << QByteArray();
}

void tst_LocalStores::firstItemDecides()
{
    QFETCH(QList<Bag>, bags);
    QFETCH(QString, openWith);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    const QString root = dir.filePath(u"identities"_s);
    IdentityStore store(root);
    const QByteArray archive = makeArchive(bags, passphrase);
    QVERIFY(!archive.isEmpty());

    const auto identity = store.importSingleIdentity(archive, openWith);
    if (expected.isEmpty()) {
        QCOMPARE(identity, std::nullopt);
        QVERIFY(entriesOf(root).isEmpty()); // nothing was stored
    } else {
        QVERIFY(identity);
        QCOMPARE(identity->reference, expected);
        QVERIFY(store.resolve(expected));
        QCOMPARE(entriesOf(root).size(), 1);
    }
}

// What keychains of older systems need: RC2-40 certificates, 3DES keys.
void tst_LocalStores::legacyArchiveFromTheOpensslTool()
{
    QTemporaryDir dir;
    const QString certPath = dir.filePath(u"cert.pem"_s);
    const QString keyPath = dir.filePath(u"key.pem"_s);
    const QString p12Path = dir.filePath(u"client.p12"_s);
    const auto openssl = [](const QString &arguments) {
        return runProgram(u"openssl"_s, arguments.split(u' ')).exitCode;
    };
    QCOMPARE(openssl(u"req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=tool -keyout %1 -out %2"_s
                         .arg(keyPath, certPath)),
             0);
    QCOMPARE(openssl(u"pkcs12 -export -legacy -passout pass:ovx4pk -in %1 -inkey %2 -out %3"_s.arg(certPath,
                                                                                                   keyPath,
                                                                                                   p12Path)),
             0);

    IdentityStore store(dir.filePath(u"identities"_s));
    const auto identity = store.importSingleIdentity(readFile(p12Path), passphrase);
    QVERIFY(identity);
    QCOMPARE(store.resolve(identity->reference)->keyType, u"rsa"_s);
}

void tst_LocalStores::reimportKeepsTheStoredIdentityAndRepairsADamagedOne()
{
    QTemporaryDir dir;
    IdentityStore store(dir.path());
    const QByteArray archive = makeIdentityArchive(alice(), passphrase);
    const auto first = store.importSingleIdentity(archive, passphrase);
    QVERIFY(first);
    QVERIFY(store.grantAccess(first->reference, u"charon"_s));
    QVERIFY(store.grantAccess(first->reference, u"charon"_s)); // listed once
    QVERIFY(!store.grantAccess(bob().sha1(), u"charon"_s));    // not stored
    const QString folder = dir.filePath(QString::fromLatin1(first->reference.toHex()));
    // A file of our own in the folder tells whether an import replaced it.
    QVERIFY(writeFile(folder + u"/marker"_s, {}));

    // Another archive holding the same identity (other encryption, bag order).
    const QByteArray other = makeArchive({keyBag(alice(), "x"), certificateBag(alice(), "x")}, passphrase,
                                         true);
    for (const QByteArray &again : {archive, other}) {
        const auto second = store.importSingleIdentity(again, passphrase);
        QVERIFY(second);
        QCOMPARE(*second, *first);
    }
    QCOMPARE(entriesOf(dir.path()).size(), 1);
    QVERIFY(QFile::exists(folder + u"/marker"_s));
    // The list is read back from disk, as after a restart.
    QCOMPARE(IdentityStore(dir.path()).accessList(first->reference),
             (QList<IdentityStore::AccessEntry>{{u"use"_s, {u"orvex"_s, u"charon"_s}}}));

    // A damaged identity is repaired by the next import.
    // A key file that holds another key is not answered as this identity.
    QTemporaryDir otherDir;
    QVERIFY(IdentityStore(otherDir.path())
                .importSingleIdentity(makeIdentityArchive(bob(), passphrase), passphrase));
    QVERIFY(QFile::remove(folder + u"/private-key.pem"_s));
    QVERIFY(QFile::copy(otherDir.filePath(QString::fromLatin1(bob().sha1().toHex()) + u"/private-key.pem"_s),
                        folder + u"/private-key.pem"_s));
    QCOMPARE(store.resolve(first->reference), std::nullopt);

    QCOMPARE(store.importSingleIdentity(archive, passphrase), first);
    QVERIFY(store.resolve(first->reference));
    QCOMPARE(store.accessList(first->reference)->first().applications, (QStringList{u"orvex"_s, u"charon"_s}));
    // No staging or removed folders are left behind.
    QCOMPARE(entriesOf(dir.path()), QStringList{QString::fromLatin1(first->reference.toHex())});

    // Without a readable access list the client alone is granted again.
    QVERIFY(QFile::remove(folder + u"/access-list.json"_s));
    QVERIFY(QFile::remove(folder + u"/certificate.pem"_s));
    QCOMPARE(store.importSingleIdentity(archive, passphrase), first);
    QCOMPARE(store.accessList(first->reference)->first().applications, QStringList{u"orvex"_s});
}

void tst_LocalStores::removeDeletesOnlyThatIdentity()
{
    QTemporaryDir dir;
    IdentityStore store(dir.path());
    const auto a = store.importSingleIdentity(makeIdentityArchive(alice(), passphrase), passphrase);
    const auto b = store.importSingleIdentity(makeIdentityArchive(bob(), passphrase), passphrase);
    QVERIFY(a && b);

    QVERIFY(store.remove(*a));
    QCOMPARE(store.resolve(a->reference), std::nullopt);
    QCOMPARE(store.persistentReference(*a), std::nullopt);
    QCOMPARE(store.accessList(a->reference), std::nullopt);
    QVERIFY(store.resolve(b->reference));
    QCOMPARE(entriesOf(dir.path()), QStringList{QString::fromLatin1(b->reference.toHex())});

    QVERIFY(!store.remove(*a));
    QVERIFY(!store.remove(IdentityStore::Identity{QByteArray("..")}));
    QVERIFY(store.resolve(b->reference));
}

void tst_LocalStores::initTestCase()
{
    QVERIFY2(m_bus.isRunning(), qPrintable(m_bus.error()));
    m_bus.exportAsSessionBus();
    QVERIFY(m_keyringHome.isValid());
    const QString runtime = m_keyringHome.filePath(u"run"_s);
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"HOME"_s, m_keyringHome.path());
    environment.insert(u"XDG_RUNTIME_DIR"_s, runtime);
    m_keyring.setProcessEnvironment(environment);
    m_keyring.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_keyring.start(u"gnome-keyring-daemon"_s, u"--foreground --unlock --components=secrets"_s.split(u' '));
    QVERIFY2(m_keyring.waitForStarted(10000), "gnome-keyring-daemon did not start");
    m_keyring.write("keyring-test-password");
    m_keyring.closeWriteChannel();
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    QVERIFY(bus);
    QTRY_VERIFY_WITH_TIMEOUT(bus->isServiceRegistered(secretsName).value(), 20000);
}

void tst_LocalStores::cleanupTestCase()
{
    endProcess(m_keyring);
    m_bus.stop();
}

void tst_LocalStores::init()
{
    m_folder.emplace(); // each case starts with none of the user's files
    m_files = UserFiles::under(m_folder->path());
}

QString tst_LocalStores::secretTool(const QStringList &arguments)
{
    // On the private bus, exported as the session bus.
    const ProgramRun tool = runProgram(u"secret-tool"_s, arguments, 20000);
    return tool.out + tool.err;
}

QStringList tst_LocalStores::keyringItems()
{
    const QString listing = secretTool({u"search"_s, u"--all"_s, u"xdg:schema"_s, u"org.qt.keychain"_s});
    QStringList items;
    for (const QString &line : listing.split(u'\n')) {
        if (line.startsWith(QLatin1String("attribute.user = ")))
            items.append(line.mid(17));
    }
    return items;
}

bool tst_LocalStores::write(SecretStore &store, const QString &secret)
{
    std::optional<SecretStore::Outcome> outcome;
    store.write(Session::passwordKey, secret, this, [&outcome](SecretStore::Outcome o) { outcome = o; });
    return QTest::qWaitFor([&] { return outcome.has_value(); }, 20000)
           && *outcome == SecretStore::Outcome::done;
}

std::optional<QString> tst_LocalStores::read(SecretStore &store)
{
    std::optional<QString> result;
    bool answered = false;
    store.read(Session::passwordKey, this, [&](SecretStore::Outcome o, const QString &secret) {
        answered = true;
        if (o == SecretStore::Outcome::done)
            result = secret;
    });
    if (!QTest::qWaitFor([&] { return answered; }, 20000))
        return std::nullopt;
    return result;
}

bool tst_LocalStores::load(Session &session)
{
    bool loaded = false;
    session.load([&loaded] { loaded = true; });
    return QTest::qWaitFor([&loaded] { return loaded; }, 30000);
}

// What the session does with the keyring itself (the move, what sign-out
// forgets) is tst_session's; here the real keyring and the fallback file.
void tst_LocalStores::oldPasswordMovesIntoTheKeyringAndOutAtSignOut()
{
    {
        UserDefaults old(m_files.defaults);
        old.setString(Keys::tempEmail, u"ann@example.com"_s);
        old.setString(Keys::password, u"from the old file"_s);
    }
    const Config config = Config::parse({}, {}).value();
    DesktopSecretStore secrets(SessionBus::clientAppId, m_files.fallbackSecrets);
    UserDefaults defaults(m_files.defaults);
    IdentityStore identities(m_files.identities);
    Session session(secrets, defaults, identities, m_files.account, config);
    QVERIFY(load(session));
    QCOMPARE(session.password(), u"from the old file"_s);
    // Under the attributes a user (and the next start) finds it by.
    QCOMPARE(secretTool({u"lookup"_s, u"server"_s, u"com.orvex.client"_s, u"user"_s, u"password"_s}),
             u"from the old file"_s);
    QVERIFY(!QFile::exists(m_files.fallbackSecrets));
    QVERIFY(!readFile(m_files.defaults).contains("from the old file"));

    DesktopSecretStore nextSecrets(SessionBus::clientAppId, m_files.fallbackSecrets);
    Session next(nextSecrets, defaults, identities, m_files.account, config);
    QVERIFY(load(next));
    QVERIFY(next.isSignedIn());
    QCOMPARE(next.password(), u"from the old file"_s);

    // Signed out with a copy in the fallback file too, left by a run without
    // the keyring: neither is left.
    QVERIFY(SecureFile::makePrivateDirectory(QFileInfo(m_files.fallbackSecrets).absolutePath()).isSuccess());
    QVERIFY(SecureFile::writeAtomically(m_files.fallbackSecrets, R"({"password":"from the old file"})"));
    std::optional<Outcome<>> forgotten;
    next.logout([&forgotten](const Outcome<> &outcome) { forgotten = outcome; });
    QTRY_VERIFY_WITH_TIMEOUT(forgotten.has_value(), 20000);
    QVERIFY2(forgotten->isSuccess(), qPrintable(forgotten->error()));
    QCOMPARE(keyringItems(), QStringList());
    QVERIFY(!QFile::exists(m_files.fallbackSecrets));

    // A copy in the file from a run without the keyring moves in at the next write.
    QVERIFY(SecureFile::writeAtomically(m_files.fallbackSecrets, R"({"password":"kept in the file"})"));
    DesktopSecretStore later(SessionBus::clientAppId, m_files.fallbackSecrets);
    QCOMPARE(read(later), u"kept in the file"_s);
    QVERIFY(write(later, u"kept in the file"_s));
    QVERIFY(!QFile::exists(m_files.fallbackSecrets));
    QCOMPARE(read(later), u"kept in the file"_s);
    QCOMPARE(keyringItems(), QStringList{u"password"_s});
}

void tst_LocalStores::withoutSecretServiceTheFileServesAndSaysSoOnce()
{
    m_keyring.terminate();
    QVERIFY(m_keyring.waitForFinished(10000));
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    QTRY_VERIFY_WITH_TIMEOUT(!bus->isServiceRegistered(secretsName).value(), 20000);

    const QString log = m_keyringHome.filePath(u"stderr"_s);
    StderrCapture capture(log);
    {
        DesktopSecretStore secrets(SessionBus::clientAppId, m_files.fallbackSecrets);
        QVERIFY(write(secrets, u"first"_s));
        QVERIFY(write(secrets, u"second"_s));
        QCOMPARE(read(secrets), u"second"_s);
    }
    {
        // The next start: the file is there, and nothing more is said.
        DesktopSecretStore secrets(SessionBus::clientAppId, m_files.fallbackSecrets);
        QCOMPARE(read(secrets), u"second"_s);
        QVERIFY(write(secrets, u"third"_s));
    }
    const QByteArray said = capture.text();
    QCOMPARE(said.count("no Secret Service answers"), 1);
    QVERIFY(!said.contains("first") && !said.contains("third"));
    QCOMPARE(SecureFile::mode(m_files.fallbackSecrets), std::optional<unsigned>(0600));
    QCOMPARE(SecureFile::mode(QFileInfo(m_files.fallbackSecrets).absolutePath()),
             std::optional<unsigned>(0700));

    // Removing it leaves no file behind, but what a Secret Service kept from
    // an earlier run is out of reach: not confirmed gone.
    DesktopSecretStore secrets(SessionBus::clientAppId, m_files.fallbackSecrets);
    std::optional<SecretStore::Outcome> removed;
    secrets.remove(Session::passwordKey, this, [&removed](SecretStore::Outcome o) { removed = o; });
    QTRY_VERIFY(removed.has_value());
    QCOMPARE(*removed, SecretStore::Outcome::failed);
    QVERIFY(!QFile::exists(m_files.fallbackSecrets));
}

QTEST_GUILESS_MAIN(tst_LocalStores)
#include "tst_localstores.moc"
