// orvex-devservice with a real strongSwan gateway (scripts/gateway: a responder
// and a client charon in network namespaces): the gateway certificate and the
// client's PKCS#12 from the service's CA bring a tunnel up, and the traffic
// through it shows up in the device's usage, sampled and from SAs going down.
// Needs root; skipped otherwise.

#include "ServiceCalls.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

QString tool(const QString &name)
{
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QStandardPaths::findExecutable(name, {u"/usr/sbin"_s, u"/sbin"_s}) : found;
}

} // namespace

class DevServiceGatewayTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void tunnelTrafficBecomesUsage();

private:
    bool startService(int intervalMs);
    QString gatewayValue(const QString &key) const;
    Run clientSwanctl(const QStringList &arguments);
    Run ping(int count, int size);
    qint64 usageToday();

    const Orvex::Config &m_config = Orvex::Config::current();
    QTemporaryDir m_dir;
    QString m_gatewayScript;
    QString m_gatewayDir;
    QByteArray m_gatewayEnv;
    bool m_gatewayUp = false;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
    const QString m_email = u"tunnel@example.org"_s;
    const QString m_udid = udidFor(u"tunnel machine"_s);
};

void DevServiceGatewayTest::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("needs root for network namespaces");
    if (tool(u"charon-systemd"_s).isEmpty() || tool(u"swanctl"_s).isEmpty() || tool(u"ip"_s).isEmpty())
        QSKIP("strongSwan (charon-systemd, swanctl) is not installed");
    QVERIFY(m_dir.isValid());
    m_gatewayScript = QStringLiteral(ORVEX_SOURCE_DIR "/scripts/gateway");
    m_gatewayDir = m_dir.path() + u"/gateway"_s;
    const QString data = m_dir.path() + u"/service"_s;

    // The gateway's certificate comes from issue-gateway-cert with the
    // service's CA (created on the way).
    const QString tag = u"dv%1"_s.arg(::getpid());
    Run up = run(m_gatewayScript, {u"up"_s, u"--dir"_s, m_gatewayDir, u"--ca"_s, data, u"--devservice"_s,
                                   DevServiceProcess::binary(), u"--tag"_s, tag});
    m_gatewayUp = true;
    QVERIFY2(up.exitCode == 0, (up.output + up.errors).constData());
    m_gatewayEnv = up.output;

    QVERIFY(startService(60000));
    QVERIFY(registerAccount(*m_client, m_config, m_email, u"pw"_s, m_udid));
    const HttpAnswer archive = m_client->get(u"/portableapi/portable.php"_s,
                                             certificateQuery(m_config, token(*m_client, m_config), u"pw"_s,
                                                              m_udid, m_email));
    QCOMPARE(archive.contentType, QByteArray("application/x-pkcs12"));

    // The client charon takes the archive as the client would receive it.
    const QString swanctl = m_dir.path() + u"/client-swanctl"_s;
    QVERIFY(QDir().mkpath(swanctl + u"/pkcs12"_s) && QDir().mkpath(swanctl + u"/x509ca"_s));
    QVERIFY(!writeFile(swanctl + u"/pkcs12/client.p12"_s, archive.body).isEmpty());
    QVERIFY(QFile::copy(m_service->caCertificate(), swanctl + u"/x509ca/ca.crt"_s));
    const QString configuration = uR"(connections {
  orvex {
    version = 2
    remote_addrs = %1
    proposals = aes128-sha1-modp2048
    vips = 0.0.0.0
    local {
      auth = pubkey
      id = %2.%3
    }
    remote {
      auth = pubkey
      id = vpn.orvex.example
    }
    children {
      orvex {
        remote_ts = 0.0.0.0/0
        esp_proposals = aes128-sha1-modp2048
      }
    }
  }
}
secrets {
  pkcs12client {
    file = client.p12
    secret = "%4"
  }
}
)"_s.arg(gatewayValue(u"GATEWAY_ADDR"_s), m_udid, m_config.vpnDomain, m_config.pkcs12Passphrase);
    QVERIFY(!writeFile(swanctl + u"/swanctl.conf"_s, configuration.toUtf8()).isEmpty());
    const Run loaded = clientSwanctl({u"--load-all"_s});
    QVERIFY2(loaded.exitCode == 0 && loaded.output.contains("loaded RSA key"),
             (loaded.output + loaded.errors).constData());
}

