// Traffic orvex-devservice takes from a gateway's VICI socket, against a
// scripted stand-in for charon that sends what charon sends: which device an
// SA's identity names, only the growth of the counters, rekeyed and ended SAs,
// and a restart.

#include "ServiceCalls.h"

#include <QDateTime>
#include <QtEndian>
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
    QByteArray length(4, '\0');
    qToBigEndian(quint32(payload.size()), length.data());
    return length + payload;
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
        return section("orvex", keyValue("uniqueid", "3") + keyValue("state", "ESTABLISHED")
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
            const quint32 size = qFromBigEndian<quint32>(m_buffer.constData());
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
    void gatewayTraffic();

private:
    // The device's total of the current month, its received and sent bytes today.
    struct Today
    {
        qint64 month = -1;
        qint64 in = 0;
        qint64 out = 0;
    };
    Today today(HttpsClient &client, const QString &udid)
    {
        const QJsonObject model = usage(client, m_config, udid, QDateTime::currentDateTimeUtc().date(), 0);
        Today result{monthlyUsage(model)};
        for (const QJsonValue &hour : model.value(u"traffic"_s).toArray()) {
            result.in += hour.toObject().value(u"In"_s).toInteger();
            result.out += hour.toObject().value(u"Out"_s).toInteger();
        }
        return result;
    }

    const Orvex::Config &m_config = Orvex::Config::current();
};

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
    QVERIFY(registerAccount(*client, m_config, u"gw-a@example.org"_s, u"pw"_s, a));
    QVERIFY(registerAccount(*client, m_config, u"gw-b@example.org"_s, u"pw"_s, b));
    const QByteArray domain = m_config.vpnDomain.toUtf8();
    // One identity as a DN (its CN), one as a DNS name, one that is no device.
    charon.sas = {{"C=FR, O=Orvex, CN=" + a.toUtf8() + '.' + domain, "c1000001", "c2000001", 1000, 5000},
                  {b.toUpper().toUtf8() + '.' + domain, "c1000002", "c2000002", 700, 300},
                  {"stranger.example.com", "c1000003", "c2000003", 99, 99}};

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
    charon.sas[0] = {charon.sas[0].remoteId, "c1000011", "c2000011", 100, 200};
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
