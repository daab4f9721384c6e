// Tokens, client certificates and the gateway certificate of orvex-devservice,
// checked with the openssl command line as an outsider would.

#include "DevServiceProcess.h"
#include "ServiceAnswers.h"

#include "config/Config.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

struct Tool
{
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;
};

Tool openssl(const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.start(QStringLiteral("openssl"), arguments);
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(),
            process.readAllStandardError()};
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

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
    // The service of `client`, with `config`'s constants: a token.
    static QString token(HttpsClient &client, const Orvex::Config &config);
    static QueryItems certificateQuery(const Orvex::Config &config,
                                       const QString &token,
                                       const QString &password,
                                       const QString &udid,
                                       const QString &email);
    static bool registerAccount(HttpsClient &client,
                                const Orvex::Config &config,
                                const QString &email,
                                const QString &password,
                                const QString &udid);

    const Orvex::Config &m_config = Orvex::Config::current();
    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
    const QString m_email = QStringLiteral("cert@example.org");
    const QString m_password = QStringLiteral("s3cret+#");
    const QString m_udid = udidFor(QStringLiteral("machine@cert@example.org"));
};

QString DevServiceCertificatesTest::token(HttpsClient &client, const Orvex::Config &config)
{
    const HttpAnswer answer = client.get(QStringLiteral("/portableapi/portable.php"),
                                         {{QStringLiteral("api"), QStringLiteral("gen_token")},
                                          {QStringLiteral("ApiID"), config.apiIdentifier}});
    return jsonObject(answer.body)
            .value(QStringLiteral("token"))
            .toObject()
            .value(QStringLiteral("name"))
            .toString();
}

QueryItems DevServiceCertificatesTest::certificateQuery(const Orvex::Config &config,
                                                        const QString &token,
                                                        const QString &password,
                                                        const QString &udid,
                                                        const QString &email)
{
    return {{QStringLiteral("api"), QStringLiteral("getcert")},
            {QStringLiteral("ApiID"), config.apiIdentifier},
            {QStringLiteral("password"), password},
            {QStringLiteral("Deviceudid"), udid},
            {QStringLiteral("Userid"), email},
            {QStringLiteral("token"), token},
            {QStringLiteral("crt_type"), QStringLiteral("p12")}};
}

bool DevServiceCertificatesTest::registerAccount(HttpsClient &client,
                                                 const Orvex::Config &config,
                                                 const QString &email,
                                                 const QString &password,
                                                 const QString &udid)
{
    const HttpAnswer user = client.get(QStringLiteral("/adduser.json"),
                                       {{QStringLiteral("user"), email},
                                        {QStringLiteral("password"), password},
                                        {QStringLiteral("name"), QStringLiteral("Cert Owner")},
                                        {QStringLiteral("email"), email},
                                        {QStringLiteral("phoneNumber"),
                                         QStringLiteral("+33612345678")},
                                        {QStringLiteral("check"), config.signUpCheckValue}});
    const HttpAnswer device = client.get(QStringLiteral("/adddevice.json"),
                                         {{QStringLiteral("udid"), udid},
                                          {QStringLiteral("user"), email},
                                          {QStringLiteral("check"), config.serviceCheckValue}});
    return jsonObject(user.body).contains(QStringLiteral("user"))
           && envelopeProblem(device.body, 0, false).isEmpty();
}

void DevServiceCertificatesTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_dir.path() + QStringLiteral("/data"));
    QVERIFY2(m_service->start(), qPrintable(m_service->errors()));
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
    QVERIFY(registerAccount(*m_client, m_config, m_email, m_password, m_udid));
}

