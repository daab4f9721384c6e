#include "platform/vici/ResolverLeftovers.h"
#include "platform/vici/ViciMessage.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Orvex;
using namespace Qt::StringLiterals;

// Random bytes are fuzz_vici's part (run in the suite under sanitizers); here
// the exact bytes and every kind of refusal.
class TestViciCodec : public QObject
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
};

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

void TestViciCodec::encodesTheWireFormatByteForByte()
{
    // A request as charon expects it: type 0, name, then key-value, a list
    // and a section with one key-value.
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

void TestViciCodec::roundTripsNestedMessages()
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

void TestViciCodec::refusesWhatTheWireCannotCarry()
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

void TestViciCodec::rejectsMalformedPackets_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("empty packet") << QByteArray();
    QTest::newRow("unknown packet type") << hex("08");
    QTest::newRow("confirm with trailing bytes") << hex("0500");
    QTest::newRow("request without name") << hex("00");
    QTest::newRow("zero-length name") << hex("0000");
    QTest::newRow("name longer than packet") << hex("0005") + "ab";
    QTest::newRow("unknown element") << hex("01 09");
    QTest::newRow("section end at top") << hex("01 02");
    QTest::newRow("section never closed") << hex("01 01") + "s";
    QTest::newRow("list item outside list") << hex("01 05 0000");
    QTest::newRow("list never ended") << hex("01 04 01") + "l" + hex("05 0000");
    QTest::newRow("section inside list") << hex("01 04 01") + "l" + hex("01 01") + "s";
    QTest::newRow("value longer than packet") << hex("01 03 01") + "k" + hex("ffff") + "v";
    QTest::newRow("value length cut") << hex("01 03 01") + "k" + hex("00");
    // Nesting is bounded (32 sections), without recursion or blow-up.
    QTest::newRow("33 sections deep")
        << hex("01") + QByteArray(hex("0101") + "s").repeated(33) + hex("02").repeated(33);
    QTest::newRow("200000 sections open") << hex("01") + QByteArray(hex("0101") + "s").repeated(200000);
}

void TestViciCodec::rejectsMalformedPackets()
{
    QFETCH(QByteArray, payload);
    QVERIFY(!ViciCodec::decodePacket(payload).error().isEmpty());
}

void TestViciCodec::rejectsEveryTruncationOfAPacket()
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

void TestViciCodec::resolverLeftoversAreTakenOut_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("repaired");
    QTest::newRow("two families left on top") << QByteArray("nameserver 2001:db8:51::53   # by strongSwan\n"
                                                            "nameserver 198.51.100.53   # by strongSwan\n"
                                                            "# LAN\nnameserver 192.0.2.53\noptions edns0\n")
                                              << QByteArray("# LAN\nnameserver 192.0.2.53\noptions edns0\n");
    QTest::newRow("nothing left over")
        << QByteArray("nameserver 192.0.2.53\n") << QByteArray("nameserver 192.0.2.53\n");
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

void TestViciCodec::resolverLeftoversAreTakenOut()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, repaired);
    QCOMPARE(ResolverLeftovers::withoutTunnelResolvers(content), repaired);
}

void TestViciCodec::resolverFileIsRepairedInPlace()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"resolv.conf"_s);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("nameserver 198.51.100.53   # by strongSwan\nnameserver 192.0.2.53\n");
    file.close();
    QFile twin(path); // a second handle on the same file sees the repair
    QVERIFY(twin.open(QIODevice::ReadOnly));
    const Outcome<> repaired = ResolverLeftovers::repair(path);
    QVERIFY2(repaired.isSuccess(), qPrintable(repaired.error()));
    QCOMPARE(twin.readAll(), QByteArray("nameserver 192.0.2.53\n"));
    QVERIFY(ResolverLeftovers::repair(dir.filePath(u"absent"_s)).isSuccess());
    QVERIFY(!QFile::exists(dir.filePath(u"absent"_s)));
}

QTEST_GUILESS_MAIN(TestViciCodec)
#include "tst_vicicodec.moc"
