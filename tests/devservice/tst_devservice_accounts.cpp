// Accounts, devices and the phone flow of orvex-devservice, over real HTTPS.

#include "DevServiceProcess.h"
#include "ServiceAnswers.h"

#include "config/Config.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

class DevServiceAccountsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void signUpPath();
    void getUserAnswers();
    void addUserRefusals();
    void addDeviceAnswers();
    void phoneAnswers();
    void devRoutesOnlyWhenAsked();
    void passwordHashesGetTheCurrentCostAtSignIn();
    void dataFolderIsTheServicesAlone();

private:
    // Creates an account through adduser; answers its record.
    QJsonObject addAccount(const QString &email, const QString &password);
    QueryItems addDeviceQuery(const QString &udid, const QString &email) const;

    const Orvex::Config &m_config = Orvex::Config::current();
    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
};

void DevServiceAccountsTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_dir.path());
    QVERIFY2(m_service->start({QStringLiteral("--dev-routes")}), qPrintable(m_service->errors()));
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
}

QJsonObject DevServiceAccountsTest::addAccount(const QString &email, const QString &password)
{
    const HttpAnswer answer = m_client->get(QStringLiteral("/adduser.json"),
                                            {{QStringLiteral("user"), email},
                                             {QStringLiteral("password"), password},
                                             {QStringLiteral("name"), QStringLiteral("Ann Example")},
                                             {QStringLiteral("email"), email},
                                             {QStringLiteral("phoneNumber"),
                                              QStringLiteral("+33612345678")},
                                             {QStringLiteral("check"), m_config.signUpCheckValue}});
    return jsonObject(answer.body).value(QStringLiteral("user")).toObject();
}

QueryItems DevServiceAccountsTest::addDeviceQuery(const QString &udid, const QString &email) const
{
    return {{QStringLiteral("udid"), udid},
            {QStringLiteral("user"), email},
            {QStringLiteral("apn"), QStringLiteral("desktop")},
            {QStringLiteral("nickName"), QStringLiteral("Ann's laptop")},
            {QStringLiteral("systemName"), QStringLiteral("Linux")},
            {QStringLiteral("systemVersion"), QStringLiteral("6.1.0")},
            {QStringLiteral("check"), m_config.serviceCheckValue},
            {QStringLiteral("status"), QStringLiteral("Active")}};
}

void DevServiceAccountsTest::signUpPath()
{
    const QString email = QStringLiteral("ann+vpn@example.org");
    // Characters that only survive full percent-encoding and decoding.
    const QString password = QStringLiteral("p+ss #w&rd=%20é");
    const QString phone = QStringLiteral("+33612345678");

    // The address is still free.
    HttpAnswer answer = m_client->get(QStringLiteral("/checkUserAccount.json"),
                                      {{QStringLiteral("check"), m_config.serviceCheckValue},
                                       {QStringLiteral("user"), email}});
    QCOMPARE(envelopeProblem(answer.body, 16), QString());

    answer = m_client->get(QStringLiteral("/iOS/lookup.php"), {{QStringLiteral("Number"), phone}});
    QCOMPARE(jsonObject(answer.body).value(QStringLiteral("status")),
             QJsonValue(QStringLiteral("200")));
    QVERIFY(jsonObject(answer.body).value(QStringLiteral("message")).isString());

    // Two codes sent; the outbox shows the newer first.
    for (const QString &code : {QStringLiteral("0042"), QStringLiteral("7301")}) {
        answer = m_client->get(QStringLiteral("/iOS/getverification.php"));
        QCOMPARE(answer.status, 200);
        QVERIFY(answer.contentType.startsWith("text/plain"));
        const QString verify = QString::fromUtf8(answer.body);
        QVERIFY(!verify.isEmpty());
        answer = m_client->get(QStringLiteral("/iOS/sms_orvex.php"),
                               {{QStringLiteral("ToNumbe"), phone},
                                {QStringLiteral("toMsg"), code},
                                {QStringLiteral("verify"), verify}});
        const QJsonObject sms = jsonObject(answer.body)
                                        .value(QStringLiteral("orvexcloud"))
                                        .toObject()
                                        .value(QStringLiteral("sms"))
                                        .toObject();
        QVERIFY2(sms.value(QStringLiteral("sid")).isString(), answer.body.constData());
        QVERIFY(sms.value(QStringLiteral("message")).isString());
        QCOMPARE(sms.value(QStringLiteral("status")), QJsonValue(true));
    }
    answer = m_client->get(QStringLiteral("/dev/sms"), {{QStringLiteral("to"), phone}});
    const QJsonArray outbox = QJsonDocument::fromJson(answer.body).array();
    QVERIFY(outbox.size() >= 2);
    QCOMPARE(outbox.at(0).toObject().value(QStringLiteral("message")).toString(),
             QStringLiteral("7301"));
    QCOMPARE(outbox.at(1).toObject().value(QStringLiteral("message")).toString(),
             QStringLiteral("0042"));
    QCOMPARE(outbox.at(0).toObject().value(QStringLiteral("to")).toString(), phone);

    const QJsonObject created = addAccount(email, password);
    QCOMPARE(created.value(QStringLiteral("email")).toString(), email);
    QCOMPARE(created.value(QStringLiteral("name")).toString(), QStringLiteral("Ann Example"));
    QCOMPARE(created.value(QStringLiteral("phoneNumber")).toString(), phone);
    QVERIFY(created.value(QStringLiteral("id")).isString());
    QVERIFY(!created.contains(QStringLiteral("password")));

    answer = m_client->get(QStringLiteral("/getuser.json"),
                           {{QStringLiteral("user"), email}, {QStringLiteral("check"), password}});
    QCOMPARE(jsonObject(answer.body)
                     .value(QStringLiteral("user"))
                     .toObject()
                     .value(QStringLiteral("email")),
             QJsonValue(email));

    const QString udid = udidFor(QStringLiteral("machine-a@") + email);
    answer = m_client->get(QStringLiteral("/adddevice.json"), addDeviceQuery(udid, email));
    QCOMPARE(envelopeProblem(answer.body, 0, false), QString());

    answer = m_client->get(QStringLiteral("/getuser.json"),
                           {{QStringLiteral("user"), email}, {QStringLiteral("check"), password}});
    const QJsonArray devices = jsonObject(answer.body)
                                       .value(QStringLiteral("user"))
                                       .toObject()
                                       .value(QStringLiteral("devices"))
                                       .toArray();
    QCOMPARE(devices.size(), 1);
    const QJsonObject device = devices.at(0).toObject();
    QCOMPARE(device.value(QStringLiteral("udid")).toString(), udid);
    QCOMPARE(device.value(QStringLiteral("apn")).toString(), QStringLiteral("desktop"));
    QCOMPARE(device.value(QStringLiteral("user")).toString(), email);
    QVERIFY(device.value(QStringLiteral("id")).isString());

    // Now the address is taken: an answer without an error envelope.
    answer = m_client->get(QStringLiteral("/checkUserAccount.json"),
                           {{QStringLiteral("check"), m_config.serviceCheckValue},
                            {QStringLiteral("user"), email}});
    QCOMPARE(envelopeProblem(answer.body, 0, false), QString());
}

