// The key store: which identity a PKCS#12 archive yields (first item only),
// how it is kept on disk, its access list, and deletion.

#include "platform/IdentityStore.h"

#include "ProgramRun.h"
#include "TestFiles.h"
#include "TestPkcs12.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/pem.h>

using namespace Orvex;
using namespace Qt::StringLiterals;
using namespace TestPkcs12;

Q_DECLARE_METATYPE(QList<TestPkcs12::Bag>)

namespace {

const QString passphrase = u"ovx4pk"_s;

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

bool runOpenssl(const QString &arguments)
{
    return runProgram(u"openssl"_s, arguments.split(u' '), 60000).exitCode == 0;
}

} // namespace

class tst_IdentityStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void importStoresOwnerOnlyFilesNamedBySha1();
    void resolveGivesWhatTheVpnDaemonNeeds();
    void firstItemDecides_data();
    void firstItemDecides();
    void legacyArchiveFromTheOpensslTool();
    void reimportKeepsTheStoredIdentityAndRepairsADamagedOne();
    void removeDeletesOnlyThatIdentity();
};

void tst_IdentityStore::importStoresOwnerOnlyFilesNamedBySha1()
{
    const Umask umask(0); // the widest the umask can make new files
    QTemporaryDir dir;
    const QString root = dir.filePath(u"orvex/identities"_s);
    IdentityStore store(root);
    const auto identity = store.importPkcs12(makeIdentityArchive(alice(), passphrase), passphrase);
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

void tst_IdentityStore::resolveGivesWhatTheVpnDaemonNeeds()
{
    QTemporaryDir dir;
    IdentityStore store(dir.path());
    const Credential rsa = makeCredential("rsa client", true);
    for (const Credential *c : {&alice(), &rsa}) {
        const auto identity = store.importPkcs12(makeIdentityArchive(*c, passphrase), passphrase);
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

void tst_IdentityStore::firstItemDecides_data()
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
    QTest::newRow("two identities: the first wins")
        << QList<Bag>{certificateBag(b, "2"), certificateBag(a, "1"), keyBag(a, "1"), keyBag(b, "2")}
        << passphrase << b.sha1();

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

void tst_IdentityStore::firstItemDecides()
{
    QFETCH(QList<Bag>, bags);
    QFETCH(QString, openWith);
    QFETCH(QByteArray, expected);
    QTemporaryDir dir;
    const QString root = dir.filePath(u"identities"_s);
    IdentityStore store(root);
    const QByteArray archive = makeArchive(bags, passphrase);
    QVERIFY(!archive.isEmpty());

    const auto identity = store.importPkcs12(archive, openWith);
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
void tst_IdentityStore::legacyArchiveFromTheOpensslTool()
{
    QTemporaryDir dir;
    const QString certPath = dir.filePath(u"cert.pem"_s);
    const QString keyPath = dir.filePath(u"key.pem"_s);
    const QString p12Path = dir.filePath(u"client.p12"_s);
    QVERIFY(runOpenssl(
        u"req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=tool -keyout %1 -out %2"_s.arg(keyPath,
                                                                                             certPath)));
    QVERIFY(runOpenssl(
        u"pkcs12 -export -legacy -passout pass:ovx4pk -in %1 -inkey %2 -out %3"_s.arg(certPath, keyPath,
                                                                                      p12Path)));

    IdentityStore store(dir.filePath(u"identities"_s));
    const auto identity = store.importPkcs12(readFile(p12Path), passphrase);
    QVERIFY(identity);
    QCOMPARE(store.resolve(identity->reference)->keyType, u"rsa"_s);
}

void tst_IdentityStore::reimportKeepsTheStoredIdentityAndRepairsADamagedOne()
{
    QTemporaryDir dir;
    IdentityStore store(dir.path());
    const QByteArray archive = makeIdentityArchive(alice(), passphrase);
    const auto first = store.importPkcs12(archive, passphrase);
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
        const auto second = store.importPkcs12(again, passphrase);
        QVERIFY(second);
        QCOMPARE(*second, *first);
    }
    QCOMPARE(entriesOf(dir.path()).size(), 1);
    QVERIFY(QFile::exists(folder + u"/marker"_s));
    // The list is read back from disk, as after a restart.
    QCOMPARE(IdentityStore(dir.path()).accessList(first->reference),
             (QList<IdentityStore::AccessEntry>{{u"use"_s, {u"orvex"_s, u"charon"_s}}}));

    // A damaged identity is repaired by the next import.
    const auto &identity = first;
    // A key file that holds another key is not answered as this identity.
    {
        QFile key(folder + u"/private-key.pem"_s);
        QVERIFY(key.open(QIODevice::WriteOnly | QIODevice::Truncate));
        BIO *bio = BIO_new(BIO_s_mem());
        PEM_write_bio_PrivateKey(bio, bob().key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        char *data = nullptr;
        const long length = BIO_get_mem_data(bio, &data);
        key.write(data, length);
        BIO_free(bio);
    }
    QCOMPARE(store.resolve(identity->reference), std::nullopt);

    QCOMPARE(store.importPkcs12(archive, passphrase), identity);
    QVERIFY(store.resolve(identity->reference));
    QCOMPARE(store.accessList(identity->reference)->first().applications,
             (QStringList{u"orvex"_s, u"charon"_s}));
    // No staging or removed folders are left behind.
    QCOMPARE(entriesOf(dir.path()), QStringList{QString::fromLatin1(identity->reference.toHex())});

    // Without a readable access list the client alone is granted again.
    QVERIFY(QFile::remove(folder + u"/access-list.json"_s));
    QVERIFY(QFile::remove(folder + u"/certificate.pem"_s));
    QCOMPARE(store.importPkcs12(archive, passphrase), identity);
    QCOMPARE(store.accessList(identity->reference)->first().applications, QStringList{u"orvex"_s});
}

void tst_IdentityStore::removeDeletesOnlyThatIdentity()
{
    QTemporaryDir dir;
    IdentityStore store(dir.path());
    const auto a = store.importPkcs12(makeIdentityArchive(alice(), passphrase), passphrase);
    const auto b = store.importPkcs12(makeIdentityArchive(bob(), passphrase), passphrase);
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

QTEST_GUILESS_MAIN(tst_IdentityStore)
#include "tst_identitystore.moc"
