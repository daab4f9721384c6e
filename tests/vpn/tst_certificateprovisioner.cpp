// The certificate sequence against a scripted HTTPS server on loopback, then
// the identity over the real stores.

#include "session/DefaultsKeys.h"
#include "api/NetworkService.h"
#include "config/Config.h"
#include "platform/SystemInfo.h"
#include "platform/IdentityStore.h"
#include "platform/SecureFile.h"
#include "platform/UserDefaults.h"
#include "vpn/CertificateProvisioner.h"
#include "session/ClientIdentity.h"

#include "Capture.h"
#include "TestHttpServer.h"
#include "TestPkcs12.h"
#include "TestSession.h"

#include <QDir>
#include <QScopeGuard>
#include <QSemaphore>
#include <QTest>
#include <QThreadPool>
#include <QUrlQuery>

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <atomic>

using namespace Orvex;
using namespace TestPkcs12;
namespace Keys = Orvex::DefaultsKeys;

namespace {

const QByteArray commandPath = "/portableapi/portable.php";
const QString email = QStringLiteral("ann+vpn@example.com");
const QString password = QStringLiteral("p&ss=w rd+1");

QByteArray envelope(int code)
{
    return R"({"status":{"code":)" + QByteArray::number(code)
           + R"(,"command":"c","error":true,"opf":"o","version":"v"}})";
}

QString parameter(const TestHttpRequest &request, const char *name)
{
    return QUrlQuery(QString::fromLatin1(request.query().isEmpty() ? request.body : request.query()))
        .queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
}

struct Fetched
{
    QList<Error> errors;
    int connects = 0;
    std::optional<QByteArray> storedAtConnect;
    QList<QByteArray> identitiesAtConnect;

    CertificateProvisioner::ResultHandler resultHandler()
    {
        return [this](const Error &error) { errors.append(error); };
    }
    CertificateProvisioner::Connect connect(const Session &session)
    {
        return [this, &session] {
            ++connects;
            storedAtConnect = session.identityReference();
            identitiesAtConnect = session.identities().references();
        };
    }
};

} // namespace

class tst_CertificateProvisioner : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void keepsTheIdentityThenConnects();
    void failureIsReportedAndNothingStored_data();
    void failureIsReportedAndNothingStored();
    void missingCredentialOrOwnerStopsAfterTheToken();
    void lateCertificateIsDropped_data();
    void lateCertificateIsDropped();
    void sharedMeansTwoApplicationsInOneEntry_data();
    void sharedMeansTwoApplicationsInOneEntry();
    void onlyAnArchiveWithOneIdentityIsKept_data();
    void onlyAnArchiveWithOneIdentityIsKept();
    void renewalIsDueAWeekBeforeTheEnd();

private:
    QList<TestHttpRequest> requestsFor(const char *api) const
    {
        QList<TestHttpRequest> found;
        for (const TestHttpRequest &request : m_server->requests) {
            if (request.path() == commandPath && parameter(request, "api") == QLatin1String(api))
                found.append(request);
        }
        return found;
    }
    void routeAnswers(const QByteArray &tokenAnswer, const QByteArray &certificateAnswer,
                      const QByteArray &certificateType = "application/x-pkcs12")
    {
        m_server->route(commandPath, [=, this](const TestHttpRequest &request, QTcpSocket *socket) {
            if (parameter(request, "api") == QLatin1String("gen_token")) {
                socket->write(TestHttpServer::response(200, tokenAnswer));
            } else if (m_heldSocket.isNull() && certificateType.isEmpty()) {
                m_heldSocket = socket; // answered later by the test
            } else {
                socket->write(TestHttpServer::response(200, certificateAnswer, certificateType));
            }
        });
    }
    // The archive kept as a fetched certificate is; its reference, absent when refused.
    std::optional<QByteArray> imported(const QByteArray &archive)
    {
        const auto identity = m_session->identities.importSingleIdentity(archive, m_passphrase);
        return identity ? m_session->identities.persistentReference(*identity) : std::nullopt;
    }

    std::optional<TestSession> m_session; // each case's own: signed out, nothing saved
    std::unique_ptr<TestHttpServer> m_server;
    QPointer<QTcpSocket> m_heldSocket;
    QByteArray m_archive;
    TestPkcs12::Credential m_client;
    TestPkcs12::Credential m_day; // valid for one day from the moment it was made
    QString m_passphrase;
};

