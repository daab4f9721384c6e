// Accounts, devices, their certificates and usage history, and the data folder
// of orvex-devservice, over real HTTPS; certificates checked with the openssl
// command line as an outsider would. The traffic taken from a gateway's VICI
// socket is tst_devservice_gateway's, with a real charon.

#include "ServiceCalls.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class DevServiceAccountsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void refusals_data();
    void refusals();
    void registeringAgainKeepsOneDevice();
    void devRoutesOnlyWhenAsked();
    void passwordHashesGetTheCurrentCostAtSignIn();
    void dataFolderIsTheServicesAlone();
    void archiveOpensAndChainsToTheCa();
    void certificateRefusals_data();
    void certificateRefusals();
    void tokenServesOneRequestOnly();
    void gatewayCertificate();
    void sharedConfiguration();
    void usageMonthInLocalTime();
    void usageRefusals();
    void seededHistoryStaysPut();

private:
    // The device's total of the current month.
    qint64 thisMonth(HttpsClient &client, const QString &udid)
    {
        return monthlyUsage(usage(client, m_config, udid, QDateTime::currentDateTimeUtc().date()));
    }
    bool addUsage(const QString &udid, const QDateTime &when, qint64 in, qint64 out);

    const Orvex::Config &m_config = Orvex::Config::current();
    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
    // The account the certificate cases are about.
    const QString m_email = u"cert@example.org"_s;
    const QString m_password = u"s3cret+#"_s;
    const QString m_udid = udidFor(u"machine@cert@example.org"_s);
};

void DevServiceAccountsTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_dir.path() + u"/data"_s);
    QVERIFY2(m_service->start({u"--dev-routes"_s}), qPrintable(m_service->errors()));
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
    // The accounts the refusals are about.
    QVERIFY(!signUp(*m_client, m_config, u"getuser@example.org"_s, u"right one"_s).isEmpty());
    QVERIFY(!signUp(*m_client, m_config, u"other@example.org"_s, u"pw"_s).isEmpty());
    QVERIFY(registerAccount(*m_client, m_config, m_email, m_password, m_udid));
}

void DevServiceAccountsTest::refusals_data()
{
    // The path, the query as "name=value" items ("<signUp>" and "<service>"
    // stand for the check values), and the error code of the envelope.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("query");
    QTest::addColumn<int>("code");
    const QString getUser = u"/getuser.json"_s;
    const QString addUser = u"/adduser.json"_s;
    const QString addDevice = u"/adddevice.json"_s;
    const auto items = [](const char *joined) { return QString::fromUtf8(joined).split(u'&'); };
    QTest::newRow("getuser: wrong password") << getUser << items("user=getuser@example.org&check=wrong") << 6;
    // A present but empty password is a password, and a wrong one.
    QTest::newRow("getuser: empty password") << getUser << items("user=getuser@example.org&check=") << 6;
    QTest::newRow("getuser: unknown") << getUser << items("user=nobody@example.org&check=right one") << 16;
    QTest::newRow("getuser: no check") << getUser << items("user=getuser@example.org") << 2;
    QTest::newRow("getuser: no user") << getUser << items("check=x") << 2;
    const char *newUser
        = "user=new@example.org&password=pw&name=N&email=new@example.org&phoneNumber=+33612345678";
    // The fixed service value is not the sign-up value.
    QTest::newRow("adduser: service check value")
        << addUser << items(newUser) + items("check=<service>") << 4;
    QTest::newRow("adduser: user and email differ")
        << addUser
        << items("user=other1@example.org&password=pw&name=N&email=new@example.org&phoneNumber=+33612345678"
                 "&check=<signUp>")
        << 2;
    QTest::newRow("adduser: not an address")
        << addUser
        << items("user=not-an-address&password=pw&name=N&email=not-an-address&phoneNumber=+33612345678"
                 "&check=<signUp>")
        << 2;
    QTest::newRow("adduser: taken")
        << addUser
        << items("user=other@example.org&password=pw&name=N&email=other@example.org&phoneNumber=+33612345678"
                 "&check=<signUp>")
        << 7;
    QTest::newRow("adduser: no password")
        << addUser
        << items("user=new@example.org&name=N&email=new@example.org&phoneNumber=+33612345678&check=<signUp>")
        << 2;
    const char *device = "apn=desktop&nickName=Laptop&systemName=Linux&systemVersion=6.1.0&status=Active";
    QTest::newRow("adddevice: unknown account")
        << addDevice << items("udid=0a1b&user=ghost@example.org&check=<service>") + items(device) << 16;
    QTest::newRow("adddevice: sign-up check value")
        << addDevice << items("udid=0a1b&user=other@example.org&check=<signUp>") + items(device) << 4;
    // The udid becomes a DNS label of the certificate.
    QTest::newRow("adddevice: empty udid")
        << addDevice << items("udid=&user=other@example.org&check=<service>") << 2;
    QTest::newRow("adddevice: dot") << addDevice << items("udid=a.b&user=other@example.org&check=<service>")
                                    << 2;
    QTest::newRow("adddevice: leading hyphen")
        << addDevice << items("udid=-x&user=other@example.org&check=<service>") << 2;
    QTest::newRow("adddevice: 70 characters")
        << addDevice
        << QStringList{u"udid="_s + QString(70, u'a'), u"user=other@example.org"_s, u"check=<service>"_s}
        << 2;
    QTest::newRow("sms: made-up token")
        << u"/iOS/sms_orvex.php"_s << items("ToNumbe=+33612345678&toMsg=1234&verify=made-up") << 5;
}

