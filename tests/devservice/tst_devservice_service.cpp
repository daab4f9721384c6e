// orvex-devservice as a whole: the update check's versions, the help desk's
// refusals, hostile input, and surviving a kill (and a raised password cost).

#include "ServiceCalls.h"

#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The stored password hash of `email`, read with the sqlite3 program.
QString storedHash(const QString &dataDir, const QString &email)
{
    const Run sqlite = run(u"sqlite3"_s,
                           {dataDir + u"/devservice.sqlite3"_s,
                            u"SELECT password_hash FROM accounts WHERE email = '%1';"_s.arg(email)});
    return QString::fromUtf8(sqlite.output).trimmed();
}

} // namespace

class DevServiceServiceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void updateCheck();
    void helpDesk();
    void hostileInput();
    void killedServiceKeepsEverything();

private:
    static bool signedIn(HttpsClient &client, const QString &email, const QString &check)
    {
        return jsonObject(client.get(u"/getuser.json"_s, {{u"user"_s, email}, {u"check"_s, check}}).body)
            .contains(u"user"_s);
    }

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
}

void DevServiceServiceTest::updateCheck()
{
    const auto check = [&](const QString &version, const QString &os = u"linux"_s) {
        return m_client->get(u"/v3/ov/checkupdates/"_s, {{u"version"_s, version}, {u"os"_s, os}}).body;
    };
    // Versions compare as numbers: 2.0.10 < 2.1.0 although "2.0.10" > "2.1.0" as text.
    for (const QString &current : {u"2.1.0"_s, u"2.1"_s, u"2.1.0.0"_s, u"2.10.0"_s, u"3.0.0"_s})
        QCOMPARE(envelopeProblem(check(current), 1), QString());
    for (const QString &bad : {u"two"_s, u"1..2"_s, u""_s, u"1.2.3.4.5"_s, u"-1.0"_s})
        QCOMPARE(envelopeProblem(check(bad), 2), QString());
    QCOMPARE(envelopeProblem(check(u"1.0.1"_s, u"windows"_s), 2), QString());
    const QByteArray offer = check(u"2.0.10"_s);
    QCOMPARE(envelopeProblem(offer, 0, false), QString());
    const QJsonObject status = jsonObject(offer).value(u"status"_s).toObject();
    QCOMPARE(status.value(u"version"_s).toString(), u"2.1.0"_s);
    QCOMPARE(QUrl(status.value(u"name"_s).toString()).path(), u"/downloads/orvex-2.1.0.deb"_s);
}

void DevServiceServiceTest::helpDesk()
{
    const QString path = u"/api/v2/tickets.json"_s;
    const QByteArray ticket = R"({"ticket":{"subject":"Support request from desktop app",)"
                              R"("comment":{"body":" ","uploads":[]},)"
                              R"("requester":{"email":"ann@example.org","locale_id":"1","name":"Unknown"}}})";
    // Without the credential, or with one that only begins like it: the help
    // desk's own 401 document, which is no outcome envelope.
    for (const QByteArray &credential : {QByteArray(), m_config.helpDeskAuthorization.toUtf8() + "x"}) {
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
    // A body nested ten thousand deep, and one too large.
    QCOMPARE(m_client->post(path, QByteArray(10000, '['), authorised).status, 400);
    const HttpAnswer large = m_client->post(path, QByteArray(2 * 1024 * 1024, ' '), authorised);
    QVERIFY(large.status == 413 || large.error != QNetworkReply::NoError);
}

void DevServiceServiceTest::hostileInput()
{
    const QString big(20000, QLatin1Char('a'));
    const QString large(3000, QLatin1Char('b'));
    const QString api = m_config.apiIdentifier;
    const QList<QPair<QString, QueryItems>> requests = {
        {u"/getuser.json"_s, {}},
        {u"/getuser.json"_s, {{u"user"_s, big}, {u"check"_s, big}}},
        {u"/getuser.json"_s, {{u"user"_s, large}, {u"check"_s, large}}},
        {u"/getuser.json"_s, {{u"user"_s, u"a"_s + QChar(0) + u"b"_s}, {u"check"_s, u"\n"_s}}},
        {u"/adduser.json"_s, {{u"check"_s, m_config.signUpCheckValue}}},
        {u"/adddevice.json"_s, {{u"udid"_s, large}, {u"check"_s, m_config.serviceCheckValue}}},
        {u"/portableapi/portable.php"_s, {}},
        {u"/portableapi/portable.php"_s, {{u"api"_s, u"rm -rf"_s}, {u"ApiID"_s, api}}},
        {u"/portableapi/portable.php"_s,
         {{u"api"_s, u"getdesktopdevicehistoricalusage"_s},
          {u"ApiID"_s, api},
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

    // Plain text on the TLS port, and a handshake abandoned half way.
    for (const QByteArray &bytes : {QByteArray("GET /getuser.json HTTP/1.1\r\nHost: x\r\n\r\n"),
                                    QByteArray::fromHex("16030100c8010000c40303")}) {
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, quint16(m_service->port()));
        QVERIFY(socket.waitForConnected(60000));
        socket.write(bytes);
        socket.waitForBytesWritten(2000);
        socket.abort();
    }
    QVERIFY(m_service->isRunning());
    QVERIFY(signedIn(*m_client, m_service->demoEmail(), m_service->demoPassword()));
    // An unknown method is answered (last: the connection it came on is of no
    // further use).
    QVERIFY(m_client->send("BREW", m_client->url(u"/getuser.json"_s)).status > 0);
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

    // Back with the service's own password cost, which an account made at the
    // tests' cheap one gets at its next sign-in (not at a wrong password).
    service = std::make_unique<DevServiceProcess>(dir.path());
    service->useDefaultPasswordCost();
    QVERIFY2(service->start(arguments), qPrintable(service->errors()));
    QCOMPARE(readFile(service->caCertificate()), ca);
    QCOMPARE(service->demoPassword(), demoPassword);
    HttpsClient client(service->origin(), service->caCertificate());
    const QString cheapHash = storedHash(dir.path(), email);
    QVERIFY2(cheapHash.startsWith(u"pbkdf2-sha256$1000$"_s), qPrintable(cheapHash));
    QVERIFY(!signedIn(client, email, u"wrong"_s));
    QCOMPARE(storedHash(dir.path(), email), cheapHash);
    const QJsonObject user
        = jsonObject(client.get(u"/getuser.json"_s, {{u"user"_s, email}, {u"check"_s, u"pw"_s}}).body)
              .value(u"user"_s)
              .toObject();
    const QString hash = storedHash(dir.path(), email);
    QVERIFY2(hash.startsWith(u"pbkdf2-sha256$600000$"_s), qPrintable(hash));
    QVERIFY(signedIn(client, email, u"pw"_s));
    const QJsonArray devices = user.value(u"devices"_s).toArray();
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.at(0).toObject().value(u"udid"_s).toString(), udid);
    QVERIFY(signedIn(client, service->demoEmail(), demoPassword));
    const QJsonArray outbox = QJsonDocument::fromJson(client.get(u"/dev/sms"_s, {{u"to"_s, phone}}).body)
                                  .array();
    QCOMPARE(outbox.size(), 1);
    QCOMPARE(outbox.at(0).toObject().value(u"message"_s).toString(), u"9876"_s);
    QVERIFY(service->stop());
}

QTEST_GUILESS_MAIN(DevServiceServiceTest)
#include "tst_devservice_service.moc"
