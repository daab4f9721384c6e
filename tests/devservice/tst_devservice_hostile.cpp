// What orvex-devservice withstands from hostile clients: headers that trickle
// in on many connections, an endless chunked body, a flood of header lines,
// password guessing and an SMS flood. The attacks come from 127.0.0.2, the
// real client from 127.0.0.1, which is served meanwhile.

#include "ServiceCalls.h"

#include <QHostAddress>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

const QHostAddress attackerAddress(u"127.0.0.2"_s);

// A TLS connection to the service from the attacker's address.
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

// One request on a connection of its own from the attacker's address.
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

} // namespace

class DevServiceHostileTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void slowHeadersTakeNoMoreThanTheirShare();
    void endlessBodiesAndHeadersAreCut_data();
    void endlessBodiesAndHeadersAreCut();
    void tooManyHeaderFieldsAreRefused();
    void passwordGuessingIsHeld();
    void smsFloodIsHeld();

private:
    QJsonObject stats() { return jsonObject(m_client->get(u"/dev/stats"_s).body); }
    // The real client signs in with the demo account.
    bool realClientServed()
    {
        const QueryItems demo{{u"user"_s, m_service->demoEmail()}, {u"check"_s, m_service->demoPassword()}};
        return jsonObject(m_client->get(u"/getuser.json"_s, demo).body).contains(u"user"_s);
    }
    // A GET from the attacker's address, or from the real client's.
    RawAnswer get(bool fromAttacker, const QString &path, const QueryItems &items = {})
    {
        if (!fromAttacker) {
            const HttpAnswer answer = m_client->get(path, items);
            return {answer.status, {}, answer.body};
        }
        return attackerSend(m_service->port(),
                            "GET "
                                + m_client->url(path, items)
                                      .toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority)
                                + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    }

    QTemporaryDir m_dir;
    Orvex::Config m_config;
    std::unique_ptr<DevServiceProcess> m_service;
    std::unique_ptr<HttpsClient> m_client;
};

void DevServiceHostileTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_config = *Orvex::Config::parse({}, {}, nullptr);
    m_service = std::make_unique<DevServiceProcess>(m_dir.filePath(u"data"_s));
    // A short deadline keeps the wait for it short; a long first back-off
    // keeps a held guesser held for the whole test, however slow the machine.
    QVERIFY2(m_service->start({u"--seed-demo"_s, u"--dev-routes"_s, u"--request-deadline"_s, u"3000"_s,
                               u"--first-backoff"_s, u"600"_s}),
             qPrintable(m_service->errors()));
    m_client = std::make_unique<HttpsClient>(m_service->origin(), m_service->caCertificate());
    QVERIFY(realClientServed());
}

void DevServiceHostileTest::cleanupTestCase()
{
    m_client.reset();
    if (m_service)
        QVERIFY(m_service->stop());
}

void DevServiceHostileTest::slowHeadersTakeNoMoreThanTheirShare()
{
    // 32 connections, as many as the service has workers, each sending one
    // header line every half second and never finishing its request.
    std::vector<std::unique_ptr<QSslSocket>> slow;
    int held = 0; // counted as they are let in, however soon the deadline cuts them
    for (int i = 0; i < 32; ++i) {
        slow.push_back(attackerSocket(m_service->port()));
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

void DevServiceHostileTest::endlessBodiesAndHeadersAreCut_data()
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

void DevServiceHostileTest::endlessBodiesAndHeadersAreCut()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, piece);
    const qint64 total = 200LL * 1024 * 1024;
    const qint64 rssBefore = stats().value(u"rssKb"_s).toInteger();
    const qint64 cutBefore = stats().value(u"cutOverBudget"_s).toInteger();

    auto socket = attackerSocket(m_service->port());
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
    // The real client is served while the flood goes on.
    QVERIFY(realClientServed());
    QTRY_VERIFY_WITH_TIMEOUT(socket->state() == QAbstractSocket::UnconnectedState || sent >= total, 120000);
    socket->disconnect(this);

    const qint64 rssAfter = stats().value(u"rssKb"_s).toInteger();
    QVERIFY2(sent < total, "the service took the whole flood");
    QCOMPARE(stats().value(u"cutOverBudget"_s).toInteger(), cutBefore + 1);
    QVERIFY2(rssAfter - rssBefore < 64 * 1024, qPrintable(QString::number(rssAfter - rssBefore)));
    QVERIFY(realClientServed());
}

void DevServiceHostileTest::tooManyHeaderFieldsAreRefused()
{
    QByteArray request = "GET /getuser.json HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    for (int i = 0; i < 150; ++i)
        request += "X-Field-" + QByteArray::number(i) + ": 1\r\n";
    const RawAnswer answer = attackerSend(m_service->port(), request + "\r\n");
    QCOMPARE(answer.status, 431);
}

void DevServiceHostileTest::passwordGuessingIsHeld()
{
    const QString password = u"right-password"_s;
    QStringList targets;
    for (int i = 0; i < 5; ++i) {
        targets << u"target%1@example.org"_s.arg(i);
        QVERIFY(!signUp(*m_client, m_config, targets.last(), password).isEmpty());
    }
    const auto guess = [&](const QString &email, const QString &check) {
        return get(true, u"/getuser.json"_s, {{u"user"_s, email}, {u"check"_s, check}});
    };

    // One account: five wrong passwords are answered, then every try waits,
    // the right password included.
    int answered = 0;
    RawAnswer last;
    for (int i = 0; i < 20; ++i) {
        last = guess(targets[0], u"guess-%1"_s.arg(i));
        if (last.status == 429)
            break;
        QCOMPARE(envelopeProblem(last.body, 6), QString());
        ++answered;
    }
    QCOMPARE(answered, 6);
    QCOMPARE(last.status, 429);
    QCOMPARE(envelopeProblem(last.body, 6), QString());
    QVERIFY2(last.head.contains("Retry-After: "), last.head.constData());
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
    const QString fresh = token(*m_client, m_config);
    QVERIFY(!fresh.isEmpty());
    const RawAnswer certificate = get(true, u"/portableapi/portable.php"_s,
                                      certificateQuery(m_config, fresh, password, udidFor(u"x"_s),
                                                       targets[4]));
    QCOMPARE(certificate.status, 429);

    // Another address, another account: served.
    const RawAnswer other = get(false, u"/getuser.json"_s, {{u"user"_s, targets[4]}, {u"check"_s, password}});
    QVERIFY2(jsonObject(other.body).contains(u"user"_s), other.body.constData());
    QVERIFY(realClientServed());
}

void DevServiceHostileTest::smsFloodIsHeld()
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
    int accepted = 0;
    for (int i = 0; i < 40 && accepted <= 30; ++i) {
        const auto answer = send(true, u"+336123402%1"_s.arg(i, 2, 10, QLatin1Char('0')));
        if (answer.status == 429) {
            QCOMPARE(envelopeProblem(answer.body, 10), QString());
            break;
        }
        QVERIFY(sent(answer));
        ++accepted;
    }
    QCOMPARE(accepted, 30);
    // The real client, from its own address, still sends.
    QVERIFY(sent(send(false, u"+33612340102"_s)));
    const QJsonArray outbox = QJsonDocument::fromJson(m_client->get(u"/dev/sms"_s, {{u"to"_s, victim}}).body)
                                  .array();
    QCOMPARE(outbox.size(), 5);
}

QTEST_GUILESS_MAIN(DevServiceHostileTest)
#include "tst_devservice_hostile.moc"
