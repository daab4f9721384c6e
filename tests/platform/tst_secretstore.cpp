// The account's secrets where a user meets them: a real gnome-keyring on a
// private session bus (listed with secret-tool, as a user would), and the
// owner-only file where no Secret Service answers. Covers the move of an old
// settings file's password into the keyring and a sign-out that leaves
// nothing of the account behind.

#include "StderrCapture.h"

#include "account/DefaultsKeys.h"
#include "account/Session.h"
#include "config/Config.h"
#include "platform/DesktopSecretStore.h"
#include "platform/IdentityStore.h"
#include "platform/SecureFile.h"
#include "platform/SessionBus.h"
#include "platform/UserDefaults.h"

#include "PrivateBus.h"
#include "TestPkcs12.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;

namespace {

const QString secretsName = QStringLiteral("org.freedesktop.secrets");

} // namespace

class tst_SecretStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void oldPasswordMovesIntoTheKeyringAlone();
    void fileCopyFromARunWithoutKeyringMovesIn();
    void signOutLeavesNothingOfTheAccount();
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
    QString m_fallback;
};

void tst_SecretStore::initTestCase()
{
    Config::setCurrent(*Config::parse({}, {}, nullptr));
    QVERIFY2(m_bus.isRunning(), qPrintable(m_bus.error()));
    m_bus.exportAsSessionBus();
    QVERIFY(m_keyringHome.isValid());
    const QString runtime = m_keyringHome.filePath(QStringLiteral("run"));
    QVERIFY(QDir().mkpath(runtime));
    QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), m_keyringHome.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    m_keyring.setProcessEnvironment(environment);
    m_keyring.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_keyring.start(QStringLiteral("gnome-keyring-daemon"),
                    QStringLiteral("--foreground --unlock --components=secrets").split(u' '));
    QVERIFY2(m_keyring.waitForStarted(10000), "gnome-keyring-daemon did not start");
    m_keyring.write("keyring-test-password");
    m_keyring.closeWriteChannel();
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    QVERIFY(bus);
    QTRY_VERIFY_WITH_TIMEOUT(bus->isServiceRegistered(secretsName).value(), 20000);
    m_fallback = Session::standardFallbackFile();
}

void tst_SecretStore::cleanupTestCase()
{
    if (m_keyring.state() != QProcess::NotRunning) {
        m_keyring.terminate();
        if (!m_keyring.waitForFinished(5000)) {
            m_keyring.kill();
            m_keyring.waitForFinished(5000);
        }
    }
    m_bus.stop();
}

void tst_SecretStore::init()
{
    QFile::remove(UserDefaults::standardFilePath());
    QFile::remove(Session::standardAccountFile());
    QFile::remove(m_fallback);
    QDir(IdentityStore::standardDirectory()).removeRecursively();
}

QString tst_SecretStore::secretTool(const QStringList &arguments)
{
    QProcess tool; // on the private bus, exported as the session bus
    tool.start(QStringLiteral("secret-tool"), arguments);
    if (!tool.waitForFinished(20000))
        return QStringLiteral("secret-tool did not finish");
    return QString::fromUtf8(tool.readAllStandardOutput() + tool.readAllStandardError());
}

// Every item of every collection, as the Secret Service lists them.
QStringList tst_SecretStore::keyringItems()
{
    const QString listing = secretTool({QStringLiteral("search"), QStringLiteral("--all"),
                                        QStringLiteral("xdg:schema"), QStringLiteral("org.qt.keychain")});
    QStringList items;
    for (const QString &line : listing.split(u'\n')) {
        if (line.startsWith(QLatin1String("attribute.user = ")))
            items.append(line.mid(17));
    }
    return items;
}

bool tst_SecretStore::write(SecretStore &store, const QString &secret)
{
    std::optional<SecretStore::Outcome> outcome;
    store.write(Session::passwordKey, secret, this, [&outcome](SecretStore::Outcome o) { outcome = o; });
    return QTest::qWaitFor([&] { return outcome.has_value(); }, 20000)
           && *outcome == SecretStore::Outcome::done;
}

std::optional<QString> tst_SecretStore::read(SecretStore &store)
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

bool tst_SecretStore::load(Session &session)
{
    bool loaded = false;
    session.load([&loaded] { loaded = true; });
    return QTest::qWaitFor([&loaded] { return loaded; }, 30000);
}

void tst_SecretStore::oldPasswordMovesIntoTheKeyringAlone()
{
    {
        UserDefaults old(UserDefaults::standardFilePath());
        old.setString(Keys::tempEmail, QStringLiteral("ann@example.com"));
        old.setString(Keys::password, QStringLiteral("from the old file"));
    }
    DesktopSecretStore secrets(SessionBus::clientAppId, m_fallback);
    Session session(secrets, UserDefaults::standard(), IdentityStore::standard(),
                    Session::standardAccountFile());
    QVERIFY(load(session));
    QCOMPARE(session.password(), QStringLiteral("from the old file"));

    QCOMPARE(secretTool({QStringLiteral("lookup"), QStringLiteral("server"),
                         QStringLiteral("com.orvex.client"), QStringLiteral("user"),
                         QStringLiteral("password")}),
             QStringLiteral("from the old file"));
    QVERIFY(!UserDefaults(UserDefaults::standardFilePath()).contains(Keys::password));
    QVERIFY(!QFile::exists(m_fallback));
    QFile settings(UserDefaults::standardFilePath());
    QVERIFY(settings.open(QIODevice::ReadOnly));
    QVERIFY(!settings.readAll().contains("from the old file"));

    // The next start finds it there.
    DesktopSecretStore nextSecrets(SessionBus::clientAppId, m_fallback);
    Session next(nextSecrets, UserDefaults::standard(), IdentityStore::standard(),
                 Session::standardAccountFile());
    QVERIFY(load(next));
    QVERIFY(next.isSignedIn());
    QCOMPARE(next.password(), QStringLiteral("from the old file"));
}