void DevServiceAccountsTest::getUserAnswers()
{
    const QString email = QStringLiteral("getuser@example.org");
    QVERIFY(!addAccount(email, QStringLiteral("right one")).isEmpty());
    const auto getUser = [&](const QueryItems &items) {
        return m_client->get(QStringLiteral("/getuser.json"), items).body;
    };

    QCOMPARE(envelopeProblem(getUser({{QStringLiteral("user"), email},
                                      {QStringLiteral("check"), QStringLiteral("wrong")}}),
                             6),
             QString());
    // A present but empty password is a password, and a wrong one.
    QCOMPARE(envelopeProblem(getUser({{QStringLiteral("user"), email},
                                      {QStringLiteral("check"), QString()}}),
                             6),
             QString());
    QCOMPARE(envelopeProblem(getUser({{QStringLiteral("user"), QStringLiteral("nobody@example.org")},
                                      {QStringLiteral("check"), QStringLiteral("right one")}}),
                             16),
             QString());
    QCOMPARE(envelopeProblem(getUser({{QStringLiteral("user"), email}}), 2), QString());
    QCOMPARE(envelopeProblem(getUser({{QStringLiteral("check"), QStringLiteral("x")}}), 2),
             QString());
    // E-mail addresses match without regard to case.
    const QJsonObject byCheckValue = jsonObject(
            getUser({{QStringLiteral("user"), email.toUpper()},
                     {QStringLiteral("check"), m_config.serviceCheckValue}}));
    QCOMPARE(byCheckValue.value(QStringLiteral("user")).toObject().value(QStringLiteral("email")),
             QJsonValue(email));
}

void DevServiceAccountsTest::addUserRefusals()
{
    const QString email = QStringLiteral("twice@example.org");
    QVERIFY(!addAccount(email, QStringLiteral("pw")).isEmpty());
    QVERIFY(addAccount(email, QStringLiteral("pw")).isEmpty());

    QueryItems items = {{QStringLiteral("user"), QStringLiteral("new@example.org")},
                        {QStringLiteral("password"), QStringLiteral("pw")},
                        {QStringLiteral("name"), QStringLiteral("N")},
                        {QStringLiteral("email"), QStringLiteral("new@example.org")},
                        {QStringLiteral("phoneNumber"), QStringLiteral("+33612345678")},
                        {QStringLiteral("check"), m_config.serviceCheckValue}};
    // The fixed service value is not the sign-up value.
    QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adduser.json"), items).body, 4),
             QString());

    items.last().second = m_config.signUpCheckValue;
    items[0].second = QStringLiteral("other@example.org");
    QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adduser.json"), items).body, 2),
             QString());
    items[0].second = items[3].second = QStringLiteral("not-an-address");
    QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adduser.json"), items).body, 2),
             QString());
    items[0].second = items[3].second = QStringLiteral("twice@example.org");
    QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adduser.json"), items).body, 7),
             QString());
    items.removeAt(1);
    QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adduser.json"), items).body, 2),
             QString());
}

