// Requests as the service sees them: paths, query items in order, computed
// values, and query encoding checked by a real form decoder.

#include "api/URLRouter.h"
#include "api/Utility.h"
#include "config/Config.h"
#include "platform/SystemInfo.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTest>
#include <QTimeZone>

#include <ctime>

using namespace Orvex;

namespace {

using Items = URLRouter::QueryItems;

std::pair<QString, QString> kv(const char *k, const QString &v)
{
    return {QString::fromLatin1(k), v};
}

// Decodes the query of `url` as sent with Python's urllib (form semantics:
// "+" is a space), the way a typical service front end reads it.
Items decodeWithPython(const QUrl &url)
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sys,json,urllib.parse;"
                                 "q=sys.stdin.buffer.read().decode('ascii');"
                                 "print(json.dumps(urllib.parse.parse_qsl(q,keep_blank_values=True,"
                                 "strict_parsing=True,errors='strict')))")});
    python.write(url.query(QUrl::FullyEncoded).toLatin1());
    python.closeWriteChannel();
    if (!python.waitForFinished(30000) || python.exitCode() != 0)
        return {};
    Items out;
    const QJsonArray pairs = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    for (const QJsonValue &p : pairs)
        out.append({p.toArray().at(0).toString(), p.toArray().at(1).toString()});
    return out;
}

void setZone(const char *tz)
{
    qputenv("TZ", tz);
    tzset();
}

} // namespace

class tst_URLRouter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void everyCaseHasItsPathAndItemsInOrder();
    void hostileValuesReachTheServiceUnchanged_data();
    void hostileValuesReachTheServiceUnchanged();
    void usageRequestUsesLocalDayAndCurrentOffset_data();
    void usageRequestUsesLocalDayAndCurrentOffset();
    void computerNameFallsBackToUnknown();
    void kernelReleaseBecomesThreeNumbers();
    void udidFollowsTheDigestRule();

private:
    Config m_config;
};

void tst_URLRouter::initTestCase()
{
    m_config = Config::parse({}, {}).value();
    m_config.apiBaseURL = QStringLiteral("https://api.example.test:8443");
    SystemInfo::setComputerNameSourceForTesting([] { return QStringLiteral("desk 1"); });
}

