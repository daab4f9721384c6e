// The API client's answer handling against a real HTTPS server on loopback:
// transport failure, no body, the error envelope, then the typed record; and
// the error texts in translation.

#include "Capture.h"
#include "TestFiles.h"
#include "TestHttpServer.h"

#include "api/NetworkService.h"
#include "config/Config.h"

#include <QDir>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>

using namespace Orvex;

namespace {

QByteArray envelope(int code, bool error, bool withOpf = true)
{
    return QByteArray(R"({"status":{"code":)") + QByteArray::number(code) + R"(,"command":"c","error":)"
           + (error ? "true" : "false") + (withOpf ? R"(,"opf":"o")" : "")
           + R"(,"version":"v","errorMessage":"ignored"}})";
}

// How one operation ended: the error's code, or -1 with the part of the
// record a test looks at.
struct Answer
{
    int code = -2; // no completion
    QByteArray value;
};

template<typename T, typename Call, typename Value>
Answer await(Call call, Value value)
{
    Capture<T> c;
    call(c.completion());
    if (!c.wait())
        return {};
    if (!c.result->isSuccess())
        return {int(c.result->error().code()), {}};
    return {-1, value(c.result->value())};
}

const QHash<QByteArray, QByteArray> paths{{"getUser", "/getuser.json"},
                                          {"addDevice", "/adddevice.json"},
                                          {"checkUser", "/checkUserAccount.json"},
                                          {"getCert", "/portableapi/portable.php"},
                                          {"getToken", "/portableapi/portable.php"},
                                          {"getVerificationCode", "/iOS/getverification.php"},
                                          {"getDeviceUsage", "/portableapi/portable.php"},
                                          {"checkForUpdates", "/v3/ov/checkupdates/"}};

Answer ask(NetworkService &service, const QByteArray &operation)
{
    const auto nothing = [](const Empty &) { return QByteArray(); };
    if (operation == "getUser")
        // The e-mail, and whether any other member was decoded.
        return await<UserResponse>([&](auto done) { service.getUser(QStringLiteral("e"), std::nullopt, done); },
                                   [](const UserResponse &r) {
                                       const UserModel &u = r.user;
                                       const bool more = u.id || u.name || u.password || u.phoneNumber
                                                         || u.user || u.devices;
                                       return u.email.value_or(QString()).toUtf8()
                                              + (more ? " and more" : "");
                                   });
    if (operation == "addDevice")
        return await<Empty>(
            [&](auto done) { service.addDevice(QStringLiteral("u"), QStringLiteral("e"), done); }, nothing);
    if (operation == "checkUser")
        return await<Empty>([&](auto done) { service.checkUser(QStringLiteral("e@x.io"), done); }, nothing);
    if (operation == "getCert")
        return await<QByteArray>(
            [&](auto done) {
                service.getCert(QStringLiteral("p"), QStringLiteral("u"), QStringLiteral("e"),
                                QStringLiteral("t"), done);
            },
            [](const QByteArray &archive) { return archive; });
    if (operation == "getToken")
        return await<VPNApiResponse::Token>([&](auto done) { service.getToken(done); },
                                            [](const VPNApiResponse::Token &t) {
                                                return t.token.name.toUtf8();
                                            });
    if (operation == "getDeviceUsage")
        // The day figure's kind and text, and which of the lists came.
        return await<DeviceUsageModel>(
            [&](auto done) {
                service.getDeviceUsage(QStringLiteral("u"), QDateTime::currentDateTime(), done);
            },
            [](const DeviceUsageModel &m) {
                const MetadataType &day = m.device_usage.info.Day;
                const char *kinds[] = {"int ", "string ", "double "};
                return kinds[int(day.kind())] + day.text().toUtf8()
                       + (m.device_usage.summary ? " summary" : "")
                       + (m.device_usage.traffic ? " traffic" : "");
            });
    if (operation == "checkForUpdates")
        return await<CheckForUpdatesResponse>(
            [&](auto done) { service.checkForUpdates(QStringLiteral("1.0.1"), done); },
            [](const CheckForUpdatesResponse &r) { return r.status.name.toUtf8(); });
    return await<QString>([&](auto done) { service.getVerificationCode(done); },
                          [](const QString &code) { return code.toUtf8(); });
}

} // namespace

