// Sign-in state and sign-out over the real defaults store and key store (in
// the test's private XDG folders).

#include "account/DefaultsKeys.h"
#include "account/User.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/UserDefaults.h"
#include "vpn/KeychainService.h"

#include "TestPkcs12.h"

#include <QDir>
#include <QFile>
#include <QTest>

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

namespace {

QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList storedIdentities()
{
    return QDir(IdentityStore::standardDirectory()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

QString hex(const QByteArray &reference)
{
    return QString::fromLatin1(reference.toHex());
}

} // namespace

class tst_User : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void signedInNeedsBothTextsPresent_data();
    void signedInNeedsBothTextsPresent();
    void logoutForgetsTheAccountAndItsIdentity();
    void secondLogoutChangesNothing();
    void logoutWithoutCertificateLeavesKeyStoreAlone();
    void certificateThatDoesNotImportIsRemovedAllTheSame_data();
    void certificateThatDoesNotImportIsRemovedAllTheSame();

private:
    QByteArray archiveFor(const TestPkcs12::Credential &c) const
    {
        return TestPkcs12::makeIdentityArchive(c, Config::current().pkcs12Passphrase);
    }
    TestPkcs12::Credential m_current;
    TestPkcs12::Credential m_previous;
};

void tst_User::initTestCase()
{
    Config::setCurrent(*Config::parse({}, {}, nullptr));
    m_current = TestPkcs12::makeCredential("current");
    m_previous = TestPkcs12::makeCredential("previous");
}

void tst_User::init()
{
    QFile::remove(UserDefaults::standardFilePath());
    QDir(IdentityStore::standardDirectory()).removeRecursively();
}

void tst_User::signedInNeedsBothTextsPresent_data()
{
    QTest::addColumn<QVariant>("email");
    QTest::addColumn<QVariant>("password");
    QTest::addColumn<bool>("signedIn");
    const QVariant none;
    QTest::newRow("nothing stored") << none << none << false;
    QTest::newRow("e-mail only") << QVariant(QStringLiteral("a@example.com")) << none << false;
    QTest::newRow("password only") << none << QVariant(QStringLiteral("pw")) << false;
    QTest::newRow("both empty") << QVariant(QString()) << QVariant(QString()) << true;
    QTest::newRow("both") << QVariant(QStringLiteral("a@example.com")) << QVariant(QStringLiteral("pw"))
                          << true;
    // A byte block under the key is not a stored text.
    QTest::newRow("password as bytes") << QVariant(QStringLiteral("a@example.com"))
                                       << QVariant(QByteArray("pw")) << false;
}

void tst_User::signedInNeedsBothTextsPresent()
{
    QFETCH(QVariant, email);
    QFETCH(QVariant, password);
    QFETCH(bool, signedIn);
    UserDefaults &defaults = UserDefaults::standard();
    for (const auto &[key, value] : {std::pair{QString(Keys::tempEmail), email},
                                     std::pair{QString(Keys::password), password}}) {
        if (value.typeId() == QMetaType::QString)
            defaults.setString(key, value.toString());
        else if (value.typeId() == QMetaType::QByteArray)
            defaults.setData(key, value.toByteArray());
    }
    QCOMPARE(User::isSignedIn(), signedIn);
}

void tst_User::logoutForgetsTheAccountAndItsIdentity()
{
    UserDefaults &defaults = UserDefaults::standard();
    defaults.setString(Keys::tempEmail, QStringLiteral("a@example.com"));
    defaults.setString(Keys::password, QStringLiteral("pw"));
    defaults.setString(Keys::phone, QStringLiteral("+15550100"));
    defaults.setString(Keys::name, QStringLiteral("Ann"));
    defaults.setString(Keys::smsCode, QStringLiteral("1234"));
    defaults.setData(Keys::certificate, archiveFor(m_current));
    defaults.setBoolean(Keys::isLaunchedBefore, true);
    defaults.setBoolean(Keys::isAutoConnectEnabled, false);
    defaults.setBoolean(Keys::isAutoStartEnabled, true);

    // The identity the tunnel used (shared with the daemon), and one left by
    // an earlier certificate that is not this session's to delete.
    const auto identity = KeychainService::importIdentity(defaults.data(Keys::certificate));
    QVERIFY(identity);
    QVERIFY(IdentityStore::standard().grantAccess(identity->reference, QStringLiteral("charon")));
    QVERIFY(KeychainService::importIdentity(archiveFor(m_previous)));
    QCOMPARE(storedIdentities().size(), 2);
    QVERIFY(User::isSignedIn());

    User::logout();

    QVERIFY(!User::isSignedIn());
    // Checked in a second reader of the same file, as the next start would.
    UserDefaults reread(UserDefaults::standardFilePath());
    for (const QLatin1String key : {Keys::tempEmail, Keys::password, Keys::phone, Keys::certificate, Keys::smsCode})
        QVERIFY2(!reread.contains(key), key.data());
    QCOMPARE(reread.string(Keys::name), QStringLiteral("Ann"));
    QVERIFY(reread.boolean(Keys::isLaunchedBefore));
    QVERIFY(reread.contains(Keys::isAutoConnectEnabled));
    QVERIFY(!reread.boolean(Keys::isAutoConnectEnabled));
    QVERIFY(reread.boolean(Keys::isAutoStartEnabled));

    QCOMPARE(IdentityStore::standard().resolve(identity->reference), std::nullopt);
    QCOMPARE(storedIdentities(), QStringList{hex(m_previous.sha1())});
}

void tst_User::secondLogoutChangesNothing()
{
    UserDefaults &defaults = UserDefaults::standard();
    defaults.setString(Keys::tempEmail, QStringLiteral("a@example.com"));
    defaults.setString(Keys::password, QStringLiteral("pw"));
    defaults.setString(Keys::name, QStringLiteral("Ann"));
    defaults.setData(Keys::certificate, archiveFor(m_current));
    User::logout();
    const QByteArray afterFirst = fileContents(UserDefaults::standardFilePath());
    QVERIFY(afterFirst.contains("Ann"));

    User::logout();
    QCOMPARE(fileContents(UserDefaults::standardFilePath()), afterFirst);
    QVERIFY(storedIdentities().isEmpty());
    QVERIFY(!User::isSignedIn());
}

void tst_User::logoutWithoutCertificateLeavesKeyStoreAlone()
{
    UserDefaults &defaults = UserDefaults::standard();
    defaults.setString(Keys::tempEmail, QStringLiteral("a@example.com"));
    defaults.setString(Keys::password, QStringLiteral("pw"));
    defaults.setString(Keys::phone, QStringLiteral("1"));
    User::logout();
    QVERIFY(!defaults.contains(Keys::tempEmail));
    QVERIFY(!defaults.contains(Keys::password));
    QVERIFY(!defaults.contains(Keys::phone));
    // No import was attempted, so the key store was never even created.
    QVERIFY(!QFile::exists(IdentityStore::standardDirectory()));
}

void tst_User::certificateThatDoesNotImportIsRemovedAllTheSame_data()
{
    QTest::addColumn<QByteArray>("certificate");
    QTest::newRow("not an archive") << QByteArray("not a PKCS#12 archive");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("other passphrase")
        << TestPkcs12::makeIdentityArchive(TestPkcs12::makeCredential("x"), QStringLiteral("zzzzzz"));
}

void tst_User::certificateThatDoesNotImportIsRemovedAllTheSame()
{
    QFETCH(QByteArray, certificate);
    QVERIFY(KeychainService::importIdentity(archiveFor(m_previous)));
    UserDefaults &defaults = UserDefaults::standard();
    defaults.setString(Keys::tempEmail, QStringLiteral("a@example.com"));
    defaults.setData(Keys::certificate, certificate);
    User::logout();
    QVERIFY(!defaults.contains(Keys::certificate));
    QCOMPARE(storedIdentities(), QStringList{hex(m_previous.sha1())});
}

QTEST_GUILESS_MAIN(tst_User)
#include "tst_user.moc"
