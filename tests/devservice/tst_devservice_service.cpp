// orvex-devservice as a whole: updates, the help desk, faults, hostile input,
// surviving a kill, and several clients at once.

#include "ServiceCalls.h"

#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

class DevServiceServiceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void updateCheck();
    void helpDesk();
    void faults();
    void hostileInput();
    void killedServiceKeepsEverything();

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
    QVERIFY2(m_service->start({u"--dev-routes"_s, u"--seed-demo"_s, u"--latest-version"_s, u"2.1.0"_s}),
             qPrintable(m_service->errors()));
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
    QVERIFY(!m_service->demoEmail().isEmpty());
    QVERIFY(!m_service->demoPassword().isEmpty());
}

HttpAnswer DevServiceServiceTest::getUser(HttpsClient &client, const QString &email, const QString &check)
{
    return client.get(u"/getuser.json"_s, {{u"user"_s, email}, {u"check"_s, check}});
}

HttpAnswer DevServiceServiceTest::setFault(const QByteArray &spec)
{
    return m_client->post(u"/dev/faults"_s, spec);
}

void DevServiceServiceTest::updateCheck()
{
    const auto check = [&](const QString &version, const QString &os) {
        return m_client->get(u"/v3/ov/checkupdates/"_s, {{u"version"_s, version}, {u"os"_s, os}}).body;
    };
    const QString onLinux = u"linux"_s;
    for (const QString &current : {u"2.1.0"_s, u"2.1"_s, u"2.1.0.0"_s, u"2.10.0"_s, u"3.0.0"_s}) {
        QCOMPARE(envelopeProblem(check(current, onLinux), 1), QString());
    }
    for (const QString &bad : {u"two"_s, u"1..2"_s, u""_s, u"1.2.3.4.5"_s, u"-1.0"_s}) {
        QCOMPARE(envelopeProblem(check(bad, onLinux), 2), QString());
    }
    QCOMPARE(envelopeProblem(check(u"1.0.1"_s, u"windows"_s), 2), QString());

    // Older (numerically: 2.0.10 < 2.1.0 although "2.0.10" > "2.1.0" as text).
    const QByteArray offer = check(u"2.0.10"_s, onLinux);
    QCOMPARE(envelopeProblem(offer, 0, false), QString());
    const QJsonObject status = jsonObject(offer).value(u"status"_s).toObject();
    QCOMPARE(status.value(u"version"_s).toString(), u"2.1.0"_s);
    const QUrl download(status.value(u"name"_s).toString());
    QCOMPARE(download.path(), u"/downloads/orvex-2.1.0.deb"_s);
}

void DevServiceServiceTest::helpDesk()
{
    const QString path = u"/api/v2/tickets.json"_s;
    const QByteArray ticket = R"({"ticket":{"subject":"Support request from desktop app",)"
                              R"("comment":{"body":" ","uploads":[]},)"
                              R"("requester":{"email":"ann@example.org","locale_id":"1","name":"Unknown"}}})";
    // Without or with a wrong credential: the help desk's own 401 document,
    // which is no outcome envelope.
    for (const QByteArray &credential : {QByteArray(), QByteArray("Basic d3Jvbmc6d3Jvbmc="),
                                         m_config.helpDeskAuthorization.toUtf8() + "x"}) {
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!credential.isEmpty())
            headers.append({"Authorization", credential});
        const HttpAnswer answer = m_client->post(path, ticket, headers);
        QCOMPARE(answer.status, 401);
        QVERIFY(jsonObject(answer.body).value(u"error"_s).isString());
        QVERIFY(!jsonObject(answer.body).contains(u"status"_s));
    }
    const QList<QPair<QByteArray, QByteArray>> authorised = {
        {"Authorization", m_config.helpDeskAuthorization.toUtf8()}};
    QCOMPARE(m_client->post(path, R"({"ticket":{"comment":{"body":""}}})", authorised).status, 422);
    QCOMPARE(m_client->post(path, "not json", authorised).status, 400);
    QCOMPARE(m_client->get(path).status, 405);
}

