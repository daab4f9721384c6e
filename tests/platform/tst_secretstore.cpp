// The account's secrets where a user meets them: a real gnome-keyring on a
// private session bus (listed with secret-tool, as a user would), and the
// owner-only file where no Secret Service answers.

#include "StderrCapture.h"
#include "TestFiles.h"

#include "account/DefaultsKeys.h"
#include "account/Session.h"
#include "config/Config.h"
#include "platform/DesktopSecretStore.h"
#include "platform/IdentityStore.h"
#include "platform/SecureFile.h"
#include "platform/SessionBus.h"
#include "platform/UserDefaults.h"

#include "PrivateBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Orvex;
using namespace Qt::StringLiterals;
namespace Keys = Orvex::DefaultsKeys;

namespace {

const QString secretsName = u"org.freedesktop.secrets"_s;

} // namespace

class tst_SecretStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void oldPasswordMovesIntoTheKeyringAndOutAtSignOut();
    void fileCopyFromARunWithoutKeyringMovesIn();
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
    m_fallback = Session::standardFallbackFile();
}

void tst_SecretStore::cleanupTestCase()
{
    endProcess(m_keyring);
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
    const ProgramRun tool = runProgram(u"secret-tool"_s, arguments, 20000); // on the private bus
    return tool.out + tool.err;
}

QStringList tst_SecretStore::keyringItems()
{
    const QString listing = secretTool({u"search"_s, u"--all"_s, u"xdg:schema"_s, u"org.qt.keychain"_s});
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

// What the session does with the keyring itself (the move, what sign-out
// forgets) is tst_session's; here the real keyring and the fallback file.
void tst_SecretStore::oldPasswordMovesIntoTheKeyringAndOutAtSignOut()
{
    {
        UserDefaults old(UserDefaults::standardFilePath());
        old.setString(Keys::tempEmail, u"ann@example.com"_s);
        old.setString(Keys::password, u"from the old file"_s);
    }
    DesktopSecretStore secrets(SessionBus::clientAppId, m_fallback);
    Session session(secrets, UserDefaults::standard(), IdentityStore::standard(),
                    Session::standardAccountFile());
    QVERIFY(load(session));
    QCOMPARE(session.password(), u"from the old file"_s);
    // Under the attributes a user (and the next start) finds it by.
    QCOMPARE(secretTool({u"lookup"_s, u"server"_s, u"com.orvex.client"_s, u"user"_s, u"password"_s}),
             u"from the old file"_s);
    QVERIFY(!QFile::exists(m_fallback));
    QVERIFY(!readFile(UserDefaults::standardFilePath()).contains("from the old file"));

    DesktopSecretStore nextSecrets(SessionBus::clientAppId, m_fallback);
    Session next(nextSecrets, UserDefaults::standard(), IdentityStore::standard(),
                 Session::standardAccountFile());
    QVERIFY(load(next));
    QVERIFY(next.isSignedIn());
    QCOMPARE(next.password(), u"from the old file"_s);

    // Signed out with a copy in the fallback file too, left by a run without
    // the keyring: neither is left.
    QVERIFY(SecureFile::makePrivateDirectory(QFileInfo(m_fallback).absolutePath()));
    QVERIFY(SecureFile::writeAtomically(m_fallback, R"({"password":"from the old file"})"));
    bool done = false;
    next.logout([&done] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, 20000);
    QCOMPARE(keyringItems(), QStringList());
    QVERIFY(!QFile::exists(m_fallback));
}

void tst_SecretStore::fileCopyFromARunWithoutKeyringMovesIn()
{
    QVERIFY(SecureFile::makePrivateDirectory(QFileInfo(m_fallback).absolutePath()));
    QVERIFY(SecureFile::writeAtomically(m_fallback, R"({"password":"kept in the file"})"));
    DesktopSecretStore secrets(SessionBus::clientAppId, m_fallback);
    QCOMPARE(read(secrets), u"kept in the file"_s);

    QVERIFY(write(secrets, u"kept in the file"_s));
    QVERIFY(!QFile::exists(m_fallback));
    QCOMPARE(read(secrets), u"kept in the file"_s);
    QCOMPARE(keyringItems(), QStringList{u"password"_s});
}

void tst_SecretStore::withoutSecretServiceTheFileServesAndSaysSoOnce()
{
    m_keyring.terminate();
    QVERIFY(m_keyring.waitForFinished(10000));
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    QTRY_VERIFY_WITH_TIMEOUT(!bus->isServiceRegistered(secretsName).value(), 20000);

    const QString log = m_keyringHome.filePath(u"stderr"_s);
    StderrCapture capture(log);
    {
        DesktopSecretStore secrets(SessionBus::clientAppId, m_fallback);
        QVERIFY(write(secrets, u"first"_s));
        QVERIFY(write(secrets, u"second"_s));
        QCOMPARE(read(secrets), u"second"_s);
    }
    {
        // The next start: the file is there, and nothing more is said.
        DesktopSecretStore secrets(SessionBus::clientAppId, m_fallback);
        QCOMPARE(read(secrets), u"second"_s);
        QVERIFY(write(secrets, u"third"_s));
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
