// orvex-devservice as a whole: updates, the help desk, faults, hostile input,
// surviving a kill, and several clients at once.

#include "DevServiceProcess.h"
#include "ServiceAnswers.h"

#include "config/Config.h"

#include <QFile>
#include <QJsonArray>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class DevServiceServiceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void updateCheck();
    void helpDesk();
    void faults();
    void faultForOneCommand();
    void hostileInput();
    void killedServiceKeepsEverything();
    void concurrentClients();

private:
    HttpAnswer getUser(HttpsClient &client, const QString &email, const QString &check);
    HttpAnswer setFault(const QByteArray &spec);

    const Orvex::Config &m_config = Orvex::Config::current();
    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
};

void DevServiceServiceTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_dir.path());
    QVERIFY2(m_service->start({QStringLiteral("--dev-routes"),
                               QStringLiteral("--seed-demo"),
                               QStringLiteral("--latest-version"),
                               QStringLiteral("2.1.0")}),
             qPrintable(m_service->errors()));
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
    QVERIFY(!m_service->demoEmail().isEmpty());
    QVERIFY(!m_service->demoPassword().isEmpty());
}

HttpAnswer DevServiceServiceTest::getUser(HttpsClient &client,
                                          const QString &email,
                                          const QString &check)
{
    return client.get(QStringLiteral("/getuser.json"),
                      {{QStringLiteral("user"), email}, {QStringLiteral("check"), check}});
}

HttpAnswer DevServiceServiceTest::setFault(const QByteArray &spec)
{
    return m_client->post(QStringLiteral("/dev/faults"), spec);
}

void DevServiceServiceTest::updateCheck()
{
    const auto check = [&](const QString &version, const QString &os) {
        return m_client
                ->get(QStringLiteral("/v3/ov/checkupdates/"),
                      {{QStringLiteral("version"), version}, {QStringLiteral("os"), os}})
                .body;
    };
    const QString onLinux = QStringLiteral("linux");
    for (const QString &current : {QStringLiteral("2.1.0"),
                                   QStringLiteral("2.1"),
                                   QStringLiteral("2.1.0.0"),
                                   QStringLiteral("2.10.0"),
                                   QStringLiteral("3.0.0")}) {
        QCOMPARE(envelopeProblem(check(current, onLinux), 1), QString());
    }
    for (const QString &bad : {QStringLiteral("two"),
                               QStringLiteral("1..2"),
                               QStringLiteral(""),
                               QStringLiteral("1.2.3.4.5"),
                               QStringLiteral("-1.0")}) {
        QCOMPARE(envelopeProblem(check(bad, onLinux), 2), QString());
    }
    QCOMPARE(envelopeProblem(check(QStringLiteral("1.0.1"), QStringLiteral("windows")), 2),
             QString());

    // Older (numerically: 2.0.10 < 2.1.0 although "2.0.10" > "2.1.0" as text).
    const QByteArray offer = check(QStringLiteral("2.0.10"), onLinux);
    QCOMPARE(envelopeProblem(offer, 0, false), QString());
    const QJsonObject status = jsonObject(offer).value(QStringLiteral("status")).toObject();
    QCOMPARE(status.value(QStringLiteral("version")).toString(), QStringLiteral("2.1.0"));
    QVERIFY(status.value(QStringLiteral("softwareversion")).isString());
    const QUrl download(status.value(QStringLiteral("name")).toString());
    QCOMPARE(download.scheme(), QStringLiteral("https"));
    QCOMPARE(download.port(), m_service->port());
    QCOMPARE(download.path(), QStringLiteral("/downloads/orvex-2.1.0.deb"));

    const HttpAnswer package = m_client->send("GET", download);
    QCOMPARE(package.status, 200);
    QVERIFY(package.body.startsWith("!<arch>\ndebian-binary"));
    const QJsonObject mac = jsonObject(check(QStringLiteral("1.0"), QStringLiteral("mac")))
                                    .value(QStringLiteral("status"))
                                    .toObject();
    QVERIFY(mac.value(QStringLiteral("name"))
                    .toString()
                    .endsWith(QStringLiteral("/downloads/orvex-2.1.0.pkg")));
    QCOMPARE(m_client->get(QStringLiteral("/downloads/orvex-9.9.9.deb")).status, 404);
}