class tst_NetworkService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void unreachableOrUntrustedServerIsGeneric();
    void envelopeDecidesBeforeTheRecord_data();
    void envelopeDecidesBeforeTheRecord();
    void answers_data();
    void answers();
    void silentServerTimesOut();
    void downloadWritesOnlyCompleteAnswers();
    void errorTextsFollowTheTranslation();

private:
    std::unique_ptr<TestHttpServer> m_server;
    Config m_config;
    std::unique_ptr<NetworkService> m_network;
    QTemporaryDir m_dir;
};

void tst_NetworkService::initTestCase()
{
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->port() != 0);
    m_config = Config::parse({}, {}).value();
    m_config.apiBaseURL = m_server->origin(true);
    m_config.caCertificates = {m_server->certificatePath()};
    m_network = std::make_unique<NetworkService>(m_config);
}

void tst_NetworkService::unreachableOrUntrustedServerIsGeneric()
{
    // A port nobody listens on, and a server whose certificate nobody trusts.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    TestHttpServer stranger;
    stranger.route("/getuser.json", TestHttpServer::answer(200, R"({"user":{}})"));

    for (const QString &origin :
         {QStringLiteral("https://127.0.0.1:%1").arg(closedPort), stranger.origin(true)}) {
        Config config = m_config;
        config.apiBaseURL = origin;
        NetworkService service(config);
        Capture<UserResponse> user;
        service.getUser(QStringLiteral("a@b.cc"), QStringLiteral("secret"), user.completion());
        Capture<Empty> check;
        service.checkUser(QStringLiteral("a@b.cc"), check.completion());
        QVERIFY(user.wait() && check.wait());
        QCOMPARE(user.result->error().code(), Error::Code::generic);
        QVERIFY(!user.result->error().localizedDescription().isEmpty());
        // checkUser passes a transport failure on unchanged.
        QCOMPARE(check.result->error().code(), Error::Code::generic);
        QCOMPARE(user.calls, 1);
    }
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
    // Not an envelope: handling goes on with the body, and getUser finds no "user".
    QTest::newRow("error false") << envelope(16, false) << true << int(Error::Code::cannotParseData);
    QTest::newRow("opf missing") << envelope(16, true, false) << true << int(Error::Code::cannotParseData);
    QTest::newRow("error as 1") << QByteArray(
        R"({"status":{"code":16,"command":"c","error":1,"opf":"o","version":"v"}})")
                                << true << int(Error::Code::cannotParseData);
    QTest::newRow("code as text") << QByteArray(
        R"({"status":{"code":"16","command":"c","error":true,"opf":"o","version":"v"}})")
                                  << true << int(Error::Code::cannotParseData);
    QTest::newRow("code fractional") << QByteArray(
        R"({"status":{"code":16.5,"command":"c","error":true,"opf":"o","version":"v"}})")
                                     << true << int(Error::Code::cannotParseData);
}

void tst_NetworkService::envelopeDecidesBeforeTheRecord()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, addDeviceSucceeds);
    QFETCH(int, expected);
    m_server->route("/getuser.json", TestHttpServer::answer(200, body));
    m_server->route("/adddevice.json", TestHttpServer::answer(200, body));
    QCOMPARE(ask(*m_network, "getUser").code, expected);
    QCOMPARE(ask(*m_network, "addDevice").code, addDeviceSucceeds ? -1 : expected);
}

