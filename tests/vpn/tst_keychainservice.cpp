// KeychainService over the real stores: the identity of an archive, the checked
// import of a certificate from the service, whether a key is shared, and when a
// certificate is due for renewal.

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
    void sharedMeansTwoApplicationsInOneEntry_data();
    void sharedMeansTwoApplicationsInOneEntry();
    void onlyAnArchiveWithOneIdentityIsKept_data();
    void onlyAnArchiveWithOneIdentityIsKept();
    void renewalIsDueAWeekBeforeTheEnd_data();
    void renewalIsDueAWeekBeforeTheEnd();

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
    QVERIFY(!KeychainService::isPrivateKeyShared(IdentityStore::standard(), std::nullopt));
    QVERIFY(!QFile::exists(IdentityStore::standardDirectory()));
}

void tst_KeychainService::sharedMeansTwoApplicationsInOneEntry_data()
{
    QTest::addColumn<QByteArray>("accessList");
    QTest::addColumn<bool>("shared");
    QTest::newRow("client alone") << QByteArray(R"([{"authorization":"use","applications":["orvex"]}])")
                                  << false;
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
    const auto reference = KeychainService::persistentReference(archive);
    IdentityStore &store = IdentityStore::standard();
    QVERIFY(!KeychainService::isPrivateKeyShared(store, reference)); // imported: the client alone

    const QString folder = IdentityStore::standardDirectory() + u'/'
                           + QString::fromLatin1(m_client.sha1().toHex());
    QVERIFY(SecureFile::writeAtomically(folder + QStringLiteral("/access-list.json"), accessList));
    QCOMPARE(KeychainService::isPrivateKeyShared(store, reference), shared);
    // Importing the same archive again leaves the list as it is; a removed
    // identity is shared with nobody.
    QCOMPARE(KeychainService::persistentReference(archive), reference);
    QCOMPARE(KeychainService::isPrivateKeyShared(store, reference), shared);
    QVERIFY(store.remove({*reference}));
    QVERIFY(!KeychainService::isPrivateKeyShared(store, reference));
}

void tst_KeychainService::onlyAnArchiveWithOneIdentityIsKept_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<bool>("kept");
    const Credential other = makeCredential("other");
    const QString pass = Config::current().pkcs12Passphrase;
    QTest::newRow("one identity") << makeIdentityArchive(m_client, pass) << true;
    QTest::newRow("with a CA certificate beside it")
        << makeArchive({certificateBag(m_client, "1"), keyBag(m_client, "1"), certificateBag(other)}, pass)
        << true;
    QTest::newRow("an HTML error page")
        << QByteArray("<html><body><h1>502 Bad Gateway</h1></body></html>") << false;
    QTest::newRow("empty answer") << QByteArray() << false;
    QTest::newRow("another passphrase") << makeIdentityArchive(m_client, QStringLiteral("ovx4pK")) << false;
    QTest::newRow("certificate without its key") << makeArchive({certificateBag(m_client)}, pass) << false;
    QTest::newRow("key of another certificate")
        << makeArchive({certificateBag(m_client), keyBag(other)}, pass) << false;
    QTest::newRow("two keys") << makeArchive({certificateBag(m_client, "1"), keyBag(m_client, "1"),
                                              certificateBag(other, "2"), keyBag(other, "2")},
                                             pass)
                              << false;
}

void tst_KeychainService::onlyAnArchiveWithOneIdentityIsKept()
{
    QFETCH(QByteArray, archive);
    QFETCH(bool, kept);
    QObject context;
    std::optional<std::optional<IdentityStore::Identity>> answer;
    KeychainService::importInBackground(IdentityStore::standard(), archive, &context,
                                        [&answer](const std::optional<IdentityStore::Identity> &identity) {
                                            answer = identity;
                                        });
    QTRY_VERIFY(answer.has_value());
    QCOMPARE(answer->has_value(), kept);
    QCOMPARE(IdentityStore::standard().references(),
             kept ? QList<QByteArray>{m_client.sha1()} : QList<QByteArray>{});
}

void tst_KeychainService::renewalIsDueAWeekBeforeTheEnd_data()
{
    // The client's certificate is valid for one day from the moment it was made.
    QTest::addColumn<qint64>("secondsFromNow");
    QTest::addColumn<bool>("due");
    QTest::addColumn<bool>("valid");
    QTest::newRow("an hour before it starts") << qint64(-3600) << true << false;
    QTest::newRow("8 days before it ends, not yet valid") << qint64(-7 * 86400) << true << false;
    QTest::newRow("valid, ends tomorrow") << qint64(60) << true << true;
    QTest::newRow("ended an hour ago") << qint64(86400 + 3600) << true << false;
}

void tst_KeychainService::renewalIsDueAWeekBeforeTheEnd()
{
    QFETCH(qint64, secondsFromNow);
    QFETCH(bool, due);
    QFETCH(bool, valid);
    IdentityStore &store = IdentityStore::standard();
    const auto reference = KeychainService::persistentReference(makeIdentityArchive(m_client, passphrase()));
    QVERIFY(reference);
    const auto validity = store.validity(*reference);
    QVERIFY(validity);
    QCOMPARE(validity->notBefore.secsTo(validity->notAfter), qint64(86400));
    const QDateTime at = validity->notBefore.addSecs(secondsFromNow);
    QCOMPARE(KeychainService::needsRenewal(store, *reference, at), due);
    QCOMPARE(KeychainService::isValid(store, *reference, at), valid);

    // Eight days before the end of a longer one it is not due yet; seven
    // days before, it is.
    const TestPkcs12::Credential longer = makeCredential("longer", false, 30);
    const auto longReference = KeychainService::persistentReference(makeIdentityArchive(longer, passphrase()));
    QVERIFY(longReference);
    const QDateTime end = store.validity(*longReference)->notAfter;
    QVERIFY(!KeychainService::needsRenewal(store, *longReference, end.addDays(-8)));
    QVERIFY(KeychainService::needsRenewal(store, *longReference, end.addDays(-7)));
    QVERIFY(KeychainService::isValid(store, *longReference, end.addDays(-7)));
}

QTEST_GUILESS_MAIN(tst_KeychainService)
#include "tst_keychainservice.moc"