void tst_CertificateProvisioner::initTestCase()
{
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->port() != 0);
    const Config config = Config::parse({}, {}).value();
    SystemInfo::setMachineIdSourceForTesting(
        [] { return std::optional<QString>(QStringLiteral("0123abcd")); });
    m_client = TestPkcs12::makeCredential("client", true, 30);
    m_archive = TestPkcs12::makeIdentityArchive(m_client, config.pkcs12Passphrase);
    m_day = TestPkcs12::makeCredential("day");
    m_passphrase = config.pkcs12Passphrase;
}

void tst_CertificateProvisioner::init()
{
    m_session.emplace();
    m_session->config.apiBaseURL = m_server->origin(true);
    m_session->config.caCertificates = {m_server->certificatePath()};
    m_server->requests.clear();
    m_heldSocket.clear();
    routeAnswers(R"({"token":{"name":"tok-1"}})", m_archive);
}

void tst_CertificateProvisioner::keepsTheIdentityThenConnects()
{
    m_session->session.setCredentials(email, password);
    QVERIFY(m_session->keepIdentity("previous"));
    QObject owner;
    Fetched outcome;
    CertificateProvisioner::fetchCertificate(&owner, m_session->network, m_session->session,
                                             outcome.resultHandler(), outcome.connect(m_session->session));
    QTRY_COMPARE_WITH_TIMEOUT(outcome.connects, 1, 20000);
    QTRY_VERIFY(networkIsIdle(m_session->network));

    QCOMPARE(outcome.connects, 1);
    QVERIFY(outcome.errors.isEmpty());
    // Kept before the tunnel is asked to connect, the old one gone: exactly
    // one identity, and the archive itself nowhere.
    QCOMPARE(outcome.storedAtConnect, m_client.sha1());
    QCOMPARE(outcome.identitiesAtConnect, QList<QByteArray>{m_client.sha1()});
    QVERIFY(!UserDefaults(m_session->files.defaults).contains(Keys::certificate));

    QCOMPARE(requestsFor("gen_token").size(), 1);
    const QList<TestHttpRequest> certs = requestsFor("getcert");
    QCOMPARE(certs.size(), 1);
    QCOMPARE(parameter(certs.first(), "Userid"), email);
    QCOMPARE(parameter(certs.first(), "password"), password);
    // MD5 of "0123abcd@ann+vpn@example.com", this machine's id and the account.
    QCOMPARE(parameter(certs.first(), "Deviceudid"), QStringLiteral("8e40f613904585938c3d9dbeb76718f1"));
    QCOMPARE(parameter(certs.first(), "token"), QStringLiteral("tok-1"));
}

void tst_CertificateProvisioner::failureIsReportedAndNothingStored_data()
{
    QTest::addColumn<QByteArray>("tokenAnswer");
    QTest::addColumn<QByteArray>("certificateAnswer");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<int>("expected"); // Error::Code
    QTest::addColumn<int>("certificateRequests");
    QTest::addColumn<bool>("heard"); // the caller listens for the outcome
    const QByteArray token = R"({"token":{"name":"t"}})";
    const QByteArray pkcs12 = "application/x-pkcs12";
    const int unusable = int(Error::Code::unusableCertificate);
    QTest::newRow("getToken refused")
        << envelope(3) << m_archive << pkcs12 << int(Error::Code::unknown) << 0 << true;
    QTest::newRow("getToken unreadable") << QByteArray(R"({"token":{"name":12}})") << m_archive << pkcs12
                                         << int(Error::Code::cannotParseData) << 0 << true;
    QTest::newRow("getCert: unknown device") << token << envelope(17) << QByteArray("application/json")
                                             << int(Error::Code::unknownDevice) << 1 << true;
    QTest::newRow("getCert refused, nobody listening")
        << token << envelope(6) << QByteArray("application/json") << int(Error::Code::invalidPassword) << 1
        << false;
    // Which archives are unusable is onlyAnArchiveWithOneIdentityIsKept's table.
    QTest::newRow("HTML error page with status 200")
        << token << QByteArray("<html><head><title>503</title></head><body>Service unavailable</body></html>")
        << QByteArray("text/html") << unusable << 1 << true;
}

