// Tokens, client certificates and the gateway certificate of orvex-devservice,
// checked with the openssl command line as an outsider would.

#include "ServiceCalls.h"

#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class DevServiceCertificatesTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void archiveOpensAndChainsToTheCa();
    void refusals_data();
    void refusals();
    void tokenServesOneRequestOnly();
    void gatewayCertificate();
    void sharedConfiguration();

private:
    const Orvex::Config &m_config = Orvex::Config::current();
    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
    const QString m_email = u"cert@example.org"_s;
    const QString m_password = u"s3cret+#"_s;
    const QString m_udid = udidFor(u"machine@cert@example.org"_s);
};

void DevServiceCertificatesTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_dir.path() + u"/data"_s);
    QVERIFY2(m_service->start(), qPrintable(m_service->errors()));
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
    QVERIFY(registerAccount(*m_client, m_config, m_email, m_password, m_udid));
}

void DevServiceCertificatesTest::archiveOpensAndChainsToTheCa()
{
    const QString name = m_udid + QLatin1Char('.') + m_config.vpnDomain;
    const QString tokenText = token(*m_client, m_config);
    QVERIFY(!tokenText.isEmpty());
    const HttpAnswer answer = m_client->get(u"/portableapi/portable.php"_s,
                                            certificateQuery(m_config, tokenText, m_password, m_udid,
                                                             m_email));
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.contentType, QByteArray("application/x-pkcs12"));
    const QString archive = writeFile(m_dir.path() + u"/identity.p12"_s, answer.body);
    QVERIFY(!archive.isEmpty());
    const QString pass = u"pass:"_s + m_config.pkcs12Passphrase;

    const Run wrongPass = run(u"openssl"_s,
                              {u"pkcs12"_s, u"-in"_s, archive, u"-passin"_s, u"pass:wrong1"_s, u"-nokeys"_s});
    QVERIFY(wrongPass.exitCode != 0);

    const Run certificate = run(u"openssl"_s, {u"pkcs12"_s, u"-in"_s, archive, u"-passin"_s, pass,
                                               u"-nokeys"_s, u"-clcerts"_s});
    QVERIFY2(certificate.exitCode == 0, certificate.errors.constData());
    const QString certificatePath = writeFile(m_dir.path() + u"/client.crt"_s, certificate.output);

    const Run verify = run(u"openssl"_s, {u"verify"_s, u"-CAfile"_s, m_service->caCertificate(),
                                          u"-purpose"_s, u"sslclient"_s, certificatePath});
    QVERIFY2(verify.exitCode == 0, verify.output + verify.errors);

    const QList<QSslCertificate> parsed = QSslCertificate::fromData(certificate.output);
    QCOMPARE(parsed.size(), 1);
    QCOMPARE(parsed.first().subjectInfo(QSslCertificate::CommonName), QStringList{name});
    const auto altNames = parsed.first().subjectAlternativeNames();
    QCOMPARE(altNames.values(QSsl::DnsEntry), QList<QString>{name});
    QCOMPARE(altNames.size(), 1);
    const Run usage = run(u"openssl"_s, {u"x509"_s, u"-in"_s, certificatePath, u"-noout"_s, u"-ext"_s,
                                         u"extendedKeyUsage"_s});
    QVERIFY(usage.output.contains("TLS Web Client Authentication"));

    // Each request gives a new key.
    const HttpAnswer second = m_client->get(u"/portableapi/portable.php"_s,
                                            certificateQuery(m_config, token(*m_client, m_config), m_password,
                                                             m_udid, m_email));
    QCOMPARE(second.contentType, QByteArray("application/x-pkcs12"));
    QVERIFY(second.body != answer.body);
}

