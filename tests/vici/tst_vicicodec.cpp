#include "platform/vici/ResolverLeftovers.h"
#include "platform/vici/ViciMessage.h"

#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Orvex;

class TestViciCodec : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void encodesTheWireFormatByteForByte();
    void roundTripsNestedMessages();
    void refusesWhatTheWireCannotCarry();
    void rejectsMalformedMessages_data();
    void rejectsMalformedMessages();
    void rejectsEveryTruncationOfAPacket();
    void boundsNestingDepth();
    void survivesRandomBytes();
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
    ViciPacket packet;
    packet.type = ViciPacket::CommandRequest;
    packet.name = "initiate";
    packet.message.set("child", "c");
    packet.message.setList("l", {"ab", ""});
    packet.message.section("s").set("k", QByteArray("\x00\x01", 2));

    QByteArray payload;
    QVERIFY(ViciCodec::encodePacket(packet, &payload));
    const QByteArray expected = hex("00" "08") + "initiate"
                                + hex("03" "05") + "child" + hex("0001") + "c"
                                + hex("04" "01") + "l" + hex("05" "0002") + "ab" + hex("05" "0000")
                                + hex("06")
                                + hex("01" "01") + "s" + hex("03" "01") + "k" + hex("0002" "0001")
                                + hex("02");
    QCOMPARE(payload.toHex(), expected.toHex());
    QCOMPARE(ViciCodec::frame(payload).left(4), hex("0000002b"));

    // Confirmations carry neither name nor message.
    QVERIFY(ViciCodec::encodePacket({ViciPacket::EventConfirm, "ignored", {}}, &payload));
    QCOMPARE(payload, hex("05"));
}

void TestViciCodec::roundTripsNestedMessages()
{
    ViciMessage message;
    message.set("version", "2");
    QByteArray der(70000 / 2, '\0');
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

    for (const ViciPacket::Type type : {ViciPacket::CommandRequest, ViciPacket::CommandResponse,
                                        ViciPacket::Event}) {
        const ViciPacket packet{type, "name-x", message};
        QByteArray payload;
        QVERIFY(ViciCodec::encodePacket(packet, &payload));
        ViciPacket decoded;
        QString error;
        QVERIFY2(ViciCodec::decodePacket(payload, &decoded, &error), qPrintable(error));
        QCOMPARE(decoded.type, type);
        QCOMPARE(decoded.name, type == ViciPacket::CommandResponse ? QByteArray() : "name-x");
        QVERIFY(decoded.message == message);
    }

    // Order of entries is kept, and the accessors see the right kinds.
    ViciMessage decoded;
    QByteArray bytes;
    QVERIFY(ViciCodec::encodeMessage(message, &bytes));
    QVERIFY(ViciCodec::decodeMessage(bytes, &decoded));
    QCOMPARE(decoded.entries().front().name, "version");
    QCOMPARE(decoded.value("data"), der);
    QVERIFY(decoded.value("proposals").isEmpty()); // a list is not a value
    QCOMPARE(decoded.subSection("orvex")->subSection("children")->subSection("orvex")->list("remote_ts"),
             QList<QByteArray>({"0.0.0.0/0", "::/0"}));
    QVERIFY(decoded.subSection("orvex")->subSection("remote")->isEmpty());
    QVERIFY(!decoded.subSection("version"));
}

