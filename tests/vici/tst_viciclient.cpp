#include "StandInCharon.h"
#include "TestFiles.h"
#include "TestPkcs12.h"

#include "platform/vici/ResolverLeftovers.h"
#include "platform/vici/ViciClient.h"
#include "platform/vici/ViciVpnBackend.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Orvex;
using namespace Qt::StringLiterals;

// The VICI wire format byte for byte and every kind of refusal (random bytes
// are fuzz_vici's part, run in the suite under sanitizers); the client over a
// stand-in for charon's socket; and the resolver lines charon leaves behind.
class TestViciClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encodesTheWireFormatByteForByte();
    void roundTripsNestedMessages();
    void refusesWhatTheWireCannotCarry();
    void rejectsMalformedPackets_data();
    void rejectsMalformedPackets();
    void rejectsEveryTruncationOfAPacket();
    void resolverLeftoversAreTakenOut_data();
    void resolverLeftoversAreTakenOut();
    void resolverFileIsRepairedInPlace();
    void init()
    {
        m_charon.reset();
        m_dir.emplace();
        m_path = m_dir->filePath(u"charon.vici"_s);
        m_charon = std::make_unique<StandInCharon>(m_path);
    }
    void pipelinedCommandsAreAnsweredInOrder();
    void eventsArriveBetweenAnswers();
    void streamedItemsGoToTheirCommand();
    void withoutConnectionRequestsFail();
    void brokenInputDropsTheConnection_data();
    void brokenInputDropsTheConnection();
    void handlerMayDestroyTheClient();
    void backendRetriesWhatCharonLostMeanwhile();

private:
    QString m_path;
    std::optional<QTemporaryDir> m_dir;
    std::unique_ptr<StandInCharon> m_charon;
};

void TestViciClient::pipelinedCommandsAreAnsweredInOrder()
{
    ViciClient client;
    QSignalSpy connected(&client, &ViciClient::connected);
    client.connectToDaemon(m_path); // requests may be issued before it connects
    QStringList answers;
    for (const char *name : {"version", "load-conn", "get-conns"}) {
        ViciMessage request;
        request.set("n", name);
        client.call(name, request, [&answers, name](const ViciReply &reply) {
            answers << QString::fromLatin1(name) + QLatin1Char('=') + reply.message.text("order");
        });
    }
    QVERIFY(m_charon->waitForPackets(3));
    QCOMPARE(connected.size(), 1);
    QCOMPARE(m_charon->received[0].name, "version");
    QCOMPARE(m_charon->received[2].message.text("n"), u"get-conns"_s);
    for (const char *order : {"1", "2", "3"})
        m_charon->respond("order", order);
    QTRY_COMPARE(answers, QStringList({u"version=1"_s, u"load-conn=2"_s, u"get-conns=3"_s}));
}

void TestViciClient::eventsArriveBetweenAnswers()
{
    ViciClient client;
    client.connectToDaemon(m_path);
    QSignalSpy events(&client, &ViciClient::eventReceived);
    bool confirmed = false;
    client.registerEvent("ike-updown", [&](const ViciReply &r) { confirmed = r.isSuccess(); });
    ViciReply initiated;
    client.call("initiate", [&](const ViciReply &r) { initiated = r; });
    QVERIFY(m_charon->waitForPackets(2));
    QCOMPARE(m_charon->received[0].type, ViciPacket::EventRegister);
    QCOMPARE(m_charon->received[0].name, "ike-updown");

    m_charon->send({ViciPacket::EventConfirm, {}, {}});
    m_charon->event("ike-updown", "up", "yes"); // while initiate is still running
    m_charon->respond("success", "no");
    m_charon->event("ike-updown", "state", "DELETING");
    QTRY_COMPARE(events.size(), 2);
    QVERIFY(confirmed);
    QCOMPARE(initiated.outcome, ViciReply::Answered);
    QVERIFY(!initiated.isSuccess());
    QCOMPARE(events[0][0].toByteArray(), "ike-updown");
    QVERIFY(events[0][1].value<ViciMessage>().isYes("up"));

    // An unknown command or event is answered as such; the connection stays usable.
    ViciReply command, event;
    client.call("no-such-thing", [&](const ViciReply &r) { command = r; });
    client.registerEvent("no-such-event", [&](const ViciReply &r) { event = r; });
    QVERIFY(m_charon->waitForPackets(4));
    m_charon->send({ViciPacket::CommandUnknown, {}, {}});
    m_charon->send({ViciPacket::EventUnknown, {}, {}});
    QTRY_COMPARE(event.outcome, ViciReply::UnknownCommand);
    QCOMPARE(command.outcome, ViciReply::UnknownCommand);
    QVERIFY(!command.errorText().isEmpty());
    QVERIFY(client.isConnected());
}