void DevServiceAccountsTest::refusals()
{
    QFETCH(QString, path);
    QFETCH(QStringList, query);
    QFETCH(int, code);
    QueryItems items;
    for (const QString &item : std::as_const(query)) {
        QString value = item.section(u'=', 1);
        if (value == "<signUp>"_L1)
            value = m_config.signUpCheckValue;
        else if (value == "<service>"_L1)
            value = m_config.serviceCheckValue;
        items.append({item.section(u'=', 0, 0), value});
    }
    QCOMPARE(envelopeProblem(m_client->get(path, items).body, code), QString());
}

void DevServiceAccountsTest::registeringAgainKeepsOneDevice()
{
    const QString owner = u"owner@example.org"_s;
    const QString udid = udidFor(u"machine-b@"_s + owner);
    // Registering again updates the device instead of adding a second one.
    QVERIFY(registerAccount(*m_client, m_config, owner, u"pw"_s, udid));
    QVERIFY(addDevice(*m_client, m_config, udid, owner));
    // E-mail addresses match without regard to case.
    const HttpAnswer user = m_client->get(u"/getuser.json"_s,
                                          {{u"user"_s, owner.toUpper()}, {u"check"_s, u"pw"_s}});
    const QJsonObject record = jsonObject(user.body).value(u"user"_s).toObject();
    QCOMPARE(record.value(u"email"_s).toString(), owner);
    QCOMPARE(record.value(u"devices"_s).toArray().size(), 1);
    QVERIFY(!record.contains(u"password"_s));
    // Another account cannot take the machine over.
    const HttpAnswer taken = m_client->get(u"/adddevice.json"_s, {{u"udid"_s, udid},
                                                                  {u"user"_s, u"other@example.org"_s},
                                                                  {u"check"_s, m_config.serviceCheckValue}});
    QCOMPARE(envelopeProblem(taken.body, 9), QString());
}

void DevServiceAccountsTest::devRoutesOnlyWhenAsked()
{
    QTemporaryDir dir;
    DevServiceProcess plain(dir.path());
    QVERIFY2(plain.start(), qPrintable(plain.errors()));
    HttpsClient client(plain.origin(), plain.caCertificate());
    const HttpAnswer answer = client.get(u"/dev/sms"_s, {{u"to"_s, u"+33612345678"_s}});
    QCOMPARE(answer.status, 404);
    QCOMPARE(envelopeProblem(answer.body, 3), QString());
    const HttpAnswer fault = client.post(u"/dev/faults"_s, R"({"path":"/getuser.json","fault":"close"})");
    QCOMPARE(fault.status, 404);
    QVERIFY(plain.stop());
}

namespace {

// The stored password hash of `email`, read with the sqlite3 program.
QString storedHash(const QString &dataDir, const QString &email)
{
    QProcess sqlite;
    sqlite.start(u"sqlite3"_s, {dataDir + u"/devservice.sqlite3"_s,
                                u"SELECT password_hash FROM accounts WHERE email = '%1';"_s.arg(email)});
    if (!sqlite.waitForFinished(60000))
        return {};
    return QString::fromUtf8(sqlite.readAllStandardOutput()).trimmed();
}

} // namespace

