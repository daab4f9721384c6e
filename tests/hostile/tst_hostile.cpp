// What a broken or hostile server can send must end in a clear error with
// bounded memory, while the main thread keeps serving other work.

#include "Capture.h"
#include "TestFiles.h"
#include "TestHttpServer.h"
#include "TestPkcs12.h"

#include "api/NetworkService.h"
#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "support/SupportHandler.h"
#include "support/SupportURLRouter.h"

#include <QFile>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace Orvex;

namespace {

qint64 statusKb(const char *field)
{
    const QByteArray text = readFile(QStringLiteral("/proc/self/status"));
    const qsizetype at = text.indexOf(field);
    return at < 0 ? -1 : text.mid(at + qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
}

// Starts a fresh peak: the kernel resets VmHWM to the current RSS.
void resetPeakMemory()
{
    writeFile(QStringLiteral("/proc/self/clear_refs"), "5");
}

// Sends `total` bytes of body after `head` as fast as the TLS socket drains,
// never holding more than a few chunks; stops when the client goes away.
// `sent` is shared with the socket's handlers, which may outlive the test.
TestHttpServer::Handler flood(const std::shared_ptr<qint64> &sent, const QByteArray &head, qint64 total,
                              bool chunked)
{
    return [=](const TestHttpRequest &, QTcpSocket *socket) {
        auto *tls = static_cast<QSslSocket *>(socket);
        tls->write(head);
        auto pump = [=] {
            while (*sent < total && tls->bytesToWrite() + tls->encryptedBytesToWrite() < 1024 * 1024
                   && tls->state() == QAbstractSocket::ConnectedState) {
                const QByteArray chunk(std::min<qint64>(256 * 1024, total - *sent), ' ');
                tls->write(chunked ? QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n" : chunk);
                *sent += chunk.size();
            }
        };
        QObject::connect(tls, &QSslSocket::bytesWritten, tls, pump);
        QObject::connect(tls, &QSslSocket::encryptedBytesWritten, tls, pump);
        pump();
    };
}

// AddressSanitizer keeps freed memory in quarantine and ThreadSanitizer adds
// shadow memory for every byte touched, so peaks say little there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool measuresMemory = false;
#else
constexpr bool measuresMemory = true;
#endif

const qint64 hundredMegabytes = 100LL * 1024 * 1024;
const QString tooLarge = QStringLiteral("The server's answer is larger than 16 MB.");

} // namespace

class tst_Hostile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void hundredMegabyteAnswerIsRefused_data();
    void hundredMegabyteAnswerIsRefused();
    void tricklingAnswerTimesOut_data();
    void tricklingAnswerTimesOut();
    void hostileCertificateArchiveIsRefused_data();
    void hostileCertificateArchiveIsRefused();

private:
    std::optional<Error> askBesideOtherWork(bool helpDesk);

    std::unique_ptr<TestHttpServer> m_server;
    QTemporaryDir m_dir;
    Config m_config;
    std::unique_ptr<NetworkService> m_network;
};

void tst_Hostile::initTestCase()
{
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->port() != 0);
    m_config = Config::parse({}, {}).value();
    m_config.apiBaseURL = m_server->origin(true);
    m_config.caCertificates = {m_server->certificatePath()};
    m_config.helpDeskTicketURL = m_server->origin(true) + QStringLiteral("/api/v2/tickets.json");
    m_network = std::make_unique<NetworkService>(m_config);
    m_server
        ->route("/adddevice.json",
                TestHttpServer::answer(
                    200,
                    R"({"status":{"code":0,"command":"adddevice","error":false,"opf":"o","version":"1"}})"));
}

void tst_Hostile::init()
{
    m_network->setTimeouts(std::chrono::milliseconds(60000), std::chrono::milliseconds(180000),
                           std::chrono::milliseconds(3600000));
}

