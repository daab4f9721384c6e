#include "StandInCharon.h"
#include "TestFiles.h"

#include "platform/vici/ResolverLeftovers.h"
#include "platform/vici/UpdownScript.h"
#include "platform/vici/ViciClient.h"
#include "platform/vici/ViciVPNBackend.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <unistd.h>

using namespace Orvex;
using namespace Qt::StringLiterals;

// The VICI wire format byte for byte and every kind of refusal (random bytes
// are fuzz_vici's part, run in the suite under sanitizers); the client over a
// stand-in for charon's socket; and the resolver lines charon leaves behind.
class tst_ViciClient : public QObject
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
    void updownScriptOnlyWhenRootAloneMayChangeIt_data();
    void updownScriptOnlyWhenRootAloneMayChangeIt();
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
    void backendKeysAndUnloadsThroughCharon();

private:
    QString m_path;
    std::optional<QTemporaryDir> m_dir;
    std::unique_ptr<StandInCharon> m_charon;
};

void tst_ViciClient::pipelinedCommandsAreAnsweredInOrder()
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

void tst_ViciClient::eventsArriveBetweenAnswers()
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

void tst_ViciClient::streamedItemsGoToTheirCommand()
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

void tst_ViciClient::withoutConnectionRequestsFail()
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
void tst_ViciClient::brokenInputDropsTheConnection_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("answered");
    QTest::newRow("one byte over the bound") << QByteArray::fromHex("00080001") << false;
    QTest::newRow("zero length") << QByteArray::fromHex("00000000") << false;
    QTest::newRow("bad element") << QByteArray::fromHex("000000020109") << false;
    QTest::newRow("request type from charon") << QByteArray::fromHex("0000000300016e") << false;
    QTest::newRow("an answer without a request") << QByteArray::fromHex("00000001 01 00000001 01") << true;
}

void tst_ViciClient::brokenInputDropsTheConnection()
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

void tst_ViciClient::handlerMayDestroyTheClient()
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