void DevServiceCertificatesTest::refusals_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("code");
    QTest::newRow("wrong ApiID") << u"ApiID"_s << 4;
    QTest::newRow("unknown api") << u"api"_s << 3;
    QTest::newRow("missing token") << u"-token"_s << 2;
    QTest::newRow("made-up token") << u"token"_s << 5;
    QTest::newRow("spent token") << u"spent"_s << 5;
    QTest::newRow("unknown user") << u"Userid"_s << 16;
    QTest::newRow("wrong password") << u"password"_s << 6;
    QTest::newRow("unregistered device") << u"Deviceudid"_s << 17;
    QTest::newRow("another account's device") << u"foreign"_s << 17;
    QTest::newRow("other type") << u"crt_type"_s << 2;
}

void DevServiceCertificatesTest::refusals()
{
    QFETCH(QString, change);
    QFETCH(int, code);
    const QString foreignUdid = udidFor(u"machine@foreign@example.org"_s);
    if (change == "foreign"_L1) {
        registerAccount(*m_client, m_config, u"foreign@example.org"_s, u"pw"_s, foreignUdid);
    }
    QString tokenText = token(*m_client, m_config);
    if (change == "spent"_L1) {
        const HttpAnswer first = m_client->get(u"/portableapi/portable.php"_s,
                                               certificateQuery(m_config, tokenText, m_password, m_udid,
                                                                m_email));
        QCOMPARE(first.contentType, QByteArray("application/x-pkcs12"));
    }
    QueryItems items = certificateQuery(m_config, tokenText, m_password, m_udid, m_email);
    for (auto &[name, value] : items) {
        if (name == change)
            value = name == "api"_L1 ? u"getcertificate"_s : u"x"_s + value;
        if (change == "foreign"_L1 && name == "Deviceudid"_L1)
            value = foreignUdid;
    }
    if (change.startsWith(QLatin1Char('-'))) {
        items.removeIf([&](const QPair<QString, QString> &item) { return item.first == change.mid(1); });
    }
    const HttpAnswer answer = m_client->get(u"/portableapi/portable.php"_s, items);
    QCOMPARE(envelopeProblem(answer.body, code), QString());
}

void DevServiceCertificatesTest::tokenServesOneRequestOnly()
{
    // Several requests race for one token: exactly one gets an archive.
    const QString tokenText = token(*m_client, m_config);
    std::vector<std::unique_ptr<HttpsClient>> clients;
    QList<QNetworkReply *> replies;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate()));
        replies.append(
            clients.back()->start("GET", clients.back()->url(u"/portableapi/portable.php"_s,
                                                             certificateQuery(m_config, tokenText, m_password,
                                                                              m_udid, m_email))));
    }
    int archives = 0;
    int refused = 0;
    for (QNetworkReply *reply : replies) {
        const HttpAnswer answer = HttpsClient::wait(reply);
        if (answer.contentType == "application/x-pkcs12")
            ++archives;
        else if (envelopeProblem(answer.body, 5).isEmpty())
            ++refused;
    }
    QCOMPARE(archives, 1);
    QCOMPARE(refused, 3);
}