void DevServiceAccountsTest::addDeviceAnswers()
{
    const QString owner = QStringLiteral("owner@example.org");
    const QString other = QStringLiteral("other@example.org");
    QVERIFY(!addAccount(owner, QStringLiteral("pw")).isEmpty());
    QVERIFY(!addAccount(other, QStringLiteral("pw")).isEmpty());
    const QString udid = udidFor(QStringLiteral("machine-b@") + owner);

    QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adddevice.json"),
                                           addDeviceQuery(udid, QStringLiteral("ghost@example.org")))
                                     .body,
                             16),
             QString());
    QueryItems wrongCheck = addDeviceQuery(udid, owner);
    wrongCheck[6].second = m_config.signUpCheckValue;
    QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adddevice.json"), wrongCheck).body, 4),
             QString());
    // The udid becomes a DNS label of the certificate.
    for (const QString &bad :
         {QString(), QStringLiteral("a.b"), QStringLiteral("-x"), QString(70, QLatin1Char('a'))}) {
        QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adddevice.json"),
                                               addDeviceQuery(bad, owner))
                                         .body,
                                 2),
                 QString());
    }

    // Registering again updates the device instead of adding a second one.
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adddevice.json"),
                                               addDeviceQuery(udid, owner))
                                         .body,
                                 0,
                                 false),
                 QString());
    }
    const HttpAnswer user = m_client->get(QStringLiteral("/getuser.json"),
                                          {{QStringLiteral("user"), owner},
                                           {QStringLiteral("check"), QStringLiteral("pw")}});
    QCOMPARE(jsonObject(user.body)
                     .value(QStringLiteral("user"))
                     .toObject()
                     .value(QStringLiteral("devices"))
                     .toArray()
                     .size(),
             1);
    // Another account cannot take the machine over.
    QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adddevice.json"),
                                           addDeviceQuery(udid, other))
                                     .body,
                             9),
             QString());
}

void DevServiceAccountsTest::phoneAnswers()
{
    const auto lookupStatus = [&](const QueryItems &items) {
        return jsonObject(m_client->get(QStringLiteral("/iOS/lookup.php"), items).body)
                .value(QStringLiteral("status"))
                .toString();
    };
    QCOMPARE(lookupStatus({{QStringLiteral("Number"), QStringLiteral("+4915123456789")}}),
             QStringLiteral("200"));
    QCOMPARE(lookupStatus({{QStringLiteral("Number"), QStringLiteral("+33112345678")}}),
             QStringLiteral("422"));
    QCOMPARE(lookupStatus({{QStringLiteral("Number"), QStringLiteral("+3312345")}}),
             QStringLiteral("404"));
    QCOMPARE(lookupStatus({{QStringLiteral("Number"), QStringLiteral("hello")}}),
             QStringLiteral("400"));
    QCOMPARE(lookupStatus({}), QStringLiteral("400"));

    const auto sendSms = [&](const QString &to, const QString &verify) {
        return m_client
                ->get(QStringLiteral("/iOS/sms_orvex.php"),
                      {{QStringLiteral("ToNumbe"), to},
                       {QStringLiteral("toMsg"), QStringLiteral("1234")},
                       {QStringLiteral("verify"), verify}})
                .body;
    };
    const QString verify = QString::fromUtf8(
            m_client->get(QStringLiteral("/iOS/getverification.php")).body);
    QCOMPARE(envelopeProblem(sendSms(QStringLiteral("+33612345678"), QStringLiteral("made-up")), 5),
             QString());
    QCOMPARE(envelopeProblem(sendSms(QStringLiteral("12"), verify), 2), QString());
    // A refused destination does not spend the token; a sent SMS does.
    QVERIFY(jsonObject(sendSms(QStringLiteral("+33612345678"), verify))
                    .contains(QStringLiteral("orvexcloud")));
    QCOMPARE(envelopeProblem(sendSms(QStringLiteral("+33612345678"), verify), 5), QString());
}