void DevServiceCertificatesTest::archiveOpensAndChainsToTheCa()
{
    const QString name = m_udid + QLatin1Char('.') + m_config.vpnDomain;
    const QString tokenText = token(*m_client, m_config);
    QVERIFY(!tokenText.isEmpty());
    const HttpAnswer answer
            = m_client->get(QStringLiteral("/portableapi/portable.php"),
                            certificateQuery(m_config, tokenText, m_password, m_udid, m_email));
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.contentType, QByteArray("application/x-pkcs12"));
    const QString archive = writeFile(m_dir.path() + QStringLiteral("/identity.p12"), answer.body);
    QVERIFY(!archive.isEmpty());
    const QString pass = QStringLiteral("pass:") + m_config.pkcs12Passphrase;

    const Tool wrongPass = openssl({QStringLiteral("pkcs12"),
                                    QStringLiteral("-in"),
                                    archive,
                                    QStringLiteral("-passin"),
                                    QStringLiteral("pass:wrong1"),
                                    QStringLiteral("-nokeys")});
    QVERIFY(wrongPass.exitCode != 0);

    const Tool certificate = openssl({QStringLiteral("pkcs12"),
                                      QStringLiteral("-in"),
                                      archive,
                                      QStringLiteral("-passin"),
                                      pass,
                                      QStringLiteral("-nokeys"),
                                      QStringLiteral("-clcerts")});
    QVERIFY2(certificate.exitCode == 0, certificate.errors.constData());
    const Tool key = openssl({QStringLiteral("pkcs12"),
                              QStringLiteral("-in"),
                              archive,
                              QStringLiteral("-passin"),
                              pass,
                              QStringLiteral("-nocerts"),
                              QStringLiteral("-nodes")});
    QVERIFY2(key.exitCode == 0, key.errors.constData());
    const QString certificatePath = writeFile(m_dir.path() + QStringLiteral("/client.crt"),
                                              certificate.output);

    const Tool verify = openssl({QStringLiteral("verify"),
                                 QStringLiteral("-CAfile"),
                                 m_service->caCertificate(),
                                 QStringLiteral("-purpose"),
                                 QStringLiteral("sslclient"),
                                 certificatePath});
    QVERIFY2(verify.exitCode == 0, verify.output + verify.errors);

    const QList<QSslCertificate> parsed = QSslCertificate::fromData(certificate.output);
    QCOMPARE(parsed.size(), 1);
    QCOMPARE(parsed.first().subjectInfo(QSslCertificate::CommonName), QStringList {name});
    const auto altNames = parsed.first().subjectAlternativeNames();
    QCOMPARE(altNames.values(QSsl::DnsEntry), QList<QString> {name});
    QCOMPARE(altNames.size(), 1);
    const Tool usage = openssl({QStringLiteral("x509"),
                                QStringLiteral("-in"),
                                certificatePath,
                                QStringLiteral("-noout"),
                                QStringLiteral("-ext"),
                                QStringLiteral("extendedKeyUsage")});
    QVERIFY(usage.output.contains("TLS Web Client Authentication"));

    // The key in the archive is the certificate's.
    const QSslKey privateKey(key.output, QSsl::Rsa);
    QVERIFY(!privateKey.isNull());
    const Tool certificateKey = openssl({QStringLiteral("x509"),
                                         QStringLiteral("-in"),
                                         certificatePath,
                                         QStringLiteral("-noout"),
                                         QStringLiteral("-pubkey")});
    const Tool archiveKey = openssl({QStringLiteral("pkey"), QStringLiteral("-pubout")}, key.output);
    QVERIFY(!certificateKey.output.isEmpty());
    QCOMPARE(archiveKey.output, certificateKey.output);

    // Each request gives a new key.
    const HttpAnswer second = m_client->get(QStringLiteral("/portableapi/portable.php"),
                                            certificateQuery(m_config,
                                                             token(*m_client, m_config),
                                                             m_password,
                                                             m_udid,
                                                             m_email));
    QCOMPARE(second.contentType, QByteArray("application/x-pkcs12"));
    QVERIFY(second.body != answer.body);
}

