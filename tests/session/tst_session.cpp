// The session over the real defaults store, key store and account file (in the
// test's private XDG folders) with a secret store in memory.

#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "session/UserFiles.h"
#include "config/Config.h"
#include "platform/FileSecretStore.h"
#include "platform/IdentityStore.h"
#include "platform/UserDefaults.h"

#include "MemorySecretStore.h"
#include "TestFiles.h"
#include "TestPkcs12.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

namespace {

QStringList storedIdentities(const UserFiles &files)
{
    return QDir(files.identities).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

// The copies of a damaged settings file the store set aside.
QStringList setAside(const UserFiles &files)
{
    const QFileInfo settings(files.defaults);
    return QDir(settings.absolutePath()).entryList({settings.fileName() + u".corrupt-*"_s}, QDir::Files);
}

QString hex(const QByteArray &reference)
{
    return QString::fromLatin1(reference.toHex());
}

bool load(Session &session)
{
    bool loaded = false;
    session.load([&loaded] { loaded = true; });
    return QTest::qWaitFor([&loaded] { return loaded; }, 20000);
}

// The built-in configuration, whose passphrase the archives are made with.
const Config &builtIn()
{
    static const Config config = Config::parse({}, {}).value();
    return config;
}

QByteArray archiveFor(const TestPkcs12::Credential &c)
{
    return TestPkcs12::makeIdentityArchive(c, builtIn().pkcs12Passphrase);
}

// What a child process, run with these variables, does instead of the tests:
// the move from the parent's old settings, killed outright at the named step.
const char *const childStepVariable = "ORVEX_TEST_KILL_AT";
const char *const childFolderVariable = "ORVEX_TEST_FILES";

int runKilledMigration()
{
    const QString step = qEnvironmentVariable(childStepVariable);
    const UserFiles files = UserFiles::under(qEnvironmentVariable(childFolderVariable));
    FileSecretStore secrets(files.fallbackSecrets);
    UserDefaults defaults(files.defaults);
    IdentityStore identities(files.identities);
    Session session(secrets, defaults, identities, files.account, builtIn());
    const QStringList names = {u"identityWritten"_s, u"certificateRemoved"_s, u"passwordWritten"_s,
                               u"passwordRemoved"_s};
    session.setMigrationCheckpoint([&](Session::MigrationStep reached) {
        if (names.indexOf(step) == int(reached))
            ::raise(SIGKILL);
    });
    session.load([] { QCoreApplication::exit(0); });
    return QCoreApplication::exec();
}

} // namespace

class tst_Session : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void signedInNeedsEmailAndPassword_data();
    void signedInNeedsEmailAndPassword();
    void earlierSecretsMoveOutOfTheSettings_data();
    void earlierSecretsMoveOutOfTheSettings();
    void killedMoveLosesNothing_data();
    void killedMoveLosesNothing();
    void logoutForgetsEverythingOfTheAccount();
    void unconfirmedRemovalIsFinishedAtTheNextStart();

private:
    TestPkcs12::Credential m_current;
    TestPkcs12::Credential m_previous;
    // Each case's files, in a folder of its own that starts empty.
    struct Fresh
    {
        QTemporaryDir folder;
        UserFiles files = UserFiles::under(folder.path());
        UserDefaults defaults{files.defaults};
        IdentityStore identities{files.identities};
    };
    std::optional<Fresh> m_fresh;
};

void tst_Session::initTestCase()
{
    m_current = TestPkcs12::makeCredential("current");
    m_previous = TestPkcs12::makeCredential("previous");
}

void tst_Session::init()
{
    m_fresh.emplace();
}

void tst_Session::signedInNeedsEmailAndPassword_data()
{
    QTest::addColumn<QVariant>("email");
    QTest::addColumn<QVariant>("password");
    QTest::addColumn<bool>("signedIn");
    const QVariant none;
    QTest::newRow("nothing stored") << none << none << false;
    QTest::newRow("e-mail only") << QVariant(u"a@example.com"_s) << none << false;
    QTest::newRow("password only") << none << QVariant(u"pw"_s) << false;
    QTest::newRow("both empty") << QVariant(QString()) << QVariant(QString()) << true;
    QTest::newRow("both") << QVariant(u"a@example.com"_s) << QVariant(u"pw"_s) << true;
}