// Whatever the HTTP status, the body decides: no body, an envelope, or a
// record decoded strictly (checkUser succeeds only on "no such user").
void tst_NetworkService::answers_data()
{
    QTest::addColumn<QByteArray>("operation");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<int>("expected"); // -1: success with `value`
    QTest::addColumn<QByteArray>("value");
    const int parse = int(Error::Code::cannotParseData);
    QByteArray archive;
    for (int i = 0; i < 3000; ++i)
        archive.append(char(i * 7 % 256));
    archive[0] = '\0';

    // Rows answered as JSON unless they say otherwise.
    const auto row = [](const char *tag, const char *operation, int status, const QByteArray &body,
                        int expected, const QByteArray &value = {},
                        const QByteArray &type = "application/json") {
        QTest::newRow(tag) << QByteArray(operation) << status << body << type << expected << value;
    };
    row("204 carries no body", "addDevice", 204, {}, int(Error::Code::emptyResponse));
    // A declared body of zero bytes is a body, and no envelope.
    row("empty body, nothing expected", "addDevice", 200, {}, -1);
    row("empty body, a record expected", "getUser", 200, {}, parse);
    row("error page", "getUser", 500, "<html><body>Internal Server Error</body></html>", parse, {},
        "text/html");
    row("record under 404", "getUser", 404, R"({"user":{"email":"e@x.io"}})", -1, "e@x.io");
    row("envelope under 401", "getUser", 401, envelope(16, true), int(Error::Code::userNotExists));

    row("any non-envelope body", "checkUser", 200, "ok", int(Error::Code::userAlreadyExists));
    row("account does not exist", "checkUser", 200, envelope(16, true), -1);
    row("other envelope passed on", "checkUser", 200, envelope(6, true), int(Error::Code::invalidPassword));

    const auto user = [&](const char *tag, const QByteArray &body, int expected) {
        row(tag, "getUser", 200, body, expected);
    };
    user("user empty record", R"({"user":{}})", -1);
    user("user extra members", R"({"user":{"x":1},"more":[1]})", -1);
    user("user id as number", R"({"user":{"id":5}})", parse);
    user("user missing", R"({"account":{}})", parse);
    user("device not object", R"({"user":{"devices":["x"]}})", parse);
    user("devices null", R"({"user":{"devices":null}})", -1);
    user("top level array", R"([{"user":{}}])", parse);
    // Nesting without end, and just within the JSON reader's depth but closed:
    // no record either way.
    QByteArray objects;
    for (int i = 0; i < 200000; ++i)
        objects += "{\"user\":";
    user("200000 open objects", objects, parse);
    user("devices nested 1000 deep",
         "{\"user\":{\"devices\":" + QByteArray(1000, '[') + QByteArray(1000, ']') + "}}", parse);
    user("envelope nested in itself",
         QByteArray(R"({"status":)").repeated(5000) + "1" + QByteArray("}").repeated(5000), parse);
    row("token empty name", "getToken", 200, R"({"token":{"name":""}})", -1);
    row("token name number", "getToken", 200, R"({"token":{"name":12}})", parse);
    // A figure may be text or a number of either kind, nothing else; a
    // required figure missing fails the whole answer.
    const auto usage = [&](const char *tag, const QByteArray &day, const QByteArray &more, int expected,
                           const char *value) {
        row(tag, "getDeviceUsage", 200,
            R"({"device_usage":{"info":{"Day":)" + day
                + R"(,"Month":12,"Year":2026,"Timezone":1.5,"MonthlyUsage":"123","device":"d"})" + more + "}}",
            expected, value);
    };
    usage("day as text", R"("7")", {}, -1, "string 7");
    usage("day as integer", "7", {}, -1, "int 7");
    usage("day below -2^53", "-9007199254740993", {}, -1, "int -9007199254740993");
    usage("day fractional", "7.5", {}, -1, "double 7.5");
    usage("day 1e30", "1e30", {}, -1, "double 1e+30");
    usage("day 2^64", "18446744073709551616", {}, -1, "double 1.8446744073709552e+19");
    usage("day null", "null", {}, parse, "");
    usage("day Boolean", "true", {}, parse, "");
    usage("day object", R"({"a":1})", {}, parse, "");
    usage("day array", "[1]", {}, parse, "");
    usage("summary, traffic null", "6",
          R"(,"summary":[{"average":1,"date":"2026-12-01","usage":"5"}],"traffic":null)", -1,
          "int 6 summary");
    usage("summary figure Boolean", "6", R"(,"summary":[{"average":true,"date":"2026-12-01","usage":1}])",
          parse, "");
    row("usage figure missing", "getDeviceUsage", 200,
        R"({"device_usage":{"info":{"Day":1,"Month":1,"Year":1,"Timezone":0,"device":"d"}}})", parse);
    const auto update = [&](const char *tag, const QByteArray &members, int expected, const char *value) {
        row(tag, "checkForUpdates", 200,
            R"({"status":{"command":"c","opf":"o","error":false,"softwareversion":"2",)" + members + "}}",
            expected, value);
    };
    update("update offered", R"("version":"2.0","name":"https:\/\/x\/p")", -1, "https://x/p");
    update("update without its address", R"("version":"2.0")", parse, "");
    update("update version a number", R"("version":2,"name":"n")", parse, "");

    row("certificate bytes unchanged", "getCert", 200, archive, -1, archive, "application/x-pkcs12");
    row("certificate refused", "getCert", 200, envelope(17, true), int(Error::Code::unknownDevice));
    row("verification code", "getVerificationCode", 200, "Tök-42\n", -1, "Tök-42\n", "text/plain");
    row("verification code not UTF-8", "getVerificationCode", 200, "ab\xff\xfe", parse, {}, "text/plain");
}

