// Accounts, devices and the phone flow of orvex-devservice, over real HTTPS.

#include "ServiceCalls.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class DevServiceAccountsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void signUpPath();
    void refusals_data();
    void refusals();
    void registeringAgainKeepsOneDevice();
    void lookupAnswers_data();
    void lookupAnswers();
    void smsTokens();
    void devRoutesOnlyWhenAsked();
    void passwordHashesGetTheCurrentCostAtSignIn();
    void dataFolderIsTheServicesAlone();

private:
    QByteArray sendSms(const QString &to, const QString &verify);

    const Orvex::Config &m_config = Orvex::Config::current();
    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
};

void DevServiceAccountsTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_dir.path());
    QVERIFY2(m_service->start({u"--dev-routes"_s}), qPrintable(m_service->errors()));
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
    // The accounts the refusals are about.
    QVERIFY(!signUp(*m_client, m_config, u"getuser@example.org"_s, u"right one"_s).isEmpty());
    QVERIFY(!signUp(*m_client, m_config, u"other@example.org"_s, u"pw"_s).isEmpty());
}

QByteArray DevServiceAccountsTest::sendSms(const QString &to, const QString &verify)
{
    return m_client
        ->get(u"/iOS/sms_orvex.php"_s, {{u"ToNumbe"_s, to}, {u"toMsg"_s, u"1234"_s}, {u"verify"_s, verify}})
        .body;
}

// What the client's own requests (its integration test) leave out: a password
// that only survives full percent-encoding, the records' members, the SMS
// answer's members and the outbox, newest first.
void DevServiceAccountsTest::signUpPath()
{
    const QString email = u"ann+vpn@example.org"_s;
    const QString password = u"p+ss #w&rd=%20é"_s;
    const QString phone = u"+33612345678"_s;
    for (const QString &code : {u"0042"_s, u"7301"_s}) {
        HttpAnswer answer = m_client->get(u"/iOS/getverification.php"_s);
        QVERIFY(answer.contentType.startsWith("text/plain"));
        const QString verify = QString::fromUtf8(answer.body);
        answer = m_client->get(u"/iOS/sms_orvex.php"_s,
                               {{u"ToNumbe"_s, phone}, {u"toMsg"_s, code}, {u"verify"_s, verify}});
        const QJsonObject sms
            = jsonObject(answer.body).value(u"orvexcloud"_s).toObject().value(u"sms"_s).toObject();
        QVERIFY2(sms.value(u"sid"_s).isString() && sms.value(u"message"_s).isString(),
                 answer.body.constData());
        QCOMPARE(sms.value(u"status"_s), QJsonValue(true));
    }
    const QJsonArray outbox = QJsonDocument::fromJson(m_client->get(u"/dev/sms"_s, {{u"to"_s, phone}}).body)
                                  .array();
    QCOMPARE(outbox.at(0).toObject().value(u"message"_s).toString(), u"7301"_s);
    QCOMPARE(outbox.at(1).toObject().value(u"message"_s).toString(), u"0042"_s);
    QCOMPARE(outbox.at(0).toObject().value(u"to"_s).toString(), phone);

    const QJsonObject created = signUp(*m_client, m_config, email, password);
    QCOMPARE(created.value(u"phoneNumber"_s).toString(), phone);
    QVERIFY(created.value(u"id"_s).isString());
    QVERIFY(!created.contains(u"password"_s));
    QVERIFY(addDevice(*m_client, m_config, udidFor(email), email));
    // E-mail addresses match without regard to case.
    const HttpAnswer answer = m_client->get(u"/getuser.json"_s,
                                            {{u"user"_s, email.toUpper()}, {u"check"_s, password}});
    const QJsonObject user = jsonObject(answer.body).value(u"user"_s).toObject();
    QCOMPARE(user.value(u"email"_s), QJsonValue(email));
    const QJsonObject device = user.value(u"devices"_s).toArray().at(0).toObject();
    QCOMPARE(device.value(u"udid"_s).toString(), udidFor(email));
    QCOMPARE(device.value(u"user"_s).toString(), email);
    QVERIFY(device.value(u"id"_s).isString());
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
    const HttpAnswer user = m_client->get(u"/getuser.json"_s, {{u"user"_s, owner}, {u"check"_s, u"pw"_s}});
    QCOMPARE(jsonObject(user.body).value(u"user"_s).toObject().value(u"devices"_s).toArray().size(), 1);
    // Another account cannot take the machine over.
    const HttpAnswer taken = m_client->get(u"/adddevice.json"_s, {{u"udid"_s, udid},
                                                                  {u"user"_s, u"other@example.org"_s},
                                                                  {u"check"_s, m_config.serviceCheckValue}});
    QCOMPARE(envelopeProblem(taken.body, 9), QString());
}

void DevServiceAccountsTest::lookupAnswers_data()
{
    QTest::addColumn<QString>("number"); // "-": none sent
    QTest::addColumn<QString>("status");
    QTest::newRow("mobile") << u"+4915123456789"_s << u"200"_s;
    QTest::newRow("fixed line") << u"+33112345678"_s << u"422"_s;
    QTest::newRow("too short") << u"+3312345"_s << u"404"_s;
    QTest::newRow("not a number") << u"hello"_s << u"400"_s;
    QTest::newRow("none") << u"-"_s << u"400"_s;
}

void DevServiceAccountsTest::lookupAnswers()
{
    QFETCH(QString, number);
    QFETCH(QString, status);
    const QueryItems items = number == "-"_L1 ? QueryItems{} : QueryItems{{u"Number"_s, number}};
    const QJsonObject answer = jsonObject(m_client->get(u"/iOS/lookup.php"_s, items).body);
    QCOMPARE(answer.value(u"status"_s).toString(), status);
    if (status == "200"_L1)
        QVERIFY(answer.value(u"message"_s).isString());
}

void DevServiceAccountsTest::smsTokens()
{
    const QString verify = QString::fromUtf8(m_client->get(u"/iOS/getverification.php"_s).body);
    QCOMPARE(envelopeProblem(sendSms(u"+33612345678"_s, u"made-up"_s), 5), QString());
    QCOMPARE(envelopeProblem(sendSms(u"12"_s, verify), 2), QString());
    // A refused destination does not spend the token; a sent SMS does.
    QVERIFY(jsonObject(sendSms(u"+33612345678"_s, verify)).contains(u"orvexcloud"_s));
    QCOMPARE(envelopeProblem(sendSms(u"+33612345678"_s, verify), 5), QString());
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

QTEST_GUILESS_MAIN(DevServiceAccountsTest)
#include "tst_devservice_accounts.moc"
