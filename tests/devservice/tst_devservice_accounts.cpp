// Accounts, devices, their certificates and usage history, and the data folder
// of orvex-devservice, over real HTTPS; certificates checked as an outsider
// would. The traffic taken from a gateway's VICI socket is
// tst_devservice_usage's.

#include "ServiceCalls.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// The certificate in a PKCS#12 archive that opens with `passphrase` and holds
// its key; none otherwise.
QSslCertificate archiveCertificate(const QByteArray &archive, const QString &passphrase)
{
    QBuffer buffer;
    buffer.setData(archive);
    buffer.open(QIODevice::ReadOnly);
    QSslKey key;
    QSslCertificate certificate;
    const bool opened = QSslCertificate::importPkcs12(&buffer, &key, &certificate, nullptr,
                                                      passphrase.toUtf8());
    return opened && !key.isNull() ? certificate : QSslCertificate();
}

} // namespace

class DevServiceAccountsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void refusals_data();
    void refusals();
    void registeringAgainKeepsOneDevice();
    void serviceOfItsOwn();
    void archiveOpensAndChainsToTheCa();
    void certificateRefusals_data();
    void certificateRefusals();
    void tokenServesOneRequestOnly();
    void gatewayCertificate();
    void usageMonthInLocalTime();
    void usageRefusals();

private:
    bool addUsage(const QString &udid, const QDateTime &when, qint64 in, qint64 out);
    HttpAnswer certificate(const QString &tokenText)
    {
        return m_client->get(u"/portableapi/portable.php"_s,
                             certificateQuery(m_config, tokenText, m_password, m_udid, m_email));
    }

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
    // The path, the query ("<signUp>" and "<service>" stand for the check
    // values), and the error code of the envelope.
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("code");
    const QString getUser = u"/getuser.json"_s;
    const QString addUser = u"/adduser.json"_s;
    const QString addDevice = u"/adddevice.json"_s;
    QTest::newRow("getuser: wrong password") << getUser << u"user=getuser@example.org&check=wrong"_s << 6;
    // A present but empty password is a password, and a wrong one.
    QTest::newRow("getuser: empty password") << getUser << u"user=getuser@example.org&check="_s << 6;
    QTest::newRow("getuser: unknown") << getUser << u"user=nobody@example.org&check=right one"_s << 16;
    QTest::newRow("getuser: no check") << getUser << u"user=getuser@example.org"_s << 2;
    QTest::newRow("getuser: no user") << getUser << u"check=x"_s << 2;
    const QString person = u"&password=pw&name=N&phoneNumber=+33612345678"_s;
    // The fixed service value is not the sign-up value.
    QTest::newRow("adduser: service check value")
        << addUser << u"user=new@example.org&email=new@example.org&check=<service>"_s + person << 4;
    QTest::newRow("adduser: user and email differ")
        << addUser << u"user=other1@example.org&email=new@example.org&check=<signUp>"_s + person << 2;
    QTest::newRow("adduser: not an address")
        << addUser << u"user=not-an-address&email=not-an-address&check=<signUp>"_s + person << 2;
    QTest::newRow("adduser: taken") << addUser
                                    << u"user=other@example.org&email=other@example.org&check=<signUp>"_s
                                           + person
                                    << 7;
    QTest::newRow("adduser: no password")
        << addUser
        << u"user=new@example.org&name=N&email=new@example.org&phoneNumber=+33612345678&check=<signUp>"_s
        << 2;
    const QString device = u"&apn=desktop&nickName=Laptop&systemName=Linux&systemVersion=6.1.0&status=Active"_s;
    QTest::newRow("adddevice: unknown account")
        << addDevice << u"udid=0a1b&user=ghost@example.org&check=<service>"_s + device << 16;
    QTest::newRow("adddevice: sign-up check value")
        << addDevice << u"udid=0a1b&user=other@example.org&check=<signUp>"_s + device << 4;
    // The udid becomes a DNS label of the certificate.
    for (const QString &udid : {u""_s, u"a.b"_s, u"-x"_s, QString(70, u'a')})
        QTest::addRow("adddevice: udid \"%s\"", qPrintable(udid))
            << addDevice << u"udid=%1&user=other@example.org&check=<service>"_s.arg(udid) << 2;
    QTest::newRow("sms: made-up token")
        << u"/iOS/sms_orvex.php"_s << u"ToNumbe=+33612345678&toMsg=1234&verify=made-up"_s << 5;
}