void DevServiceServiceTest::faults()
{
    // Each kind of fault is met by the client's tests; here the ones refused.
    for (const QByteArray &bad : {QByteArray(R"({"path":"/getuser.json","fault":"explode"})"),
                                  QByteArray(R"({"path":"getuser.json","fault":"close"})"),
                                  QByteArray(R"({"path":"/dev/sms","fault":"close"})"),
                                  QByteArray(R"({"path":"/getuser.json","fault":"delay","ms":-5})"),
                                  QByteArray(R"({"path":"/getuser.json","fault":"close","times":0})"),
                                  QByteArray(R"([1,2])"), QByteArray("{")}) {
        QCOMPARE(setFault(bad).status, 400);
    }
    QCOMPARE(QJsonDocument::fromJson(m_client->get(u"/dev/faults"_s).body).array().size(), 0);
}

void DevServiceServiceTest::hostileInput()
{
    const QString big(20000, QLatin1Char('a'));
    const QString large(3000, QLatin1Char('b'));
    const QList<QPair<QString, QueryItems>> requests = {
        {u"/getuser.json"_s, {}},
        {u"/getuser.json"_s, {{u"user"_s, big}, {u"check"_s, big}}},
        {u"/getuser.json"_s, {{u"user"_s, large}, {u"check"_s, large}}},
        {u"/getuser.json"_s, {{u"user"_s, u"a"_s + QChar(0) + u"b"_s}, {u"check"_s, u"\n"_s}}},
        {u"/adduser.json"_s, {{u"check"_s, m_config.signUpCheckValue}}},
        {u"/adddevice.json"_s, {{u"udid"_s, large}, {u"check"_s, m_config.serviceCheckValue}}},
        {u"/portableapi/portable.php"_s, {}},
        {u"/portableapi/portable.php"_s, {{u"api"_s, u"rm -rf"_s}, {u"ApiID"_s, m_config.apiIdentifier}}},
        {u"/portableapi/portable.php"_s,
         {{u"api"_s, u"getdesktopdevicehistoricalusage"_s},
          {u"ApiID"_s, m_config.apiIdentifier},
          {u"deviceudid"_s, u"x"_s},
          {u"tz"_s, u"99999999999999999999"_s},
          {u"y"_s, u"-1"_s},
          {u"m"_s, u"0"_s},
          {u"d"_s, u"0"_s}}},
        {u"/iOS/lookup.php"_s, {{u"Number"_s, large}}},
        {u"/iOS/sms_orvex.php"_s,
         {{u"ToNumbe"_s, u"+33612345678"_s}, {u"toMsg"_s, big}, {u"verify"_s, u"x"_s}}},
        {u"/v3/ov/checkupdates/"_s, {{u"version"_s, u"99999999999.1"_s}, {u"os"_s, u"linux"_s}}},
        {u"/no/such/thing.php"_s, {{u"a"_s, u"b"_s}}},
        {u"/dev/sms"_s, {{u"limit"_s, u"-3"_s}}},
    };
    for (const auto &[path, items] : requests) {
        const HttpAnswer answer = m_client->get(path, items);
        QVERIFY2(answer.finished && answer.status > 0, qPrintable(path));
        // Whatever was wrong, the answer is JSON (the HTTP layer's own refusals included).
        QVERIFY2(!QJsonDocument::fromJson(answer.body).isNull(), answer.body.left(200).constData());
    }
    // Bytes that are not UTF-8, straight in the query.
    QUrl raw = m_client->url(u"/getuser.json"_s);
    raw.setQuery(u"user=%FF%FE&check=%C0%80"_s, QUrl::StrictMode);
    QCOMPARE(envelopeProblem(m_client->send("GET", raw).body, 2), QString());
    QCOMPARE(m_client->send("BREW", m_client->url(u"/getuser.json"_s)).status > 0, true);

    // A help-desk body nested ten thousand deep, and one too large.
    const QList<QPair<QByteArray, QByteArray>> authorised = {
        {"Authorization", m_config.helpDeskAuthorization.toUtf8()}};
    HttpAnswer answer = m_client->post(u"/api/v2/tickets.json"_s, QByteArray(10000, '['), authorised);
    QCOMPARE(answer.status, 400);
    answer = m_client->post(u"/api/v2/tickets.json"_s, QByteArray(2 * 1024 * 1024, ' '), authorised);
    QVERIFY(answer.status == 413 || answer.error != QNetworkReply::NoError);

    // Plain text on the TLS port, and a handshake abandoned half way.
    QTcpSocket plain;
    plain.connectToHost(u"127.0.0.1"_s, quint16(m_service->port()));
    QVERIFY(plain.waitForConnected(60000));
    plain.write("GET /getuser.json HTTP/1.1\r\nHost: x\r\n\r\n");
    plain.waitForReadyRead(2000);
    plain.abort();
    QTcpSocket half;
    half.connectToHost(u"127.0.0.1"_s, quint16(m_service->port()));
    QVERIFY(half.waitForConnected(60000));
    half.write(QByteArray::fromHex("16030100c8010000c40303"));
    half.abort();

    QVERIFY(m_service->isRunning());
    QVERIFY(jsonObject(getUser(*m_client, m_service->demoEmail(), m_service->demoPassword()).body)
                .contains(u"user"_s));
}