// Asks the service, or the help desk, and meanwhile the service again: other
// work goes on, so the second request is answered. How the first ended; none
// when either never ended or the second failed.
std::optional<Error> tst_Hostile::askBesideOtherWork(bool helpDesk)
{
    Capture<UserResponse> user;
    Capture<Empty> ticket;
    if (helpDesk)
        SupportHandler::post(*m_network, m_config, SupportURLRouter::requestSupport({}), ticket.completion());
    else
        m_network->getUser(QStringLiteral("a@b.cc"), std::nullopt, user.completion());
    Capture<Empty> other;
    m_network->addDevice(QStringLiteral("u"), QStringLiteral("a@b.cc"), other.completion());
    if (!(helpDesk ? ticket.wait() : user.wait()) || !other.wait() || !other.result->isSuccess())
        return std::nullopt;
    return helpDesk ? ticket.result->error() : user.result->error();
}

void tst_Hostile::hundredMegabyteAnswerIsRefused_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<qint64>("total"); // bytes of body the server sends
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<bool>("helpDesk");
    QTest::addColumn<bool>("refused");
    const QByteArray json = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
    // Nothing announces the size: the limit must count what arrives (an answer
    // that runs until the connection closes is counted the same way). The help
    // desk's answers go through the same limit, under a message of their own.
    for (const bool helpDesk : {false, true})
        QTest::addRow("%s, chunked, no length", helpDesk ? "help desk" : "service")
            << json + "Transfer-Encoding: chunked\r\n\r\n"
            << hundredMegabytes << true << helpDesk << true;
    // The limit itself: 16 MB is taken whole (and then found to be no JSON),
    // one byte more is not, and a length over it is refused before any body.
    QTest::newRow("service, exactly 16 MB") << json + "Content-Length: 16777216\r\n\r\n"
                                            << qint64(16777216) << false << false << false;
    QTest::newRow("service, 16 MB and a byte, chunked") << json + "Transfer-Encoding: chunked\r\n\r\n"
                                                        << qint64(16777217) << true << false << true;
    QTest::newRow("service, 16 MB and a byte declared, no body sent")
        << json + "Content-Length: 16777217\r\n\r\n"
        << qint64(0) << false << false << true;
}

void tst_Hostile::hundredMegabyteAnswerIsRefused()
{
    QFETCH(QByteArray, head);
    QFETCH(qint64, total);
    QFETCH(bool, chunked);
    QFETCH(bool, helpDesk);
    QFETCH(bool, refused);
    const auto sent = std::make_shared<qint64>(0);
    m_server->route(helpDesk ? "/api/v2/tickets.json" : "/getuser.json", flood(sent, head, total, chunked));

    resetPeakMemory();
    const qint64 before = statusKb("VmRSS:");
    const std::optional<Error> error = askBesideOtherWork(helpDesk);
    QVERIFY(error);
    if (!refused) {
        QCOMPARE(error->code(), Error::Code::cannotParseData);
        return;
    }
    QCOMPARE(error->code(), Error::Code::generic);
    QCOMPARE(error->localizedDescription(),
             helpDesk ? QStringLiteral("The help desk's answer is larger than 16 MB.") : tooLarge);
    // The client stops reading at the limit, so however fast either side is,
    // the server gets out no more than the limit plus what the socket buffers
    // on both ends hold (a few MB on loopback), never the whole answer.
    QVERIFY2(*sent <= 48LL * 1024 * 1024, qPrintable(QString::number(*sent)));
    // Held in memory: the limit and the buffers, not the answer.
    const qint64 grownMb = (statusKb("VmHWM:") - before) / 1024;
    if (measuresMemory)
        QVERIFY2(grownMb < 32, qPrintable(QStringLiteral("peak memory grew by %1 MB").arg(grownMb)));
}

void tst_Hostile::tricklingAnswerTimesOut_data()
{
    QTest::addColumn<bool>("helpDesk");
    QTest::newRow("service") << false;
    // The ticket runs under the same limits as service requests.
    QTest::newRow("help desk") << true;
}

