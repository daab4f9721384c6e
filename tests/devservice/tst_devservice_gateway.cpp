// orvex-devservice with a real strongSwan gateway (scripts/gateway: a responder
// and a client charon in network namespaces): the gateway certificate and the
// client's PKCS#12 from the service's CA bring a tunnel up, and the traffic
// through it shows up in the device's usage, sampled and from SAs going down.
// Needs root; skipped otherwise.

#include "DevServiceProcess.h"
#include "ServiceAnswers.h"

#include "config/Config.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray output;
};

Run run(const QString &program,
        const QStringList &arguments,
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAll()};
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QString tool(const QString &name)
{
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QStandardPaths::findExecutable(name,
                                                            {QStringLiteral("/usr/sbin"),
                                                             QStringLiteral("/sbin")})
                           : found;
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
    const QString m_email = QStringLiteral("tunnel@example.org");
    const QString m_udid = udidFor(QStringLiteral("tunnel machine"));
};

void DevServiceGatewayTest::initTestCase()
{
    if (::geteuid() != 0)
        QSKIP("needs root for network namespaces");
    if (tool(QStringLiteral("charon-systemd")).isEmpty()
        || tool(QStringLiteral("swanctl")).isEmpty() || tool(QStringLiteral("ip")).isEmpty())
        QSKIP("strongSwan (charon-systemd, swanctl) is not installed");
    QVERIFY(m_dir.isValid());
    m_gatewayScript = QStringLiteral(ORVEX_SOURCE_DIR "/scripts/gateway");
    m_gatewayDir = m_dir.path() + QStringLiteral("/gateway");
    const QString data = m_dir.path() + QStringLiteral("/service");

    // The gateway's certificate comes from issue-gateway-cert with the
    // service's CA (created on the way).
    const QString tag = QStringLiteral("dv%1").arg(::getpid());
    Run up = run(m_gatewayScript,
                 {QStringLiteral("up"),
                  QStringLiteral("--dir"),
                  m_gatewayDir,
                  QStringLiteral("--ca"),
                  data,
                  QStringLiteral("--devservice"),
                  DevServiceProcess::binary(),
                  QStringLiteral("--tag"),
                  tag});
    m_gatewayUp = true;
    QVERIFY2(up.exitCode == 0, up.output.constData());
    m_gatewayEnv = up.output;

    QVERIFY(startService(60000));
    m_client->get(QStringLiteral("/adduser.json"),
                  {{QStringLiteral("user"), m_email},
                   {QStringLiteral("password"), QStringLiteral("pw")},
                   {QStringLiteral("name"), QStringLiteral("Tunnel")},
                   {QStringLiteral("email"), m_email},
                   {QStringLiteral("phoneNumber"), QStringLiteral("+33612345678")},
                   {QStringLiteral("check"), m_config.signUpCheckValue}});
    QCOMPARE(envelopeProblem(m_client->get(QStringLiteral("/adddevice.json"),
                                           {{QStringLiteral("udid"), m_udid},
                                            {QStringLiteral("user"), m_email},
                                            {QStringLiteral("check"), m_config.serviceCheckValue}})
                                     .body,
                             0,
                             false),
             QString());
    const QString token
            = jsonObject(m_client->get(QStringLiteral("/portableapi/portable.php"),
                                       {{QStringLiteral("api"), QStringLiteral("gen_token")},
                                        {QStringLiteral("ApiID"), m_config.apiIdentifier}})
                                 .body)
                      .value(QStringLiteral("token"))
                      .toObject()
                      .value(QStringLiteral("name"))
                      .toString();
    const HttpAnswer archive = m_client->get(QStringLiteral("/portableapi/portable.php"),
                                             {{QStringLiteral("api"), QStringLiteral("getcert")},
                                              {QStringLiteral("ApiID"), m_config.apiIdentifier},
                                              {QStringLiteral("password"), QStringLiteral("pw")},
                                              {QStringLiteral("Deviceudid"), m_udid},
                                              {QStringLiteral("Userid"), m_email},
                                              {QStringLiteral("token"), token},
                                              {QStringLiteral("crt_type"), QStringLiteral("p12")}});
    QCOMPARE(archive.contentType, QByteArray("application/x-pkcs12"));

    // The client charon takes the archive as the client would receive it.
    const QString swanctl = m_dir.path() + QStringLiteral("/client-swanctl");
    QVERIFY(QDir().mkpath(swanctl + QStringLiteral("/pkcs12"))
            && QDir().mkpath(swanctl + QStringLiteral("/x509ca")));
    QVERIFY(writeFile(swanctl + QStringLiteral("/pkcs12/client.p12"), archive.body));
    QVERIFY(QFile::copy(m_service->caCertificate(), swanctl + QStringLiteral("/x509ca/ca.crt")));
    const QString configuration = QStringLiteral(R"(connections {
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
)")
                                          .arg(gatewayValue(QStringLiteral("GATEWAY_ADDR")),
                                               m_udid,
                                               m_config.vpnDomain,
                                               m_config.pkcs12Passphrase);
    QVERIFY(writeFile(swanctl + QStringLiteral("/swanctl.conf"), configuration.toUtf8()));
    const Run loaded = clientSwanctl({QStringLiteral("--load-all")});
    QVERIFY2(loaded.exitCode == 0 && loaded.output.contains("loaded RSA key"),
             loaded.output.constData());
}