void DevServiceServiceTest::killedServiceKeepsEverything()
{
    QTemporaryDir dir;
    const QStringList arguments = {u"--dev-routes"_s, u"--seed-demo"_s};
    auto service = std::make_unique<DevServiceProcess>(dir.path());
    QVERIFY2(service->start(arguments), qPrintable(service->errors()));
    const QString demoPassword = service->demoPassword();
    const QByteArray ca = readFile(service->caCertificate());
    QVERIFY(!ca.isEmpty());
    const QString email = u"survivor@example.org"_s;
    const QString udid = udidFor(u"survivor"_s);
    const QString phone = u"+4915123456789"_s;
    {
        HttpsClient client(service->origin(), service->caCertificate());
        QVERIFY(registerAccount(client, m_config, email, u"pw"_s, udid));
        const QString verify = QString::fromUtf8(client.get(u"/iOS/getverification.php"_s).body);
        client.get(u"/iOS/sms_orvex.php"_s,
                   {{u"ToNumbe"_s, phone}, {u"toMsg"_s, u"9876"_s}, {u"verify"_s, verify}});
    }
    service->kill(); // no chance to flush anything

    service = std::make_unique<DevServiceProcess>(dir.path());
    QVERIFY2(service->start(arguments), qPrintable(service->errors()));
    QCOMPARE(readFile(service->caCertificate()), ca);
    QCOMPARE(service->demoPassword(), demoPassword);
    HttpsClient client(service->origin(), service->caCertificate());
    const QJsonArray devices = jsonObject(getUser(client, email, u"pw"_s).body)
                                   .value(u"user"_s)
                                   .toObject()
                                   .value(u"devices"_s)
                                   .toArray();
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.at(0).toObject().value(u"udid"_s).toString(), udid);
    QVERIFY(jsonObject(getUser(client, service->demoEmail(), demoPassword).body).contains(u"user"_s));
    const QJsonArray outbox = QJsonDocument::fromJson(client.get(u"/dev/sms"_s, {{u"to"_s, phone}}).body)
                                  .array();
    QCOMPARE(outbox.size(), 1);
    QCOMPARE(outbox.at(0).toObject().value(u"message"_s).toString(), u"9876"_s);
    QVERIFY(service->stop());
}

QTEST_GUILESS_MAIN(DevServiceServiceTest)
#include "tst_devservice_service.moc"
