// The certificate sequence against a scripted HTTPS server on loopback: what
// is sent, what is stored, and which answers are reported, dropped or ignored.

#include "account/DefaultsKeys.h"
#include "account/Utility.h"
#include "api/NetworkService.h"
#include "config/Config.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "vpn/CertificateProvisioner.h"

#include "TestHttpServer.h"

#include <QNetworkReply>
#include <QTest>
#include <QUrlQuery>

using namespace Orvex;
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

QUrlQuery parametersOf(const TestHttpRequest &request)
{
    return QUrlQuery(QString::fromLatin1(request.query().isEmpty() ? request.body : request.query()));
}

QString parameter(const TestHttpRequest &request, const char *name)
{
    return parametersOf(request).queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
}

// Every request the client started has been answered and handled: replies
// belong to the network service's manager until their completion has run.
bool clientIsIdle()
{
    return NetworkService::shared().findChildren<QNetworkReply *>().isEmpty();
}

// What the sequence hands back to its caller.
struct Outcome
{
    QList<Error> errors;
    int connects = 0;
    std::optional<QByteArray> storedAtConnect;

    CertificateProvisioner::ResultHandler resultHandler()
    {
        return [this](const Error &error) { errors.append(error); };
    }
    CertificateProvisioner::Connect connect()
    {
        return [this] {
            ++connects;
            storedAtConnect = UserDefaults::standard().data(Keys::certificate);
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
    void storesTheArchiveThenConnects();
    void failureIsReportedAndNothingStored_data();
    void failureIsReportedAndNothingStored();
    void failureWithoutCallbackIsHarmless();
    void missingCredentialStopsAfterTheToken_data();
    void missingCredentialStopsAfterTheToken();
    void answerForAVanishedOwnerIsDropped();
    void certificateForAnEndedSessionIsDropped_data();
    void certificateForAnEndedSessionIsDropped();

private:
    QList<TestHttpRequest> requestsFor(const char *api) const;
    void routeAnswers(const QByteArray &tokenAnswer, const QByteArray &certificateAnswer,
                      const QByteArray &certificateType = "application/x-pkcs12");
    void holdCertificateAnswer();
    void signIn();

    TestCertificate m_cert;
    std::unique_ptr<TestHttpServer> m_server;
    QPointer<QTcpSocket> m_heldSocket;
    QByteArray m_archive;
};

void tst_CertificateProvisioner::initTestCase()
{
    QVERIFY(m_cert.make());
    m_server = std::make_unique<TestHttpServer>(&m_cert);
    QVERIFY(m_server->port() != 0);
    Config config = *Config::parse({}, {}, nullptr);
    config.apiBaseURL = m_server->origin(true);
    config.caCertificates = {m_cert.certPath};
    Config::setCurrent(config);
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(QStringLiteral("0123abcd")); });
    // Bytes that are no text at all, as a PKCS#12 archive is.
    for (int i = 0; i < 2500; ++i)
        m_archive.append(char((i * 37 + 11) % 256));
}

void tst_CertificateProvisioner::init()
{
    QFile::remove(UserDefaults::standardFilePath());
    m_server->requests.clear();
    m_heldSocket.clear();
    routeAnswers(R"({"token":{"name":"tok-1"}})", m_archive);
}

QList<TestHttpRequest> tst_CertificateProvisioner::requestsFor(const char *api) const
{
    QList<TestHttpRequest> found;
    for (const TestHttpRequest &request : m_server->requests) {
        if (request.path() == commandPath && parameter(request, "api") == QLatin1String(api))
            found.append(request);
    }
    return found;
}

void tst_CertificateProvisioner::routeAnswers(const QByteArray &tokenAnswer,
                                              const QByteArray &certificateAnswer,
                                              const QByteArray &certificateType)
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

void tst_CertificateProvisioner::holdCertificateAnswer()
{
    routeAnswers(R"({"token":{"name":"tok-1"}})", {}, {});
}