void DevServiceAccountsTest::passwordHashesGetTheCurrentCostAtSignIn()
{
    QTemporaryDir dir;
    // The default cost, without the tests' cheap one.
    {
        DevServiceProcess service(dir.path());
        service.useDefaultPasswordCost();
        QVERIFY2(service.start({u"--seed-demo"_s}), qPrintable(service.errors()));
        QVERIFY(service.stop());
        QVERIFY2(storedHash(dir.path(), u"demo@orvex.example"_s).startsWith(u"pbkdf2-sha256$600000$"_s),
                 qPrintable(storedHash(dir.path(), u"demo@orvex.example"_s)));
    }
    // An account made at a lower cost keeps working when the cost is raised,
    // and its hash is made again at the new cost by the next sign-in; a wrong
    // password changes nothing.
    const QString email = u"cost@example.org"_s;
    {
        DevServiceProcess service(dir.path());
        QVERIFY2(service.start({u"--password-rounds"_s, u"1000"_s}), qPrintable(service.errors()));
        HttpsClient client(service.origin(), service.caCertificate());
        QVERIFY(!signUp(client, m_config, email, u"pw-cost"_s).isEmpty());
        QVERIFY(service.stop());
    }
    const QString before = storedHash(dir.path(), email);
    QVERIFY2(before.startsWith(u"pbkdf2-sha256$1000$"_s), qPrintable(before));
    DevServiceProcess service(dir.path());
    QVERIFY2(service.start({u"--password-rounds"_s, u"3000"_s}), qPrintable(service.errors()));
    HttpsClient client(service.origin(), service.caCertificate());
    const auto signIn = [&](const QString &password) {
        return client.get(u"/getuser.json"_s, {{u"user"_s, email}, {u"check"_s, password}});
    };
    QCOMPARE(envelopeProblem(signIn(u"wrong"_s).body, 6), QString());
    QCOMPARE(storedHash(dir.path(), email), before);
    QVERIFY(jsonObject(signIn(u"pw-cost"_s).body).contains(u"user"_s));
    const QString after = storedHash(dir.path(), email);
    QVERIFY2(after.startsWith(u"pbkdf2-sha256$3000$"_s), qPrintable(after));
    QVERIFY(jsonObject(signIn(u"pw-cost"_s).body).contains(u"user"_s));
    QCOMPARE(envelopeProblem(signIn(u"wrong"_s).body, 6), QString());
    QVERIFY(service.stop());
}