void tst_CertificateProvisioner::failureIsReportedAndNothingStored()
{
    QFETCH(QByteArray, tokenAnswer);
    QFETCH(QByteArray, certificateAnswer);
    QFETCH(QByteArray, type);
    QFETCH(int, expected);
    QFETCH(int, certificateRequests);
    QFETCH(bool, heard);
    routeAnswers(tokenAnswer, certificateAnswer, type);
    m_session->session.setCredentials(email, password);

    QObject owner;
    Fetched outcome;
    CertificateProvisioner::fetchCertificate(&owner, m_session->network, m_session->session,
                                             heard ? outcome.resultHandler()
                                                   : CertificateProvisioner::ResultHandler(),
                                             outcome.connect(m_session->session));
    if (heard)
        QTRY_COMPARE_WITH_TIMEOUT(outcome.errors.size(), 1, 20000);
    else
        QTRY_COMPARE_WITH_TIMEOUT(requestsFor("getcert").size(), 1, 20000);
    QTRY_VERIFY(networkIsIdle(m_session->network));
    QCOMPARE(outcome.errors.size(), heard ? 1 : 0);
    if (heard)
        QCOMPARE(int(outcome.errors.first().code()), expected);
    if (expected == int(Error::Code::unusableCertificate))
        QCOMPARE(outcome.errors.first().localizedDescription(),
                 QStringLiteral("The server sent a certificate that cannot be used."));
    QCOMPARE(outcome.connects, 0);
    QVERIFY(m_session->identities.references().isEmpty());
    QCOMPARE(m_session->session.identityReference(), std::nullopt);
    QCOMPARE(requestsFor("getcert").size(), certificateRequests);

    // Nothing was kept, so the next attempt asks again, and a good answer
    // then serves.
    routeAnswers(R"({"token":{"name":"tok-2"}})", m_archive);
    CertificateProvisioner::fetchCertificate(&owner, m_session->network, m_session->session,
                                             outcome.resultHandler(), outcome.connect(m_session->session));
    QTRY_COMPARE_WITH_TIMEOUT(outcome.connects, 1, 20000);
    QCOMPARE(requestsFor("getcert").size(), certificateRequests + 1);
    QCOMPARE(m_session->identities.references(), QList<QByteArray>{m_client.sha1()});
}

// Without the e-mail, without the password, or with its owner gone before the
// token arrives: nothing is asked after the token.
void tst_CertificateProvisioner::missingCredentialOrOwnerStopsAfterTheToken()
{
    for (const std::string_view missing : {"e-mail", "password", "owner"}) {
        m_session->session.logout();
        if (missing == "password")
            m_session->defaults.setString(Keys::tempEmail, email);
        else
            m_session->session.setCredentials(email, password);
        if (missing == "e-mail")
            m_session->defaults.remove(Keys::tempEmail);
        m_server->requests.clear();
        auto owner = std::make_unique<QObject>();
        Fetched outcome;
        CertificateProvisioner::fetchCertificate(owner.get(), m_session->network, m_session->session,
                                                 outcome.resultHandler(),
                                                 outcome.connect(m_session->session));
        if (missing == "owner")
            owner.reset();
        QTRY_COMPARE_WITH_TIMEOUT(requestsFor("gen_token").size(), 1, 20000);
        QTRY_VERIFY(networkIsIdle(m_session->network));
        QCOMPARE(requestsFor("getcert").size(), 0);
        QVERIFY(outcome.errors.isEmpty());
        QCOMPARE(outcome.connects, 0);
        QVERIFY(m_session->identities.references().isEmpty());
    }
}

void tst_CertificateProvisioner::lateCertificateIsDropped_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("whileImported"); // else before the answer arrives
    QTest::newRow("its owner is gone") << QStringLiteral("owner") << false;
    QTest::newRow("signed out") << QStringLiteral("logout") << false;
    QTest::newRow("another account") << QStringLiteral("other") << false;
    QTest::newRow("its owner goes while it is imported") << QStringLiteral("owner") << true;
    QTest::newRow("signed out while it is imported") << QStringLiteral("logout") << true;
}

