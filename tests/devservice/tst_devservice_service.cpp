// orvex-devservice over real HTTPS: accounts, devices, certificates (checked
// as an outsider would), usage, the data folder, updates, the help desk,
// hostile input, a kill, and a gateway's traffic from a scripted charon.
// Hostile clients of a second service come from 127.0.0.2 while the real
// client, from 127.0.0.1, is served meanwhile. The throttle's table, which only
// a hundred thousand requests would fill, is also used on its own.

#include "DevServiceProcess.h"
#include "ProgramRun.h"
#include "TestFiles.h"

#include "Throttle.h"
#include "config/Config.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <functional>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// What the client requires of the outcome envelope: every required member
// present with its type. Answers an empty text when `body` is an envelope with
// `code` and `error`, else what is wrong.
inline QString envelopeProblem(const QByteArray &body, int code, bool error = true)
{
    const QJsonObject status = QJsonDocument::fromJson(body).object().value(u"status"_s).toObject();
    const QJsonValue codeValue = status.value(u"code"_s);
    if (!status.value(u"command"_s).isString() || !status.value(u"opf"_s).isString()
        || !status.value(u"version"_s).isString() || !status.value(u"error"_s).isBool()
        || !codeValue.isDouble() || codeValue.toDouble() != double(codeValue.toInt()))
        return u"no envelope of typed members: "_s + QString::fromUtf8(body.left(300));
    if (codeValue.toInt() != code || status.value(u"error"_s).toBool() != error)
        return QString::fromUtf8(body.left(300));
    return {};
}