void DevServiceAccountsTest::dataFolderIsTheServicesAlone()
{
    QTemporaryDir dir;
    // A folder others may write to is made the service's alone.
    const QString open = dir.filePath(u"open"_s);
    QVERIFY(QDir().mkpath(open));
    QVERIFY(::chmod(QFile::encodeName(open).constData(), 0777) == 0);
    {
        DevServiceProcess service(open);
        QVERIFY2(service.start(), qPrintable(service.errors()));
        QVERIFY(service.stop());
    }
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(open).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 07777, 0700u);

    // Another user's link in its place is refused, and its target left alone.
    const QString target = dir.filePath(u"target"_s);
    QVERIFY(QDir().mkpath(target));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0755) == 0);
    const QString link = dir.filePath(u"link"_s);
    QVERIFY(QFile::link(target, link));
    if (::lchown(QFile::encodeName(link).constData(), ::geteuid() + 1, ::getegid()) != 0)
        QSKIP("making a link owned by another user needs root");
    DevServiceProcess refused(link);
    QVERIFY(!refused.start());
    QVERIFY2(refused.errors().contains(u"symbolic link owned by another user"_s), "no reason given");
    QVERIFY(::stat(QFile::encodeName(target).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 07777, 0755u);
    QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

bool DevServiceAccountsTest::addUsage(const QString &udid, const QDateTime &when, qint64 in, qint64 out)
{
    const QByteArray body = QJsonDocument(QJsonObject{{u"udid"_s, udid},
                                                      {u"time"_s, when.toSecsSinceEpoch()},
                                                      {u"in"_s, in},
                                                      {u"out"_s, out}})
                                .toJson(QJsonDocument::Compact);
    return m_client->post(u"/dev/usage"_s, body).status == 200;
}

void DevServiceAccountsTest::archiveOpensAndChainsToTheCa()
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

void DevServiceAccountsTest::certificateRefusals_data()
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

void DevServiceAccountsTest::certificateRefusals()
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

void DevServiceAccountsTest::tokenServesOneRequestOnly()
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

void DevServiceAccountsTest::gatewayCertificate()
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

void DevServiceAccountsTest::sharedConfiguration()
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

void DevServiceAccountsTest::usageMonthInLocalTime()
{
    const QString udid = udidFor(u"month"_s);
    QVERIFY(registerAccount(*m_client, m_config, u"month@example.org"_s, u"pw"_s, udid));
    const auto utc = [](int month, int day, int hour, int minute) {
        return QDateTime(QDate(2025, month, day), QTime(hour, minute), Qt::UTC);
    };
    QVERIFY(addUsage(udid, utc(3, 15, 10, 0), 1048576, 0));
    QVERIFY(addUsage(udid, utc(3, 31, 23, 30), 1000, 2000));
    QVERIFY(addUsage(udid, utc(3, 31, 23, 50), 0, 24));
    QVERIFY(addUsage(udid, utc(4, 1, 0, 10), 4000, 0));
    QVERIFY(addUsage(udid, utc(2, 28, 23, 59), 5, 5));

    QJsonObject model = usage(*m_client, m_config, udid, QDate(2025, 3, 31), 0);
    QJsonObject info = model.value(u"info"_s).toObject();
    QCOMPARE(info.value(u"MonthlyUsage"_s).toInteger(), 1048576 + 3024);
    QCOMPARE(info.value(u"device"_s).toString(), udid);
    QCOMPARE(info.value(u"Day"_s).toInt(), 31);
    QVERIFY(info.contains(u"Timezone"_s) && info.contains(u"Year"_s));
    QJsonArray summary = model.value(u"summary"_s).toArray();
    QCOMPARE(summary.size(), 31);
    QCOMPARE(summary.at(14).toObject().value(u"date"_s).toString(), u"2025-03-15"_s);
    QCOMPARE(summary.at(14).toObject().value(u"usage"_s).toInteger(), 1048576);
    QCOMPARE(summary.at(30).toObject().value(u"usage"_s).toInteger(), 3024);
    QCOMPARE(summary.at(30).toObject().value(u"average"_s).toDouble(), 3024 / 24.0);
    QJsonArray traffic = model.value(u"traffic"_s).toArray();
    QCOMPARE(traffic.size(), 24);
    QCOMPARE(traffic.at(23).toObject().value(u"Total"_s).toInteger(), 3024);
    QCOMPARE(traffic.at(23).toObject().value(u"In"_s).toInteger(), 1000);
    QCOMPARE(traffic.at(23).toObject().value(u"Out"_s).toInteger(), 2024);

    // Two hours east of UTC, the last hour of March is already April.
    model = usage(*m_client, m_config, udid, QDate(2025, 4, 1), 2);
    info = model.value(u"info"_s).toObject();
    QCOMPARE(info.value(u"MonthlyUsage"_s).toInteger(), 3024 + 4000);
    traffic = model.value(u"traffic"_s).toArray();
    QCOMPARE(traffic.at(1).toObject().value(u"Total"_s).toInteger(), 3024);
    QCOMPARE(traffic.at(2).toObject().value(u"Total"_s).toInteger(), 4000);
    QCOMPARE(model.value(u"summary"_s).toArray().size(), 1);

    // ...and the last minute of February UTC is the first of March there.
    model = usage(*m_client, m_config, udid, QDate(2025, 3, 31), 2);
    QCOMPARE(monthlyUsage(model), 1048576 + 10);

    // Five hours west, the first minutes of April UTC still belong to March.
    model = usage(*m_client, m_config, udid, QDate(2025, 3, 31), -5);
    QCOMPARE(monthlyUsage(model), 1048576 + 3024 + 4000);
    traffic = model.value(u"traffic"_s).toArray();
    QCOMPARE(traffic.at(18).toObject().value(u"Total"_s).toInteger(), 3024);
    QCOMPARE(traffic.at(19).toObject().value(u"Total"_s).toInteger(), 4000);

    // Figures at the top of the range stay there instead of wrapping negative.
    const QString huge = udidFor(u"huge"_s);
    QVERIFY(registerAccount(*m_client, m_config, u"huge@example.org"_s, u"pw"_s, huge));
    const qint64 top = Q_INT64_C(9223372036854775807);
    QVERIFY(addUsage(huge, utc(3, 10, 5, 0), top, top));
    QVERIFY(addUsage(huge, utc(3, 10, 5, 30), 7, 7));
    QVERIFY(addUsage(huge, utc(3, 9, 1, 0), top, 0));
    model = usage(*m_client, m_config, huge, QDate(2025, 3, 10), 0);
    QCOMPARE(monthlyUsage(model), Q_INT64_C(9223372036854775807));
    summary = model.value(u"summary"_s).toArray();
    QCOMPARE(summary.at(8).toObject().value(u"usage"_s).toInteger(), Q_INT64_C(9223372036854775807));
    QCOMPARE(summary.at(9).toObject().value(u"usage"_s).toInteger(), Q_INT64_C(9223372036854775807));
    const QJsonObject fifth = model.value(u"traffic"_s).toArray().at(5).toObject();
    QCOMPARE(fifth.value(u"In"_s).toInteger(), Q_INT64_C(9223372036854775807));
    QCOMPARE(fifth.value(u"Out"_s).toInteger(), Q_INT64_C(9223372036854775807));
    QCOMPARE(fifth.value(u"Total"_s).toInteger(), Q_INT64_C(9223372036854775807));
}

void DevServiceAccountsTest::usageRefusals()
{
    const QString udid = udidFor(u"month"_s);
    // tz, y, m, d (and the seed of another device's udid), the error code.
    const QList<std::pair<const char *, int>> asked = {
        {"2 2025 2 2 nobody", 17}, {"2 2025 2 29", 2},  {"2 2025 13 2", 2},  {"15 2025 2 2", 2},
        {"+2 2025 2 2", 2},        {"2 twenty 2 2", 2}, {"2 2025 2 1.5", 2},
    };
    for (const auto &[query, code] : asked) {
        const QStringList v = QString::fromLatin1(query).split(u' ');
        const HttpAnswer answer = m_client->get(u"/portableapi/portable.php"_s,
                                                {{u"api"_s, u"getdesktopdevicehistoricalusage"_s},
                                                 {u"ApiID"_s, m_config.apiIdentifier},
                                                 {u"deviceudid"_s, v.size() > 4 ? udidFor(v[4]) : udid},
                                                 {u"tz"_s, v[0]},
                                                 {u"y"_s, v[1]},
                                                 {u"m"_s, v[2]},
                                                 {u"d"_s, v[3]}});
        const QString problem = envelopeProblem(answer.body, code);
        QVERIFY2(problem.isEmpty(), qPrintable(QString::fromLatin1(query) + u": "_s + problem));
    }
    // 2024 was a leap year.
    QVERIFY(usage(*m_client, m_config, udid, QDate(2024, 2, 29), 0).contains(u"info"_s));
}

void DevServiceAccountsTest::seededHistoryStaysPut()
{
    QTemporaryDir dir;
    const QString udid = udidFor(u"seeded"_s);
    qint64 first = -1;
    {
        DevServiceProcess service(dir.path());
        QVERIFY2(service.start({u"--seed-usage"_s}), qPrintable(service.errors()));
        HttpsClient client(service.origin(), service.caCertificate());
        QVERIFY(registerAccount(client, m_config, u"seeded@example.org"_s, u"pw"_s, udid));
        first = thisMonth(client, udid);
        const QDate lastMonth = QDateTime::currentDateTimeUtc().date().addMonths(-1);
        const QDate lastDay(lastMonth.year(), lastMonth.month(), lastMonth.daysInMonth());
        const QJsonObject previous = usage(client, m_config, udid, lastDay, 0);
        QVERIFY(monthlyUsage(previous) > 0);
        QVERIFY(service.stop());
    }
    // Seeding again on the next start must not pile more history on top.
    DevServiceProcess service(dir.path());
    QVERIFY2(service.start({u"--seed-usage"_s}), qPrintable(service.errors()));
    HttpsClient client(service.origin(), service.caCertificate());
    QVERIFY(first >= 0);
    QCOMPARE(thisMonth(client, udid), first);
    QVERIFY(service.stop());
}

QTEST_GUILESS_MAIN(DevServiceAccountsTest)
#include "tst_devservice_accounts.moc"