void DevServiceServiceTest::helpDesk()
{
    const QByteArray ticket
            = R"({"ticket":{"subject":"Support request from desktop app",)"
              R"("comment":{"body":" ","uploads":[]},)"
              R"("requester":{"email":"ann@example.org","locale_id":"1","name":"Unknown"}}})";
    // Without or with a wrong credential: the help desk's own 401 document,
    // which is no outcome envelope.
    for (const QByteArray &credential : {QByteArray(),
                                         QByteArray("Basic d3Jvbmc6d3Jvbmc="),
                                         m_config.helpDeskAuthorization.toUtf8() + "x"}) {
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!credential.isEmpty())
            headers.append({"Authorization", credential});
        const HttpAnswer answer = m_client->post(QStringLiteral("/api/v2/tickets.json"),
                                                 ticket,
                                                 headers);
        QCOMPARE(answer.status, 401);
        QVERIFY(jsonObject(answer.body).value(QStringLiteral("error")).isString());
        QVERIFY(!jsonObject(answer.body).contains(QStringLiteral("status")));
    }
    const QList<QPair<QByteArray, QByteArray>> authorised = {
            {"Authorization", m_config.helpDeskAuthorization.toUtf8()}};
    HttpAnswer answer = m_client->post(QStringLiteral("/api/v2/tickets.json"), ticket, authorised);
    QCOMPARE(answer.status, 201);
    const qint64 id = jsonObject(answer.body)
                              .value(QStringLiteral("ticket"))
                              .toObject()
                              .value(QStringLiteral("id"))
                              .toInteger();
    QVERIFY(id > 0);

    const QJsonArray stored
            = QJsonDocument::fromJson(m_client->get(QStringLiteral("/dev/tickets")).body).array();
    QVERIFY(!stored.isEmpty());
    const QJsonObject newest = stored.at(0).toObject();
    QCOMPARE(newest.value(QStringLiteral("id")).toInteger(), id);
    QCOMPARE(newest.value(QStringLiteral("body")).toString(), QStringLiteral(" "));
    QCOMPARE(newest.value(QStringLiteral("requester"))
                     .toObject()
                     .value(QStringLiteral("email"))
                     .toString(),
             QStringLiteral("ann@example.org"));
    QCOMPARE(newest.value(QStringLiteral("document")).toObject(), jsonObject(ticket));

    answer = m_client->post(QStringLiteral("/api/v2/tickets.json"),
                            R"({"ticket":{"comment":{"body":""}}})",
                            authorised);
    QCOMPARE(answer.status, 422);
    answer = m_client->post(QStringLiteral("/api/v2/tickets.json"), "not json", authorised);
    QCOMPARE(answer.status, 400);
    QCOMPARE(m_client->get(QStringLiteral("/api/v2/tickets.json")).status, 405);
}

void DevServiceServiceTest::faults()
{
    const QString email = m_service->demoEmail();
    const QString password = m_service->demoPassword();
    QVERIFY(jsonObject(getUser(*m_client, email, password).body).contains(QStringLiteral("user")));

    QCOMPARE(setFault(R"({"path":"/getuser.json","fault":"close"})").status, 200);
    HttpAnswer answer = getUser(*m_client, email, password);
    QCOMPARE(answer.error, QNetworkReply::RemoteHostClosedError);
    QCOMPARE(answer.status, 0);

    QCOMPARE(setFault(R"({"path":"/getuser.json","fault":"html500"})").status, 200);
    answer = getUser(*m_client, email, password);
    QCOMPARE(answer.status, 500);
    QVERIFY(answer.contentType.startsWith("text/html"));
    QVERIFY(answer.body.contains("<html>"));

    QCOMPARE(setFault(R"({"path":"/getuser.json","fault":"nobody"})").status, 200);
    answer = getUser(*m_client, email, password);
    QCOMPARE(answer.status, 204);
    QCOMPARE(answer.error, QNetworkReply::NoError);
    QVERIFY(answer.body.isEmpty());

    QCOMPARE(setFault(R"({"path":"/getuser.json","fault":"truncate"})").status, 200);
    answer = getUser(*m_client, email, password);
    QVERIFY(answer.error != QNetworkReply::NoError);
    QVERIFY(QJsonDocument::fromJson(answer.body).isNull());

    // A delay still gives the real answer; the fault counts its hits.
    QCOMPARE(setFault(R"({"path":"/getuser.json","fault":"delay","ms":300,"times":2})").status, 200);
    for (int i = 0; i < 3; ++i)
        QVERIFY(jsonObject(getUser(*m_client, email, password).body)
                        .contains(QStringLiteral("user")));
    QCOMPARE(QJsonDocument::fromJson(m_client->get(QStringLiteral("/dev/faults")).body)
                     .array()
                     .size(),
             0);

    // A fault for one hit only.
    QCOMPARE(setFault(R"({"path":"/getuser.json","fault":"nobody","times":1})").status, 200);
    QCOMPARE(getUser(*m_client, email, password).status, 204);
    QCOMPARE(getUser(*m_client, email, password).status, 200);

    for (const QByteArray &bad :
         {QByteArray(R"({"path":"/getuser.json","fault":"explode"})"),
          QByteArray(R"({"path":"getuser.json","fault":"close"})"),
          QByteArray(R"({"path":"/dev/sms","fault":"close"})"),
          QByteArray(R"({"path":"/getuser.json","fault":"delay","ms":-5})"),
          QByteArray(R"({"path":"/getuser.json","fault":"close","times":0})"),
          QByteArray(R"([1,2])"),
          QByteArray("{")}) {
        QCOMPARE(setFault(bad).status, 400);
    }
    QCOMPARE(m_client->send("DELETE", m_client->url(QStringLiteral("/dev/faults"))).status, 200);
    QCOMPARE(getUser(*m_client, email, password).status, 200);
}