void tst_SecretStore::fileCopyFromARunWithoutKeyringMovesIn()
{
    QVERIFY(SecureFile::makePrivateDirectory(QFileInfo(m_fallback).absolutePath()));
    QVERIFY(SecureFile::writeAtomically(m_fallback, R"({"password":"kept in the file"})"));
    DesktopSecretStore secrets(SessionBus::clientAppId, m_fallback);
    QCOMPARE(read(secrets), QStringLiteral("kept in the file"));

    QVERIFY(write(secrets, QStringLiteral("kept in the file")));
    QVERIFY(!QFile::exists(m_fallback));
    QCOMPARE(read(secrets), QStringLiteral("kept in the file"));
    QCOMPARE(keyringItems(), QStringList{QStringLiteral("password")});
}

void tst_SecretStore::signOutLeavesNothingOfTheAccount()
{
    DesktopSecretStore secrets(SessionBus::clientAppId, m_fallback);
    Session session(secrets, UserDefaults::standard(), IdentityStore::standard(),
                    Session::standardAccountFile());
    QVERIFY(load(session));
    bool stored = false;
    session.setCredentials(QStringLiteral("ann@example.com"), QStringLiteral("pw"),
                           [&stored](bool ok) { stored = ok; });
    QTRY_VERIFY_WITH_TIMEOUT(stored, 20000);
    UserDefaults::standard().setString(Keys::phone, QStringLiteral("+15550100"));
    UserDefaults::standard().setBoolean(Keys::isAutoStartEnabled, true);
    // A copy in the fallback file as well, left by a run without the keyring.
    QVERIFY(SecureFile::writeAtomically(m_fallback, R"({"password":"pw"})"));
    const QString passphrase = Config::current().pkcs12Passphrase;
    const auto identity = IdentityStore::standard().importSingleIdentity(
        TestPkcs12::makeIdentityArchive(TestPkcs12::makeCredential("ann", false, 30), passphrase), passphrase);
    QVERIFY(identity && session.replaceIdentity(identity->reference));
    QVERIFY(IdentityStore::standard().grantAccess(identity->reference, QStringLiteral("charon")));
    QCOMPARE(keyringItems(), QStringList{QStringLiteral("password")});

    bool done = false;
    session.logout([&done] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, 20000);

    // The keyring, the folders and the files, as a user would look.
    QCOMPARE(keyringItems(), QStringList());
    QCOMPARE(QDir(IdentityStore::standardDirectory())
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
    QVERIFY(!QFile::exists(Session::standardAccountFile()));
    QVERIFY(!QFile::exists(m_fallback));
    QFile settings(UserDefaults::standardFilePath());
    QVERIFY(settings.open(QIODevice::ReadOnly));
    const QByteArray text = settings.readAll();
    for (const char *gone : {"ann@example.com", "pw", "+15550100", "tempEmail", "password", "certificate"})
        QVERIFY2(!text.contains(gone), gone);
    QVERIFY(text.contains("isAutoStartEnabled"));
}

void tst_SecretStore::withoutSecretServiceTheFileServesAndSaysSoOnce()
{
    m_keyring.terminate();
    QVERIFY(m_keyring.waitForFinished(10000));
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    QTRY_VERIFY_WITH_TIMEOUT(!bus->isServiceRegistered(secretsName).value(), 20000);

    const QString log = m_keyringHome.filePath(QStringLiteral("stderr"));
    StderrCapture capture(log);
    {
        DesktopSecretStore secrets(SessionBus::clientAppId, m_fallback);
        QVERIFY(write(secrets, QStringLiteral("first")));
        QVERIFY(write(secrets, QStringLiteral("second")));
        QCOMPARE(read(secrets), QStringLiteral("second"));
    }
    {
        // The next start: the file is there, and nothing more is said.
        DesktopSecretStore secrets(SessionBus::clientAppId, m_fallback);
        QCOMPARE(read(secrets), QStringLiteral("second"));
        QVERIFY(write(secrets, QStringLiteral("third")));
    }
    const QByteArray said = capture.text();
    QCOMPARE(said.count("no Secret Service answers"), 1);
    QVERIFY(!said.contains("first") && !said.contains("third"));
    QCOMPARE(SecureFile::mode(m_fallback), std::optional<unsigned>(0600));
    QCOMPARE(SecureFile::mode(QFileInfo(m_fallback).absolutePath()), std::optional<unsigned>(0700));

    // Removing it leaves no file behind.
    DesktopSecretStore secrets(SessionBus::clientAppId, m_fallback);
    std::optional<SecretStore::Outcome> removed;
    secrets.remove(Session::passwordKey, this, [&removed](SecretStore::Outcome o) { removed = o; });
    QTRY_VERIFY(removed.has_value());
    QCOMPARE(*removed, SecretStore::Outcome::done);
    QVERIFY(!QFile::exists(m_fallback));
}

QTEST_GUILESS_MAIN(tst_SecretStore)
#include "tst_secretstore.moc"