void tst_Session::signedInNeedsEmailAndPassword()
{
    QFETCH(QVariant, email);
    QFETCH(QVariant, password);
    QFETCH(bool, signedIn);
    MemorySecretStore secrets;
    if (email.isValid())
        m_fresh->defaults.setString(Keys::tempEmail, email.toString());
    if (password.isValid())
        secrets.secrets.insert(u"password"_s, password.toString());
    Session session(secrets, m_fresh->defaults, m_fresh->identities, m_fresh->files.account, builtIn());
    QVERIFY(load(session));
    QCOMPARE(session.isSignedIn(), signedIn);
    // The password never goes into the settings.
    QVERIFY(!m_fresh->defaults.contains(Keys::password));
}

void tst_Session::earlierSecretsMoveOutOfTheSettings_data()
{
    QTest::addColumn<QByteArray>("certificate");
    QTest::addColumn<bool>("storeFails");
    QTest::addColumn<bool>("passwordLeftInSettings");
    QTest::addColumn<bool>("certificateLeftInSettings");
    QTest::addColumn<QStringList>("identities");
    QTest::newRow("both move") << archiveFor(m_current) << false << false << false
                               << QStringList{hex(m_current.sha1())};
    // Nothing takes the old copies' place, so they stay where they are.
    QTest::newRow("secret store refuses")
        << archiveFor(m_current) << true << true << false << QStringList{hex(m_current.sha1())};
    QTest::newRow("archive does not open")
        << TestPkcs12::makeIdentityArchive(m_current, u"zzzzzz"_s) << false << false << true << QStringList{};
}

void tst_Session::earlierSecretsMoveOutOfTheSettings()
{
    QFETCH(QByteArray, certificate);
    QFETCH(bool, storeFails);
    QFETCH(bool, passwordLeftInSettings);
    QFETCH(bool, certificateLeftInSettings);
    QFETCH(QStringList, identities);
    UserDefaults &defaults = m_fresh->defaults;
    // An earlier start found the file torn and set it aside, secrets and all.
    QVERIFY(QDir().mkpath(QFileInfo(m_fresh->files.defaults).absolutePath()));
    QVERIFY(writeFile(m_fresh->files.defaults,
                      "[General]\ntempEmail=a@example.com\npassword=set aside pw\n"
                      "certificate=@ByteArray(0\\x82\\x1)\nPKCS#12 bytes on a line of their own\n"
                      "phone=+15550100password=run together\nisAutoConnectEnabled=true\nname=\"Ann"));
    QVERIFY(!defaults.contains(Keys::tempEmail));
    QCOMPARE(setAside(m_fresh->files).size(), 1);
    defaults.setString(Keys::tempEmail, u"a@example.com"_s);
    defaults.setString(Keys::password, u"old pw"_s);
    defaults.setData(Keys::certificate, certificate);
    defaults.setBoolean(Keys::isAutoConnectEnabled, true);
    MemorySecretStore secrets;
    secrets.failing = storeFails;
    Session session(secrets, defaults, m_fresh->identities, m_fresh->files.account, builtIn());
    QVERIFY(load(session));

    QVERIFY(session.isSignedIn());
    QCOMPARE(session.password(), u"old pw"_s);
    UserDefaults reread(m_fresh->files.defaults);
    QCOMPARE(reread.contains(Keys::password), passwordLeftInSettings);
    QCOMPARE(reread.contains(Keys::certificate), certificateLeftInSettings);
    QCOMPARE(secrets.secrets.value(u"password"_s), storeFails ? QString() : u"old pw"_s);
    QCOMPARE(storedIdentities(m_fresh->files), identities);
    QCOMPARE(session.identityReference().has_value(), !identities.isEmpty());
    QVERIFY(reread.boolean(Keys::isAutoConnectEnabled));
    // The copy keeps what may help mend the settings, none of the secrets.
    QCOMPARE(setAside(m_fresh->files).size(), 1);
    QCOMPARE(readFile(QFileInfo(m_fresh->files.defaults).absolutePath() + u'/'
                      + setAside(m_fresh->files).constFirst()),
             QByteArray("[General]\ntempEmail=a@example.com\nisAutoConnectEnabled=true\nname=\"Ann"));
}