void TestViciClient::streamedItemsGoToTheirCommand()
{
    ViciClient client;
    client.connectToDaemon(m_path);
    QSignalSpy events(&client, &ViciClient::eventReceived);
    QList<QByteArray> items;
    bool done = false;
    client.stream(
        "list-sas", {}, "list-sa", [&](const ViciMessage &m) { items << m.value("name"); },
        [&](const ViciReply &r) { done = r.isSuccess(); });
    QVERIFY(m_charon->waitForPackets(3));
    QCOMPARE(m_charon->received[0].type, ViciPacket::EventRegister);
    QCOMPARE(m_charon->received[1].name, "list-sas");
    QCOMPARE(m_charon->received[2].type, ViciPacket::EventUnregister);
    m_charon->send({ViciPacket::EventConfirm, {}, {}});
    m_charon->event("list-sa", "name", "a");
    m_charon->event("ike-updown", "up", "yes"); // unrelated: goes to the signal
    m_charon->event("list-sa", "name", "b");
    m_charon->send({ViciPacket::CommandResponse, {}, {}});
    m_charon->send({ViciPacket::EventConfirm, {}, {}});
    m_charon->event("list-sa", "name", "late"); // after the command: a plain event
    QTRY_COMPARE(events.size(), 2);
    QVERIFY(done);
    QCOMPARE(items, QList<QByteArray>({"a", "b"}));
    QCOMPARE(events[1][0].toByteArray(), "list-sa");
}

void TestViciClient::withoutConnectionRequestsFail()
{
    // Never connected, or to a socket nobody listens on: failed, never from
    // inside call().
    {
        ViciClient client;
        ViciReply reply;
        reply.outcome = ViciReply::Answered;
        client.call("version", [&](const ViciReply &r) { reply = r; });
        QCOMPARE(reply.outcome, ViciReply::Answered);
        QTRY_COMPARE(reply.outcome, ViciReply::Failed);
        QSignalSpy disconnected(&client, &ViciClient::disconnected);
        reply.outcome = ViciReply::Answered;
        client.connectToDaemon(m_dir->filePath(u"missing.vici"_s));
        client.call("version", [&](const ViciReply &r) { reply = r; });
        QTRY_COMPARE(reply.outcome, ViciReply::Failed);
        QCOMPARE(disconnected.size(), 1);
    }

    // Connection lost: every request still waiting fails.
    ViciClient client;
    client.connectToDaemon(m_path);
    QSignalSpy disconnected(&client, &ViciClient::disconnected);
    int failed = 0;
    for (int i = 0; i < 3; ++i)
        client.call("initiate", [&](const ViciReply &r) { failed += r.outcome == ViciReply::Failed; });
    QVERIFY(m_charon->waitForPackets(3));
    m_charon->respond();
    m_charon->drop();
    QTRY_COMPARE(disconnected.size(), 1);
    QCOMPARE(failed, 2);
    QVERIFY(!client.isOpen());

    // It can connect again afterwards.
    QSignalSpy connected(&client, &ViciClient::connected);
    client.connectToDaemon(m_path);
    QTRY_COMPARE(connected.size(), 1);
}

// What charon sends while one `version` is waiting; the connection is
// dropped, and the request fails unless it was answered before.
void TestViciClient::brokenInputDropsTheConnection_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("answered");
    QTest::newRow("one byte over the bound") << QByteArray::fromHex("00080001") << false;
    QTest::newRow("zero length") << QByteArray::fromHex("00000000") << false;
    QTest::newRow("bad element") << QByteArray::fromHex("000000020109") << false;
    QTest::newRow("request type from charon") << QByteArray::fromHex("0000000300016e") << false;
    QTest::newRow("an answer without a request") << QByteArray::fromHex("00000001 01 00000001 01") << true;
}