void DevServiceServiceTest::faultForOneCommand()
{
    // The command endpoint serves several commands; a fault may hit just one.
    QCOMPARE(setFault(R"({"path":"/portableapi/portable.php","api":"getcert","fault":"html500"})")
                     .status,
             200);
    const HttpAnswer token = m_client->get(QStringLiteral("/portableapi/portable.php"),
                                           {{QStringLiteral("api"), QStringLiteral("gen_token")},
                                            {QStringLiteral("ApiID"), m_config.apiIdentifier}});
    QCOMPARE(token.status, 200);
    QVERIFY(jsonObject(token.body).contains(QStringLiteral("token")));
    const HttpAnswer certificate = m_client->get(QStringLiteral("/portableapi/portable.php"),
                                                 {{QStringLiteral("api"), QStringLiteral("getcert")},
                                                  {QStringLiteral("ApiID"),
                                                   m_config.apiIdentifier}});
    QCOMPARE(certificate.status, 500);
    QCOMPARE(m_client->send("DELETE", m_client->url(QStringLiteral("/dev/faults"))).status, 200);
}

void DevServiceServiceTest::hostileInput()
{
    const QString big(20000, QLatin1Char('a'));
    const QString large(3000, QLatin1Char('b'));
    const QList<QPair<QString, QueryItems>> requests = {
            {QStringLiteral("/getuser.json"), {}},
            {QStringLiteral("/getuser.json"),
             {{QStringLiteral("user"), big}, {QStringLiteral("check"), big}}},
            {QStringLiteral("/getuser.json"),
             {{QStringLiteral("user"), large}, {QStringLiteral("check"), large}}},
            {QStringLiteral("/getuser.json"),
             {{QStringLiteral("user"), QStringLiteral("a") + QChar(0) + QStringLiteral("b")},
              {QStringLiteral("check"), QStringLiteral("\n")}}},
            {QStringLiteral("/adduser.json"),
             {{QStringLiteral("check"), m_config.signUpCheckValue}}},
            {QStringLiteral("/adddevice.json"),
             {{QStringLiteral("udid"), large},
              {QStringLiteral("check"), m_config.serviceCheckValue}}},
            {QStringLiteral("/portableapi/portable.php"), {}},
            {QStringLiteral("/portableapi/portable.php"),
             {{QStringLiteral("api"), QStringLiteral("rm -rf")},
              {QStringLiteral("ApiID"), m_config.apiIdentifier}}},
            {QStringLiteral("/portableapi/portable.php"),
             {{QStringLiteral("api"), QStringLiteral("getdesktopdevicehistoricalusage")},
              {QStringLiteral("ApiID"), m_config.apiIdentifier},
              {QStringLiteral("deviceudid"), QStringLiteral("x")},
              {QStringLiteral("tz"), QStringLiteral("99999999999999999999")},
              {QStringLiteral("y"), QStringLiteral("-1")},
              {QStringLiteral("m"), QStringLiteral("0")},
              {QStringLiteral("d"), QStringLiteral("0")}}},
            {QStringLiteral("/iOS/lookup.php"), {{QStringLiteral("Number"), large}}},
            {QStringLiteral("/iOS/sms_orvex.php"),
             {{QStringLiteral("ToNumbe"), QStringLiteral("+33612345678")},
              {QStringLiteral("toMsg"), big},
              {QStringLiteral("verify"), QStringLiteral("x")}}},
            {QStringLiteral("/v3/ov/checkupdates/"),
             {{QStringLiteral("version"), QStringLiteral("99999999999.1")},
              {QStringLiteral("os"), QStringLiteral("linux")}}},
            {QStringLiteral("/no/such/thing.php"), {{QStringLiteral("a"), QStringLiteral("b")}}},
            {QStringLiteral("/dev/sms"), {{QStringLiteral("limit"), QStringLiteral("-3")}}},
    };
    for (const auto &[path, items] : requests) {
        const HttpAnswer answer = m_client->get(path, items);
        QVERIFY2(answer.finished && answer.status > 0, qPrintable(path));
        // Whatever was wrong, the answer is JSON (the HTTP layer's own refusals included).
        QVERIFY2(!QJsonDocument::fromJson(answer.body).isNull(), answer.body.left(200).constData());
    }
    // Bytes that are not UTF-8, straight in the query.
    QUrl raw = m_client->url(QStringLiteral("/getuser.json"));
    raw.setQuery(QStringLiteral("user=%FF%FE&check=%C0%80"), QUrl::StrictMode);
    QCOMPARE(envelopeProblem(m_client->send("GET", raw).body, 2), QString());
    QCOMPARE(m_client->send("BREW", m_client->url(QStringLiteral("/getuser.json"))).status > 0,
             true);

    // A help-desk body nested ten thousand deep, and one too large.
    const QList<QPair<QByteArray, QByteArray>> authorised = {
            {"Authorization", m_config.helpDeskAuthorization.toUtf8()}};
    HttpAnswer answer = m_client->post(QStringLiteral("/api/v2/tickets.json"),
                                       QByteArray(10000, '['),
                                       authorised);
    QCOMPARE(answer.status, 400);
    answer = m_client->post(QStringLiteral("/api/v2/tickets.json"),
                            QByteArray(2 * 1024 * 1024, ' '),
                            authorised);
    QVERIFY(answer.status == 413 || answer.error != QNetworkReply::NoError);

    // Plain text on the TLS port, and a handshake abandoned half way.
    QTcpSocket plain;
    plain.connectToHost(QStringLiteral("127.0.0.1"), quint16(m_service->port()));
    QVERIFY(plain.waitForConnected(60000));
    plain.write("GET /getuser.json HTTP/1.1\r\nHost: x\r\n\r\n");
    plain.waitForReadyRead(2000);
    plain.abort();
    QTcpSocket half;
    half.connectToHost(QStringLiteral("127.0.0.1"), quint16(m_service->port()));
    QVERIFY(half.waitForConnected(60000));
    half.write(QByteArray::fromHex("16030100c8010000c40303"));
    half.abort();

    QVERIFY(m_service->isRunning());
    QVERIFY(jsonObject(getUser(*m_client, m_service->demoEmail(), m_service->demoPassword()).body)
                    .contains(QStringLiteral("user")));
}