void tst_CertificateProvisioner::lateCertificateIsDropped()
{
    QFETCH(QString, change);
    QFETCH(bool, whileImported);
    routeAnswers(R"({"token":{"name":"tok-1"}})", {}, {}); // the certificate's answer held back
    m_session->session.setCredentials(email, password);
    auto owner = std::make_unique<QObject>();
    Fetched outcome;
    CertificateProvisioner::fetchCertificate(owner.get(), m_session->network, m_session->session,
                                             outcome.resultHandler(), outcome.connect(m_session->session));
    QTRY_VERIFY_WITH_TIMEOUT(!m_heldSocket.isNull(), 20000);
    const auto makeChange = [&] {
        if (change == QLatin1String("owner"))
            owner.reset();
        else if (change == QLatin1String("logout"))
            m_session->session.logout();
        else
            m_session->defaults.setString(Keys::tempEmail, QStringLiteral("bob@example.com"));
    };
    // While it is imported: every worker of the pool the import runs on is
    // held, so the import waits behind them until the change is made.
    QThreadPool *pool = QThreadPool::globalInstance();
    const int workers = pool->maxThreadCount();
    QSemaphore held;
    const auto release = qScopeGuard([&] {
        held.release(workers);
        pool->waitForDone();
    });
    if (whileImported) {
        for (int i = 0; i < workers; ++i)
            pool->start([&held] { held.acquire(); });
    } else {
        makeChange();
    }
    m_heldSocket->write(TestHttpServer::response(200, m_archive, "application/x-pkcs12"));
    QTRY_VERIFY(networkIsIdle(m_session->network));
    if (whileImported) {
        makeChange();
        held.release(workers);
        QVERIFY(pool->waitForDone(20000));
    }
    QTRY_VERIFY(m_session->identities.references().isEmpty());
    QCOMPARE(outcome.connects, 0);
    QVERIFY(outcome.errors.isEmpty());
}

void tst_CertificateProvisioner::sharedMeansTwoApplicationsInOneEntry_data()
{
    QTest::addColumn<QByteArray>("accessList");
    QTest::addColumn<bool>("shared");
    QTest::newRow("one application in each of two entries")
        << QByteArray(R"([{"authorization":"use","applications":["orvex"]},
                          {"authorization":"sign","applications":["charon"]}])")
        << false;
    QTest::newRow("two applications in a later entry")
        << QByteArray(R"([{"authorization":"use","applications":[]},
                          {"authorization":"sign","applications":["orvex"]},
                          {"authorization":"any","applications":["orvex","charon"]}])")
        << true;
    QTest::newRow("unreadable list") << QByteArray("{not json") << false;
}

void tst_CertificateProvisioner::sharedMeansTwoApplicationsInOneEntry()
{
    QFETCH(QByteArray, accessList);
    QFETCH(bool, shared);
    const QByteArray archive = makeIdentityArchive(m_day, m_passphrase);
    const auto reference = imported(archive);
    IdentityStore &store = m_session->identities;
    QVERIFY(!ClientIdentity::isPrivateKeyShared(store, reference)); // imported: the client alone

    const QString folder = m_session->files.identities + u'/' + QString::fromLatin1(m_day.sha1().toHex());
    QVERIFY(SecureFile::writeAtomically(folder + QStringLiteral("/access-list.json"), accessList));
    QCOMPARE(ClientIdentity::isPrivateKeyShared(store, reference), shared);
    // Importing the same archive again leaves the list as it is; a removed
    // identity is shared with nobody.
    QCOMPARE(imported(archive), reference);
    QCOMPARE(ClientIdentity::isPrivateKeyShared(store, reference), shared);
    QVERIFY(store.remove({*reference}));
    QVERIFY(!ClientIdentity::isPrivateKeyShared(store, reference));
}