void tst_URLRouter::everyCaseHasItsPathAndItemsInOrder()
{
    // The identifiers are those of the shipped defaults.
    const QString id = QStringLiteral("3f9c2a7d1e8b4c6a9d0e5f7b2c4a6e81");
    const QString chk = QStringLiteral("Rv8#kQ2+");
    const QString mail = QStringLiteral("e@x.io");
    struct Row
    {
        URLRouter router;
        QString path;
        Items items;
    };
    const QList<Row> rows = {
        {URLRouter::getUser(mail, QStringLiteral("pw")),
         QStringLiteral("/getuser.json"),
         {kv("user", mail), kv("check", QStringLiteral("pw"))}},
        {URLRouter::getUser(mail, std::nullopt),
         QStringLiteral("/getuser.json"),
         {kv("user", mail), kv("check", chk)}},
        {URLRouter::getUser(mail, QString()),
         QStringLiteral("/getuser.json"),
         {kv("user", mail), kv("check", {})}},
        {URLRouter::addUser(QStringLiteral("N"), mail, QStringLiteral("pw"), QStringLiteral("+49123")),
         QStringLiteral("/adduser.json"),
         {kv("user", mail), kv("password", QStringLiteral("pw")), kv("name", QStringLiteral("N")),
          kv("email", mail), kv("phoneNumber", QStringLiteral("+49123")),
          kv("check", QStringLiteral("OVX7K2"))}},
        {URLRouter::checkUser(mail),
         QStringLiteral("/checkUserAccount.json"),
         {kv("check", chk), kv("user", mail)}},
        {URLRouter::verifyMobile(QStringLiteral("+49123")),
         QStringLiteral("/iOS/lookup.php"),
         {kv("Number", QStringLiteral("+49123"))}},
        {URLRouter::sendSms(QStringLiteral("+49123"), QStringLiteral("0042"), QStringLiteral("tok")),
         QStringLiteral("/iOS/sms_orvex.php"),
         {kv("ToNumbe", QStringLiteral("+49123")), kv("toMsg", QStringLiteral("0042")),
          kv("verify", QStringLiteral("tok"))}},
        {URLRouter::addDevice(QStringLiteral("ud"), mail),
         QStringLiteral("/adddevice.json"),
         {kv("udid", QStringLiteral("ud")), kv("user", mail), kv("apn", QStringLiteral("desktop")),
          kv("nickName", QStringLiteral("desk 1")), kv("systemName", QStringLiteral("Linux")),
          kv("systemVersion", QStringLiteral("kernel")), kv("check", chk),
          kv("status", QStringLiteral("Active"))}},
        {URLRouter::getCert(QStringLiteral("pw"), QStringLiteral("ud"), mail, QStringLiteral("tk")),
         QStringLiteral("/portableapi/portable.php"),
         {kv("api", QStringLiteral("getcert")), kv("ApiID", id), kv("password", QStringLiteral("pw")),
          kv("Deviceudid", QStringLiteral("ud")), kv("Userid", mail), kv("token", QStringLiteral("tk")),
          kv("crt_type", QStringLiteral("p12"))}},
        {URLRouter::checkForUpdates(QStringLiteral("1.0.1")),
         QStringLiteral("/v3/ov/checkupdates/"),
         {kv("version", QStringLiteral("1.0.1")), kv("os", QStringLiteral("linux"))}},
        {URLRouter::getToken(),
         QStringLiteral("/portableapi/portable.php"),
         {kv("api", QStringLiteral("gen_token")), kv("ApiID", id)}},
        {URLRouter::getVerificationCode(), QStringLiteral("/iOS/getverification.php"), {}},
    };
    for (const Row &row : rows) {
        const QUrl url = row.router.url(m_config);
        QCOMPARE(url.scheme() + QStringLiteral("://") + url.authority() + url.path(),
                 QStringLiteral("https://api.example.test:8443") + row.path);
        Items items = decodeWithPython(url);
        // This machine's kernel release, as three numbers.
        for (auto &[name, value] : items) {
            if (name == QLatin1String("systemVersion")
                && QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$")).match(value).hasMatch())
                value = QStringLiteral("kernel");
        }
        QCOMPARE(items, row.items);
        QCOMPARE(url.hasQuery(), !row.items.isEmpty());
        QCOMPARE(row.router.asURLRequest(m_config).url(), url);
    }
}

void tst_URLRouter::hostileValuesReachTheServiceUnchanged_data()
{
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("password");
    QTest::newRow("plus") << QStringLiteral("first+tag@x.io") << QStringLiteral("a+b+");
    QTest::newRow("delimiters") << QStringLiteral("a&b=c@x.io") << QStringLiteral("p&ss=w;rd?/");
    QTest::newRow("percent and hash") << QStringLiteral("100%@x.io") << QStringLiteral("%41%2B#frag");
    QTest::newRow("spaces") << QStringLiteral(" lead@x.io ") << QStringLiteral("two  spaces");
    QTest::newRow("non-ascii") << QStringLiteral("jürgen@müller.de") << QStringLiteral("пароль密码🔑");
    QTest::newRow("quotes and brackets") << QStringLiteral("\"o'k\"@[x].io") << QStringLiteral("<>{}|\\^`");
}

void tst_URLRouter::hostileValuesReachTheServiceUnchanged()
{
    QFETCH(QString, email);
    QFETCH(QString, password);
    const QUrl url = URLRouter::getUser(email, password).url(m_config);
    const QByteArray wire = url.toEncoded();
    QVERIFY(!wire.contains('+'));
    QVERIFY(!wire.contains(' '));
    QCOMPARE(decodeWithPython(url), (Items{kv("user", email), kv("check", password)}));
}

void tst_URLRouter::usageRequestUsesLocalDayAndCurrentOffset_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("tz");
    QTest::newRow("UTC") << QByteArray("UTC") << QStringLiteral("0");
    QTest::newRow("India +5:30") << QByteArray("Asia/Kolkata") << QStringLiteral("5");
    QTest::newRow("Newfoundland -3:30 or -2:30") << QByteArray("America/St_Johns") << QString();
}