void DevServiceAccountsTest::refusals()
{
    QFETCH(QString, path);
    QFETCH(QString, query);
    QFETCH(int, code);
    QueryItems items;
    for (const QString &item : query.split(u'&')) {
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

void DevServiceAccountsTest::serviceOfItsOwn()
{
    // A service as a developer starts it: every constant it shares with the
    // client from ORVEX_CONFIG, no --dev-routes, in a folder others may write to.
    QTemporaryDir dir;
    const QByteArray overrides = R"({
        "apiIdentifier": "0123456789abcdefghijklmnopqrstuv",
        "serviceCheckValue": "Zq9+&#x=",
        "signUpCheckValue": "ABC123",
        "pkcs12Passphrase": "Pw+9 x",
        "vpnDomain": "tunnel.example.net"
    })";
    const QString configPath = writeFile(dir.path() + u"/config.json"_s, overrides);
    const auto config = Orvex::Config::parse(overrides, configPath, nullptr);
    QVERIFY(config);
    const QString open = dir.filePath(u"open"_s);
    QVERIFY(QDir().mkpath(open));
    QVERIFY(::chmod(QFile::encodeName(open).constData(), 0777) == 0);
    {
        DevServiceProcess service(open);
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
        QCOMPARE(archiveCertificate(answer.body, config->pkcs12Passphrase)
                     .subjectInfo(QSslCertificate::CommonName),
                 QStringList{udid + u".tunnel.example.net"_s});
        // No development routes.
        const HttpAnswer sms = client.get(u"/dev/sms"_s, {{u"to"_s, u"+33612345678"_s}});
        QCOMPARE(sms.status, 404);
        QCOMPARE(envelopeProblem(sms.body, 3), QString());
        QCOMPARE(client.post(u"/dev/faults"_s, R"({"path":"/getuser.json","fault":"close"})").status, 404);
        QVERIFY(service.stop());
    }
    // The folder is made the service's alone.
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
    const HttpAnswer answer = certificate(token(*m_client, m_config));
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.contentType, QByteArray("application/x-pkcs12"));
    const QSslCertificate parsed = archiveCertificate(answer.body, m_config.pkcs12Passphrase);
    QCOMPARE(parsed.subjectInfo(QSslCertificate::CommonName), QStringList{name});
    const auto altNames = parsed.subjectAlternativeNames();
    QCOMPARE(altNames.values(QSsl::DnsEntry), QList<QString>{name});
    QCOMPARE(altNames.size(), 1);

    // A client certificate of the service's CA, as the gateway checks it.
    const QString certificatePath = writeFile(m_dir.path() + u"/client.crt"_s, parsed.toPem());
    const Run verify = run(u"openssl"_s, {u"verify"_s, u"-CAfile"_s, m_service->caCertificate(),
                                          u"-purpose"_s, u"sslclient"_s, certificatePath});
    QVERIFY2(verify.exitCode == 0, verify.output + verify.errors);
    const Run usage = run(u"openssl"_s, {u"x509"_s, u"-in"_s, certificatePath, u"-noout"_s, u"-ext"_s,
                                         u"extendedKeyUsage"_s});
    QVERIFY(usage.output.contains("TLS Web Client Authentication"));

    // Each request gives a new key.
    const HttpAnswer second = certificate(token(*m_client, m_config));
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
    if (change == "foreign"_L1)
        registerAccount(*m_client, m_config, u"foreign@example.org"_s, u"pw"_s, foreignUdid);
    QueryItems items = certificateQuery(m_config, token(*m_client, m_config), m_password, m_udid, m_email);
    for (auto &[name, value] : items) {
        if (name == change)
            value = name == "api"_L1 ? u"getcertificate"_s : u"x"_s + value;
        if (change == "foreign"_L1 && name == "Deviceudid"_L1)
            value = foreignUdid;
    }
    items.removeIf([&](const QPair<QString, QString> &item) { return u'-' + item.first == change; });
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
        archives += answer.contentType == "application/x-pkcs12";
        refused += envelopeProblem(answer.body, 5).isEmpty();
    }
    QCOMPARE(archives, 1);
    QCOMPARE(refused, 3);
}

