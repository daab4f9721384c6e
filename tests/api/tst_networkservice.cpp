// The answer handling of the API client against a real HTTPS server on
// loopback: transport failure, no body, the error envelope, then the typed
// record, in that order; timeouts; downloads that must not leave half files.

#include "Capture.h"
#include "TestHttpServer.h"

#include "api/NetworkService.h"
#include "config/Config.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>

using namespace Orvex;

namespace {

const QByteArray envelope16 = R"({"status":{"code":16,"command":"getuser","error":true,"opf":"x","version":"1"}})";

QByteArray envelope(int code, bool error, bool withOpf = true)
{
    return QByteArray(R"({"status":{"code":)") + QByteArray::number(code)
           + R"(,"command":"c","error":)" + (error ? "true" : "false")
           + (withOpf ? R"(,"opf":"o")" : "") + R"(,"version":"v","errorMessage":"ignored"}})";
}

} // namespace

class tst_NetworkService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void transportFailureIsGeneric();
    void untrustedCertificateIsGeneric();
    void noBodyVersusEmptyBody();
    void envelopeDecidesBeforeTheRecord_data();
    void envelopeDecidesBeforeTheRecord();
    void httpStatusPlaysNoPart();
    void checkUserInvertsTheAnswer_data();
    void checkUserInvertsTheAnswer();
    void recordsDecodeStrictly_data();
    void recordsDecodeStrictly();
    void certificateBytesArriveUnchanged();
    void verificationCodeMustBeUtf8();
    void silentServerTimesOut();
    void downloadWritesOnlyCompleteAnswers();
    void helpDeskStyleRequestCarriesBodyAndHeader();

private:
    TestCertificate m_cert;
    std::unique_ptr<TestHttpServer> m_server;
    QTemporaryDir m_dir;
};

void tst_NetworkService::initTestCase()
{
    QVERIFY(m_cert.make());
    m_server = std::make_unique<TestHttpServer>(&m_cert);
    QVERIFY(m_server->port() != 0);
    Config config = *Config::parse({}, {}, nullptr);
    config.apiBaseURL = m_server->origin(true);
    config.caCertificates = {m_cert.certPath};
    Config::setCurrent(config);
    NetworkService::shared().setTimeouts(std::chrono::milliseconds(60000),
                                         std::chrono::milliseconds(180000),
                                         std::chrono::milliseconds(3600000));
}

void tst_NetworkService::transportFailureIsGeneric()
{
    // A port nobody listens on.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();

    Config config = Config::current();
    const Config saved = config;
    config.apiBaseURL = QStringLiteral("https://127.0.0.1:%1").arg(closedPort);
    Config::setCurrent(config);
    Capture<UserResponse> user;
    NetworkService::shared().getUser(QStringLiteral("a@b.cc"), QStringLiteral("secret"), user.completion());
    Capture<Empty> check;
    NetworkService::shared().checkUser(QStringLiteral("a@b.cc"), check.completion());
    Config::setCurrent(saved);

    QVERIFY(user.wait());
    QVERIFY(check.wait());
    QCOMPARE(user.result->error().code(), Error::Code::generic);
    QVERIFY(!user.result->error().localizedDescription().isEmpty());
    // checkUser passes a transport failure on unchanged.
    QCOMPARE(check.result->error().code(), Error::Code::generic);
    QCOMPARE(user.calls, 1);
}

void tst_NetworkService::untrustedCertificateIsGeneric()
{
    TestCertificate other;
    QVERIFY(other.make());
    TestHttpServer stranger(&other);
    stranger.route("/getuser.json", TestHttpServer::answer(200, R"({"user":{}})"));

    Config config = Config::current();
    const Config saved = config;
    config.apiBaseURL = stranger.origin(true);
    Config::setCurrent(config);
    Capture<UserResponse> user;
    NetworkService::shared().getUser(QStringLiteral("a@b.cc"), std::nullopt, user.completion());
    Config::setCurrent(saved);

    QVERIFY(user.wait());
    QVERIFY(!user.result->isSuccess());
    QCOMPARE(user.result->error().code(), Error::Code::generic);
}

void tst_NetworkService::noBodyVersusEmptyBody()
{
    // 204 carries no body by definition: emptyResponse.
    m_server->route("/adddevice.json", TestHttpServer::answer(204, {}));
    Capture<Empty> noBody;
    NetworkService::shared().addDevice(QStringLiteral("u"), QStringLiteral("e"), noBody.completion());
    QVERIFY(noBody.wait());
    QCOMPARE(noBody.result->error().code(), Error::Code::emptyResponse);

    // A declared body of zero bytes is a body: it is no envelope, so an
    // operation answering nothing succeeds and a record fails to decode.
    m_server->route("/adddevice.json", TestHttpServer::answer(200, {}));
    Capture<Empty> emptyBody;
    NetworkService::shared().addDevice(QStringLiteral("u"), QStringLiteral("e"), emptyBody.completion());
    QVERIFY(emptyBody.wait());
    QVERIFY(emptyBody.result->isSuccess());

    m_server->route("/getuser.json", TestHttpServer::answer(200, {}));
    Capture<UserResponse> user;
    NetworkService::shared().getUser(QStringLiteral("e"), std::nullopt, user.completion());
    QVERIFY(user.wait());
    QCOMPARE(user.result->error().code(), Error::Code::cannotParseData);
}

