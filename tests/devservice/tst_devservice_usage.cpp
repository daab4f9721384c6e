// Usage history of orvex-devservice: the month model, seeded history, and
// traffic taken from a gateway's VICI socket (a scripted stand-in for charon).

#include "ServiceCalls.h"

#include <QDateTime>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The VICI wire format written out byte by byte, independently of the
// service's own encoder.
QByteArray name8(const QByteArray &name)
{
    return char(name.size()) + name;
}

QByteArray keyValue(const QByteArray &key, const QByteArray &value)
{
    return '\x03' + name8(key) + char(value.size() >> 8) + char(value.size() & 0xff) + value;
}

QByteArray section(const QByteArray &name, const QByteArray &content)
{
    return '\x01' + name8(name) + content + '\x02';
}

QByteArray packet(const QByteArray &payload)
{
    const quint32 size = quint32(payload.size());
    const char header[] = {char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
    return QByteArray(header, 4) + payload;
}

} // namespace

// Answers list-sas with scripted SAs and confirms event registrations, as
// charon does.
class FakeCharon : public QObject
{
    Q_OBJECT

public:
    struct Sa
    {
        QByteArray connection;
        QByteArray remoteId;
        QByteArray spiIn;
        QByteArray spiOut;
        qint64 bytesIn = 0;
        qint64 bytesOut = 0;
    };

    bool listen(const QString &path)
    {
        connect(&m_server, &QLocalServer::newConnection, this, [this] {
            m_socket = m_server.nextPendingConnection();
            m_buffer.clear();
            connect(m_socket, &QLocalSocket::readyRead, this, &FakeCharon::read);
        });
        return m_server.listen(path);
    }

    static QByteArray ikeSa(const Sa &sa)
    {
        const QByteArray child = section("net-" + sa.spiIn,
                                         keyValue("uniqueid", "7") + keyValue("spi-in", sa.spiIn)
                                             + keyValue("spi-out", sa.spiOut)
                                             + keyValue("bytes-in", QByteArray::number(sa.bytesIn))
                                             + keyValue("bytes-out", QByteArray::number(sa.bytesOut)));
        return section(sa.connection, keyValue("uniqueid", "3") + keyValue("state", "ESTABLISHED")
                                          + keyValue("remote-id", sa.remoteId) + section("child-sas", child));
    }

    void sendEvent(const QByteArray &name, const QByteArray &message)
    {
        if (m_socket)
            m_socket->write(packet('\x07' + name8(name) + message));
    }

    QList<Sa> sas;
    int listRequests = 0;
    QList<QByteArray> registered;

private:
    void read()
    {
        m_buffer += m_socket->readAll();
        while (m_buffer.size() >= 4) {
            const quint32 size = (quint32(quint8(m_buffer[0])) << 24) | (quint32(quint8(m_buffer[1])) << 16)
                                 | (quint32(quint8(m_buffer[2])) << 8) | quint8(m_buffer[3]);
            if (quint32(m_buffer.size()) < 4 + size)
                return;
            const QByteArray payload = m_buffer.mid(4, int(size));
            m_buffer.remove(0, int(4 + size));
            const char type = payload.at(0);
            const QByteArray name = payload.mid(2, quint8(payload.at(1)));
            if (type == 3) { // register
                registered.append(name);
                m_socket->write(packet(QByteArray(1, '\x05')));
            } else if (type == 0 && name == "list-sas") {
                for (const Sa &sa : std::as_const(sas))
                    sendEvent("list-sa", ikeSa(sa));
                m_socket->write(packet(QByteArray(1, '\x01')));
                ++listRequests;
            } else {
                m_socket->write(packet(QByteArray(1, '\x02')));
            }
        }
    }

    QLocalServer m_server;
    QLocalSocket *m_socket = nullptr;
    QByteArray m_buffer;
};

class DevServiceUsageTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void monthInLocalTime();
    void refusals();
    void seededHistoryStaysPut();
    void gatewayTraffic();

private:
    bool addDevice(HttpsClient &client, const QString &email, const QString &udid)
    {
        return registerAccount(client, m_config, email, u"pw"_s, udid);
    }
    QJsonObject usage(HttpsClient &client, const QString &udid, const QDate &date, int tz)
    {
        return ::usage(client, m_config, udid, date, tz);
    }
    // The device's total of the current month, its received and sent bytes today.
    struct Today
    {
        qint64 month = -1;
        qint64 in = 0;
        qint64 out = 0;
    };
    Today today(HttpsClient &client, const QString &udid);
    bool addUsage(const QString &udid, const QDateTime &when, qint64 in, qint64 out);

    const Orvex::Config &m_config = Orvex::Config::current();
    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
};

void DevServiceUsageTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_dir.path() + u"/data"_s);
    QVERIFY2(m_service->start({u"--dev-routes"_s}), qPrintable(m_service->errors()));
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
}