void DevServiceGatewayTest::cleanupTestCase()
{
    if (m_service)
        m_service->stop();
    if (m_gatewayUp)
        run(m_gatewayScript, {u"down"_s, u"--dir"_s, m_gatewayDir});
}

bool DevServiceGatewayTest::startService(int intervalMs)
{
    if (m_service)
        m_service->stop();
    m_service = std::make_unique<DevServiceProcess>(m_dir.path() + u"/service"_s);
    if (!m_service->start({u"--gateway-vici"_s, gatewayValue(u"GATEWAY_VICI"_s), u"--vici-interval"_s,
                           QString::number(intervalMs)}))
        return false;
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
    return true;
}

QString DevServiceGatewayTest::gatewayValue(const QString &key) const
{
    for (const QByteArray &line : m_gatewayEnv.split('\n')) {
        if (line.startsWith(key.toUtf8() + '='))
            return QString::fromUtf8(line.mid(key.size() + 1)).trimmed();
    }
    return {};
}

Run DevServiceGatewayTest::clientSwanctl(const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"SWANCTL_DIR"_s, m_dir.path() + u"/client-swanctl"_s);
    return run(tool(u"swanctl"_s),
               arguments + QStringList{u"--uri"_s, u"unix://"_s + gatewayValue(u"CLIENT_VICI"_s)}, {},
               environment);
}

Run DevServiceGatewayTest::ping(int count, int size)
{
    return run(tool(u"ip"_s), {u"netns"_s, u"exec"_s, gatewayValue(u"CLIENT_NS"_s), u"ping"_s, u"-q"_s,
                               u"-c"_s, QString::number(count), u"-i"_s, u"0.05"_s, u"-s"_s,
                               QString::number(size), gatewayValue(u"INNER_ADDR"_s)});
}

qint64 DevServiceGatewayTest::usageToday()
{
    return monthlyUsage(usage(*m_client, m_config, m_udid, QDateTime::currentDateTimeUtc().date()));
}

void DevServiceGatewayTest::tunnelTrafficBecomesUsage()
{
    QCOMPARE(usageToday(), 0);
    const auto settlesAt = [this](qint64 expected) {
        return QTest::qWaitFor([&] { return usageToday() >= expected; }, 30000);
    };

    // Sampled once a minute: this tunnel's bytes can only arrive with the
    // gateway's event for the SA going down.
    Run up = clientSwanctl({u"--initiate"_s, u"--child"_s, u"orvex"_s});
    QVERIFY2(up.exitCode == 0, (up.output + up.errors).constData());
    Run pinged = ping(10, 1000);
    QVERIFY2(pinged.exitCode == 0, (pinged.output + pinged.errors).constData());
    Run down = clientSwanctl({u"--terminate"_s, u"--ike"_s, u"orvex"_s});
    QVERIFY2(down.exitCode == 0, (down.output + down.errors).constData());
    // Ten echo requests and ten replies of 1000 bytes with ICMP and IP headers.
    const qint64 first = 2 * 10 * (1000 + 8 + 20);
    QVERIFY(settlesAt(first));
    QCOMPARE(usageToday(), first);

    // Sampled often: the bytes of a tunnel that stays up arrive too.
    QVERIFY(startService(200));
    up = clientSwanctl({u"--initiate"_s, u"--child"_s, u"orvex"_s});
    QVERIFY2(up.exitCode == 0, (up.output + up.errors).constData());
    pinged = ping(5, 500);
    QVERIFY2(pinged.exitCode == 0, (pinged.output + pinged.errors).constData());
    const qint64 second = first + 2 * 5 * (500 + 8 + 20);
    QVERIFY(settlesAt(second));
    QCOMPARE(usageToday(), second);
    clientSwanctl({u"--terminate"_s, u"--ike"_s, u"orvex"_s});
}

QTEST_GUILESS_MAIN(DevServiceGatewayTest)
#include "tst_devservice_gateway.moc"