void DevServiceServiceTest::killedServiceKeepsEverything()
{
    QTemporaryDir dir;
    const QStringList arguments = {QStringLiteral("--dev-routes"), QStringLiteral("--seed-demo")};
    auto service = std::make_unique<DevServiceProcess>(dir.path());
    QVERIFY2(service->start(arguments), qPrintable(service->errors()));
    const QString demoPassword = service->demoPassword();
    const QByteArray ca = readFile(service->caCertificate());
    QVERIFY(!ca.isEmpty());
    const QString email = QStringLiteral("survivor@example.org");
    const QString udid = udidFor(QStringLiteral("survivor"));
    {
        HttpsClient client(service->origin(), service->caCertificate());
        client.get(QStringLiteral("/adduser.json"),
                   {{QStringLiteral("user"), email},
                    {QStringLiteral("password"), QStringLiteral("pw")},
                    {QStringLiteral("name"), QStringLiteral("S")},
                    {QStringLiteral("email"), email},
                    {QStringLiteral("phoneNumber"), QStringLiteral("+33612345678")},
                    {QStringLiteral("check"), m_config.signUpCheckValue}});
        QCOMPARE(envelopeProblem(client.get(QStringLiteral("/adddevice.json"),
                                            {{QStringLiteral("udid"), udid},
                                             {QStringLiteral("user"), email},
                                             {QStringLiteral("check"), m_config.serviceCheckValue}})
                                         .body,
                                 0,
                                 false),
                 QString());
        const QString verify = QString::fromUtf8(
                client.get(QStringLiteral("/iOS/getverification.php")).body);
        client.get(QStringLiteral("/iOS/sms_orvex.php"),
                   {{QStringLiteral("ToNumbe"), QStringLiteral("+4915123456789")},
                    {QStringLiteral("toMsg"), QStringLiteral("9876")},
                    {QStringLiteral("verify"), verify}});
    }
    // No chance to flush anything.
    service->kill();

    service = std::make_unique<DevServiceProcess>(dir.path());
    QVERIFY2(service->start(arguments), qPrintable(service->errors()));
    QCOMPARE(readFile(service->caCertificate()), ca);
    QCOMPARE(service->demoPassword(), demoPassword);
    HttpsClient client(service->origin(), service->caCertificate());
    const QJsonObject user = jsonObject(getUser(client, email, QStringLiteral("pw")).body)
                                     .value(QStringLiteral("user"))
                                     .toObject();
    QCOMPARE(user.value(QStringLiteral("devices")).toArray().size(), 1);
    QCOMPARE(user.value(QStringLiteral("devices"))
                     .toArray()
                     .at(0)
                     .toObject()
                     .value(QStringLiteral("udid"))
                     .toString(),
             udid);
    QVERIFY(jsonObject(getUser(client, service->demoEmail(), demoPassword).body)
                    .contains(QStringLiteral("user")));
    const QJsonArray outbox = QJsonDocument::fromJson(
                                      client.get(QStringLiteral("/dev/sms"),
                                                 {{QStringLiteral("to"),
                                                   QStringLiteral("+4915123456789")}})
                                              .body)
                                      .array();
    QCOMPARE(outbox.size(), 1);
    QCOMPARE(outbox.at(0).toObject().value(QStringLiteral("message")).toString(),
             QStringLiteral("9876"));
    QVERIFY(service->stop());
}