void DevServiceCertificatesTest::refusals_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("code");
    QTest::newRow("wrong ApiID") << QStringLiteral("ApiID") << 4;
    QTest::newRow("unknown api") << QStringLiteral("api") << 3;
    QTest::newRow("missing token") << QStringLiteral("-token") << 2;
    QTest::newRow("made-up token") << QStringLiteral("token") << 5;
    QTest::newRow("spent token") << QStringLiteral("spent") << 5;
    QTest::newRow("unknown user") << QStringLiteral("Userid") << 16;
    QTest::newRow("wrong password") << QStringLiteral("password") << 6;
    QTest::newRow("unregistered device") << QStringLiteral("Deviceudid") << 17;
    QTest::newRow("another account's device") << QStringLiteral("foreign") << 17;
    QTest::newRow("other type") << QStringLiteral("crt_type") << 2;
}

void DevServiceCertificatesTest::refusals()
{
    QFETCH(QString, change);
    QFETCH(int, code);
    const QString foreignUdid = udidFor(QStringLiteral("machine@foreign@example.org"));
    if (change == QLatin1String("foreign")) {
        registerAccount(*m_client,
                        m_config,
                        QStringLiteral("foreign@example.org"),
                        QStringLiteral("pw"),
                        foreignUdid);
    }
    QString tokenText = token(*m_client, m_config);
    if (change == QLatin1String("spent")) {
        const HttpAnswer first
                = m_client->get(QStringLiteral("/portableapi/portable.php"),
                                certificateQuery(m_config, tokenText, m_password, m_udid, m_email));
        QCOMPARE(first.contentType, QByteArray("application/x-pkcs12"));
    }
    QueryItems items = certificateQuery(m_config, tokenText, m_password, m_udid, m_email);
    for (auto &[name, value] : items) {
        if (name == change)
            value = name == QLatin1String("api") ? QStringLiteral("getcertificate")
                                                 : QStringLiteral("x") + value;
        if (change == QLatin1String("foreign") && name == QLatin1String("Deviceudid"))
            value = foreignUdid;
    }
    if (change.startsWith(QLatin1Char('-'))) {
        items.removeIf(
                [&](const QPair<QString, QString> &item) { return item.first == change.mid(1); });
    }
    const HttpAnswer answer = m_client->get(QStringLiteral("/portableapi/portable.php"), items);
    QCOMPARE(envelopeProblem(answer.body, code), QString());
}