void tst_Session::killedMoveLosesNothing_data()
{
    // Where each secret is when the process dies: every one is somewhere.
    QTest::addColumn<QString>("step");
    QTest::addColumn<bool>("certificateInSettings");
    QTest::addColumn<bool>("passwordInSettings");
    QTest::addColumn<bool>("passwordInStore");
    QTest::newRow("identity written") << u"identityWritten"_s << true << true << false;
    QTest::newRow("certificate removed") << u"certificateRemoved"_s << false << true << false;
    QTest::newRow("password written") << u"passwordWritten"_s << false << true << true;
    QTest::newRow("password removed") << u"passwordRemoved"_s << false << false << true;
}

void tst_Session::killedMoveLosesNothing()
{
    QFETCH(QString, step);
    QFETCH(bool, certificateInSettings);
    QFETCH(bool, passwordInSettings);
    QFETCH(bool, passwordInStore);
    {
        UserDefaults defaults(m_fresh->files.defaults);
        defaults.setString(Keys::tempEmail, u"a@example.com"_s);
        defaults.setString(Keys::password, u"old pw"_s);
        defaults.setData(Keys::certificate, archiveFor(m_current));
    }

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(childStepVariable), step);
    environment.insert(QString::fromLatin1(childFolderVariable), m_fresh->folder.path());
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    // Killed: every secret is still somewhere the next start looks.
    UserDefaults settings(m_fresh->files.defaults);
    FileSecretStore secrets(m_fresh->files.fallbackSecrets);
    Session session(secrets, settings, m_fresh->identities, m_fresh->files.account, builtIn());
    QCOMPARE(settings.contains(Keys::certificate), certificateInSettings);
    QCOMPARE(session.identityReference(), std::optional<QByteArray>(m_current.sha1()));
    QCOMPARE(storedIdentities(m_fresh->files), QStringList{hex(m_current.sha1())});
    QCOMPARE(settings.contains(Keys::password), passwordInSettings);
    QCOMPARE(QFile::exists(m_fresh->files.fallbackSecrets), passwordInStore);

    // The next start finishes the move.
    QVERIFY(load(session));
    QCOMPARE(session.password(), u"old pw"_s);
    QCOMPARE(session.identityReference(), m_current.sha1());
    QVERIFY(!settings.contains(Keys::password));
    QVERIFY(!settings.contains(Keys::certificate));
    QCOMPARE(storedIdentities(m_fresh->files), QStringList{hex(m_current.sha1())});
    QString fromFile;
    secrets.read(u"password"_s, this, [&fromFile](SecretStore::Outcome, const QString &s) { fromFile = s; });
    QTRY_COMPARE(fromFile, u"old pw"_s);
}

void tst_Session::logoutForgetsEverythingOfTheAccount()
{
    UserDefaults &defaults = m_fresh->defaults;
    MemorySecretStore secrets;
    Session session(secrets, defaults, m_fresh->identities, m_fresh->files.account, builtIn());
    session.setCredentials(u"a@example.com"_s, u"pw"_s);
    QTRY_COMPARE(secrets.secrets.value(u"password"_s), u"pw"_s);
    defaults.setString(Keys::phone, u"+15550100"_s);
    defaults.setString(Keys::name, u"Ann"_s);
    defaults.setString(Keys::smsCode, u"1234"_s);
    defaults.setBoolean(Keys::isLaunchedBefore, true);
    defaults.setBoolean(Keys::isAutoConnectEnabled, false);
    defaults.setBoolean(Keys::isAutoStartEnabled, true);
    // An old copy that a failed move left in the settings goes too, and so
    // does a damaged file set aside.
    defaults.setString(Keys::password, u"pw"_s);
    const QString setAsidePath = m_fresh->files.defaults + u".corrupt-20240101T000000Z"_s;
    QVERIFY(writeFile(setAsidePath, "[General]\npassword=\"pw"));
    // Replacing keeps exactly one identity: a stray left by a process that
    // died before it could tidy up goes too.
    IdentityStore &store = m_fresh->identities;
    const QString passphrase = builtIn().pkcs12Passphrase;
    const auto previous = store.importSingleIdentity(archiveFor(m_previous), passphrase);
    QVERIFY(previous && session.replaceIdentity(previous->reference));
    QVERIFY(store.importSingleIdentity(archiveFor(TestPkcs12::makeCredential("stray")), passphrase));
    const auto identity = store.importSingleIdentity(archiveFor(m_current), passphrase);
    QVERIFY(identity);
    QCOMPARE(storedIdentities(m_fresh->files).size(), 3);
    QVERIFY(store.grantAccess(identity->reference, u"charon"_s));
    QVERIFY(session.replaceIdentity(identity->reference));
    QCOMPARE(storedIdentities(m_fresh->files), QStringList{hex(m_current.sha1())});
    // Read back in another session, as the next start would.
    QCOMPARE(Session(secrets, defaults, store, m_fresh->files.account, builtIn()).identityReference(),
             m_current.sha1());
    QVERIFY(session.isSignedIn());

    for (int round = 0; round < 2; ++round) { // a second sign-out finds nothing and does no harm
        std::optional<Outcome<>> forgotten;
        session.logout([&forgotten](const Outcome<> &outcome) { forgotten = outcome; });
        QTRY_VERIFY(forgotten.has_value());
        QVERIFY(forgotten->isSuccess());

        QVERIFY(!session.isSignedIn());
        QVERIFY(secrets.secrets.isEmpty());
        QVERIFY(storedIdentities(m_fresh->files).isEmpty());
        QVERIFY(!QFile::exists(m_fresh->files.account));
        QCOMPARE(setAside(m_fresh->files), QStringList());
        UserDefaults reread(m_fresh->files.defaults);
        for (const QLatin1String key :
             {Keys::tempEmail, Keys::password, Keys::phone, Keys::certificate, Keys::smsCode})
            QVERIFY2(!reread.contains(key), key.data());
        QCOMPARE(reread.string(Keys::name), u"Ann"_s);
        QVERIFY(reread.boolean(Keys::isLaunchedBefore));
        QVERIFY(reread.contains(Keys::isAutoConnectEnabled));
        QVERIFY(reread.boolean(Keys::isAutoStartEnabled));
        QVERIFY(!reread.contains(Keys::secretRemovalPending));
    }
}

