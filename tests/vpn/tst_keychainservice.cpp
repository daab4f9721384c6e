// KeychainService over the real stores: the identity of the stored archive,
// its persistent reference, and whether its key is shared.

#include "account/DefaultsKeys.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/SecureFile.h"
#include "platform/UserDefaults.h"
#include "vpn/KeychainService.h"

#include "TestPkcs12.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace Orvex;
using namespace TestPkcs12;

class tst_KeychainService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void nothingStoredGivesNothing();
    void archiveThatYieldsNoIdentity_data();
    void archiveThatYieldsNoIdentity();
    void sharedMeansTwoApplicationsInOneEntry_data();
    void sharedMeansTwoApplicationsInOneEntry();
    void daemonGrantMakesTheKeyShared();

private:
    QString passphrase() const { return Config::current().pkcs12Passphrase; }
    Credential m_client;
};

void tst_KeychainService::initTestCase()
{
    Config::setCurrent(*Config::parse({}, {}, nullptr));
    m_client = makeCredential("client");
}

void tst_KeychainService::init()
{
    QFile::remove(UserDefaults::standardFilePath());
    QDir(IdentityStore::standardDirectory()).removeRecursively();
}

void tst_KeychainService::nothingStoredGivesNothing()
{
    QCOMPARE(KeychainService::importIdentity(std::nullopt), std::nullopt);
    QCOMPARE(KeychainService::persistentReference(std::nullopt), std::nullopt);
    QVERIFY(!KeychainService::isPrivateKeyShared());
    QVERIFY(!QFile::exists(IdentityStore::standardDirectory()));
}

void tst_KeychainService::archiveThatYieldsNoIdentity_data()
{
    QTest::addColumn<QByteArray>("archive");
    const Credential other = makeCredential("other");
    QTest::newRow("another passphrase")
        << makeIdentityArchive(m_client, QStringLiteral("ovx4pK"));
    QTest::newRow("first item has no key")
        << makeArchive({certificateBag(other), certificateBag(m_client, "1"), keyBag(m_client, "1")},
                       Config::current().pkcs12Passphrase);
    QTest::newRow("truncated")
        << makeIdentityArchive(m_client, Config::current().pkcs12Passphrase).left(200);
}

void tst_KeychainService::archiveThatYieldsNoIdentity()
{
    QFETCH(QByteArray, archive);
    QCOMPARE(KeychainService::importIdentity(archive), std::nullopt);
    QCOMPARE(KeychainService::persistentReference(archive), std::nullopt);
    UserDefaults::standard().setData(DefaultsKeys::certificate, archive);
    QVERIFY(!KeychainService::isPrivateKeyShared());
}

void tst_KeychainService::sharedMeansTwoApplicationsInOneEntry_data()
{
    QTest::addColumn<QByteArray>("accessList");
    QTest::addColumn<bool>("shared");
    QTest::newRow("client alone")
        << QByteArray(R"([{"authorization":"use","applications":["orvex"]}])") << false;
    QTest::newRow("one application in each of two entries")
        << QByteArray(R"([{"authorization":"use","applications":["orvex"]},
                          {"authorization":"sign","applications":["charon"]}])")
        << false;
    QTest::newRow("two applications in a later entry")
        << QByteArray(R"([{"authorization":"use","applications":[]},
                          {"authorization":"sign","applications":["orvex"]},
                          {"authorization":"any","applications":["orvex","charon"]}])")
        << true;
    QTest::newRow("three applications")
        << QByteArray(R"([{"authorization":"use","applications":["orvex","charon","nm"]}])") << true;
    QTest::newRow("no entries") << QByteArray("[]") << false;
    QTest::newRow("unreadable list") << QByteArray("{not json") << false;
}

void tst_KeychainService::sharedMeansTwoApplicationsInOneEntry()
{
    QFETCH(QByteArray, accessList);
    QFETCH(bool, shared);
    const QByteArray archive = makeIdentityArchive(m_client, passphrase());
    UserDefaults::standard().setData(DefaultsKeys::certificate, archive);
    QVERIFY(!KeychainService::isPrivateKeyShared()); // imported: the client alone

    const QString folder = IdentityStore::standardDirectory() + u'/'
                           + QString::fromLatin1(m_client.sha1().toHex());
    QVERIFY(SecureFile::writeAtomically(folder + QStringLiteral("/access-list.json"), accessList));
    QCOMPARE(KeychainService::isPrivateKeyShared(), shared);
}

void tst_KeychainService::daemonGrantMakesTheKeyShared()
{
    const QByteArray archive = makeIdentityArchive(m_client, passphrase());
    UserDefaults::standard().setData(DefaultsKeys::certificate, archive);
    const auto reference = KeychainService::persistentReference(archive);
    QCOMPARE(reference, m_client.sha1());
    QVERIFY(!KeychainService::isPrivateKeyShared());
    QVERIFY(IdentityStore::standard().grantAccess(*reference, QStringLiteral("charon")));
    QVERIFY(KeychainService::isPrivateKeyShared());
    // Every configuration write imports again; the grant must outlive that.
    QCOMPARE(KeychainService::persistentReference(archive), reference);
    QVERIFY(KeychainService::isPrivateKeyShared());

    // With the key gone from the store the import puts it back, client alone.
    QVERIFY(IdentityStore::standard().remove({*reference}));
    QVERIFY(!KeychainService::isPrivateKeyShared());
}

QTEST_GUILESS_MAIN(tst_KeychainService)
#include "tst_keychainservice.moc"