// The VICI backend on the client: keying shows as Connecting, and a
// configuration that cannot connect (sign-out, Quit) takes the connection and
// every key this client gave charon out of it, also those of a certificate
// renewed since or of an earlier run, and also when the key store no longer
// has them.
void tst_ViciClient::backendKeysAndUnloadsThroughCharon()
{
    // Two client certificates, and the ids charon knows their keys by (the
    // SHA-1 of the public key, in hex).
    const QByteArray oldCertificate = QByteArray::fromBase64(
        "MIIBczCCARmgAwIBAgIUeGnHppTdogAHVKD2pCQlc9OL0eUwCgYIKoZIzj0EAwIwDjEMMAoGA1UEAwwDb2xkMCAXDTI2MTIwODAz"
        "MjIxNVoY"
        "DzIxMjYxMTE0MDMyMjE1WjAOMQwwCgYDVQQDDANvbGQwWTATBgcqhkjOPQIBBggqhkjOPQMBBwNCAAQUdSUxthd0ISESbLpWG0h3"
        "gsaL0Z"
        "gY752wIoZDcK1Y1gy9m4Ka3w1RzG4hjQXJGuFVTFUj2J3Ba12zOKifKqG8o1MwUTAdBgNVHQ4EFgQUOi+8zLjYM9Un0+Yg/"
        "bCf7NoSl78"
        "wHwYDVR0jBBgwFoAUOi+8zLjYM9Un0+Yg/bCf7NoSl78wDwYDVR0TAQH/BAUwAwEB/"
        "zAKBggqhkjOPQQDAgNIADBFAiAkLT8hj33EU9Hs3"
        "5lIvgecQa+hKGKEFsyIfzIQpgzhGAIhAKgSMZhC2EbOZKWDxlbmCBiAwJYPpLVYdwfqZw5/rUCp");
    const QByteArray newCertificate = QByteArray::fromBase64(
        "MIIBczCCARmgAwIBAgIUePSFb8mfeSvnkJX0KWuueBOvuvswCgYIKoZIzj0EAwIwDjEMMAoGA1UEAwwDbmV3MCAXDTI2MTIwODAz"
        "MjIxNVoY"
        "DzIxMjYxMTE0MDMyMjE1WjAOMQwwCgYDVQQDDANuZXcwWTATBgcqhkjOPQIBBggqhkjOPQMBBwNCAAScO/yDwaq01LtInqlWX/"
        "q3EGJGGr"
        "ApTKfqQccp/"
        "9B6sIZsWjinrkZjhnAXokFNS4E0buy1tbMRatwy4IP4Xhy1o1MwUTAdBgNVHQ4EFgQUakkHBbPWsEhvfLfMwjvGZ6ACB5I"
        "wHwYDVR0jBBgwFoAUakkHBbPWsEhvfLfMwjvGZ6ACB5IwDwYDVR0TAQH/BAUwAwEB/"
        "zAKBggqhkjOPQQDAgNIADBFAiAwYr6MzE1eFhWKa"
        "hjiBgSSELJhks7QkfPj9X4u4gJz8AIhAKckOFIEbs6sRwKLPlupWYJg2jQMKwR1cguRVm0JD1vP");
    const QByteArray oldKey = "3a2fbcccb8d833d527d3e620fdb09fecda1297bf";
    const QByteArray newKey = "6a490705b3d6b0486f7cb7ccc23bc667a0020792";
    QByteArray certificate = oldCertificate;                   // what the key store has; empty: nothing
    const auto keysUnloadedSince = [this](qsizetype command) { // counted as commands() counts
        QList<QByteArray> ids;
        for (const ViciPacket &packet : std::as_const(m_charon->received)) {
            if (packet.type == ViciPacket::CommandRequest && command-- <= 0 && packet.name == "unload-key")
                ids << packet.message.value("id");
        }
        return ids;
    };
    ViciVPNBackend::Options options;
    options.socketPath = m_path;
    options.heldKeysFile = m_dir->filePath(u"charon-keys"_s);
    options.unloadWaitMs = 100;
    options.resolveIdentity = [&certificate](const QByteArray &) {
        return certificate.isEmpty() ? std::nullopt
                                     : std::optional<ViciVPNBackend::Identity>({certificate, {}, u"ecdsa"_s});
    };
    auto backend = std::make_unique<ViciVPNBackend>(options);
    VPNPreferences preferences;
    preferences.protocolConfiguration.emplace().serverAddress = u"vpn.orvex.example"_s;
    preferences.protocolConfiguration->identityReference = "reference";
    preferences.protocolConfiguration->authenticationMethod
        = VPNProtocolIKEv2::AuthenticationMethod::Certificate;
    preferences.enabled = true;
    bool attached = false;
    backend->attach(preferences, [&] { attached = true; });
    // Three events registered, then the listing of the tunnel's SAs.
    QVERIFY(m_charon->waitForPackets(6));
    m_charon->answerAll();
    QTRY_VERIFY(attached);
    QCOMPARE(backend->status(), VPNStatus::Disconnected);

    // Loaded, then lost by charon behind the client's back. The next switch
    // starts on what charon was given and asks meanwhile whether it still
    // holds it; the reload that answer leads to is still on its way when the
    // initiate is refused for want of it: tried again, not reported.
    int applied = 0;
    backend->apply(preferences, [&applied](const Outcome<> &) { ++applied; });
    QTRY_VERIFY(m_charon->commands().contains("load-conn"));
    // Kept before charon answers: a client that ends now leaves the id to
    // its next run.
    QCOMPARE(readFile(options.heldKeysFile), oldKey + '\n');
    m_charon->answerAll();
    QTRY_COMPARE(applied, 1);
    QCOMPARE(readFile(options.heldKeysFile), oldKey + '\n');
    backend->apply(preferences, [&applied](const Outcome<> &) { ++applied; });
    QTRY_VERIFY(m_charon->commands().contains("get-keys"));
    m_charon->answerAll(); // lists neither the connection nor the key
    QTRY_COMPARE(m_charon->commands().count("load-conn"), 2);
    QSignalSpy statuses(backend.get(), &VPNBackend::statusChanged);
    QVERIFY(backend->startTunnel().isSuccess());
    QTRY_COMPARE(m_charon->commands().count("initiate"), 1);
    m_charon->peerGone = false;
    m_charon->respondTo(m_charon->lastCommand("initiate"), "success", "no");
    QTRY_VERIFY(m_charon->peerGone); // the refusal taken, its connection closed
    m_charon->answerAll();
    QTRY_COMPARE(m_charon->commands().count("initiate"), 2);
    QCOMPARE(backend->status(), VPNStatus::Connecting);
    for (const QList<QVariant> &change : std::as_const(statuses))
        QVERIFY(change.first().value<VPNStatus>() != VPNStatus::Disconnected);

    QVERIFY(backend->startTunnel().isSuccess());
    QCOMPARE(backend->status(), VPNStatus::Connecting);

    // The initiate's answer overtakes the child's up event (each comes on a
    // connection of its own): up only once charon lists the SA, and with the
    // inner addresses it holds.
    m_charon->respondTo(m_charon->lastCommand("initiate"));
    QTRY_COMPARE(m_charon->commands().count("list-sas"), 2);
    QCOMPARE(backend->status(), VPNStatus::Connecting);
    ViciMessage listed;
    ViciMessage &sa = listed.section("orvex");
    sa.set("state", "ESTABLISHED");
    sa.setList("local-vips", {"10.10.0.2", "fd00:10::2"});
    sa.section("child-sas").section("orvex-1").set("state", "INSTALLED");
    const qsizetype listing = m_charon->lastCommand("list-sas");
    m_charon->confirm(listing - 1); // the stream's registration
    m_charon->sendTo(listing, {ViciPacket::Event, "list-sa", listed});
    m_charon->respondTo(listing);
    QTRY_COMPARE(backend->status(), VPNStatus::Connected);
    QCOMPARE(backend->virtualAddresses(),
             (QList<QHostAddress>{QHostAddress(u"10.10.0.2"_s), QHostAddress(u"fd00:10::2"_s)}));

    // A renewal: the old key goes as soon as the new one is in.
    qsizetype mark = m_charon->commands().size();
    certificate = newCertificate;
    backend->apply(preferences, {});
    QTRY_VERIFY(m_charon->commands().mid(mark).contains("get-keys"));
    m_charon->answerAll();
    QTRY_VERIFY(m_charon->commands().mid(mark).contains("load-conn"));
    QVERIFY(keysUnloadedSince(mark).isEmpty());
    m_charon->answerAll();
    QTRY_COMPARE(keysUnloadedSince(mark), QList<QByteArray>{oldKey});
    m_charon->answerAll();
    QTRY_COMPARE(readFile(options.heldKeysFile), newKey + '\n');

    // Sign-out: the key store has nothing any more, the key goes by the id
    // remembered. charon does not answer in time: done all the same, and the
    // id stays remembered.
    certificate.clear();
    preferences.protocolConfiguration->authenticationMethod
        = VPNProtocolIKEv2::AuthenticationMethod::SharedSecret;
    mark = m_charon->commands().size();
    std::optional<Outcome<>> signedOut;
    backend->apply(preferences, [&signedOut](const Outcome<> &outcome) { signedOut = outcome; });
    QTRY_VERIFY(signedOut);
    QVERIFY(signedOut->isSuccess());
    QList<QByteArray> control = m_charon->commands().mid(mark);
    control.removeAll("initiate"); // each on a connection of its own
    control.removeAll("terminate");
    QCOMPARE(control, (QList<QByteArray>{"unload-conn", "unload-key", "version"}));
    QCOMPARE(keysUnloadedSince(mark), QList<QByteArray>{newKey});
    QCOMPARE(readFile(options.heldKeysFile), newKey + '\n');

    // Quit in a later run takes out what the earlier one left (and nothing
    // of the file that is no key id).
    backend.reset();
    QVERIFY(writeFile(options.heldKeysFile, newKey + "\n" + QByteArray(40, 'A') + "\nid;reboot\n"));
    mark = m_charon->commands().size();
    ViciVPNBackend later(options);
    later.apply(preferences, {});
    QTRY_COMPARE(keysUnloadedSince(mark), QList<QByteArray>{newKey});
    m_charon->answerAll();
    QTRY_VERIFY(!QFile::exists(options.heldKeysFile));

    // A script others may change is not handed to charon, which runs it as
    // root: nothing is loaded or started, and the main screen says why.
    const QString script = m_dir->filePath(u"up"_s);
    QVERIFY(writeFile(script, "#!/bin/sh\n"));
    QVERIFY(::chmod(QFile::encodeName(script).constData(), 0602) == 0);
    options.updownScript = script;
    ViciVPNBackend refusing(options);
    QSignalSpy reasons(&refusing, &VPNBackend::reasonChanged);
    const qsizetype loads = m_charon->commands().count("load-conn");
    preferences.protocolConfiguration->authenticationMethod
        = VPNProtocolIKEv2::AuthenticationMethod::Certificate;
    std::optional<Outcome<>> refused;
    refusing.apply(preferences, [&refused](const Outcome<> &outcome) { refused = outcome; });
    QTRY_VERIFY(refused);
    const QString why = script + u" is not safe to run as root: its group or others may write to it."_s;
    QCOMPARE(refused->error(), u"The tunnel script "_s + why);
    QCOMPARE(refusing.unavailableReason(), refused->error());
    QCOMPARE(reasons.size(), 1);
    QCOMPARE(refusing.startTunnel().error(), refused->error());
    QCOMPARE(m_charon->commands().count("load-conn"), loads);
}

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