void DevServiceCertificatesTest::tokenServesOneRequestOnly()
{
    // Several requests race for one token: exactly one gets an archive.
    const QString tokenText = token(*m_client, m_config);
    std::vector<std::unique_ptr<HttpsClient>> clients;
    QList<QNetworkReply *> replies;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(
                std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate()));
        replies.append(clients.back()->start(
                "GET",
                clients.back()
                        ->url(QStringLiteral("/portableapi/portable.php"),
                              certificateQuery(m_config, tokenText, m_password, m_udid, m_email))));
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
    const QString certificatePath = m_dir.path() + QStringLiteral("/gateway.crt");
    const QString keyPath = m_dir.path() + QStringLiteral("/gateway.key");
    QProcess tool;
    tool.start(DevServiceProcess::binary(),
               {QStringLiteral("issue-gateway-cert"),
                QStringLiteral("--data"),
                m_service->dataDir(),
                QStringLiteral("--host"),
                QStringLiteral("vpn.orvex.test"),
                QStringLiteral("--host"),
                QStringLiteral("10.9.0.1"),
                QStringLiteral("--out-cert"),
                certificatePath,
                QStringLiteral("--out-key"),
                keyPath});
    QVERIFY(tool.waitForFinished(60000));
    QCOMPARE(tool.exitCode(), 0);

    QCOMPARE(readFile(m_service->caCertificate()), caBefore);
    const Tool verify = openssl({QStringLiteral("verify"),
                                 QStringLiteral("-CAfile"),
                                 m_service->caCertificate(),
                                 QStringLiteral("-purpose"),
                                 QStringLiteral("sslserver"),
                                 certificatePath});
    QVERIFY2(verify.exitCode == 0, verify.output + verify.errors);

    const QList<QSslCertificate> parsed = QSslCertificate::fromPath(certificatePath);
    QCOMPARE(parsed.size(), 1);
    QCOMPARE(parsed.first().subjectInfo(QSslCertificate::CommonName),
             QStringList {QStringLiteral("vpn.orvex.test")});
    const auto altNames = parsed.first().subjectAlternativeNames();
    QCOMPARE(altNames.values(QSsl::DnsEntry), QList<QString> {QStringLiteral("vpn.orvex.test")});
    QCOMPARE(altNames.values(QSsl::IpAddressEntry), QList<QString> {QStringLiteral("10.9.0.1")});

    struct stat keyStat;
    QCOMPARE(::stat(keyPath.toLocal8Bit().constData(), &keyStat), 0);
    QCOMPARE(keyStat.st_mode & 0777, 0600u);
    const Tool keyMatches = openssl(
            {QStringLiteral("pkey"), QStringLiteral("-in"), keyPath, QStringLiteral("-pubout")});
    const Tool certificateKey = openssl({QStringLiteral("x509"),
                                         QStringLiteral("-in"),
                                         certificatePath,
                                         QStringLiteral("-noout"),
                                         QStringLiteral("-pubkey")});
    QCOMPARE(keyMatches.output, certificateKey.output);

    // A name that could smuggle a second entry into the certificate is refused.
    tool.start(DevServiceProcess::binary(),
               {QStringLiteral("issue-gateway-cert"),
                QStringLiteral("--data"),
                m_service->dataDir(),
                QStringLiteral("--host"),
                QStringLiteral("a.test,DNS:evil.test"),
                QStringLiteral("--out-cert"),
                certificatePath,
                QStringLiteral("--out-key"),
                keyPath});
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
    const QString configPath = writeFile(dir.path() + QStringLiteral("/config.json"), overrides);
    QString error;
    const auto config = Orvex::Config::parse(overrides, configPath, &error);
    QVERIFY2(config, qPrintable(error));

    DevServiceProcess service(dir.path() + QStringLiteral("/data"));
    QVERIFY2(service.start({}, configPath), qPrintable(service.errors()));
    HttpsClient client(service.origin(), service.caCertificate());
    const QString udid = udidFor(QStringLiteral("shared"));
    QVERIFY(registerAccount(client,
                            *config,
                            QStringLiteral("shared@example.org"),
                            QStringLiteral("pw"),
                            udid));
    // The built-in values no longer open anything.
    QVERIFY(!registerAccount(client,
                             m_config,
                             QStringLiteral("builtin@example.org"),
                             QStringLiteral("pw"),
                             udidFor(QStringLiteral("builtin"))));
    QVERIFY(token(client, m_config).isEmpty());

    const HttpAnswer answer = client.get(QStringLiteral("/portableapi/portable.php"),
                                         certificateQuery(*config,
                                                          token(client, *config),
                                                          QStringLiteral("pw"),
                                                          udid,
                                                          QStringLiteral("shared@example.org")));
    QCOMPARE(answer.contentType, QByteArray("application/x-pkcs12"));
    const QString archive = writeFile(dir.path() + QStringLiteral("/shared.p12"), answer.body);
    const Tool certificate = openssl({QStringLiteral("pkcs12"),
                                      QStringLiteral("-in"),
                                      archive,
                                      QStringLiteral("-passin"),
                                      QStringLiteral("pass:") + config->pkcs12Passphrase,
                                      QStringLiteral("-nokeys"),
                                      QStringLiteral("-clcerts")});
    QVERIFY2(certificate.exitCode == 0, certificate.errors.constData());
    const QList<QSslCertificate> parsed = QSslCertificate::fromData(certificate.output);
    QCOMPARE(parsed.size(), 1);
    QCOMPARE(parsed.first().subjectInfo(QSslCertificate::CommonName),
             QStringList {udid + QStringLiteral(".tunnel.example.net")});
    QVERIFY(service.stop());
}

QTEST_GUILESS_MAIN(DevServiceCertificatesTest)
#include "tst_devservice_certificates.moc"