void DevServiceGatewayTest::cleanupTestCase()
{
    if (m_service)
        m_service->stop();
    if (m_gatewayUp)
        run(m_gatewayScript, {QStringLiteral("down"), QStringLiteral("--dir"), m_gatewayDir});
}

bool DevServiceGatewayTest::startService(int intervalMs)
{
    if (m_service)
        m_service->stop();
    m_service = std::make_unique<DevServiceProcess>(m_dir.path() + QStringLiteral("/service"));
    if (!m_service->start({QStringLiteral("--gateway-vici"),
                           gatewayValue(QStringLiteral("GATEWAY_VICI")),
                           QStringLiteral("--vici-interval"),
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
    environment.insert(QStringLiteral("SWANCTL_DIR"),
                       m_dir.path() + QStringLiteral("/client-swanctl"));
    return run(tool(QStringLiteral("swanctl")),
               arguments
                       + QStringList {QStringLiteral("--uri"),
                                      QStringLiteral("unix://")
                                              + gatewayValue(QStringLiteral("CLIENT_VICI"))},
               environment);
}

Run DevServiceGatewayTest::ping(int count, int size)
{
    return run(tool(QStringLiteral("ip")),
               {QStringLiteral("netns"),
                QStringLiteral("exec"),
                gatewayValue(QStringLiteral("CLIENT_NS")),
                QStringLiteral("ping"),
                QStringLiteral("-q"),
                QStringLiteral("-c"),
                QString::number(count),
                QStringLiteral("-i"),
                QStringLiteral("0.05"),
                QStringLiteral("-s"),
                QString::number(size),
                gatewayValue(QStringLiteral("INNER_ADDR"))});
}

qint64 DevServiceGatewayTest::usageToday()
{
    const QDate today = QDateTime::currentDateTimeUtc().date();
    const HttpAnswer answer = m_client->get(QStringLiteral("/portableapi/portable.php"),
                                            {{QStringLiteral("api"),
                                              QStringLiteral("getdesktopdevicehistoricalusage")},
                                             {QStringLiteral("ApiID"), m_config.apiIdentifier},
                                             {QStringLiteral("deviceudid"), m_udid},
                                             {QStringLiteral("tz"), QStringLiteral("0")},
                                             {QStringLiteral("y"), QString::number(today.year())},
                                             {QStringLiteral("m"), QString::number(today.month())},
                                             {QStringLiteral("d"), QString::number(today.day())}});
    return jsonObject(answer.body)
            .value(QStringLiteral("device_usage"))
            .toObject()
            .value(QStringLiteral("info"))
            .toObject()
            .value(QStringLiteral("MonthlyUsage"))
            .toInteger(-1);
}

void DevServiceGatewayTest::tunnelTrafficBecomesUsage()
{
    QCOMPARE(usageToday(), 0);
    const auto settlesAt = [this](qint64 expected) {
        return QTest::qWaitFor([&] { return usageToday() >= expected; }, 30000);
    };

    // Sampled once a minute: this tunnel's bytes can only arrive with the
    // gateway's event for the SA going down.
    Run up = clientSwanctl(
            {QStringLiteral("--initiate"), QStringLiteral("--child"), QStringLiteral("orvex")});
    QVERIFY2(up.exitCode == 0, up.output.constData());
    Run pinged = ping(10, 1000);
    QVERIFY2(pinged.exitCode == 0, pinged.output.constData());
    Run down = clientSwanctl(
            {QStringLiteral("--terminate"), QStringLiteral("--ike"), QStringLiteral("orvex")});
    QVERIFY2(down.exitCode == 0, down.output.constData());
    // Ten echo requests and ten replies of 1000 bytes with ICMP and IP headers.
    const qint64 first = 2 * 10 * (1000 + 8 + 20);
    QVERIFY(settlesAt(first));
    QCOMPARE(usageToday(), first);

    // Sampled often: the bytes of a tunnel that stays up arrive too.
    QVERIFY(startService(200));
    up = clientSwanctl(
            {QStringLiteral("--initiate"), QStringLiteral("--child"), QStringLiteral("orvex")});
    QVERIFY2(up.exitCode == 0, up.output.constData());
    pinged = ping(5, 500);
    QVERIFY2(pinged.exitCode == 0, pinged.output.constData());
    const qint64 second = first + 2 * 5 * (500 + 8 + 20);
    QVERIFY(settlesAt(second));
    QCOMPARE(usageToday(), second);
    clientSwanctl({QStringLiteral("--terminate"), QStringLiteral("--ike"), QStringLiteral("orvex")});
}

QTEST_GUILESS_MAIN(DevServiceGatewayTest)
#include "tst_devservice_gateway.moc"