void tst_ViciClient::encodesTheWireFormatByteForByte()
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

void tst_ViciClient::roundTripsNestedMessages()
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

void tst_ViciClient::refusesWhatTheWireCannotCarry()
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
void tst_ViciClient::rejectsMalformedPackets_data()
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

void tst_ViciClient::rejectsMalformedPackets()
{
    QFETCH(QByteArray, payload);
    QVERIFY(!ViciCodec::decodePacket(payload).error().isEmpty());
}

void tst_ViciClient::rejectsEveryTruncationOfAPacket()
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

void tst_ViciClient::resolverLeftoversAreTakenOut_data()
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

void tst_ViciClient::resolverLeftoversAreTakenOut()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, repaired);
    QCOMPARE(ResolverLeftovers::withoutTunnelResolvers(content), repaired);
}

void tst_ViciClient::resolverFileIsRepairedInPlace()
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

// charon runs the script as root: who may change it or the folders above it
// (after their links) would run their own code as root. A tree per row, made
// in a folder of root's: "d|f PATH UID MODE" or "l PATH TARGET".
void tst_ViciClient::updownScriptOnlyWhenRootAloneMayChangeIt_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("reason"); // {} is the row's folder; empty: accepted
    const QStringList safe{u"d lib 0 755"_s, u"f lib/up 0 755"_s};
    const QString unsafe = u"The tunnel script {}/lib/up is not safe to run as root: "_s;
    QTest::newRow("root's alone") << safe << u"lib/up"_s << QString();
    QTest::newRow("this checkout's own") << QStringList() << u"" ORVEX_UPDOWN_SCRIPT ""_s << QString();
    QTest::newRow("group may write") << QStringList{u"d lib 0 755"_s, u"f lib/up 0 775"_s} << u"lib/up"_s
                                     << unsafe + u"its group or others may write to it."_s;
    QTest::newRow("others may write") << QStringList{u"d lib 0 755"_s, u"f lib/up 0 757"_s} << u"lib/up"_s
                                      << unsafe + u"its group or others may write to it."_s;
    QTest::newRow("another user's") << QStringList{u"d lib 0 755"_s, u"f lib/up 65534 755"_s} << u"lib/up"_s
                                    << unsafe + u"it is not owned by root."_s;
    QTest::newRow("in another user's folder")
        << QStringList{u"d lib 65534 755"_s, u"f lib/up 0 755"_s} << u"lib/up"_s
        << unsafe + u"its folder {}/lib is not owned by root."_s;
    QTest::newRow("in a folder its group may write to")
        << QStringList{u"d lib 0 775"_s, u"f lib/up 0 755"_s} << u"lib/up"_s
        << unsafe + u"its folder {}/lib may be written to by its group or others."_s;
    QTest::newRow("checkout in a world-writable folder")
        << QStringList{u"d tmp 0 1777"_s, u"d tmp/orvex 0 755"_s, u"d tmp/orvex/packaging 0 755"_s,
                       u"f tmp/orvex/packaging/tunnel-updown 0 755"_s}
        << u"tmp/orvex/packaging/tunnel-updown"_s
        << u"The tunnel script {}/tmp/orvex/packaging/tunnel-updown is not safe to run as root: its folder "
           "{}/tmp may be written to by its group or others."_s;
    QTest::newRow("a link to root's own")
        << safe + QStringList{u"l lib/link up"_s} << u"lib/link"_s
        << u"The tunnel script {}/lib/link is not safe to run as root: it is a symbolic link."_s;
    QTest::newRow("in a linked folder that is root's alone")
        << QStringList{u"d usr 0 755"_s, u"d usr/lib 0 755"_s, u"f usr/lib/up 0 755"_s, u"l lib usr/lib"_s}
        << u"lib/up"_s << QString();
    QTest::newRow("in a linked folder others may write to")
        << QStringList{u"d var 0 777"_s, u"f var/up 0 755"_s, u"l lib var"_s} << u"lib/up"_s
        << unsafe + u"its folder {}/var may be written to by its group or others."_s;
    QTest::newRow("a folder") << QStringList{u"d lib 0 755"_s, u"d lib/up 0 755"_s} << u"lib/up"_s
                              << unsafe + u"it is not a regular file."_s;
    QTest::newRow("missing") << QStringList{u"d lib 0 755"_s} << u"lib/up"_s
                             << u"The tunnel script {}/lib/up cannot be used: No such file or directory."_s;
    const QString characters
        = u"The tunnel script's path may hold only letters, digits and / . _ + -, and no "
          "\"..\" component."_s;
    QTest::newRow("a shell's character")
        << QStringList{u"d lib 0 755"_s, u"f lib/up;id 0 755"_s} << u"lib/up;id"_s << characters;
    QTest::newRow("through a parent") << safe << u"lib/../lib/up"_s << characters;
}