void tst_CertificateProvisioner::signIn()
{
    UserDefaults::standard().setString(Keys::tempEmail, email);
    UserDefaults::standard().setString(Keys::password, password);
}

void tst_CertificateProvisioner::storesTheArchiveThenConnects()
{
    signIn();
    UserDefaults::standard().setData(Keys::certificate, QByteArray("an older archive"));
    QObject owner;
    Outcome outcome;
    CertificateProvisioner::fetchCertificate(&owner, outcome.resultHandler(), outcome.connect());
    QTRY_COMPARE_WITH_TIMEOUT(outcome.connects, 1, 20000);
    QTRY_VERIFY(clientIsIdle());

    QCOMPARE(outcome.connects, 1);
    QVERIFY(outcome.errors.isEmpty());
    // Stored before the tunnel is asked to connect, replacing the old one.
    QCOMPARE(outcome.storedAtConnect, m_archive);
    QCOMPARE(UserDefaults(UserDefaults::standardFilePath()).data(Keys::certificate), m_archive);

    QCOMPARE(requestsFor("gen_token").size(), 1);
    const QList<TestHttpRequest> certs = requestsFor("getcert");
    QCOMPARE(certs.size(), 1);
    QCOMPARE(parameter(certs.first(), "Userid"), email);
    QCOMPARE(parameter(certs.first(), "password"), password);
    QCOMPARE(parameter(certs.first(), "Deviceudid"), Utility::udid(email));
    QCOMPARE(parameter(certs.first(), "Deviceudid").size(), 32);
    QCOMPARE(parameter(certs.first(), "token"), QStringLiteral("tok-1"));
}

void tst_CertificateProvisioner::failureIsReportedAndNothingStored_data()
{
    QTest::addColumn<QByteArray>("tokenAnswer");
    QTest::addColumn<QByteArray>("certificateAnswer");
    QTest::addColumn<int>("expected"); // Error::Code
    QTest::addColumn<int>("certificateRequests");
    QTest::newRow("getToken refused") << envelope(3) << m_archive << int(Error::Code::unknown) << 0;
    QTest::newRow("getToken unreadable")
        << QByteArray(R"({"token":{"name":12}})") << m_archive << int(Error::Code::cannotParseData) << 0;
    QTest::newRow("getCert: unknown device")
        << QByteArray(R"({"token":{"name":"t"}})") << envelope(17) << int(Error::Code::unknownDevice) << 1;
}

void tst_CertificateProvisioner::failureIsReportedAndNothingStored()
{
    QFETCH(QByteArray, tokenAnswer);
    QFETCH(QByteArray, certificateAnswer);
    QFETCH(int, expected);
    QFETCH(int, certificateRequests);
    routeAnswers(tokenAnswer, certificateAnswer, "application/json");
    signIn();
    UserDefaults::standard().setData(Keys::certificate, QByteArray("kept"));

    QObject owner;
    Outcome outcome;
    CertificateProvisioner::fetchCertificate(&owner, outcome.resultHandler(), outcome.connect());
    QTRY_COMPARE_WITH_TIMEOUT(outcome.errors.size(), 1, 20000);
    QTRY_VERIFY(clientIsIdle());

    QCOMPARE(outcome.errors.size(), 1);
    QCOMPARE(int(outcome.errors.first().code()), expected);
    QCOMPARE(outcome.connects, 0);
    QCOMPARE(UserDefaults::standard().data(Keys::certificate), QByteArray("kept"));
    QCOMPARE(requestsFor("getcert").size(), certificateRequests);
}

void tst_CertificateProvisioner::failureWithoutCallbackIsHarmless()
{
    routeAnswers(R"({"token":{"name":"t"}})", envelope(6), "application/json");
    signIn();
    QObject owner;
    int connects = 0;
    CertificateProvisioner::fetchCertificate(&owner, {}, [&connects] { ++connects; });
    QTRY_COMPARE_WITH_TIMEOUT(requestsFor("getcert").size(), 1, 20000);
    QTRY_VERIFY(clientIsIdle());
    QCOMPARE(connects, 0);
    QVERIFY(!UserDefaults::standard().contains(Keys::certificate));
}