void TestViciClient::brokenInputDropsTheConnection()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, answered);
    ViciClient client;
    client.connectToDaemon(m_path);
    QSignalSpy disconnected(&client, &ViciClient::disconnected);
    ViciReply reply;
    reply.outcome = ViciReply::UnknownCommand; // neither of the two below
    client.call("version", [&](const ViciReply &r) { reply = r; });
    QVERIFY(m_charon->waitForPackets(1));
    m_charon->sendRaw(bytes);
    QTRY_COMPARE(disconnected.size(), 1);
    QCOMPARE(reply.outcome, answered ? ViciReply::Answered : ViciReply::Failed);
    QCOMPARE(reply.errorText().isEmpty(), answered);
}

void TestViciClient::handlerMayDestroyTheClient()
{
    auto *client = new ViciClient;
    client->connectToDaemon(m_path);
    int calls = 0;
    client->call("version", [&](const ViciReply &) {
        ++calls;
        delete client;
    });
    client->call("version", [&](const ViciReply &) { ++calls; });
    QVERIFY(m_charon->waitForPackets(2));
    m_charon->respond();
    m_charon->respond();
    // The client's socket went with it: whatever it read is done with.
    QTRY_VERIFY(m_charon->peerGone);
    QCOMPARE(calls, 1);
}

// The VICI backend on the client: an attempt refused while charon is given
// back what it lost is tried again. (What it loads and unloads over a whole
// tunnel's life is tst_drivercontract's.)
void TestViciClient::backendRetriesWhatCharonLostMeanwhile()
{
    const TestPkcs12::Credential credential = TestPkcs12::makeCredential("client");
    ViciVpnBackend::Options options;
    options.socketPath = m_path;
    options.resolveIdentity = [&credential](const QByteArray &) {
        return std::optional<ViciVpnBackend::Identity>({credential.certificateDer(), {}, u"ecdsa"_s});
    };
    ViciVpnBackend backend(options);
    VpnPreferences preferences;
    preferences.protocolConfiguration.emplace().serverAddress = u"vpn.orvex.example"_s;
    preferences.protocolConfiguration->identityReference = "reference";
    preferences.protocolConfiguration->authenticationMethod
        = VpnProtocolIKEv2::AuthenticationMethod::Certificate;
    preferences.enabled = true;
    bool attached = false;
    backend.attach(preferences, [&] { attached = true; });
    // Three events registered, then the listing of the tunnel's SAs.
    QVERIFY(m_charon->waitForPackets(6));
    m_charon->answerAll();
    QTRY_VERIFY(attached);
    QCOMPARE(backend.status(), VpnStatus::Disconnected);

    // Loaded, then lost by charon behind the client's back. The next switch
    // starts on what charon was given and asks meanwhile whether it still
    // holds it; the reload that answer leads to is still on its way when the
    // initiate is refused for want of it: tried again, not reported.
    int applied = 0;
    backend.apply(preferences, [&applied](const Outcome<> &) { ++applied; });
    QTRY_VERIFY(m_charon->commands().contains("load-conn"));
    m_charon->answerAll();
    QTRY_COMPARE(applied, 1);
    backend.apply(preferences, [&applied](const Outcome<> &) { ++applied; });
    QTRY_VERIFY(m_charon->commands().contains("get-keys"));
    m_charon->answerAll(); // lists neither the connection nor the key
    QTRY_COMPARE(m_charon->commands().count("load-conn"), 2);
    QSignalSpy statuses(&backend, &VpnBackend::statusChanged);
    QVERIFY(backend.startTunnel().isSuccess());
    QTRY_COMPARE(m_charon->commands().count("initiate"), 1);
    m_charon->peerGone = false;
    m_charon->respondTo(m_charon->lastCommand("initiate"), "success", "no");
    QTRY_VERIFY(m_charon->peerGone); // the refusal taken, its connection closed
    m_charon->answerAll();
    QTRY_COMPARE(m_charon->commands().count("initiate"), 2);
    QCOMPARE(backend.status(), VpnStatus::Connecting);
    for (const QList<QVariant> &change : std::as_const(statuses))
        QVERIFY(change.first().value<VpnStatus>() != VpnStatus::Disconnected);

    QVERIFY(backend.startTunnel().isSuccess());
    QCOMPARE(backend.status(), VpnStatus::Connecting);
}

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