// A secret store that does not confirm the password gone (no Secret Service
// runs): the sign-out says so, and a later start removes it before it reads
// anything.
void tst_Session::unconfirmedRemovalIsFinishedAtTheNextStart()
{
    UserDefaults &defaults = m_fresh->defaults;
    MemorySecretStore secrets;
    const auto start = [&] {
        auto session = std::make_unique<Session>(secrets, defaults, m_fresh->identities,
                                                 m_fresh->files.account, builtIn());
        return load(*session) ? std::move(session) : nullptr;
    };
    {
        const auto session = start();
        QVERIFY(session);
        session->setCredentials(u"a@example.com"_s, u"pw"_s);
        QTRY_COMPARE(secrets.secrets.value(u"password"_s), u"pw"_s);
        secrets.refusesRemoval = true;
        std::optional<Outcome<>> forgotten;
        session->logout([&forgotten](const Outcome<> &outcome) { forgotten = outcome; });
        QTRY_VERIFY(forgotten.has_value());
        QVERIFY2(forgotten->error().contains(QLatin1String("removed when the client next starts")),
                 qPrintable(forgotten->error()));
        QVERIFY(!session->isSignedIn());
    }

    // Still out of reach: the signed-out account's password is not read.
    {
        const auto session = start();
        QVERIFY(session);
        QCOMPARE(session->password(), std::nullopt);
        QCOMPARE(secrets.secrets.value(u"password"_s), u"pw"_s);
    }
    // Within reach: gone, and nothing is left to do.
    secrets.refusesRemoval = false;
    {
        const auto session = start();
        QVERIFY(session);
        QCOMPARE(session->password(), std::nullopt);
        QVERIFY(secrets.secrets.isEmpty());
        QVERIFY(!UserDefaults(m_fresh->files.defaults).contains(Keys::secretRemovalPending));
    }
    // A sign-in's password is read again as before.
    secrets.secrets.insert(u"password"_s, u"new pw"_s);
    const auto session = start();
    QVERIFY(session);
    QCOMPARE(session->password(), u"new pw"_s);

    // Signed in again before a start could finish the removal: the new
    // password replaced the old one, and stays.
    secrets.refusesRemoval = true;
    session->logout();
    session->setCredentials(u"b@example.com"_s, u"pw 2"_s);
    QTRY_COMPARE(secrets.secrets.value(u"password"_s), u"pw 2"_s);
    QTRY_VERIFY(!UserDefaults(m_fresh->files.defaults).contains(Keys::secretRemovalPending));
    QCOMPARE(start()->password(), u"pw 2"_s);
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(childStepVariable))
        return runKilledMigration();
    tst_Session test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_session.moc"