void tst_CertificateProvisioner::missingCredentialStopsAfterTheToken_data()
{
    QTest::addColumn<bool>("withEmail");
    QTest::addColumn<bool>("withPassword");
    QTest::newRow("no e-mail") << false << true;
    QTest::newRow("no password") << true << false;
    QTest::newRow("neither") << false << false;
}

void tst_CertificateProvisioner::missingCredentialStopsAfterTheToken()
{
    QFETCH(bool, withEmail);
    QFETCH(bool, withPassword);
    if (withEmail)
        UserDefaults::standard().setString(Keys::tempEmail, email);
    if (withPassword)
        UserDefaults::standard().setString(Keys::password, password);

    QObject owner;
    Outcome outcome;
    CertificateProvisioner::fetchCertificate(&owner, outcome.resultHandler(), outcome.connect());
    QTRY_COMPARE_WITH_TIMEOUT(requestsFor("gen_token").size(), 1, 20000);
    QTRY_VERIFY(clientIsIdle());
    QCOMPARE(requestsFor("getcert").size(), 0);
    QVERIFY(outcome.errors.isEmpty());
    QCOMPARE(outcome.connects, 0);
    QVERIFY(!UserDefaults::standard().contains(Keys::certificate));
}

void tst_CertificateProvisioner::answerForAVanishedOwnerIsDropped()
{
    holdCertificateAnswer();
    signIn();
    Outcome outcome;
    {
        QObject owner;
        CertificateProvisioner::fetchCertificate(&owner, outcome.resultHandler(), outcome.connect());
        QTRY_VERIFY_WITH_TIMEOUT(!m_heldSocket.isNull(), 20000);
    }
    m_heldSocket->write(TestHttpServer::response(200, m_archive, "application/x-pkcs12"));
    QTRY_VERIFY(clientIsIdle());
    QVERIFY(!UserDefaults::standard().contains(Keys::certificate));
    QCOMPARE(outcome.connects, 0);
    QVERIFY(outcome.errors.isEmpty());

    // Gone before the token arrives: the certificate is not even asked for.
    m_server->requests.clear();
    {
        QObject owner;
        CertificateProvisioner::fetchCertificate(&owner, outcome.resultHandler(), outcome.connect());
    }
    QTRY_COMPARE_WITH_TIMEOUT(requestsFor("gen_token").size(), 1, 20000);
    QTRY_VERIFY(clientIsIdle());
    QCOMPARE(requestsFor("getcert").size(), 0);
    QVERIFY(outcome.errors.isEmpty());
}

void tst_CertificateProvisioner::certificateForAnEndedSessionIsDropped_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("signed out") << QStringLiteral("logout");
    QTest::newRow("another account") << QStringLiteral("other");
}

void tst_CertificateProvisioner::certificateForAnEndedSessionIsDropped()
{
    QFETCH(QString, change);
    holdCertificateAnswer();
    signIn();
    QObject owner;
    Outcome outcome;
    CertificateProvisioner::fetchCertificate(&owner, outcome.resultHandler(), outcome.connect());
    QTRY_VERIFY_WITH_TIMEOUT(!m_heldSocket.isNull(), 20000);

    if (change == QLatin1String("logout")) {
        UserDefaults::standard().remove(Keys::tempEmail);
        UserDefaults::standard().remove(Keys::password);
    } else {
        UserDefaults::standard().setString(Keys::tempEmail, QStringLiteral("bob@example.com"));
    }
    m_heldSocket->write(TestHttpServer::response(200, m_archive, "application/x-pkcs12"));
    QTRY_VERIFY(clientIsIdle());
    QVERIFY(!UserDefaults::standard().contains(Keys::certificate));
    QCOMPARE(outcome.connects, 0);
    QVERIFY(outcome.errors.isEmpty());
}

QTEST_GUILESS_MAIN(tst_CertificateProvisioner)
#include "tst_certificateprovisioner.moc"