inline QJsonObject jsonObject(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

// A udid of the client's form: lower-case hexadecimal MD5.
inline QString udidFor(const QString &seed)
{
    return QString::fromLatin1(QCryptographicHash::hash(seed.toUtf8(), QCryptographicHash::Md5).toHex());
}

inline QueryItems signUpQuery(const Orvex::Config &config, const QString &email, const QString &password)
{
    return {{u"user"_s, email},
            {u"password"_s, password},
            {u"email"_s, email},
            {u"name"_s, u"Ann Example"_s},
            {u"phoneNumber"_s, u"+33612345678"_s},
            {u"check"_s, config.signUpCheckValue}};
}

// Creates an account; answers its record (empty when refused).
inline QJsonObject signUp(HttpsClient &client, const Orvex::Config &config, const QString &email,
                          const QString &password)
{
    return jsonObject(client.get(u"/adduser.json"_s, signUpQuery(config, email, password)).body)
        .value(u"user"_s)
        .toObject();
}

inline bool addDevice(HttpsClient &client, const Orvex::Config &config, const QString &udid,
                      const QString &email)
{
    const HttpAnswer answer = client.get(u"/adddevice.json"_s, {{u"udid"_s, udid},
                                                                {u"user"_s, email},
                                                                {u"check"_s, config.serviceCheckValue}});
    return envelopeProblem(answer.body, 0, false).isEmpty();
}

// An account with this machine among its devices.
inline bool registerAccount(HttpsClient &client, const Orvex::Config &config, const QString &email,
                            const QString &password, const QString &udid)
{
    return !signUp(client, config, email, password).isEmpty() && addDevice(client, config, udid, email);
}

inline QString token(HttpsClient &client, const Orvex::Config &config)
{
    const HttpAnswer answer = client.get(u"/portableapi/portable.php"_s,
                                         {{u"api"_s, u"gen_token"_s}, {u"ApiID"_s, config.apiIdentifier}});
    return jsonObject(answer.body).value(u"token"_s).toObject().value(u"name"_s).toString();
}

inline QueryItems certificateQuery(const Orvex::Config &config, const QString &token, const QString &password,
                                   const QString &udid, const QString &email)
{
    return {{u"api"_s, u"getcert"_s},  {u"ApiID"_s, config.apiIdentifier},
            {u"password"_s, password}, {u"Deviceudid"_s, udid},
            {u"Userid"_s, email},      {u"token"_s, token},
            {u"crt_type"_s, u"p12"_s}};
}

// The device's usage model for the month of `date`, `tz` hours east of UTC.
inline QJsonObject usage(HttpsClient &client, const Orvex::Config &config, const QString &udid,
                         const QDate &date, int tz = 0)
{
    const HttpAnswer answer = client.get(u"/portableapi/portable.php"_s,
                                         {{u"api"_s, u"getdesktopdevicehistoricalusage"_s},
                                          {u"ApiID"_s, config.apiIdentifier},
                                          {u"deviceudid"_s, udid},
                                          {u"tz"_s, QString::number(tz)},
                                          {u"y"_s, QString::number(date.year())},
                                          {u"m"_s, QString::number(date.month())},
                                          {u"d"_s, QString::number(date.day())}});
    return jsonObject(answer.body).value(u"device_usage"_s).toObject();
}

inline qint64 monthlyUsage(const QJsonObject &model)
{
    return model.value(u"info"_s).toObject().value(u"MonthlyUsage"_s).toInteger(-1);
}

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

// The stored password hash of `email`, read with the sqlite3 program.
QString storedHash(const QString &dataDir, const QString &email)
{
    const ProgramRun sqlite = runProgram(u"sqlite3"_s,
                                         {dataDir + u"/devservice.sqlite3"_s,
                                          u"SELECT password_hash FROM accounts WHERE email = '%1';"_s.arg(
                                              email)});
    return sqlite.out.trimmed();
}

// The most memory a process has held at once, in KiB; -1 when unknown.
qint64 peakMemoryKb(qint64 pid)
{
    for (const QByteArray &line : readFile(u"/proc/%1/status"_s.arg(pid)).split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

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

const QHostAddress attackerAddress(u"127.0.0.2"_s);

std::unique_ptr<QSslSocket> attackerSocket(int port)
{
    auto socket = std::make_unique<QSslSocket>();
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->bind(attackerAddress);
    socket->connectToHostEncrypted(u"127.0.0.1"_s, quint16(port));
    return socket;
}

struct RawAnswer
{
    int status = 0;
    QByteArray head;
    QByteArray body;
};

RawAnswer attackerSend(int port, const QByteArray &request)
{
    auto socket = attackerSocket(port);
    if (!socket->waitForEncrypted(60000))
        return {};
    socket->write(request);
    QByteArray all;
    while (socket->state() == QAbstractSocket::ConnectedState && socket->waitForReadyRead(60000))
        all += socket->readAll();
    all += socket->readAll();
    const qsizetype split = all.indexOf("\r\n\r\n");
    return {all.mid(9, 3).toInt(), all.left(split), split < 0 ? QByteArray() : all.mid(split + 4)};
}

// Sends `request(i)` for i = 0, 1, ... (at most `tries`) until the service
// holds one back. Answers how many came through first, each passing `served`;
// -1 when one did not, or the held one is no 429 with the envelope of `code`
// and a Retry-After.
int servedUntilHeld(int tries, int code, const std::function<RawAnswer(int)> &request,
                    const std::function<bool(const RawAnswer &)> &served)
{
    for (int i = 0; i < tries; ++i) {
        const RawAnswer answer = request(i);
        if (answer.status == 429)
            return envelopeProblem(answer.body, code).isEmpty() && answer.head.contains("Retry-After: ") ? i
                                                                                                         : -1;
        if (!served(answer))
            return -1;
    }
    return -1;
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
            ++connections;
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
        send(packet('\x07' + name8(name) + message));
    }
    void send(const QByteArray &bytes)
    {
        if (m_socket)
            m_socket->write(bytes);
    }

    QList<Sa> sas;
    int connections = 0;
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

class tst_DevService : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void refusals_data();
    void refusals();
    void serviceOfItsOwn();
    void archiveOpensChainsToTheCaAndComesOncePerToken();
    void certificateRefusals_data();
    void certificateRefusals();
    void gatewayCertificate();
    void usageMonthInLocalTime();
    void updateCheck();
    void helpDesk();
    void hostileInput();
    void killedServiceKeepsEverything();
    void gatewayTraffic();
    void slowHeadersTakeNoMoreThanTheirShare();
    void endlessBodiesAndHeadersAreCut_data();
    void endlessBodiesAndHeadersAreCut();
    void passwordGuessingIsHeld();
    void floodsAreHeld();
    void fullThrottleFreesNobody();

private:
    bool addUsage(const QString &udid, const QDateTime &when, qint64 in, qint64 out);
    HttpAnswer certificate(const QString &tokenText)
    {
        return m_client->get(u"/portableapi/portable.php"_s,
                             certificateQuery(m_config, tokenText, m_password, m_udid, m_email));
    }

    // The account's record when `check` is its password; empty otherwise.
    static QJsonObject userRecord(HttpsClient &client, const QString &email, const QString &check)
    {
        return jsonObject(client.get(u"/getuser.json"_s, {{u"user"_s, email}, {u"check"_s, check}}).body)
            .value(u"user"_s)
            .toObject();
    }
    static bool signedIn(HttpsClient &client, const QString &email, const QString &check)
    {
        return !userRecord(client, email, check).isEmpty();
    }

    // The device's total of the current month, and its received and sent bytes today.
    QList<qint64> today(HttpsClient &client, const QString &udid)
    {
        const QJsonObject model = usage(client, m_config, udid, QDateTime::currentDateTimeUtc().date(), 0);
        QList<qint64> figures{monthlyUsage(model), 0, 0};
        for (const QJsonValue &hour : model.value(u"traffic"_s).toArray()) {
            figures[1] += hour.toObject().value(u"In"_s).toInteger();
            figures[2] += hour.toObject().value(u"Out"_s).toInteger();
        }
        return figures;
    }

    QJsonObject stats() { return jsonObject(m_hostileClient->get(u"/dev/stats"_s).body); }
    bool realClientServed()
    {
        return signedIn(*m_hostileClient, m_hostile->demoEmail(), m_hostile->demoPassword());
    }
    // A GET from the attacker's address, or from the real client's.
    RawAnswer get(bool fromAttacker, const QString &path, const QueryItems &items = {})
    {
        if (!fromAttacker) {
            const HttpAnswer answer = m_hostileClient->get(path, items);
            return {answer.status, {}, answer.body};
        }
        return attackerSend(m_hostile->port(),
                            "GET "
                                + m_hostileClient->url(path, items)
                                      .toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority)
                                + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    }

    const Orvex::Config m_config = Orvex::Config::parse({}, {}).value();
    QTemporaryDir m_dir;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
    // The service the hostile clients attack, and the real client's.
    std::unique_ptr<DevServiceProcess> m_hostile;
    std::unique_ptr<HttpsClient> m_hostileClient;
    // The account the certificate cases are about.
    const QString m_email = u"cert@example.org"_s;
    const QString m_password = u"s3cret+#"_s;
    const QString m_udid = udidFor(u"machine@cert@example.org"_s);
};

void tst_DevService::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_service = std::make_unique<DevServiceProcess>(m_dir.path() + u"/data"_s);
    QVERIFY2(m_service->start({u"--dev-routes"_s, u"--seed-demo"_s, u"--latest-version"_s, u"2.1.0"_s}),
             qPrintable(m_service->errors()));
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
    QVERIFY(!signUp(*m_client, m_config, u"getuser@example.org"_s, u"right one"_s).isEmpty());
    QVERIFY(!signUp(*m_client, m_config, u"other@example.org"_s, u"pw"_s).isEmpty());
    QVERIFY(registerAccount(*m_client, m_config, m_email, m_password, m_udid));

    // A short deadline keeps the wait for it short; a long first back-off
    // keeps a held guesser held for the whole test, however slow the machine.
    m_hostile = std::make_unique<DevServiceProcess>(m_dir.filePath(u"hostile"_s));
    QVERIFY2(m_hostile->start({u"--seed-demo"_s, u"--dev-routes"_s, u"--request-deadline"_s, u"3000"_s,
                               u"--first-backoff"_s, u"600"_s}),
             qPrintable(m_hostile->errors()));
    m_hostileClient = std::make_unique<HttpsClient>(m_hostile->origin(), m_hostile->caCertificate());
    QVERIFY(realClientServed());
}

void tst_DevService::cleanupTestCase()
{
    m_hostileClient.reset();
    if (m_hostile)
        QVERIFY(m_hostile->stop());
}

void tst_DevService::refusals_data()
{
    // The path, the query ("<signUp>", "<service>", "<api>" stand for the
    // configuration's values, "<udid>" for a registered device, "<nobody>" for
    // an unregistered one), and the error code of the envelope.
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
    // Another account cannot take a machine over.
    QTest::newRow("adddevice: another account's device")
        << addDevice << u"udid=<udid>&user=other@example.org&check=<service>"_s << 9;
    // The udid becomes a DNS label of the certificate.
    for (const QString &udid : {u""_s, u"a.b"_s, u"-x"_s, QString(70, u'a')})
        QTest::addRow("adddevice: udid \"%s\"", qPrintable(udid))
            << addDevice << u"udid=%1&user=other@example.org&check=<service>"_s.arg(udid) << 2;
    QTest::newRow("sms: made-up token")
        << u"/iOS/sms_orvex.php"_s << u"ToNumbe=+33612345678&toMsg=1234&verify=made-up"_s << 5;
    const QString usage = u"api=getdesktopdevicehistoricalusage&ApiID=<api>&deviceudid=<udid>&"_s;
    for (const QString &when :
         {u"tz=2&y=2025&m=2&d=29"_s, u"tz=2&y=2025&m=13&d=2"_s, u"tz=15&y=2025&m=2&d=2"_s,
          u"tz=+2&y=2025&m=2&d=2"_s, u"tz=2&y=twenty&m=2&d=2"_s, u"tz=2&y=2025&m=2&d=1.5"_s,
          u"tz=99999999999999999999&y=2025&m=2&d=2"_s})
        QTest::addRow("usage: %s", qPrintable(when)) << u"/portableapi/portable.php"_s << usage + when << 2;
    QTest::newRow("usage: unregistered device")
        << u"/portableapi/portable.php"_s
        << u"api=getdesktopdevicehistoricalusage&ApiID=<api>&deviceudid=<nobody>&tz=2&y=2025&m=2&d=2"_s << 17;
}

void tst_DevService::refusals()
{
    QFETCH(QString, path);
    QFETCH(QString, query);
    QFETCH(int, code);
    const QHash<QString, QString> standsFor{{u"<signUp>"_s, m_config.signUpCheckValue},
                                            {u"<service>"_s, m_config.serviceCheckValue},
                                            {u"<api>"_s, m_config.apiIdentifier},
                                            {u"<udid>"_s, m_udid},
                                            {u"<nobody>"_s, udidFor(u"nobody"_s)}};
    QueryItems items;
    for (const QString &item : query.split(u'&'))
        items.append(
            {item.section(u'=', 0, 0), standsFor.value(item.section(u'=', 1), item.section(u'=', 1))});
    QCOMPARE(envelopeProblem(m_client->get(path, items).body, code), QString());
}

void tst_DevService::serviceOfItsOwn()
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
    const QString configPath = dir.path() + u"/config.json"_s;
    QVERIFY(writeFile(configPath, overrides));
    const auto config = Orvex::Config::parse(overrides, configPath);
    QVERIFY(config.isSuccess());
    const QString open = dir.filePath(u"open"_s);
    QVERIFY(QDir().mkpath(open));
    QVERIFY(::chmod(QFile::encodeName(open).constData(), 0777) == 0);
    {
        DevServiceProcess service(open);
        QVERIFY2(service.start({}, configPath), qPrintable(service.errors()));
        HttpsClient client(service.origin(), service.caCertificate());
        const QString udid = udidFor(u"shared"_s);
        QVERIFY(registerAccount(client, config.value(), u"shared@example.org"_s, u"pw"_s, udid));
        // The built-in values no longer open anything.
        QVERIFY(!registerAccount(client, m_config, u"builtin@example.org"_s, u"pw"_s, udidFor(u"builtin"_s)));
        QVERIFY(token(client, m_config).isEmpty());
        const HttpAnswer answer = client.get(u"/portableapi/portable.php"_s,
                                             certificateQuery(config.value(), token(client, config.value()),
                                                              u"pw"_s, udid, u"shared@example.org"_s));
        QCOMPARE(archiveCertificate(answer.body, config.value().pkcs12Passphrase)
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
    QCOMPARE(modeOf(open), 0700u);

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
    QCOMPARE(modeOf(target), 0755u);
    QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());

    // Nor may the way to the folder pass anything another user could swap
    // for a folder of theirs: their link, their folder, a folder anyone may
    // write to. Nothing is made there.
    const QString theirs = dir.filePath(u"theirs"_s);
    const QString writable = dir.filePath(u"writable"_s);
    for (const QString &folder : {theirs, writable}) {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0777) == 0);
    }
    QVERIFY(::chown(QFile::encodeName(theirs).constData(), ::geteuid() + 1, ::getegid()) == 0);
    const QList<QPair<QString, QString>> ways = {{link, u"symbolic link owned by another user"_s},
                                                 {theirs, u"belongs to another user"_s},
                                                 {writable, u"others may write to"_s}};
    for (const auto &[way, reason] : ways) {
        DevServiceProcess below(way + u"/data"_s);
        QVERIFY2(!below.start(), qPrintable(way));
        QVERIFY2(below.errors().contains(reason), qPrintable(way));
        QVERIFY2(QDir(way).isEmpty(), qPrintable(way));
    }
}