void TestViciCodec::refusesWhatTheWireCannotCarry()
{
    QByteArray out = "untouched";
    QString error;
    ViciMessage longName;
    longName.set(QByteArray(256, 'k'), "v");
    QVERIFY(!ViciCodec::encodeMessage(longName, &out, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(out, "untouched");

    ViciMessage longValue;
    longValue.section("s").setList("l", {QByteArray(65536, 'x')});
    QVERIFY(!ViciCodec::encodeMessage(longValue, &out));

    ViciMessage emptyName;
    emptyName.set("", "v");
    QVERIFY(!ViciCodec::encodeMessage(emptyName, &out));

    QVERIFY(!ViciCodec::encodePacket({ViciPacket::CommandRequest, "", {}}, &out));
    QVERIFY(!ViciCodec::encodePacket({ViciPacket::Type(9), "x", {}}, &out));

    ViciMessage big;
    for (int i = 0; i < 9; ++i)
        big.set(QByteArray::number(i), QByteArray(65000, 'x'));
    QVERIFY(!ViciCodec::encodePacket({ViciPacket::CommandRequest, "load-cert", big}, &out, &error));
    QVERIFY(error.contains(QLatin1String("too large")));
}

void TestViciCodec::rejectsMalformedMessages_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("empty packet") << QByteArray();
    QTest::newRow("unknown packet type") << hex("08");
    QTest::newRow("confirm with trailing bytes") << hex("0500");
    QTest::newRow("request without name") << hex("00");
    QTest::newRow("zero-length name") << hex("0000");
    QTest::newRow("name longer than packet") << hex("0005") + "ab";
    QTest::newRow("unknown element") << hex("01" "09");
    QTest::newRow("section end at top") << hex("01" "02");
    QTest::newRow("section never closed") << hex("01" "01") + "s";
    QTest::newRow("list item outside list") << hex("01" "05" "0000");
    QTest::newRow("list never ended") << hex("01" "04" "01") + "l" + hex("05" "0000");
    QTest::newRow("section inside list") << hex("01" "04" "01") + "l" + hex("01" "01") + "s";
    QTest::newRow("value longer than packet") << hex("01" "03" "01") + "k" + hex("ffff") + "v";
    QTest::newRow("value length cut") << hex("01" "03" "01") + "k" + hex("00");
}

void TestViciCodec::rejectsMalformedMessages()
{
    QFETCH(QByteArray, payload);
    ViciPacket packet;
    packet.name = "kept";
    QString error;
    QVERIFY(!ViciCodec::decodePacket(payload, &packet, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(packet.name, "kept"); // nothing half-decoded leaks out
}

void TestViciCodec::rejectsEveryTruncationOfAPacket()
{
    ViciMessage message;
    message.section("a").setList("b", {"123"});
    message.section("a").set("c", "4567");
    QByteArray payload;
    QVERIFY(ViciCodec::encodePacket({ViciPacket::Event, "ike-updown", message}, &payload));
    // Only the cut right after the name is a packet of its own (an empty event).
    const int nameEnd = 2 + 10;
    for (int cut = 0; cut < payload.size(); ++cut) {
        ViciPacket packet;
        const bool decoded = ViciCodec::decodePacket(payload.left(cut), &packet);
        QVERIFY2(decoded == (cut == nameEnd), qPrintable(QString::number(cut)));
    }
}

void TestViciCodec::boundsNestingDepth()
{
    QByteArray deep = hex("01");
    for (int i = 0; i < ViciCodec::MaxDepth + 1; ++i)
        deep += hex("01" "01") + "s";
    for (int i = 0; i < ViciCodec::MaxDepth + 1; ++i)
        deep += hex("02");
    ViciPacket packet;
    QString error;
    QVERIFY(!ViciCodec::decodePacket(deep, &packet, &error));
    QVERIFY(error.contains(QLatin1String("deep")));

    // Two hundred thousand open sections are refused without recursion or blow-up.
    QByteArray hostile = hex("01");
    for (int i = 0; i < 200000; ++i)
        hostile += hex("01" "01") + "s";
    QVERIFY(!ViciCodec::decodePacket(hostile, &packet));

    QByteArray atLimit = hex("01");
    for (int i = 0; i < ViciCodec::MaxDepth; ++i)
        atLimit += hex("01" "01") + "s";
    for (int i = 0; i < ViciCodec::MaxDepth; ++i)
        atLimit += hex("02");
    QVERIFY2(ViciCodec::decodePacket(atLimit, &packet, &error), qPrintable(error));
}

void TestViciCodec::survivesRandomBytes()
{
    // Mutations of a valid packet must decode or fail, never crash; run under
    // a sanitizer build this catches out-of-bounds reads.
    ViciMessage message;
    message.section("conn").setList("vips", {"0.0.0.0"});
    message.set("up", "yes");
    QByteArray valid;
    QVERIFY(ViciCodec::encodePacket({ViciPacket::Event, "child-updown", message}, &valid));
    QRandomGenerator random(42);
    int decoded = 0;
    for (int round = 0; round < 20000; ++round) {
        QByteArray bytes = valid;
        for (int flips = random.bounded(1, 4); flips > 0; --flips)
            bytes[random.bounded(int(bytes.size()))] = char(random.bounded(256));
        ViciPacket packet;
        decoded += ViciCodec::decodePacket(bytes, &packet) ? 1 : 0;
    }
    QVERIFY(decoded < 20000);
}

void TestViciCodec::resolverLeftoversAreTakenOut_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("repaired");

    QTest::newRow("two families left on top")
        << QByteArray("nameserver 2001:db8:51::53   # by strongSwan\n"
                      "nameserver 198.51.100.53   # by strongSwan\n"
                      "# LAN\nnameserver 192.0.2.53\noptions edns0\n")
        << QByteArray("# LAN\nnameserver 192.0.2.53\noptions edns0\n");
    QTest::newRow("nothing left over")
        << QByteArray("nameserver 192.0.2.53\n") << QByteArray("nameserver 192.0.2.53\n");
    QTest::newRow("last line without a line break")
        << QByteArray("search lan\nnameserver 10.0.0.1   # by strongSwan")
        << QByteArray("search lan\n");
    QTest::newRow("the user's own comment is kept")
        << QByteArray("nameserver 10.0.0.1 # by strongSwan\n"
                      "# nameserver 10.0.0.2   # by strongSwan\n"
                      "nameserver  10.0.0.3   # by strongSwan\n")
        << QByteArray("nameserver 10.0.0.1 # by strongSwan\n"
                      "# nameserver 10.0.0.2   # by strongSwan\n"
                      "nameserver  10.0.0.3   # by strongSwan\n");
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
    const QString path = dir.filePath(QStringLiteral("resolv.conf"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("nameserver 198.51.100.53   # by strongSwan\nnameserver 192.0.2.53\n");
    file.close();
    QFile twin(path); // a second handle on the same file sees the repair
    QVERIFY(twin.open(QIODevice::ReadOnly));

    QString error;
    QVERIFY2(ResolverLeftovers::repair(path, &error), qPrintable(error));
    QCOMPARE(twin.readAll(), QByteArray("nameserver 192.0.2.53\n"));
    QVERIFY(ResolverLeftovers::repair(dir.filePath(QStringLiteral("absent")), &error));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("absent"))));
}

QTEST_GUILESS_MAIN(TestViciCodec)
#include "tst_vicicodec.moc"