DevServiceUsageTest::Today DevServiceUsageTest::today(HttpsClient &client, const QString &udid)
{
    const QJsonObject model = usage(client, udid, QDateTime::currentDateTimeUtc().date(), 0);
    Today result;
    if (model.isEmpty())
        return result;
    result.month = monthlyUsage(model);
    for (const QJsonValue &hour : model.value(u"traffic"_s).toArray()) {
        result.in += hour.toObject().value(u"In"_s).toInteger();
        result.out += hour.toObject().value(u"Out"_s).toInteger();
    }
    return result;
}

bool DevServiceUsageTest::addUsage(const QString &udid, const QDateTime &when, qint64 in, qint64 out)
{
    const QByteArray body = QJsonDocument(QJsonObject{{u"udid"_s, udid},
                                                      {u"time"_s, when.toSecsSinceEpoch()},
                                                      {u"in"_s, in},
                                                      {u"out"_s, out}})
                                .toJson(QJsonDocument::Compact);
    return m_client->post(u"/dev/usage"_s, body).status == 200;
}

void DevServiceUsageTest::monthInLocalTime()
{
    const QString udid = udidFor(u"month"_s);
    QVERIFY(addDevice(*m_client, u"month@example.org"_s, udid));
    const auto utc = [](int month, int day, int hour, int minute) {
        return QDateTime(QDate(2025, month, day), QTime(hour, minute), Qt::UTC);
    };
    QVERIFY(addUsage(udid, utc(3, 15, 10, 0), 1048576, 0));
    QVERIFY(addUsage(udid, utc(3, 31, 23, 30), 1000, 2000));
    QVERIFY(addUsage(udid, utc(3, 31, 23, 50), 0, 24));
    QVERIFY(addUsage(udid, utc(4, 1, 0, 10), 4000, 0));
    QVERIFY(addUsage(udid, utc(2, 28, 23, 59), 5, 5));

    QJsonObject model = usage(*m_client, udid, QDate(2025, 3, 31), 0);
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
    model = usage(*m_client, udid, QDate(2025, 4, 1), 2);
    info = model.value(u"info"_s).toObject();
    QCOMPARE(info.value(u"MonthlyUsage"_s).toInteger(), 3024 + 4000);
    traffic = model.value(u"traffic"_s).toArray();
    QCOMPARE(traffic.at(1).toObject().value(u"Total"_s).toInteger(), 3024);
    QCOMPARE(traffic.at(2).toObject().value(u"Total"_s).toInteger(), 4000);
    QCOMPARE(model.value(u"summary"_s).toArray().size(), 1);

    // ...and the last minute of February UTC is the first of March there.
    model = usage(*m_client, udid, QDate(2025, 3, 31), 2);
    QCOMPARE(monthlyUsage(model), 1048576 + 10);

    // Five hours west, the first minutes of April UTC still belong to March.
    model = usage(*m_client, udid, QDate(2025, 3, 31), -5);
    QCOMPARE(monthlyUsage(model), 1048576 + 3024 + 4000);
    traffic = model.value(u"traffic"_s).toArray();
    QCOMPARE(traffic.at(18).toObject().value(u"Total"_s).toInteger(), 3024);
    QCOMPARE(traffic.at(19).toObject().value(u"Total"_s).toInteger(), 4000);

    // Figures at the top of the range stay there instead of wrapping negative.
    const QString huge = udidFor(u"huge"_s);
    QVERIFY(addDevice(*m_client, u"huge@example.org"_s, huge));
    const qint64 top = Q_INT64_C(9223372036854775807);
    QVERIFY(addUsage(huge, utc(3, 10, 5, 0), top, top));
    QVERIFY(addUsage(huge, utc(3, 10, 5, 30), 7, 7));
    QVERIFY(addUsage(huge, utc(3, 9, 1, 0), top, 0));
    model = usage(*m_client, huge, QDate(2025, 3, 10), 0);
    QCOMPARE(monthlyUsage(model), Q_INT64_C(9223372036854775807));
    summary = model.value(u"summary"_s).toArray();
    QCOMPARE(summary.at(8).toObject().value(u"usage"_s).toInteger(), Q_INT64_C(9223372036854775807));
    QCOMPARE(summary.at(9).toObject().value(u"usage"_s).toInteger(), Q_INT64_C(9223372036854775807));
    const QJsonObject fifth = model.value(u"traffic"_s).toArray().at(5).toObject();
    QCOMPARE(fifth.value(u"In"_s).toInteger(), Q_INT64_C(9223372036854775807));
    QCOMPARE(fifth.value(u"Out"_s).toInteger(), Q_INT64_C(9223372036854775807));
    QCOMPARE(fifth.value(u"Total"_s).toInteger(), Q_INT64_C(9223372036854775807));
}

void DevServiceUsageTest::refusals()
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
    QVERIFY(usage(*m_client, udid, QDate(2024, 2, 29), 0).contains(u"info"_s));
}