void tst_NetworkService::answers()
{
    QFETCH(QByteArray, operation);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, type);
    QFETCH(int, expected);
    QFETCH(QByteArray, value);
    m_server->route(paths.value(operation), TestHttpServer::answer(status, body, type));
    const Answer answer = ask(*m_network, operation);
    QCOMPARE(answer.code, expected);
    QCOMPARE(answer.value, value);
}

void tst_NetworkService::silentServerTimesOut()
{
    m_network->setTimeouts(std::chrono::milliseconds(300), std::chrono::milliseconds(60000),
                           std::chrono::milliseconds(60000));
    m_server->route("/getuser.json", [](const TestHttpRequest &, QTcpSocket *) {});
    Capture<UserResponse> c;
    m_network->getUser(QStringLiteral("e"), std::nullopt, c.completion());
    QVERIFY(c.wait());
    QCOMPARE(c.result->error().code(), Error::Code::generic);
    QCOMPARE(c.result->error().localizedDescription(), QStringLiteral("The request timed out."));
    m_network->setTimeouts(std::chrono::milliseconds(60000), std::chrono::milliseconds(180000),
                           std::chrono::milliseconds(3600000));
}

void tst_NetworkService::downloadWritesOnlyCompleteAnswers()
{
    const QString folder = m_dir.filePath(QStringLiteral("Downloads/nested"));
    const QString target = folder + QStringLiteral("/Orvex Cloud 2.0.0.pkg");
    const QByteArray package(200000, 'p');
    const auto download = [&](const QString &to) {
        Capture<Empty> c;
        m_network->download(QUrl(m_server->origin(true) + QStringLiteral("/pkg")), to,
                            {qint64(1024) * 1024, {}}, c.completion());
        c.wait();
        return c.result; // none when it never completed
    };

    // Complete answer: missing folders are created and the file holds the body.
    m_server->route("/pkg", TestHttpServer::answer(200, package, "application/octet-stream"));
    const auto ok = download(target);
    QVERIFY(ok && ok->isSuccess());
    QCOMPARE(readFile(target), package);

    // Broken mid-transfer: the earlier file stays as it was, no partial file.
    m_server->route("/pkg", [](const TestHttpRequest &, QTcpSocket *socket) {
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        socket->write(QByteArray(1000, 'x'));
        socket->flush();
        QTimer::singleShot(100, socket, [socket] { socket->disconnectFromHost(); });
    });
    const auto broken = download(target);
    QVERIFY(broken);
    QCOMPARE(broken->error().code(), Error::Code::generic);
    QCOMPARE(readFile(target), package);

    // An error status is a failure and never lands on disk either.
    m_server->route("/pkg", TestHttpServer::answer(404, "<html>missing</html>", "text/html"));
    const QString fresh = folder + QStringLiteral("/other.pkg");
    const auto missing = download(fresh);
    QVERIFY(missing);
    QCOMPARE(missing->error().code(), Error::Code::generic);
    QVERIFY(missing->error().localizedDescription().contains(QStringLiteral("404")));
    QVERIFY(!QFile::exists(fresh));

    // Nothing but the one complete file is left in the folder.
    QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("Orvex Cloud 2.0.0.pkg")});
}

void tst_NetworkService::errorTextsFollowTheTranslation()
{
    QTranslator german;
    QVERIFY(german.load(QStringLiteral(":/i18n/orvex_de.qm")));
    QCoreApplication::installTranslator(&german);
    QCOMPARE(Error(Error::Code::unknownDevice).localizedDescription(),
             QStringLiteral("Das Gerät ist nicht bekannt"));
    QCoreApplication::removeTranslator(&german);
    QCOMPARE(Error(Error::Code::unknownDevice).localizedDescription(),
             QStringLiteral("Device does not exists"));
    // A transport failure's own text is shown as it is.
    QCOMPARE(Error::generic(QStringLiteral("Connection refused")).localizedDescription(),
             QStringLiteral("Connection refused"));
}

QTEST_GUILESS_MAIN(tst_NetworkService)
#include "tst_networkservice.moc"