void tst_ViciClient::updownScriptOnlyWhenRootAloneMayChangeIt()
{
    QFETCH(QStringList, tree);
    QFETCH(QString, script);
    QFETCH(QString, reason);
    if (::geteuid() != 0)
        QSKIP("files of root and of another user are made as root");
    // Beside the test program, in the checkout, which is root's alone as it
    // is for the script the tests and the demo hand to charon.
    QTemporaryDir dir(QCoreApplication::applicationDirPath() + u"/updown-XXXXXX"_s);
    const QString base = QDir(dir.path()).canonicalPath();
    for (const QString &line : std::as_const(tree)) {
        const QStringList part = line.split(u' ');
        const QByteArray path = QFile::encodeName(base + u'/' + part[1]);
        if (part[0] == u"l") {
            QVERIFY(::symlink(QFile::encodeName(part[2]).constData(), path.constData()) == 0);
            continue;
        }
        QVERIFY(part[0] == u"d" ? ::mkdir(path.constData(), 0700) == 0
                                : writeFile(QString::fromUtf8(path), "#!/bin/sh\n"));
        QVERIFY(::chmod(path.constData(), part[3].toUInt(nullptr, 8)) == 0);
        QVERIFY(::chown(path.constData(), part[2].toUInt(), 0) == 0);
    }
    const Outcome<> checked = UpdownScript::check(script.startsWith(u'/') ? script : base + u'/' + script);
    QCOMPARE(checked.error(), QString(reason).replace(u"{}"_s, base));
}

QTEST_GUILESS_MAIN(tst_ViciClient)
#include "tst_viciclient.moc"