void DevServiceAccountsTest::gatewayCertificate()
{
    // That the gateway's certificate and key make a tunnel with the service's
    // client certificates is the journey's (as root): here its names, its
    // key's mode and the CA it leaves alone.
    const QByteArray caBefore = readFile(m_service->caCertificate());
    const QString certificatePath = m_dir.path() + u"/gateway.crt"_s;
    const QString keyPath = m_dir.path() + u"/gateway.key"_s;
    const auto issue = [&](const QStringList &hosts) {
        QStringList arguments{u"issue-gateway-cert"_s,
                              u"--data"_s,
                              m_service->dataDir(),
                              u"--out-cert"_s,
                              certificatePath,
                              u"--out-key"_s,
                              keyPath};
        for (const QString &host : hosts)
            arguments << u"--host"_s << host;
        return run(DevServiceProcess::binary(), arguments).exitCode;
    };
    QCOMPARE(issue({u"vpn.orvex.test"_s, u"10.9.0.1"_s}), 0);
    QVERIFY(!caBefore.isEmpty());
    QCOMPARE(readFile(m_service->caCertificate()), caBefore);

    const QList<QSslCertificate> parsed = QSslCertificate::fromPath(certificatePath);
    QCOMPARE(parsed.size(), 1);
    QCOMPARE(parsed.first().subjectInfo(QSslCertificate::CommonName), QStringList{u"vpn.orvex.test"_s});
    const auto altNames = parsed.first().subjectAlternativeNames();
    QCOMPARE(altNames.values(QSsl::DnsEntry), QList<QString>{u"vpn.orvex.test"_s});
    QCOMPARE(altNames.values(QSsl::IpAddressEntry), QList<QString>{u"10.9.0.1"_s});
    struct stat keyStat;
    QCOMPARE(::stat(keyPath.toLocal8Bit().constData(), &keyStat), 0);
    QCOMPARE(keyStat.st_mode & 0777, 0600u);

    // A name that could smuggle a second entry into the certificate is refused.
    QVERIFY(issue({u"a.test,DNS:evil.test"_s}) != 0);
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
    const auto hour = [](const QJsonObject &model, int at, const QString &figure = u"Total"_s) {
        return model.value(u"traffic"_s).toArray().at(at).toObject().value(figure).toInteger();
    };
    const auto day = [](const QJsonObject &model, int at) {
        return model.value(u"summary"_s).toArray().at(at).toObject();
    };

    QJsonObject model = usage(*m_client, m_config, udid, QDate(2025, 3, 31), 0);
    QCOMPARE(monthlyUsage(model), 1048576 + 3024);
    QCOMPARE(model.value(u"summary"_s).toArray().size(), 31);
    QCOMPARE(day(model, 14).value(u"date"_s).toString(), u"2025-03-15"_s);
    QCOMPARE(day(model, 14).value(u"usage"_s).toInteger(), 1048576);
    QCOMPARE(day(model, 30).value(u"usage"_s).toInteger(), 3024);
    QCOMPARE(day(model, 30).value(u"average"_s).toDouble(), 126.0);
    QCOMPARE(model.value(u"traffic"_s).toArray().size(), 24);
    QCOMPARE(hour(model, 23), 3024);
    QCOMPARE(hour(model, 23, u"In"_s), 1000);
    QCOMPARE(hour(model, 23, u"Out"_s), 2024);

    // Two hours east of UTC, the last hour of March is already April.
    model = usage(*m_client, m_config, udid, QDate(2025, 4, 1), 2);
    QCOMPARE(monthlyUsage(model), 3024 + 4000);
    QCOMPARE(hour(model, 1), 3024);
    QCOMPARE(hour(model, 2), 4000);
    QCOMPARE(model.value(u"summary"_s).toArray().size(), 1);
    // ...and the last minute of February UTC is the first of March there.
    QCOMPARE(monthlyUsage(usage(*m_client, m_config, udid, QDate(2025, 3, 31), 2)), 1048576 + 10);

    // Five hours west, the first minutes of April UTC still belong to March.
    model = usage(*m_client, m_config, udid, QDate(2025, 3, 31), -5);
    QCOMPARE(monthlyUsage(model), 1048576 + 3024 + 4000);
    QCOMPARE(hour(model, 18), 3024);
    QCOMPARE(hour(model, 19), 4000);

    // Figures at the top of the range stay there instead of wrapping negative.
    const QString huge = udidFor(u"huge"_s);
    QVERIFY(registerAccount(*m_client, m_config, u"huge@example.org"_s, u"pw"_s, huge));
    const qint64 top = Q_INT64_C(9223372036854775807);
    QVERIFY(addUsage(huge, utc(3, 10, 5, 0), top, top));
    QVERIFY(addUsage(huge, utc(3, 10, 5, 30), 7, 7));
    QVERIFY(addUsage(huge, utc(3, 9, 1, 0), top, 0));
    model = usage(*m_client, m_config, huge, QDate(2025, 3, 10), 0);
    QCOMPARE(monthlyUsage(model), top);
    QCOMPARE(day(model, 8).value(u"usage"_s).toInteger(), top);
    QCOMPARE(day(model, 9).value(u"usage"_s).toInteger(), top);
    for (const QString &figure : {u"In"_s, u"Out"_s, u"Total"_s})
        QCOMPARE(hour(model, 5, figure), top);
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
        QCOMPARE(envelopeProblem(answer.body, code), QString());
    }
    // 2024 was a leap year.
    QVERIFY(usage(*m_client, m_config, udid, QDate(2024, 2, 29), 0).contains(u"info"_s));
}

QTEST_GUILESS_MAIN(DevServiceAccountsTest)
#include "tst_devservice_accounts.moc"
