// Reading charon's tunnel routes out of rtnetlink messages.

#include "platform/nm/TunnelLivenessProbe.h"

#include <QTest>
#include <QtEndian>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <optional>
#include <sys/socket.h>

using namespace Orvex;
using Change = RouteTunnelProbe::RouteChange;

namespace {

const QHostAddress inner(QStringLiteral("198.18.0.1"));

void appendAttribute(QByteArray &message, quint16 type, quint32 value)
{
    rtattr attribute{};
    attribute.rta_len = RTA_LENGTH(sizeof value);
    attribute.rta_type = type;
    message.append(reinterpret_cast<const char *>(&attribute), sizeof attribute);
    message.append(reinterpret_cast<const char *>(&value), sizeof value);
    message.append(QByteArray(RTA_SPACE(sizeof value) - RTA_LENGTH(sizeof value), '\0'));
}

quint32 networkOrder(const QHostAddress &address)
{
    return qToBigEndian(address.toIPv4Address());
}

// One RTM_NEWROUTE / RTM_DELROUTE as the kernel sends it.
QByteArray route(quint16 type, quint8 rtmTable, std::optional<quint32> tableAttribute,
                 std::optional<QHostAddress> source, quint8 family = AF_INET)
{
    rtmsg body{};
    body.rtm_family = family;
    body.rtm_dst_len = 0;
    body.rtm_table = rtmTable;
    body.rtm_type = RTN_UNICAST;
    QByteArray attributes;
    if (tableAttribute)
        appendAttribute(attributes, RTA_TABLE, *tableAttribute);
    if (source)
        appendAttribute(attributes, RTA_PREFSRC, networkOrder(*source));
    appendAttribute(attributes, RTA_OIF, 7);
    nlmsghdr header{};
    header.nlmsg_type = type;
    header.nlmsg_len = NLMSG_LENGTH(sizeof body) + attributes.size();
    QByteArray message(reinterpret_cast<const char *>(&header), sizeof header);
    message.append(reinterpret_cast<const char *>(&body), sizeof body);
    message.append(attributes);
    message.append(QByteArray(NLMSG_ALIGN(message.size()) - message.size(), '\0'));
    return message;
}

QByteArray done()
{
    nlmsghdr header{};
    header.nlmsg_type = NLMSG_DONE;
    header.nlmsg_len = NLMSG_LENGTH(sizeof(int));
    QByteArray message(reinterpret_cast<const char *>(&header), sizeof header);
    message.append(QByteArray(sizeof(int), '\0'));
    return message;
}

} // namespace

class TestTunnelLiveness : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tunnelRoutesAreRecognised_data();
    void tunnelRoutesAreRecognised();
    void aDatagramCarriesSeveralChanges();
};

void TestTunnelLiveness::tunnelRoutesAreRecognised_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("tunnel");
    QTest::addColumn<quint32>("table");
    QTest::newRow("charon's table") << route(RTM_NEWROUTE, 220, 220u, inner) << true << 220u;
    // Tables past 255 only fit the attribute; the header says "compat".
    QTest::newRow("large table") << route(RTM_NEWROUTE, RT_TABLE_COMPAT, 1000u, inner) << true << 1000u;
    QTest::newRow("table in header only") << route(RTM_NEWROUTE, 220, std::nullopt, inner) << true << 220u;
    QTest::newRow("main table") << route(RTM_NEWROUTE, RT_TABLE_MAIN, quint32(RT_TABLE_MAIN), inner) << false
                                << quint32(RT_TABLE_MAIN);
    QTest::newRow("local table") << route(RTM_NEWROUTE, RT_TABLE_LOCAL, quint32(RT_TABLE_LOCAL), inner) << false
                                 << quint32(RT_TABLE_LOCAL);
    QTest::newRow("other source")
        << route(RTM_NEWROUTE, 220, 220u, QHostAddress(QStringLiteral("192.0.2.2"))) << false << 220u;
    QTest::newRow("no source") << route(RTM_NEWROUTE, 220, 220u, std::nullopt) << false << 220u;
}

void TestTunnelLiveness::tunnelRoutesAreRecognised()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, tunnel);
    QFETCH(quint32, table);
    const QList<Change> changes = RouteTunnelProbe::parse(message);
    QCOMPARE(changes.size(), 1);
    QCOMPARE(changes.constFirst().kind, Change::Added);
    QCOMPARE(changes.constFirst().table, table);
    QCOMPARE(RouteTunnelProbe::isTunnelRoute(changes.constFirst(), inner), tunnel);
    QVERIFY(!RouteTunnelProbe::isTunnelRoute(changes.constFirst(), QHostAddress()));
}

void TestTunnelLiveness::aDatagramCarriesSeveralChanges()
{
    // IPv6 routes are skipped, a truncated tail is not read past.
    const QByteArray added = route(RTM_NEWROUTE, 220, 220u, inner);
    const QByteArray removed = route(RTM_DELROUTE, 220, 220u, inner);
    const QByteArray datagram = added + route(RTM_NEWROUTE, 220, 220u, std::nullopt, AF_INET6) + removed
                                + done() + added.left(20);
    const QList<Change> changes = RouteTunnelProbe::parse(datagram);
    QCOMPARE(changes.size(), 3);
    QCOMPARE(changes.at(0).kind, Change::Added);
    QCOMPARE(changes.at(1).kind, Change::Removed);
    QCOMPARE(changes.at(2).kind, Change::DumpDone);
    // The removal names the same route as the addition.
    QCOMPARE(changes.at(1).key, changes.at(0).key);
    QVERIFY(changes.at(0).key != RouteTunnelProbe::parse(route(RTM_NEWROUTE, 221, 221u, inner)).constFirst().key);
}

QTEST_GUILESS_MAIN(TestTunnelLiveness)
#include "tst_tunnelliveness.moc"