void tst_NetworkService::envelopeDecidesBeforeTheRecord_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("addDeviceSucceeds");
    QTest::addColumn<int>("expected"); // for both operations when addDevice fails

    QTest::newRow("code 1") << envelope(1, true) << false << int(Error::Code::alreadyUpdated);
    QTest::newRow("code 6") << envelope(6, true) << false << int(Error::Code::invalidPassword);
    QTest::newRow("code 16") << envelope(16, true) << false << int(Error::Code::userNotExists);
    QTest::newRow("code 17") << envelope(17, true) << false << int(Error::Code::unknownDevice);
    QTest::newRow("code 99") << envelope(99, true) << false << int(Error::Code::unknown);
    QTest::newRow("code 0") << envelope(0, true) << false << int(Error::Code::unknown);
    // Not an envelope: handling goes on with the body, and getUser finds no "user".
    QTest::newRow("error false") << envelope(16, false) << true << int(Error::Code::cannotParseData);
    QTest::newRow("opf missing") << envelope(16, true, false) << true << int(Error::Code::cannotParseData);
    QTest::newRow("error as 1") << QByteArray(R"({"status":{"code":16,"command":"c","error":1,"opf":"o","version":"v"}})")
                                << true << int(Error::Code::cannotParseData);
    QTest::newRow("code as text") << QByteArray(R"({"status":{"code":"16","command":"c","error":true,"opf":"o","version":"v"}})")
                                  << true << int(Error::Code::cannotParseData);
    QTest::newRow("code fractional") << QByteArray(R"({"status":{"code":16.5,"command":"c","error":true,"opf":"o","version":"v"}})")
                                     << true << int(Error::Code::cannotParseData);
}

void tst_NetworkService::envelopeDecidesBeforeTheRecord()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, addDeviceSucceeds);
    QFETCH(int, expected);

    m_server->route("/getuser.json", TestHttpServer::answer(200, body));
    m_server->route("/adddevice.json", TestHttpServer::answer(200, body));
    Capture<UserResponse> user;
    Capture<Empty> device;
    NetworkService::shared().getUser(QStringLiteral("e@x.io"), std::nullopt, user.completion());
    NetworkService::shared().addDevice(QStringLiteral("u"), QStringLiteral("e@x.io"), device.completion());
    QVERIFY(user.wait());
    QVERIFY(device.wait());
    QCOMPARE(int(user.result->error().code()), expected);
    QCOMPARE(device.result->isSuccess(), addDeviceSucceeds);
    if (!addDeviceSucceeds)
        QCOMPARE(int(device.result->error().code()), expected);
}

void tst_NetworkService::httpStatusPlaysNoPart()
{
    // An error page is just an undecodable body.
    m_server->route("/getuser.json",
                    TestHttpServer::answer(500, "<html><body>Internal Server Error</body></html>", "text/html"));
    Capture<UserResponse> page;
    NetworkService::shared().getUser(QStringLiteral("e"), std::nullopt, page.completion());
    QVERIFY(page.wait());
    QCOMPARE(page.result->error().code(), Error::Code::cannotParseData);

    // A valid record under 404 is a success; an envelope under 401 is its error.
    m_server->route("/getuser.json", TestHttpServer::answer(404, R"({"user":{"email":"e@x.io"}})"));
    Capture<UserResponse> record;
    NetworkService::shared().getUser(QStringLiteral("e"), std::nullopt, record.completion());
    QVERIFY(record.wait());
    QVERIFY(record.result->isSuccess());
    QCOMPARE(record.result->value().user.email, QStringLiteral("e@x.io"));

    m_server->route("/getuser.json", TestHttpServer::answer(401, envelope16));
    Capture<UserResponse> rejected;
    NetworkService::shared().getUser(QStringLiteral("e"), std::nullopt, rejected.completion());
    QVERIFY(rejected.wait());
    QCOMPARE(rejected.result->error().code(), Error::Code::userNotExists);

    m_server->route("/getuser.json", TestHttpServer::answer(400, R"({"user":{}})"));
    Capture<UserResponse> badRequest;
    NetworkService::shared().getUser(QStringLiteral("e"), std::nullopt, badRequest.completion());
    QVERIFY(badRequest.wait());
    QVERIFY(badRequest.result->isSuccess());
}