void DevServiceCertificatesTest::gatewayCertificate()
{
    const QByteArray caBefore = readFile(m_service->caCertificate());
    QVERIFY(!caBefore.isEmpty());
    const QString certificatePath = m_dir.path() + u"/gateway.crt"_s;
    const QString keyPath = m_dir.path() + u"/gateway.key"_s;
    QProcess tool;
    tool.start(DevServiceProcess::binary(),
               {u"issue-gateway-cert"_s, u"--data"_s, m_service->dataDir(), u"--host"_s, u"vpn.orvex.test"_s,
                u"--host"_s, u"10.9.0.1"_s, u"--out-cert"_s, certificatePath, u"--out-key"_s, keyPath});
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitCode(), 0);

    QCOMPARE(readFile(m_service->caCertificate()), caBefore);
    const Run verify = run(u"openssl"_s, {u"verify"_s, u"-CAfile"_s, m_service->caCertificate(),
                                          u"-purpose"_s, u"sslserver"_s, certificatePath});
    QVERIFY2(verify.exitCode == 0, verify.output + verify.errors);

    const QList<QSslCertificate> parsed = QSslCertificate::fromPath(certificatePath);
    QCOMPARE(parsed.size(), 1);
    QCOMPARE(parsed.first().subjectInfo(QSslCertificate::CommonName), QStringList{u"vpn.orvex.test"_s});
    const auto altNames = parsed.first().subjectAlternativeNames();
    QCOMPARE(altNames.values(QSsl::DnsEntry), QList<QString>{u"vpn.orvex.test"_s});
    QCOMPARE(altNames.values(QSsl::IpAddressEntry), QList<QString>{u"10.9.0.1"_s});

    struct stat keyStat;
    QCOMPARE(::stat(keyPath.toLocal8Bit().constData(), &keyStat), 0);
    QCOMPARE(keyStat.st_mode & 0777, 0600u);
    const Run keyMatches = run(u"openssl"_s, {u"pkey"_s, u"-in"_s, keyPath, u"-pubout"_s});
    const Run certificateKey = run(u"openssl"_s,
                                   {u"x509"_s, u"-in"_s, certificatePath, u"-noout"_s, u"-pubkey"_s});
    QCOMPARE(keyMatches.output, certificateKey.output);

    // A name that could smuggle a second entry into the certificate is refused.
    tool.start(DevServiceProcess::binary(),
               {u"issue-gateway-cert"_s, u"--data"_s, m_service->dataDir(), u"--host"_s,
                u"a.test,DNS:evil.test"_s, u"--out-cert"_s, certificatePath, u"--out-key"_s, keyPath});
    QVERIFY(tool.waitForFinished(60000));
    QVERIFY(tool.exitCode() != 0);
}

void DevServiceCertificatesTest::sharedConfiguration()
{
    // Every constant the service shares with the client comes from ORVEX_CONFIG.
    QTemporaryDir dir;
    const QByteArray overrides = R"({
        "apiIdentifier": "0123456789abcdefghijklmnopqrstuv",
        "serviceCheckValue": "Zq9+&#x=",
        "signUpCheckValue": "ABC123",
        "pkcs12Passphrase": "Pw+9 x",
        "vpnDomain": "tunnel.example.net"
    })";
    const QString configPath = writeFile(dir.path() + u"/config.json"_s, overrides);
    QString error;
    const auto config = Orvex::Config::parse(overrides, configPath, &error);
    QVERIFY2(config, qPrintable(error));

    DevServiceProcess service(dir.path() + u"/data"_s);
    QVERIFY2(service.start({}, configPath), qPrintable(service.errors()));
    HttpsClient client(service.origin(), service.caCertificate());
    const QString udid = udidFor(u"shared"_s);
    QVERIFY(registerAccount(client, *config, u"shared@example.org"_s, u"pw"_s, udid));
    // The built-in values no longer open anything.
    QVERIFY(!registerAccount(client, m_config, u"builtin@example.org"_s, u"pw"_s, udidFor(u"builtin"_s)));
    QVERIFY(token(client, m_config).isEmpty());

    const HttpAnswer answer = client.get(u"/portableapi/portable.php"_s,
                                         certificateQuery(*config, token(client, *config), u"pw"_s, udid,
                                                          u"shared@example.org"_s));
    QCOMPARE(answer.contentType, QByteArray("application/x-pkcs12"));
    const QString archive = writeFile(dir.path() + u"/shared.p12"_s, answer.body);
    const Run certificate = run(u"openssl"_s,
                                {u"pkcs12"_s, u"-in"_s, archive, u"-passin"_s,
                                 u"pass:"_s + config->pkcs12Passphrase, u"-nokeys"_s, u"-clcerts"_s});
    QVERIFY2(certificate.exitCode == 0, certificate.errors.constData());
    const QList<QSslCertificate> parsed = QSslCertificate::fromData(certificate.output);
    QCOMPARE(parsed.size(), 1);
    QCOMPARE(parsed.first().subjectInfo(QSslCertificate::CommonName),
             QStringList{udid + u".tunnel.example.net"_s});
    QVERIFY(service.stop());
}

QTEST_GUILESS_MAIN(DevServiceCertificatesTest)
#include "tst_devservice_certificates.moc"