void TestViciClient::encodesTheWireFormatByteForByte()
{
    ViciPacket packet{ViciPacket::CommandRequest, "initiate", {}};
    packet.message.set("child", "c");
    packet.message.setList("l", {"ab", ""});
    packet.message.section("s").set("k", QByteArray("\x00\x01", 2));
    const Outcome<QByteArray> payload = ViciCodec::encodePacket(packet);
    // type, name; key-value; list start, two items, list end; section start,
    // key-value, section end.
    const QByteArray expected = hex("00 08") + "initiate" + hex("03 05") + "child" + hex("0001") + "c"
                                + hex("04 01") + "l" + hex("05 0002") + "ab" + hex("05 0000 06 01 01") + "s"
                                + hex("03 01") + "k" + hex("0002 0001 02");
    QCOMPARE(payload.value().toHex(), expected.toHex());
    QCOMPARE(ViciCodec::frame(payload.value()).left(4), hex("0000002b"));
    // Confirmations carry neither name nor message.
    QCOMPARE(ViciCodec::encodePacket({ViciPacket::EventConfirm, "ignored", {}}).value(), hex("05"));
}

void TestViciClient::roundTripsNestedMessages()
{
    ViciMessage message;
    message.set("version", "2");
    QByteArray der(35000, '\0');
    for (int i = 0; i < der.size(); ++i)
        der[i] = char(i * 7);
    message.set("data", der);
    message.set("empty", QByteArray());
    message.setList("proposals", {"aes128-sha1-modp2048"});
    message.setList("none", {});
    ViciMessage &conn = message.section("orvex");
    conn.section("local").set("auth", "pubkey");
    conn.section("children").section("orvex").setList("remote_ts", {"0.0.0.0/0", "::/0"});
    conn.section("remote"); // an empty section survives too

    for (const ViciPacket::Type type :
         {ViciPacket::CommandRequest, ViciPacket::CommandResponse, ViciPacket::Event}) {
        const Outcome<ViciPacket> decoded = ViciCodec::decodePacket(
            ViciCodec::encodePacket({type, "name-x", message}).value());
        QVERIFY2(decoded.isSuccess(), qPrintable(decoded.error()));
        QCOMPARE(decoded.value().type, type);
        QCOMPARE(decoded.value().name, type == ViciPacket::CommandResponse ? QByteArray() : "name-x");
        QVERIFY(decoded.value().message == message);
    }
    // Order of entries is kept, and the accessors see the right kinds.
    const ViciMessage decoded = ViciCodec::decodeMessage(ViciCodec::encodeMessage(message).value()).value();
    QCOMPARE(decoded.entries().front().name, "version");
    QCOMPARE(decoded.value("data"), der);
    QVERIFY(decoded.value("proposals").isEmpty()); // a list is not a value
    QCOMPARE(decoded.subSection("orvex")->subSection("children")->subSection("orvex")->list("remote_ts"),
             QList<QByteArray>({"0.0.0.0/0", "::/0"}));
    QVERIFY(decoded.subSection("orvex")->subSection("remote")->isEmpty());
    QVERIFY(!decoded.subSection("version"));
    // 32 sections deep is within the bound.
    QVERIFY(ViciCodec::decodePacket(hex("01") + QByteArray(hex("0101") + "s").repeated(32)
                                    + hex("02").repeated(32))
                .isSuccess());
}

void TestViciClient::refusesWhatTheWireCannotCarry()
{
    ViciMessage longName, longValue, emptyName, big;
    longName.set(QByteArray(256, 'k'), "v");
    longValue.section("s").setList("l", {QByteArray(65536, 'x')});
    emptyName.set("", "v");
    for (int i = 0; i < 9; ++i)
        big.set(QByteArray::number(i), QByteArray(65000, 'x'));
    for (const ViciMessage &message : {longName, longValue, emptyName})
        QVERIFY(!ViciCodec::encodeMessage(message).error().isEmpty());
    QVERIFY(!ViciCodec::encodePacket({ViciPacket::CommandRequest, "", {}}).isSuccess());
    QVERIFY(!ViciCodec::encodePacket({ViciPacket::Type(9), "x", {}}).isSuccess());
    QVERIFY(ViciCodec::encodePacket({ViciPacket::CommandRequest, "load-cert", big})
                .error()
                .contains(QLatin1String("too large")));
}