bool tst_DevService::addUsage(const QString &udid, const QDateTime &when, qint64 in, qint64 out)
{
    const QByteArray body = QJsonDocument(QJsonObject{{u"udid"_s, udid},
                                                      {u"time"_s, when.toSecsSinceEpoch()},
                                                      {u"in"_s, in},
                                                      {u"out"_s, out}})
                                .toJson(QJsonDocument::Compact);
    return m_client->post(u"/dev/usage"_s, body).status == 200;
}

void tst_DevService::archiveOpensChainsToTheCaAndComesOncePerToken()
{
    const QString name = m_udid + QLatin1Char('.') + m_config.vpnDomain;
    const HttpAnswer answer = certificate(token(*m_client, m_config));
    QCOMPARE(answer.status, 200);
    QCOMPARE(answer.contentType, QByteArray("application/x-pkcs12"));
    const QSslCertificate parsed = archiveCertificate(answer.body, m_config.pkcs12Passphrase);
    const auto altNames = parsed.subjectAlternativeNames();
    QCOMPARE(altNames.values(QSsl::DnsEntry), QList<QString>{name});
    QCOMPARE(altNames.size(), 1);

    // A client certificate of the service's CA, as the gateway checks it.
    const QString certificatePath = m_dir.path() + u"/client.crt"_s;
    QVERIFY(writeFile(certificatePath, parsed.toPem()));
    const ProgramRun verify = runProgram(u"openssl"_s, {u"verify"_s, u"-CAfile"_s, m_service->caCertificate(),
                                                        u"-purpose"_s, u"sslclient"_s, certificatePath});
    QVERIFY2(verify.exitCode == 0, qPrintable(verify.out + verify.err));
    const ProgramRun usage = runProgram(u"openssl"_s, {u"x509"_s, u"-in"_s, certificatePath, u"-noout"_s,
                                                       u"-ext"_s, u"extendedKeyUsage"_s});
    QVERIFY(usage.out.contains(u"TLS Web Client Authentication"_s));

    // Each request gives a new key.
    const HttpAnswer second = certificate(token(*m_client, m_config));
    QCOMPARE(second.contentType, QByteArray("application/x-pkcs12"));
    QVERIFY(second.body != answer.body);

    // Several requests race for one token: exactly one gets an archive.
    const QUrl url = m_client->url(u"/portableapi/portable.php"_s,
                                   certificateQuery(m_config, token(*m_client, m_config), m_password, m_udid,
                                                    m_email));
    std::vector<std::unique_ptr<HttpsClient>> clients;
    QList<QNetworkReply *> replies;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate()));
        replies.append(clients.back()->start("GET", url));
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