void tst_NetworkService::checkUserInvertsTheAnswer_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("expected"); // -1: success

    QTest::newRow("account exists") << QByteArray(R"({"user":{"email":"e@x.io"}})") << int(Error::Code::userAlreadyExists);
    QTest::newRow("any non-envelope body") << QByteArray("ok") << int(Error::Code::userAlreadyExists);
    QTest::newRow("does not exist") << envelope16 << -1;
    QTest::newRow("other envelope passed on") << envelope(6, true) << int(Error::Code::invalidPassword);
}

void tst_NetworkService::checkUserInvertsTheAnswer()
{
    QFETCH(QByteArray, body);
    QFETCH(int, expected);
    m_server->route("/checkUserAccount.json", TestHttpServer::answer(200, body));
    Capture<Empty> check;
    NetworkService::shared().checkUser(QStringLiteral("e@x.io"), check.completion());
    QVERIFY(check.wait());
    if (expected < 0)
        QVERIFY(check.result->isSuccess());
    else
        QCOMPARE(int(check.result->error().code()), expected);
}

void tst_NetworkService::recordsDecodeStrictly_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("decodes");

    QTest::newRow("user empty record") << QByteArray("/getuser.json") << QByteArray(R"({"user":{}})") << true;
    QTest::newRow("user extra members") << QByteArray("/getuser.json") << QByteArray(R"({"user":{"x":1},"more":[1]})") << true;
    QTest::newRow("user id as number") << QByteArray("/getuser.json") << QByteArray(R"({"user":{"id":5}})") << false;
    QTest::newRow("user missing") << QByteArray("/getuser.json") << QByteArray(R"({"account":{}})") << false;
    QTest::newRow("device not object") << QByteArray("/getuser.json") << QByteArray(R"({"user":{"devices":["x"]}})") << false;
    QTest::newRow("devices null") << QByteArray("/getuser.json") << QByteArray(R"({"user":{"devices":null}})") << true;
    QTest::newRow("top level array") << QByteArray("/getuser.json") << QByteArray(R"([{"user":{}}])") << false;
    QTest::newRow("token empty name") << QByteArray("/portableapi/portable.php") << QByteArray(R"({"token":{"name":""}})") << true;
    QTest::newRow("token name number") << QByteArray("/portableapi/portable.php") << QByteArray(R"({"token":{"name":12}})") << false;
}

void tst_NetworkService::recordsDecodeStrictly()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, body);
    QFETCH(bool, decodes);
    m_server->route(path, TestHttpServer::answer(200, body));
    if (path == "/getuser.json") {
        Capture<UserResponse> c;
        NetworkService::shared().getUser(QStringLiteral("e"), std::nullopt, c.completion());
        QVERIFY(c.wait());
        QCOMPARE(c.result->isSuccess(), decodes);
        if (decodes) {
            const UserModel &u = c.result->value().user;
            QVERIFY(!u.email && !u.id && !u.name && !u.password && !u.phoneNumber && !u.user && !u.devices);
        } else {
            QCOMPARE(c.result->error().code(), Error::Code::cannotParseData);
        }
    } else {
        Capture<VPNApiResponse::Token> c;
        NetworkService::shared().getToken(c.completion());
        QVERIFY(c.wait());
        QCOMPARE(c.result->isSuccess(), decodes);
        if (decodes)
            QCOMPARE(c.result->value().token.name, QString());
    }
}

void tst_NetworkService::certificateBytesArriveUnchanged()
{
    QByteArray archive;
    for (int i = 0; i < 3000; ++i)
        archive.append(char(i * 7 % 256));
    archive[0] = '\0';
    m_server->route("/portableapi/portable.php", TestHttpServer::answer(200, archive, "application/x-pkcs12"));
    Capture<QByteArray> cert;
    NetworkService::shared().getCert(QStringLiteral("p"), QStringLiteral("u"), QStringLiteral("e"),
                                     QStringLiteral("t"), cert.completion());
    QVERIFY(cert.wait());
    QVERIFY(cert.result->isSuccess());
    QCOMPARE(cert.result->value(), archive);

    m_server->route("/portableapi/portable.php", TestHttpServer::answer(200, envelope(17, true)));
    Capture<QByteArray> refused;
    NetworkService::shared().getCert(QStringLiteral("p"), QStringLiteral("u"), QStringLiteral("e"),
                                     QStringLiteral("t"), refused.completion());
    QVERIFY(refused.wait());
    QCOMPARE(refused.result->error().code(), Error::Code::unknownDevice);
}