void tst_URLRouter::usageRequestUsesLocalDayAndCurrentOffset()
{
    QFETCH(QByteArray, zone);
    QFETCH(QString, tz);
    setZone(zone.constData());
    // 23:30 local on the last day of a month is still that day.
    const QDateTime lateEvening(QDate(2026, 1, 31), QTime(23, 30));
    const Items items = decodeWithPython(
        URLRouter::getDeviceUsage(QStringLiteral("ud"), lateEvening).url(m_config));
    QCOMPARE(items.at(2), kv("deviceudid", QStringLiteral("ud")));
    QCOMPARE(items.at(4), kv("y", QStringLiteral("2026")));
    QCOMPARE(items.at(5), kv("m", QStringLiteral("1")));
    QCOMPARE(items.at(6), kv("d", QStringLiteral("31")));

    // The offset is the one in force now, whole hours truncated toward zero.
    const int now = QDateTime::currentDateTime().offsetFromUtc();
    const QString expected = tz.isEmpty() ? QString::number(now / 3600) : tz;
    QCOMPARE(items.at(3), kv("tz", expected));
    if (zone == "America/St_Johns")
        QVERIFY(expected == QStringLiteral("-3") || expected == QStringLiteral("-2"));
    QVERIFY(!items.at(3).second.startsWith(u'+'));
    setZone("UTC");
}

void tst_URLRouter::computerNameFallsBackToUnknown()
{
    SystemInfo::setComputerNameSourceForTesting([] { return QString(); });
    const Items items = decodeWithPython(
        URLRouter::addDevice(QStringLiteral("u"), QStringLiteral("e")).url(m_config));
    QCOMPARE(items.at(3), kv("nickName", QStringLiteral("Unknown")));
    SystemInfo::setComputerNameSourceForTesting([] { return QStringLiteral("desk 1"); });
}

void tst_URLRouter::kernelReleaseBecomesThreeNumbers()
{
    QCOMPARE(SystemInfo::threePartVersion(QStringLiteral("6.1.0-18-amd64")), QStringLiteral("6.1.0"));
    QCOMPARE(SystemInfo::threePartVersion(QStringLiteral("5.15")), QStringLiteral("5.15.0"));
    QCOMPARE(SystemInfo::threePartVersion(QStringLiteral("6.8.12+deb13")), QStringLiteral("6.8.12"));
    QCOMPARE(SystemInfo::threePartVersion(QStringLiteral("6.10-rc1")), QStringLiteral("6.10.0"));
}

// The machine id and the address as typed make the udid (the certificate
// request's Deviceudid in tst_certificateprovisioner); without an id:
void tst_URLRouter::udidFollowsTheDigestRule()
{
    SystemInfo::setMachineIdSourceForTesting([] { return QString(); });
    QCOMPARE(Utility::udid(QStringLiteral("me@x.io")), QStringLiteral("b3e2c14535e5cd42ae6c22f1badc6ad6"));

    SystemInfo::setMachineIdSourceForTesting([] { return std::nullopt; });
    QCOMPARE(Utility::udid(QStringLiteral("me@x.io")), QString());
    QCOMPARE(Utility::udid(QStringLiteral("other@x.io")), QString());

    SystemInfo::setMachineIdSourceForTesting({});
    QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$"))
                .match(Utility::applicationVersion())
                .hasMatch());
}

QTEST_GUILESS_MAIN(tst_URLRouter)
#include "tst_urlrouter.moc"