void tst_DevService::certificateRefusals_data()
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

void tst_DevService::certificateRefusals()
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

void tst_DevService::gatewayCertificate()
{
    // That the gateway's certificate (named by its host) and key make a tunnel
    // with the service's client certificates is the journey's (as root): here
    // an address as a name, its key's mode and the CA it leaves alone.
    const QByteArray caBefore = readFile(m_service->caCertificate());
    const QString certificatePath = m_dir.path() + u"/gateway.crt"_s;
    const QString keyPath = m_dir.path() + u"/gateway.key"_s;
    const auto issue = [&](const QStringList &hosts) {
        QStringList arguments{u"issue-gateway-cert"_s, u"--data"_s, m_service->dataDir()};
        arguments << u"--out-cert"_s << certificatePath << u"--out-key"_s << keyPath;
        for (const QString &host : hosts)
            arguments << u"--host"_s << host;
        return runProgram(DevServiceProcess::binary(), arguments).exitCode;
    };
    QCOMPARE(issue({u"vpn.orvex.test"_s, u"10.9.0.1"_s}), 0);
    QVERIFY(!caBefore.isEmpty());
    QCOMPARE(readFile(m_service->caCertificate()), caBefore);

    const QList<QSslCertificate> parsed = QSslCertificate::fromPath(certificatePath);
    QCOMPARE(parsed.size(), 1);
    QCOMPARE(parsed.first().subjectAlternativeNames().values(QSsl::IpAddressEntry),
             QList<QString>{u"10.9.0.1"_s});
    QCOMPARE(modeOf(keyPath), 0600u);

    // A name that could smuggle a second entry into the certificate is refused.
    QVERIFY(issue({u"a.test,DNS:evil.test"_s}) != 0);
}

void tst_DevService::usageMonthInLocalTime()
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
    // 2024 was a leap year.
    QVERIFY(usage(*m_client, m_config, udid, QDate(2024, 2, 29), 0).contains(u"info"_s));
}

void tst_DevService::updateCheck()
{
    const auto check = [&](const QString &version, const QString &os = u"linux"_s) {
        return m_client->get(u"/v3/ov/checkupdates/"_s, {{u"version"_s, version}, {u"os"_s, os}}).body;
    };
    // Versions compare as numbers: 2.0.10 < 2.1.0 although "2.0.10" > "2.1.0" as text.
    for (const QString &current : {u"2.1.0"_s, u"2.1"_s, u"2.1.0.0"_s, u"2.10.0"_s, u"3.0.0"_s})
        QCOMPARE(envelopeProblem(check(current), 1), QString());
    for (const QString &bad : {u"two"_s, u"1..2"_s, u""_s, u"1.2.3.4.5"_s, u"-1.0"_s})
        QCOMPARE(envelopeProblem(check(bad), 2), QString());
    QCOMPARE(envelopeProblem(check(u"1.0.1"_s, u"windows"_s), 2), QString());
    const QByteArray offer = check(u"2.0.10"_s);
    QCOMPARE(envelopeProblem(offer, 0, false), QString());
    const QJsonObject status = jsonObject(offer).value(u"status"_s).toObject();
    QCOMPARE(status.value(u"version"_s).toString(), u"2.1.0"_s);
    QCOMPARE(QUrl(status.value(u"name"_s).toString()).path(), u"/downloads/orvex-2.1.0.deb"_s);
}