// What a cut can leave (no packet, a name, section, list or value cut short)
// is rejectsEveryTruncationOfAPacket's.
void TestViciClient::rejectsMalformedPackets_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("unknown packet type") << hex("08");
    QTest::newRow("confirm with trailing bytes") << hex("0500");
    QTest::newRow("request without name") << hex("00");
    QTest::newRow("zero-length name") << hex("0000");
    QTest::newRow("unknown element") << hex("01 09");
    QTest::newRow("section end at top") << hex("01 02");
    QTest::newRow("list item outside list") << hex("01 05 0000");
    QTest::newRow("section inside list") << hex("01 04 01") + "l" + hex("01 01") + "s";
    // Nesting is bounded (32 sections), without recursion or blow-up.
    QTest::newRow("33 sections deep")
        << hex("01") + QByteArray(hex("0101") + "s").repeated(33) + hex("02").repeated(33);
    QTest::newRow("200000 sections open") << hex("01") + QByteArray(hex("0101") + "s").repeated(200000);
}

void TestViciClient::rejectsMalformedPackets()
{
    QFETCH(QByteArray, payload);
    QVERIFY(!ViciCodec::decodePacket(payload).error().isEmpty());
}

void TestViciClient::rejectsEveryTruncationOfAPacket()
{
    ViciMessage message;
    message.section("a").setList("b", {"123"});
    message.section("a").set("c", "4567");
    const QByteArray payload = ViciCodec::encodePacket({ViciPacket::Event, "ike-updown", message}).value();
    // Only the cut right after the name is a packet of its own (an empty event).
    const int nameEnd = 2 + 10;
    for (int cut = 0; cut < payload.size(); ++cut)
        QVERIFY2(ViciCodec::decodePacket(payload.left(cut)).isSuccess() == (cut == nameEnd),
                 qPrintable(QString::number(cut)));
}

void TestViciClient::resolverLeftoversAreTakenOut_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("repaired");
    QTest::newRow("two families left on top") << QByteArray("nameserver 2001:db8:51::53   # by strongSwan\n"
                                                            "nameserver 198.51.100.53   # by strongSwan\n"
                                                            "# LAN\nnameserver 192.0.2.53\noptions edns0\n")
                                              << QByteArray("# LAN\nnameserver 192.0.2.53\noptions edns0\n");
    QTest::newRow("last line without a line break")
        << QByteArray("search lan\nnameserver 10.0.0.1   # by strongSwan") << QByteArray("search lan\n");
    const QByteArray own("nameserver 10.0.0.1 # by strongSwan\n"
                         "# nameserver 10.0.0.2   # by strongSwan\n"
                         "nameserver  10.0.0.3   # by strongSwan\n");
    QTest::newRow("the user's own comment is kept") << own << own;
    QTest::newRow("carriage returns and blank lines kept")
        << QByteArray("\r\n\nnameserver 10.0.0.1   # by strongSwan\n\nsearch a\r\n")
        << QByteArray("\r\n\n\nsearch a\r\n");
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestViciClient::resolverLeftoversAreTakenOut()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, repaired);
    QCOMPARE(ResolverLeftovers::withoutTunnelResolvers(content), repaired);
}

void TestViciClient::resolverFileIsRepairedInPlace()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"resolv.conf"_s);
    QVERIFY(writeFile(path, "nameserver 198.51.100.53   # by strongSwan\nnameserver 192.0.2.53\n"));
    QFile twin(path); // a second handle on the same file sees the repair
    QVERIFY(twin.open(QIODevice::ReadOnly));
    QVERIFY(ResolverLeftovers::repair(path).isSuccess());
    QCOMPARE(twin.readAll(), QByteArray("nameserver 192.0.2.53\n"));
    QVERIFY(ResolverLeftovers::repair(dir.filePath(u"absent"_s)).isSuccess());
    QVERIFY(!QFile::exists(dir.filePath(u"absent"_s)));
}

QTEST_GUILESS_MAIN(TestViciClient)
#include "tst_viciclient.moc"