void tst_NetworkService::verificationCodeMustBeUtf8()
{
    m_server->route("/iOS/getverification.php", TestHttpServer::answer(200, "Tök-42\n", "text/plain"));
    Capture<QString> good;
    NetworkService::shared().getVerificationCode(good.completion());
    QVERIFY(good.wait());
    QCOMPARE(good.result->value(), QStringLiteral("Tök-42\n"));

    m_server->route("/iOS/getverification.php", TestHttpServer::answer(200, "ab\xff\xfe", "text/plain"));
    Capture<QString> bad;
    NetworkService::shared().getVerificationCode(bad.completion());
    QVERIFY(bad.wait());
    QCOMPARE(bad.result->error().code(), Error::Code::cannotParseData);
}

void tst_NetworkService::silentServerTimesOut()
{
    NetworkService::shared().setTimeouts(std::chrono::milliseconds(300),
                                         std::chrono::milliseconds(60000),
                                         std::chrono::milliseconds(60000));
    m_server->route("/getuser.json", [](const TestHttpRequest &, QTcpSocket *) {});
    Capture<UserResponse> c;
    NetworkService::shared().getUser(QStringLiteral("e"), std::nullopt, c.completion());
    QVERIFY(c.wait());
    QCOMPARE(c.result->error().code(), Error::Code::generic);
    QCOMPARE(c.result->error().localizedDescription(), QStringLiteral("The request timed out."));
    NetworkService::shared().setTimeouts(std::chrono::milliseconds(60000),
                                         std::chrono::milliseconds(180000),
                                         std::chrono::milliseconds(3600000));
}

void tst_NetworkService::downloadWritesOnlyCompleteAnswers()
{
    const QString folder = m_dir.filePath(QStringLiteral("Downloads/nested"));
    const QString target = folder + QStringLiteral("/Orvex Cloud 2.0.0.pkg");
    const QByteArray package(200000, 'p');

    // Complete answer: missing folders are created and the file holds the body.
    m_server->route("/pkg", TestHttpServer::answer(200, package, "application/octet-stream"));
    Capture<Empty> ok;
    NetworkService::shared().download(QUrl(m_server->origin(true) + QStringLiteral("/pkg")), target, ok.completion());
    QVERIFY(ok.wait());
    QVERIFY(ok.result->isSuccess());
    QFile written(target);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), package);
    written.close();

    // Broken mid-transfer: the earlier file stays as it was, no partial file.
    m_server->route("/pkg", [](const TestHttpRequest &, QTcpSocket *socket) {
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        socket->write(QByteArray(1000, 'x'));
        socket->flush();
        QTimer::singleShot(100, socket, [socket] { socket->disconnectFromHost(); });
    });
    Capture<Empty> broken;
    NetworkService::shared().download(QUrl(m_server->origin(true) + QStringLiteral("/pkg")), target, broken.completion());
    QVERIFY(broken.wait());
    QCOMPARE(broken.result->error().code(), Error::Code::generic);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(), package);
    written.close();

    // An error status is a failure and never lands on disk either.
    m_server->route("/pkg", TestHttpServer::answer(404, "<html>missing</html>", "text/html"));
    const QString fresh = folder + QStringLiteral("/other.pkg");
    Capture<Empty> missing;
    NetworkService::shared().download(QUrl(m_server->origin(true) + QStringLiteral("/pkg")), fresh, missing.completion());
    QVERIFY(missing.wait());
    QCOMPARE(missing.result->error().code(), Error::Code::generic);
    QVERIFY(missing.result->error().localizedDescription().contains(QStringLiteral("404")));
    QVERIFY(!QFile::exists(fresh));

    // Nothing but the one complete file is left in the folder.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("Orvex Cloud 2.0.0.pkg")});
}

void tst_NetworkService::helpDeskStyleRequestCarriesBodyAndHeader()
{
    m_server->route("/api/v2/tickets.json",
                    TestHttpServer::answer(401, R"({"error":"Could not authenticate you"})"));
    QNetworkRequest request(QUrl(m_server->origin(true) + QStringLiteral("/api/v2/tickets.json")));
    request.setRawHeader("Authorization", "Basic abc");
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    Capture<Empty> c;
    const int before = m_server->requests.size();
    NetworkService::shared().sendChecked(request, "POST", R"({"ticket":{}})", c.completion());
    QVERIFY(c.wait());
    // The help desk's own error document is not an envelope: success.
    QVERIFY(c.result->isSuccess());
    const TestHttpRequest &seen = m_server->requests.at(before);
    QCOMPARE(seen.method, QByteArray("POST"));
    QCOMPARE(seen.header("Authorization"), QByteArray("Basic abc"));
    QCOMPARE(seen.body, QByteArray(R"({"ticket":{}})"));
}

QTEST_GUILESS_MAIN(tst_NetworkService)
#include "tst_networkservice.moc"