void tst_DevService::helpDesk()
{
    const QString path = u"/api/v2/tickets.json"_s;
    const QByteArray ticket = R"({"ticket":{"subject":"Support request from desktop app",)"
                              R"("comment":{"body":" ","uploads":[]},)"
                              R"("requester":{"email":"ann@example.org","locale_id":"1","name":"Unknown"}}})";
    // Without the credential, or with one that only begins like it: the help
    // desk's own 401 document, which is no outcome envelope.
    for (const QByteArray &credential : {QByteArray(), m_config.helpDeskAuthorization.toUtf8() + "x"}) {
        QList<QPair<QByteArray, QByteArray>> headers;
        if (!credential.isEmpty())
            headers.append({"Authorization", credential});
        const HttpAnswer answer = m_client->post(path, ticket, headers);
        QCOMPARE(answer.status, 401);
        QVERIFY(jsonObject(answer.body).value(u"error"_s).isString());
        QVERIFY(!jsonObject(answer.body).contains(u"status"_s));
    }
    const QList<QPair<QByteArray, QByteArray>> authorised = {
        {"Authorization", m_config.helpDeskAuthorization.toUtf8()}};
    QCOMPARE(m_client->post(path, R"({"ticket":{"comment":{"body":""}}})", authorised).status, 422);
    QCOMPARE(m_client->post(path, "not json", authorised).status, 400);
    QCOMPARE(m_client->get(path).status, 405);
    // A body nested ten thousand deep, and one too large.
    QCOMPARE(m_client->post(path, QByteArray(10000, '['), authorised).status, 400);
    const HttpAnswer large = m_client->post(path, QByteArray(2 * 1024 * 1024, ' '), authorised);
    QVERIFY(large.status == 413 || large.error != QNetworkReply::NoError);
}

void tst_DevService::hostileInput()
{
    // Beyond the HTTP layer's 8 KB limit for a request line, within the
    // 32 KB newer cpp-httplib reads at all.
    const QString big(10000, QLatin1Char('a'));
    const QString large(3000, QLatin1Char('b'));
    const QList<QPair<QString, QueryItems>> requests = {
        {u"/getuser.json"_s, {{u"user"_s, big}, {u"check"_s, big}}},
        {u"/getuser.json"_s, {{u"user"_s, u"a"_s + QChar(0) + u"b"_s}, {u"check"_s, u"\n"_s}}},
        {u"/iOS/lookup.php"_s, {{u"Number"_s, large}}},
        {u"/iOS/sms_orvex.php"_s,
         {{u"ToNumbe"_s, u"+33612345678"_s}, {u"toMsg"_s, big}, {u"verify"_s, u"x"_s}}},
        {u"/v3/ov/checkupdates/"_s, {{u"version"_s, u"99999999999.1"_s}, {u"os"_s, u"linux"_s}}},
        {u"/dev/sms"_s, {{u"limit"_s, u"-3"_s}}},
    };
    for (const auto &[path, items] : requests) {
        const HttpAnswer answer = m_client->get(path, items);
        QVERIFY2(answer.status > 0, qPrintable(path));
        // Whatever was wrong, the answer is JSON (the HTTP layer's own refusals included).
        QVERIFY2(!QJsonDocument::fromJson(answer.body).isNull(), answer.body.left(200).constData());
    }
    // A request line longer still: refused, or (cpp-httplib 0.18) the
    // connection closed unread; the service goes on answering the next.
    const HttpAnswer huge = m_client->get(u"/getuser.json"_s, {{u"user"_s, QString(40000, QLatin1Char('a'))}});
    QVERIFY2(huge.status == 414 || (huge.status == 0 && huge.error != QNetworkReply::NoError),
             qPrintable(QString::number(huge.status)));
    // Bytes that are not UTF-8, straight in the query.
    QUrl raw = m_client->url(u"/getuser.json"_s);
    raw.setQuery(u"user=%FF%FE&check=%C0%80"_s, QUrl::StrictMode);
    QCOMPARE(envelopeProblem(m_client->send("GET", raw).body, 2), QString());

    // Plain text on the TLS port, and a handshake abandoned half way.
    for (const QByteArray &bytes : {QByteArray("GET /getuser.json HTTP/1.1\r\nHost: x\r\n\r\n"),
                                    QByteArray::fromHex("16030100c8010000c40303")}) {
        QTcpSocket socket;
        socket.connectToHost(u"127.0.0.1"_s, quint16(m_service->port()));
        QVERIFY(socket.waitForConnected(60000));
        socket.write(bytes);
        socket.waitForBytesWritten(2000);
        socket.abort();
    }
    // Too many header fields.
    QByteArray request = "GET /getuser.json HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    for (int i = 0; i < 150; ++i)
        request += "X-Field-" + QByteArray::number(i) + ": 1\r\n";
    QCOMPARE(attackerSend(m_service->port(), request + "\r\n").status, 431);
    QVERIFY(m_service->isRunning());
    QVERIFY(signedIn(*m_client, m_service->demoEmail(), m_service->demoPassword()));
    // An unknown method is answered (last: the connection it came on is of no
    // further use).
    QVERIFY(m_client->send("BREW", m_client->url(u"/getuser.json"_s)).status > 0);
}