void DevServiceServiceTest::concurrentClients()
{
    // Four clients, each signing up three accounts and reading them back, all
    // requests of a round in flight together.
    std::vector<std::unique_ptr<HttpsClient>> clients;
    for (int c = 0; c < 4; ++c)
        clients.push_back(
                std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate()));
    const auto emailOf = [](int c, int n) {
        return QStringLiteral("crowd-%1-%2@example.org").arg(c).arg(n);
    };

    QList<QNetworkReply *> replies;
    for (int c = 0; c < 4; ++c) {
        for (int n = 0; n < 3; ++n) {
            replies.append(clients[size_t(c)]->start(
                    "GET",
                    clients[size_t(c)]
                            ->url(QStringLiteral("/adduser.json"),
                                  {{QStringLiteral("user"), emailOf(c, n)},
                                   {QStringLiteral("password"), QStringLiteral("pw-%1").arg(n)},
                                   {QStringLiteral("name"), QStringLiteral("Crowd")},
                                   {QStringLiteral("email"), emailOf(c, n)},
                                   {QStringLiteral("phoneNumber"), QStringLiteral("+33612345678")},
                                   {QStringLiteral("check"), m_config.signUpCheckValue}})));
        }
    }
    for (QNetworkReply *reply : std::as_const(replies)) {
        const HttpAnswer answer = HttpsClient::wait(reply);
        QVERIFY2(jsonObject(answer.body).contains(QStringLiteral("user")), answer.body.constData());
    }
    replies.clear();
    for (int c = 0; c < 4; ++c) {
        for (int n = 0; n < 3; ++n) {
            replies.append(
                    clients[size_t(c)]
                            ->start("GET",
                                    clients[size_t(c)]->url(QStringLiteral("/getuser.json"),
                                                            {{QStringLiteral("user"), emailOf(c, n)},
                                                             {QStringLiteral("check"),
                                                              QStringLiteral("pw-%1").arg(n)}})));
        }
    }
    for (int i = 0; i < replies.size(); ++i) {
        const HttpAnswer answer = HttpsClient::wait(replies[i]);
        QCOMPARE(jsonObject(answer.body)
                         .value(QStringLiteral("user"))
                         .toObject()
                         .value(QStringLiteral("email"))
                         .toString(),
                 emailOf(i / 3, i % 3));
    }
}

QTEST_GUILESS_MAIN(DevServiceServiceTest)
#include "tst_devservice_service.moc"