void tst_Hostile::tricklingAnswerTimesOut()
{
    QFETCH(bool, helpDesk);
    // One byte a second never trips the idle limit; the overall deadline
    // (shortened here from its 3 minutes) ends it.
    m_network->setTimeouts(std::chrono::milliseconds(60000), std::chrono::milliseconds(2500),
                           std::chrono::milliseconds(2500));
    const QByteArray path = helpDesk ? "/api/v2/tickets.json" : "/getuser.json";
    m_server->route(path, [](const TestHttpRequest &, QTcpSocket *socket) {
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n{");
        auto *timer = new QTimer(socket);
        QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write(" "); });
        timer->start(1000);
    });
    int turns = 0; // of the event loop: a zero timer fires once per turn
    QTimer loop;
    QObject::connect(&loop, &QTimer::timeout, [&turns] { ++turns; });
    loop.start(0);
    const std::optional<Error> error = askBesideOtherWork(helpDesk);
    QVERIFY(error);
    QCOMPARE(error->localizedDescription(), QStringLiteral("The request timed out."));
    QVERIFY(turns > 10);
}

void tst_Hostile::hostileCertificateArchiveIsRefused_data()
{
    QTest::addColumn<QByteArray>("archive");
    const QString passphrase = m_config.pkcs12Passphrase;

    // A DER header that announces 10 MB of certificate archive, then stops.
    QTest::newRow("truncated 10 MB announcement")
        << QByteArray::fromHex("3084009fffff020103") + QByteArray(1000, '\0');

    // Thousands of certificates with no key, then thousands of keys that fit
    // none of them: a store that tries every key on every certificate makes
    // nine million key comparisons on the main thread (minutes under load;
    // the test's own watchdog then fails it).
    QList<TestPkcs12::Bag> bags;
    const int count = 3000;
    std::vector<TestPkcs12::Credential> credentials;
    for (int i = 0; i < count; ++i)
        credentials.push_back(TestPkcs12::makeCredential("c"));
    for (int i = 0; i < count; ++i)
        bags.append(TestPkcs12::certificateBag(credentials[size_t(i)]));
    for (int i = 0; i < count; ++i)
        bags.append(TestPkcs12::keyBag(TestPkcs12::makeCredential("k"), {}, false));
    QTest::newRow("3000 lone certificates, 3000 stray keys")
        << TestPkcs12::makeArchive(bags, passphrase, true);

    // OpenSSL derives the MAC key with whatever count the archive names.
    const TestPkcs12::Credential me = TestPkcs12::makeCredential("me");
    bags = {TestPkcs12::certificateBag(me, "id-1"), TestPkcs12::keyBag(me, "id-1")};
    QTest::newRow("MAC with 2 million rounds") << TestPkcs12::makeArchive(bags, passphrase, false, 2000000);
    // One good identity, each count within bounds, the sum not: a MAC of
    // 999,000 rounds, then the safe's and the key's 2048 each.
    QTest::newRow("rounds that add up to over a million")
        << TestPkcs12::makeArchive(bags, passphrase, false, 999000);
}

void tst_Hostile::hostileCertificateArchiveIsRefused()
{
    QFETCH(QByteArray, archive);
    QVERIFY(!archive.isEmpty());
    // The archive arrives whole: it is within the answer limit.
    m_server->route("/portableapi/portable.php", TestHttpServer::answer(200, archive, "application/x-pkcs12"));
    Capture<QByteArray> answer;
    m_network->getCert(QStringLiteral("p"), QStringLiteral("u"), QStringLiteral("e"), QStringLiteral("t"),
                       answer.completion());
    QVERIFY(answer.wait());
    QVERIFY(answer.result->isSuccess());
    QCOMPARE(answer.result->value().size(), archive.size());

    resetPeakMemory();
    const qint64 before = statusKb("VmRSS:");
    IdentityStore store(m_dir.filePath(QStringLiteral("identities")));
    QVERIFY(!store.importSingleIdentity(answer.result->value(), m_config.pkcs12Passphrase));
    const qint64 grownMb = (statusKb("VmHWM:") - before) / 1024;
    if (measuresMemory)
        QVERIFY2(grownMb < 100, qPrintable(QStringLiteral("peak memory grew by %1 MB").arg(grownMb)));
    QVERIFY(QDir(store.directory()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

QTEST_MAIN(tst_Hostile)
#include "tst_hostile.moc"