void tst_DevService::killedServiceKeepsEverything()
{
    QTemporaryDir dir;
    const QStringList arguments = {u"--dev-routes"_s, u"--seed-demo"_s};
    auto service = std::make_unique<DevServiceProcess>(dir.path());
    QVERIFY2(service->start(arguments), qPrintable(service->errors()));
    const QString demoPassword = service->demoPassword();
    const QByteArray ca = readFile(service->caCertificate());
    QVERIFY(!ca.isEmpty());
    const QString email = u"survivor@example.org"_s;
    const QString udid = udidFor(u"survivor"_s);
    const QString phone = u"+4915123456789"_s;
    {
        HttpsClient client(service->origin(), service->caCertificate());
        QVERIFY(registerAccount(client, m_config, email, u"pw"_s, udid));
        // Registering again updates the device instead of adding a second one.
        QVERIFY(addDevice(client, m_config, udid, email));
        const QString verify = QString::fromUtf8(client.get(u"/iOS/getverification.php"_s).body);
        client.get(u"/iOS/sms_orvex.php"_s,
                   {{u"ToNumbe"_s, phone}, {u"toMsg"_s, u"9876"_s}, {u"verify"_s, verify}});
    }
    service->kill(); // no chance to flush anything

    // Back with the service's own password cost, which an account made at the
    // tests' cheap one gets at its next sign-in (not at a wrong password).
    service = std::make_unique<DevServiceProcess>(dir.path());
    service->useDefaultPasswordCost();
    QVERIFY2(service->start(arguments), qPrintable(service->errors()));
    QCOMPARE(readFile(service->caCertificate()), ca);
    QCOMPARE(service->demoPassword(), demoPassword);
    HttpsClient client(service->origin(), service->caCertificate());
    const QString cheapHash = storedHash(dir.path(), email);
    QVERIFY2(cheapHash.startsWith(u"pbkdf2-sha256$1000$"_s), qPrintable(cheapHash));
    QVERIFY(!signedIn(client, email, u"wrong"_s));
    QCOMPARE(storedHash(dir.path(), email), cheapHash);
    // E-mail addresses match without regard to case.
    const QJsonObject user = userRecord(client, email.toUpper(), u"pw"_s);
    QCOMPARE(user.value(u"email"_s).toString(), email);
    QVERIFY(!user.contains(u"password"_s));
    const QString hash = storedHash(dir.path(), email);
    QVERIFY2(hash.startsWith(u"pbkdf2-sha256$600000$"_s), qPrintable(hash));
    const QJsonArray devices = user.value(u"devices"_s).toArray();
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.at(0).toObject().value(u"udid"_s).toString(), udid);
    QVERIFY(signedIn(client, service->demoEmail(), demoPassword));
    const QJsonArray outbox = QJsonDocument::fromJson(client.get(u"/dev/sms"_s, {{u"to"_s, phone}}).body)
                                  .array();
    QCOMPARE(outbox.size(), 1);
    QCOMPARE(outbox.at(0).toObject().value(u"message"_s).toString(), u"9876"_s);
    QVERIFY(service->stop());
}

void tst_DevService::gatewayTraffic()
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
    // What the gateway sent, the device received.
    QCOMPARE(today(*client, a), (QList<qint64>{6000, 5000, 1000}));
    QCOMPARE(today(*client, b).first(), 1000);

    // Only the growth counts.
    charon.sas[0].bytesIn = 3000;
    charon.sas[0].bytesOut = 9000;
    QVERIFY(settle());
    QCOMPARE(today(*client, a).first(), 12000);

    // A rekeyed CHILD SA starts its counters afresh under new SPIs.
    charon.sas[0] = {charon.sas[0].remoteId, "c1000011", "c2000011", 100, 200};
    QVERIFY(settle());
    QCOMPARE(today(*client, a).first(), 12300);

    // An SA that goes down between two samples still reports its last bytes.
    FakeCharon::Sa last = charon.sas.takeFirst();
    last.bytesIn = 400;
    last.bytesOut = 800;
    charon.sendEvent("child-updown", FakeCharon::ikeSa(last));
    QVERIFY(settle());
    QCOMPARE(today(*client, a).first(), 12300 + 300 + 600);

    // After a restart the counters already seen are not counted again.
    QVERIFY(service->stop());
    service = std::make_unique<DevServiceProcess>(dir.path() + u"/data"_s);
    QVERIFY2(service->start(arguments), qPrintable(service->errors()));
    client = std::make_unique<HttpsClient>(service->origin(), service->caCertificate());
    QVERIFY(settle());
    QCOMPARE(today(*client, b).first(), 1000);
    QCOMPARE(today(*client, a).first(), 13200);

    // A packet announced at a gigabyte: the service hangs up without making
    // room for it, and comes back.
    const qint64 peakBefore = peakMemoryKb(service->pid());
    QVERIFY(peakBefore > 0);
    const int connections = charon.connections;
    charon.send(QByteArray::fromHex("4000000007"));
    QTRY_VERIFY_WITH_TIMEOUT(charon.connections > connections, 60000);
    QVERIFY(settle());
    const qint64 growth = peakMemoryKb(service->pid()) - peakBefore;
    QVERIFY2(growth < 64 * 1024, qPrintable(QString::number(growth)));
    QCOMPARE(today(*client, a).first(), 13200);
    QVERIFY(service->stop());
}