void DevServiceUsageTest::seededHistoryStaysPut()
{
    QTemporaryDir dir;
    const QString udid = udidFor(u"seeded"_s);
    Today first;
    {
        DevServiceProcess service(dir.path());
        QVERIFY2(service.start({u"--seed-usage"_s}), qPrintable(service.errors()));
        HttpsClient client(service.origin(), service.caCertificate());
        QVERIFY(addDevice(client, u"seeded@example.org"_s, udid));
        first = today(client, udid);
        const QDate lastMonth = QDateTime::currentDateTimeUtc().date().addMonths(-1);
        const QDate lastDay(lastMonth.year(), lastMonth.month(), lastMonth.daysInMonth());
        const QJsonObject previous = usage(client, udid, lastDay, 0);
        QVERIFY(monthlyUsage(previous) > 0);
        QVERIFY(service.stop());
    }
    // Seeding again on the next start must not pile more history on top.
    DevServiceProcess service(dir.path());
    QVERIFY2(service.start({u"--seed-usage"_s}), qPrintable(service.errors()));
    HttpsClient client(service.origin(), service.caCertificate());
    const Today second = today(client, udid);
    QVERIFY(second.month >= 0);
    QCOMPARE(second.month, first.month);
    QVERIFY(service.stop());
}

void DevServiceUsageTest::gatewayTraffic()
{
    QTemporaryDir dir;
    FakeCharon charon;
    const QString socketPath = dir.path() + u"/charon.vici"_s;
    QVERIFY(charon.listen(socketPath));
    const QStringList arguments = {u"--gateway-vici"_s, socketPath, u"--vici-interval"_s, u"100"_s};
    auto service = std::make_unique<DevServiceProcess>(dir.path() + u"/data"_s);
    QVERIFY2(service->start(arguments), qPrintable(service->errors()));
    auto client = std::make_unique<HttpsClient>(service->origin(), service->caCertificate());

    const QString a = udidFor(u"gateway-a"_s);
    const QString b = udidFor(u"gateway-b"_s);
    QVERIFY(addDevice(*client, u"gw-a@example.org"_s, a));
    QVERIFY(addDevice(*client, u"gw-b@example.org"_s, b));
    const QByteArray domain = m_config.vpnDomain.toUtf8();
    // One identity as a DN (its CN), one as a DNS name, one that is no device.
    charon.sas = {{"orvex", "C=FR, O=Orvex, CN=" + a.toUtf8() + '.' + domain, "c1000001", "c2000001", 1000,
                   5000},
                  {"orvex", b.toUpper().toUtf8() + '.' + domain, "c1000002", "c2000002", 700, 300},
                  {"orvex", "stranger.example.com", "c1000003", "c2000003", 99, 99}};

    // Two answered list-sas after a change: the second proves the first was handled.
    const auto settle = [&charon] {
        const int target = charon.listRequests + 2;
        return QTest::qWaitFor([&] { return charon.listRequests >= target; }, 60000);
    };
    QVERIFY(settle());
    QVERIFY(charon.registered.contains("list-sa"));
    QVERIFY(charon.registered.contains("child-updown"));
    Today seen = today(*client, a);
    QCOMPARE(seen.month, 6000);
    QCOMPARE(seen.in, 5000); // what the gateway sent, the device received
    QCOMPARE(seen.out, 1000);
    QCOMPARE(today(*client, b).month, 1000);

    // Only the growth counts.
    charon.sas[0].bytesIn = 3000;
    charon.sas[0].bytesOut = 9000;
    QVERIFY(settle());
    QCOMPARE(today(*client, a).month, 12000);

    // A rekeyed CHILD SA starts its counters afresh under new SPIs.
    charon.sas[0].spiIn = "c1000011";
    charon.sas[0].spiOut = "c2000011";
    charon.sas[0].bytesIn = 100;
    charon.sas[0].bytesOut = 200;
    QVERIFY(settle());
    QCOMPARE(today(*client, a).month, 12300);

    // An SA that goes down between two samples still reports its last bytes.
    FakeCharon::Sa last = charon.sas.takeFirst();
    last.bytesIn = 400;
    last.bytesOut = 800;
    charon.sendEvent("child-updown", FakeCharon::ikeSa(last));
    QVERIFY(settle());
    QCOMPARE(today(*client, a).month, 12300 + 300 + 600);

    // After a restart the counters already seen are not counted again.
    QVERIFY(service->stop());
    service = std::make_unique<DevServiceProcess>(dir.path() + u"/data"_s);
    QVERIFY2(service->start(arguments), qPrintable(service->errors()));
    client = std::make_unique<HttpsClient>(service->origin(), service->caCertificate());
    QVERIFY(settle());
    QCOMPARE(today(*client, b).month, 1000);
    QCOMPARE(today(*client, a).month, 13200);
    QVERIFY(service->stop());
}

QTEST_GUILESS_MAIN(DevServiceUsageTest)
#include "tst_devservice_usage.moc"