void DevServiceAccountsTest::devRoutesOnlyWhenAsked()
{
    QTemporaryDir dir;
    DevServiceProcess plain(dir.path());
    QVERIFY2(plain.start(), qPrintable(plain.errors()));
    HttpsClient client(plain.origin(), plain.caCertificate());
    const HttpAnswer answer = client.get(QStringLiteral("/dev/sms"),
                                         {{QStringLiteral("to"), QStringLiteral("+33612345678")}});
    QCOMPARE(answer.status, 404);
    QCOMPARE(envelopeProblem(answer.body, 3), QString());
    const HttpAnswer fault = client.post(QStringLiteral("/dev/faults"),
                                         R"({"path":"/getuser.json","fault":"close"})");
    QCOMPARE(fault.status, 404);
    QVERIFY(plain.stop());
}

namespace {

// The stored password hash of `email`, read with the sqlite3 program.
QString storedHash(const QString &dataDir, const QString &email)
{
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"),
                 {dataDir + QStringLiteral("/devservice.sqlite3"),
                  QStringLiteral("SELECT password_hash FROM accounts WHERE email = '%1';").arg(email)});
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
        QVERIFY2(service.start({QStringLiteral("--seed-demo")}), qPrintable(service.errors()));
        QVERIFY(service.stop());
        QVERIFY2(storedHash(dir.path(), QStringLiteral("demo@orvex.example")).startsWith(QStringLiteral("pbkdf2-sha256$600000$")),
                 qPrintable(storedHash(dir.path(), QStringLiteral("demo@orvex.example"))));
    }
    // An account made at a lower cost keeps working when the cost is raised,
    // and its hash is made again at the new cost by the next sign-in; a wrong
    // password changes nothing.
    const QString email = QStringLiteral("cost@example.org");
    {
        DevServiceProcess service(dir.path());
        QVERIFY2(service.start({QStringLiteral("--password-rounds"), QStringLiteral("1000")}), qPrintable(service.errors()));
        HttpsClient client(service.origin(), service.caCertificate());
        const HttpAnswer created = client.get(QStringLiteral("/adduser.json"),
                                              {{QStringLiteral("user"), email},
                                               {QStringLiteral("password"), QStringLiteral("pw-cost")},
                                               {QStringLiteral("name"), QStringLiteral("Cost")},
                                               {QStringLiteral("email"), email},
                                               {QStringLiteral("phoneNumber"), QStringLiteral("+33612345678")},
                                               {QStringLiteral("check"), m_config.signUpCheckValue}});
        QVERIFY2(jsonObject(created.body).contains(QStringLiteral("user")), created.body.constData());
        QVERIFY(service.stop());
    }
    const QString before = storedHash(dir.path(), email);
    QVERIFY2(before.startsWith(QStringLiteral("pbkdf2-sha256$1000$")), qPrintable(before));
    DevServiceProcess service(dir.path());
    QVERIFY2(service.start({QStringLiteral("--password-rounds"), QStringLiteral("3000")}), qPrintable(service.errors()));
    HttpsClient client(service.origin(), service.caCertificate());
    const auto signIn = [&](const QString &password) {
        return client.get(QStringLiteral("/getuser.json"), {{QStringLiteral("user"), email}, {QStringLiteral("check"), password}});
    };
    QCOMPARE(envelopeProblem(signIn(QStringLiteral("wrong")).body, 6), QString());
    QCOMPARE(storedHash(dir.path(), email), before);
    QVERIFY(jsonObject(signIn(QStringLiteral("pw-cost")).body).contains(QStringLiteral("user")));
    const QString after = storedHash(dir.path(), email);
    QVERIFY2(after.startsWith(QStringLiteral("pbkdf2-sha256$3000$")), qPrintable(after));
    QVERIFY(jsonObject(signIn(QStringLiteral("pw-cost")).body).contains(QStringLiteral("user")));
    QCOMPARE(envelopeProblem(signIn(QStringLiteral("wrong")).body, 6), QString());
    QVERIFY(service.stop());
}

void DevServiceAccountsTest::dataFolderIsTheServicesAlone()
{
    QTemporaryDir dir;
    // A folder others may write to is made the service's alone.
    const QString open = dir.filePath(QStringLiteral("open"));
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
    const QString target = dir.filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkpath(target));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0755) == 0);
    const QString link = dir.filePath(QStringLiteral("link"));
    QVERIFY(QFile::link(target, link));
    if (::lchown(QFile::encodeName(link).constData(), ::geteuid() + 1, ::getegid()) != 0)
        QSKIP("making a link owned by another user needs root");
    DevServiceProcess refused(link);
    QVERIFY(!refused.start());
    QVERIFY2(refused.errors().contains(QStringLiteral("symbolic link owned by another user")), "no reason given");
    QVERIFY(::stat(QFile::encodeName(target).constData(), &st) == 0);
    QCOMPARE(st.st_mode & 07777, 0755u);
    QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

QTEST_GUILESS_MAIN(DevServiceAccountsTest)
#include "tst_devservice_accounts.moc"