void tst_DevService::slowHeadersTakeNoMoreThanTheirShare()
{
    // 32 connections, as many as the service has workers, each sending one
    // header line every half second and never finishing its request.
    std::vector<std::unique_ptr<QSslSocket>> slow;
    int held = 0; // counted as they are let in, however soon the deadline cuts them
    for (int i = 0; i < 32; ++i) {
        slow.push_back(attackerSocket(m_hostile->port()));
        connect(slow.back().get(), &QSslSocket::encrypted, this, [&held] { ++held; });
    }
    QTimer trickle;
    int lines = 0;
    connect(&trickle, &QTimer::timeout, this, [&] {
        ++lines;
        for (auto &socket : slow) {
            if (socket->isEncrypted())
                socket->write(lines == 1 ? QByteArray("GET /getuser.json HTTP/1.1\r\nHost: x\r\n")
                                         : "X-Slow-" + QByteArray::number(lines) + ": 1\r\n");
        }
    });
    trickle.start(500);
    const auto settled = [&] {
        return std::all_of(slow.begin(), slow.end(), [](const auto &s) {
            return s->isEncrypted() || s->state() == QAbstractSocket::UnconnectedState;
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 60000);
    // One address gets half of the 32 workers; the rest is turned away at once.
    QCOMPARE(held, 16);

    // The real client is served while the slow ones hold their share.
    QVERIFY(realClientServed());
    QCOMPARE(stats().value(u"refusedOverCap"_s).toInteger(), 16);

    // None of them gets past the deadline for a request to arrive.
    QTRY_VERIFY_WITH_TIMEOUT(std::none_of(slow.begin(), slow.end(),
                                          [](const auto &s) {
                                              return s->state() == QAbstractSocket::ConnectedState;
                                          }),
                             60000);
    trickle.stop();
    // (Idle kept-alive connections of the real client may be cut too.)
    QVERIFY(stats().value(u"cutAtDeadline"_s).toInteger() >= 16);
    QVERIFY(realClientServed());
}

void tst_DevService::endlessBodiesAndHeadersAreCut_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("piece");
    // The help desk's route answers 401 to a stranger, but only once it has
    // the whole body; a body without a length is read as it comes.
    QTest::newRow("200 MiB chunked body")
        << QByteArray("POST /api/v2/tickets.json HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                      "Transfer-Encoding: chunked\r\n\r\n")
        << QByteArray("4000\r\n") + QByteArray(0x4000, ' ') + "\r\n";
    QTest::newRow("50,000 header lines of 4 KB") << QByteArray("GET /getuser.json HTTP/1.1\r\nHost: x\r\n")
                                                 << QByteArray("X-Flood: ") + QByteArray(4086, 'a') + "\r\n";
}

void tst_DevService::endlessBodiesAndHeadersAreCut()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, piece);
    const qint64 total = 200LL * 1024 * 1024;
    const qint64 rssBefore = stats().value(u"rssKb"_s).toInteger();
    const qint64 cutBefore = stats().value(u"cutOverBudget"_s).toInteger();

    auto socket = attackerSocket(m_hostile->port());
    QVERIFY(socket->waitForEncrypted(60000));
    qint64 sent = 0;
    socket->write(head);
    // Writes as fast as the connection drains, never holding more than a few pieces.
    auto pump = [&] {
        while (sent < total && socket->state() == QAbstractSocket::ConnectedState
               && socket->bytesToWrite() + socket->encryptedBytesToWrite() < 256 * 1024) {
            socket->write(piece);
            sent += piece.size();
        }
    };
    connect(socket.get(), &QSslSocket::encryptedBytesWritten, this, pump);
    pump();
    QVERIFY(realClientServed());
    QTRY_VERIFY_WITH_TIMEOUT(socket->state() == QAbstractSocket::UnconnectedState || sent >= total, 120000);
    socket->disconnect(this);

    const qint64 rssAfter = stats().value(u"rssKb"_s).toInteger();
    QVERIFY2(sent < total, "the service took the whole flood");
    QCOMPARE(stats().value(u"cutOverBudget"_s).toInteger(), cutBefore + 1);
    QVERIFY2(rssAfter - rssBefore < 64 * 1024, qPrintable(QString::number(rssAfter - rssBefore)));
    QVERIFY(realClientServed());
}

void tst_DevService::passwordGuessingIsHeld()
{
    const QString password = u"right-password"_s;
    QStringList targets;
    for (int i = 0; i < 5; ++i) {
        targets << u"target%1@example.org"_s.arg(i);
        QVERIFY(!signUp(*m_hostileClient, m_config, targets.last(), password).isEmpty());
    }
    const auto guess = [&](const QString &email, const QString &check) {
        return get(true, u"/getuser.json"_s, {{u"user"_s, email}, {u"check"_s, check}});
    };

    // One account: five wrong passwords are answered, then every try waits,
    // the right password included.
    const auto guesses = [&](int i) { return guess(targets[0], u"guess-%1"_s.arg(i)); };
    const auto refused = [](const RawAnswer &answer) { return envelopeProblem(answer.body, 6).isEmpty(); };
    QCOMPARE(servedUntilHeld(20, 6, guesses, refused), 6);
    QCOMPARE(guess(targets[0], password).status, 429);
    // The account is held for everybody, the real client too.
    const RawAnswer owner = get(false, u"/getuser.json"_s, {{u"user"_s, targets[0]}, {u"check"_s, password}});
    QCOMPARE(owner.status, 429);
    QCOMPARE(envelopeProblem(owner.body, 6), QString());

    // Spread over accounts, one address gets 20 wrong guesses free and the
    // 21st answered: 6 above and 5 on each of three more accounts; then it is
    // held on any account.
    for (int account = 1; account <= 3; ++account) {
        for (int i = 0; i < 5; ++i)
            QCOMPARE(envelopeProblem(guess(targets[account], u"x%1"_s.arg(i)).body, 6), QString());
    }
    QCOMPARE(guess(targets[4], u"x"_s).status, 429);
    QCOMPARE(guess(targets[4], password).status, 429);
    // Fresh tokens buy nothing: getcert waits as well.
    const QString fresh = token(*m_hostileClient, m_config);
    QVERIFY(!fresh.isEmpty());
    const RawAnswer certificate = get(true, u"/portableapi/portable.php"_s,
                                      certificateQuery(m_config, fresh, password, udidFor(u"x"_s),
                                                       targets[4]));
    QCOMPARE(certificate.status, 429);

    // Another address, another account: served.
    const RawAnswer other = get(false, u"/getuser.json"_s, {{u"user"_s, targets[4]}, {u"check"_s, password}});
    QVERIFY2(jsonObject(other.body).contains(u"user"_s), other.body.constData());
    QVERIFY(realClientServed());

    // Guesses that arrive together, each taking the full cost of a password
    // check: still five wrong ones and the one that starts the wait are
    // checked, and the rest wait.
    DevServiceProcess costly;
    costly.useDefaultPasswordCost();
    QVERIFY2(costly.start({u"--first-backoff"_s, u"600"_s}), qPrintable(costly.errors()));
    HttpsClient costlyClient(costly.origin(), costly.caCertificate());
    QVERIFY(!signUp(costlyClient, m_config, targets[0], password).isEmpty());
    const QUrl wrong = costlyClient.url(u"/getuser.json"_s,
                                        {{u"user"_s, targets[0]}, {u"check"_s, u"wrong"_s}});
    std::vector<std::unique_ptr<HttpsClient>> guessers;
    QList<QNetworkReply *> replies;
    for (int i = 0; i < 12; ++i) {
        guessers.push_back(std::make_unique<HttpsClient>(costly.origin(), costly.caCertificate()));
        replies.append(guessers.back()->start("GET", wrong));
    }
    int checked = 0;
    int waiting = 0;
    for (QNetworkReply *reply : replies) {
        const HttpAnswer answer = HttpsClient::wait(reply);
        QCOMPARE(envelopeProblem(answer.body, 6), QString());
        ++(answer.status == 429 ? waiting : checked);
    }
    QCOMPARE(checked, 6);
    QCOMPARE(waiting, 6);
    QVERIFY(costly.stop());
}