void tst_CertificateProvisioner::onlyAnArchiveWithOneIdentityIsKept_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::addColumn<bool>("kept");
    const Credential other = makeCredential("other");
    QTest::newRow("with a CA certificate beside it")
        << makeArchive({certificateBag(m_day, "1"), keyBag(m_day, "1"), certificateBag(other)}, m_passphrase)
        << true;
    QTest::newRow("empty answer") << QByteArray() << false;
    // Which archives open at all is tst_localstores' table (the same reader).
    QTest::newRow("two keys") << makeArchive({certificateBag(m_day, "1"), keyBag(m_day, "1"),
                                              certificateBag(other, "2"), keyBag(other, "2")},
                                             m_passphrase)
                              << false;
}

void tst_CertificateProvisioner::onlyAnArchiveWithOneIdentityIsKept()
{
    QFETCH(QByteArray, archive);
    QFETCH(bool, kept);
    // One pool thread that never expires, so that the task after the import
    // runs where the import ran.
    QThreadPool *pool = QThreadPool::globalInstance();
    QVERIFY(pool->waitForDone(20000)); // also ends the threads it had
    const int threads = pool->maxThreadCount();
    const int expiry = pool->expiryTimeout();
    pool->setMaxThreadCount(1);
    pool->setExpiryTimeout(-1);
    const auto restore = qScopeGuard([&] {
        pool->waitForDone(20000);
        pool->setMaxThreadCount(threads);
        pool->setExpiryTimeout(expiry);
    });
    QObject context;
    std::optional<std::optional<IdentityStore::Identity>> answer;
    ClientIdentity::importInBackground(m_session->identities, archive, m_passphrase, &context,
                                       [&answer](const std::optional<IdentityStore::Identity> &identity) {
                                           answer = identity;
                                       });
    QTRY_VERIFY(answer.has_value());
    QCOMPARE(answer->has_value(), kept);
    QCOMPARE(m_session->identities.references(), kept ? QList<QByteArray>{m_day.sha1()} : QList<QByteArray>{});

    // The worker keeps no OpenSSL state of its own (here: the errors of the
    // archive's checks). A pool thread ends after main() has returned, and
    // OpenSSL's clean-up at exit would free that state under the ending thread.
    std::atomic<unsigned long> leftOver{~0UL};
    pool->start([&leftOver] {
        leftOver = ERR_peek_error();
        OPENSSL_thread_stop();
    });
    QVERIFY(pool->waitForDone(20000));
    QCOMPARE(leftOver.load(), 0UL);
}

void tst_CertificateProvisioner::renewalIsDueAWeekBeforeTheEnd()
{
    IdentityStore &store = m_session->identities;
    const auto reference = imported(makeIdentityArchive(m_day, m_passphrase));
    QVERIFY(reference);
    const auto validity = store.validity(*reference);
    QVERIFY(validity);
    QCOMPARE(validity->notBefore.secsTo(validity->notAfter), qint64(86400));
    // A one-day certificate is due an hour before it starts, while valid and
    // an hour after its end; valid only in between.
    for (const auto &[secondsFromStart, valid] :
         {std::pair{qint64(-3600), false}, {qint64(60), true}, {qint64(86400 + 3600), false}}) {
        const QDateTime at = validity->notBefore.addSecs(secondsFromStart);
        QVERIFY(ClientIdentity::needsRenewal(store, *reference, at));
        QCOMPARE(ClientIdentity::isValid(store, *reference, at), valid);
    }

    // Eight days before the end of a longer one it is not due yet; seven
    // days before, it is.
    const TestPkcs12::Credential longer = makeCredential("longer", false, 30);
    const auto longReference = imported(makeIdentityArchive(longer, m_passphrase));
    QVERIFY(longReference);
    const QDateTime end = store.validity(*longReference)->notAfter;
    QVERIFY(!ClientIdentity::needsRenewal(store, *longReference, end.addDays(-8)));
    QVERIFY(ClientIdentity::needsRenewal(store, *longReference, end.addDays(-7)));
    QVERIFY(ClientIdentity::isValid(store, *longReference, end.addDays(-7)));
}

QTEST_GUILESS_MAIN(tst_CertificateProvisioner)
#include "tst_certificateprovisioner.moc"