void tst_DevService::floodsAreHeld()
{
    const auto send = [&](bool fromAttacker, const QString &number) {
        const QString token = QString::fromUtf8(get(fromAttacker, u"/iOS/getverification.php"_s).body);
        return get(fromAttacker, u"/iOS/sms_orvex.php"_s,
                   {{u"ToNumbe"_s, number}, {u"toMsg"_s, u"1234"_s}, {u"verify"_s, token}});
    };
    const auto sent = [](const RawAnswer &answer) {
        return jsonObject(answer.body).value(u"orvexcloud"_s).isObject();
    };

    // One number: five messages, then it waits; another number is served.
    const QString victim = u"+33612340100"_s;
    for (int i = 0; i < 5; ++i)
        QVERIFY(sent(send(false, victim)));
    const auto held = send(false, victim);
    QCOMPARE(held.status, 429);
    QCOMPARE(envelopeProblem(held.body, 10), QString());
    QVERIFY(sent(send(false, u"+33612340101"_s)));

    // One address: thirty messages an hour over any numbers.
    const auto number = [&](int i) { return send(true, u"+336123402%1"_s.arg(i, 2, 10, QLatin1Char('0'))); };
    QCOMPARE(servedUntilHeld(40, 10, number, sent), 30);
    QVERIFY(sent(send(false, u"+33612340102"_s)));
    const QJsonArray outbox
        = QJsonDocument::fromJson(m_hostileClient->get(u"/dev/sms"_s, {{u"to"_s, victim}}).body).array();
    QCOMPARE(outbox.size(), 5);

    // Sign-ups, each a password hash: twenty an hour from one address.
    const auto signUpFlood = [&](int i) {
        return get(true, u"/adduser.json"_s, signUpQuery(m_config, u"flood%1@example.org"_s.arg(i), u"pw"_s));
    };
    const auto created = [](const RawAnswer &answer) { return jsonObject(answer.body).contains(u"user"_s); };
    QCOMPARE(servedUntilHeld(30, 10, signUpFlood, created), 20);
    QVERIFY(!signUp(*m_hostileClient, m_config, u"after-flood@example.org"_s, u"pw"_s).isEmpty());
}

void tst_DevService::fullThrottleFreesNobody()
{
    using OrvexDev::Throttle;
    // Room for three keys; every failure waits ten minutes, remembered for an hour.
    Throttle throttle(3);
    const Throttle::BackOff rule{0, 600, 900};
    const std::int64_t start = 1'000'000;
    const std::string held = "account:held";
    QCOMPARE(throttle.attempt({{held, rule}}, start), 0);
    QCOMPARE(throttle.waitFor(held, start + 1), 599);

    // Made-up keys fill the table; then new ones wait until an entry expires,
    // and the held key still waits.
    for (int i = 0; i < 2; ++i)
        QCOMPARE(throttle.attempt({{"source:" + std::to_string(i), rule}}, start + 1), 0);
    for (int i = 2; i < 10; ++i) {
        const std::string key = "source:" + std::to_string(i);
        QVERIFY(throttle.attempt({{key, rule}}, start + 2) > 0);
        QCOMPARE(throttle.waitFor(key, start + 2), 0);
    }
    QVERIFY(throttle.take("sms-number:+33612345678", 5, 900, start + 2) > 0);
    QCOMPARE(throttle.waitFor(held, start + 2), 598);

    // An hour after the last failures, their keys hold nothing: room again,
    // for two new keys at once.
    const std::string account = "account:other";
    QCOMPARE(throttle.attempt({{account, rule}, {"source:9", rule}}, start + 3602), 0);
    QCOMPARE(throttle.waitFor(account, start + 3602), 600);

    // A right password takes back the failure its try counted, and the wait
    // that failure started; earlier failures still count.
    const Throttle::BackOff twoFree{2, 600, 900};
    const std::string source = "source:127.0.0.9";
    Throttle fresh;
    QCOMPARE(fresh.attempt({{source, twoFree}}, start), 0);
    QCOMPARE(fresh.attempt({{source, twoFree}}, start), 0);
    QCOMPARE(fresh.attempt({{source, twoFree}}, start), 0);
    QCOMPARE(fresh.waitFor(source, start), 600);
    fresh.release({source, twoFree});
    QCOMPARE(fresh.waitFor(source, start), 0);
    QCOMPARE(fresh.attempt({{source, twoFree}}, start), 0);
    QCOMPARE(fresh.waitFor(source, start), 600);
}

QTEST_GUILESS_MAIN(tst_DevService)
#include "tst_devservice_service.moc"
