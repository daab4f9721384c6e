#include "TunnelLivenessProbe.h"

#include "platform/NetlinkMessage.h"

#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Orvex {

RouteTunnelProbe::RouteTunnelProbe(QObject *parent)
    : TunnelLivenessProbe(parent)
{}

RouteTunnelProbe::~RouteTunnelProbe()
{
    stop();
}

void RouteTunnelProbe::watch(const QHostAddress &address)
{
    stop();
    m_address = address;
    if (!open()) {
        // Nothing can be found out: keep believing NetworkManager.
        QTimer::singleShot(0, this, [this] {
            if (!m_address.isNull() && m_reported < 0) {
                m_reported = 1;
                Q_EMIT carryingChanged(true);
            }
        });
        return;
    }
    requestDump();
}

void RouteTunnelProbe::stop()
{
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_address = QHostAddress();
    m_routes.clear();
    m_dumped = false;
    m_reported = -1;
}

bool RouteTunnelProbe::open()
{
    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (m_fd < 0)
        return false;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_ROUTE;
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &RouteTunnelProbe::readMessages);
    return true;
}

void RouteTunnelProbe::requestDump()
{
    // Every table: a dump is not limited to main unless asked to be.
    struct
    {
        nlmsghdr header;
        rtmsg route;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETROUTE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = ++m_sequence;
    request.route.rtm_family = AF_INET;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    m_routes.clear();
    m_dumped = false;
    ::sendto(m_fd, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel);
}

void RouteTunnelProbe::readMessages()
{
    QByteArray buffer(qsizetype(64) * 1024, Qt::Uninitialized);
    for (;;) {
        const ssize_t length = ::recv(m_fd, buffer.data(), size_t(buffer.size()), 0);
        if (length < 0) {
            if (errno == ENOBUFS) {
                // Changes were lost: take stock again.
                requestDump();
                continue;
            }
            return; // EAGAIN: all read
        }
        if (length == 0)
            return;
        for (const RouteChange &change : parse(buffer.left(int(length))))
            apply(change);
        if (m_fd < 0)
            return; // stopped by a receiver of carryingChanged
    }
}

void RouteTunnelProbe::apply(const RouteChange &change)
{
    switch (change.kind) {
    case RouteChange::DumpDone:
        m_dumped = true;
        report();
        return;
    case RouteChange::Overrun:
        requestDump();
        return;
    case RouteChange::Added:
        if (isTunnelRoute(change, m_address))
            m_routes.insert(change.key);
        break;
    case RouteChange::Removed:
        m_routes.remove(change.key);
        break;
    }
    if (m_dumped)
        report();
}

void RouteTunnelProbe::report()
{
    const int carrying = m_routes.isEmpty() ? 0 : 1;
    if (carrying == m_reported)
        return;
    m_reported = carrying;
    Q_EMIT carryingChanged(carrying == 1);
}

bool RouteTunnelProbe::isTunnelRoute(const RouteChange &change, const QHostAddress &address)
{
    return !address.isNull() && change.source == address && change.table != RT_TABLE_MAIN
           && change.table != RT_TABLE_LOCAL;
}

QList<RouteTunnelProbe::RouteChange> RouteTunnelProbe::parse(const QByteArray &datagram)
{
    QList<RouteChange> changes;
    int remaining = int(datagram.size());
    auto *header = reinterpret_cast<const nlmsghdr *>(datagram.constData());
    for (; netlinkMessageFits(header, remaining); header = NLMSG_NEXT(header, remaining)) {
        if (header->nlmsg_type == NLMSG_DONE) {
            changes.append({RouteChange::DumpDone, 0, {}, {}});
            continue;
        }
        if (header->nlmsg_type == NLMSG_ERROR) {
            // The answer to a dump that could not be made ends it all the same.
            changes.append({RouteChange::DumpDone, 0, {}, {}});
            continue;
        }
        if (header->nlmsg_type == NLMSG_OVERRUN) {
            changes.append({RouteChange::Overrun, 0, {}, {}});
            continue;
        }
        if (header->nlmsg_type != RTM_NEWROUTE && header->nlmsg_type != RTM_DELROUTE)
            continue;
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
            continue;
        const auto *route = static_cast<const rtmsg *>(NLMSG_DATA(header));
        if (route->rtm_family != AF_INET)
            continue;
        RouteChange change;
        change.kind = header->nlmsg_type == RTM_NEWROUTE ? RouteChange::Added : RouteChange::Removed;
        change.table = route->rtm_table;
        quint32 destination = 0;
        quint32 outputInterface = 0;
        quint32 metric = 0;
        int attributesLength = int(RTM_PAYLOAD(header));
        for (auto *attribute = RTM_RTA(route); RTA_OK(attribute, attributesLength);
             attribute = RTA_NEXT(attribute, attributesLength)) {
            const auto payloadLength = RTA_PAYLOAD(attribute);
            const void *payload = RTA_DATA(attribute);
            if (payloadLength < sizeof(quint32))
                continue;
            quint32 value = 0;
            std::memcpy(&value, payload, sizeof value);
            switch (attribute->rta_type) {
            case RTA_TABLE:
                change.table = value;
                break;
            case RTA_PREFSRC:
                // Network byte order in the message; QHostAddress takes host order.
                change.source = QHostAddress(qFromBigEndian(value));
                break;
            case RTA_DST:
                destination = value;
                break;
            case RTA_OIF:
                outputInterface = value;
                break;
            case RTA_PRIORITY:
                metric = value;
                break;
            default:
                break;
            }
        }
        const quint32 fields[] = {change.table, destination, route->rtm_dst_len, outputInterface, metric};
        change.key = QByteArray(reinterpret_cast<const char *>(fields), sizeof fields);
        changes.append(change);
    }
    return changes;
}

namespace {

constexpr quint16 DnsPort = 53;
// Asked this many times within the time given, against a lost datagram.
constexpr int Sends = 3;
// More than any answer to the question needs; a longer datagram is no answer.
constexpr qint64 LargestAnswer = 4096;

} // namespace

ResolverEcho::ResolverEcho(QObject *parent)
    : TunnelEcho(parent)
{
    connect(&m_resend, &QTimer::timeout, this, &ResolverEcho::send);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] { finish(false); });
}

ResolverEcho::~ResolverEcho() = default;

void ResolverEcho::ask(const QHostAddress &inner, const QHostAddress &resolver, int timeoutMs)
{
    cancel();
    const quint64 exchange = m_exchange;
    m_socket = new QUdpSocket(this);
    m_resolver = resolver;
    m_id = quint16(QRandomGenerator::system()->generate());
    // From the inner address: the answer can only come back to it through
    // the tunnel, and the question never leaves beside it.
    if (!m_socket->bind(inner, 0)) {
        QTimer::singleShot(0, this, [this, exchange] {
            if (exchange == m_exchange)
                finish(true);
        });
        return;
    }
    connect(m_socket, &QUdpSocket::readyRead, this, &ResolverEcho::read);
    m_resend.start(qMax(1, timeoutMs / Sends));
    m_deadline.start(timeoutMs);
    QTimer::singleShot(0, this, [this, exchange] {
        if (exchange == m_exchange)
            send();
    });
}

void ResolverEcho::cancel()
{
    ++m_exchange;
    m_resend.stop();
    m_deadline.stop();
    if (!m_socket)
        return;
    // Possibly from inside its own readyRead: deleted later.
    m_socket->disconnect(this);
    m_socket->close();
    m_socket->deleteLater();
    m_socket = nullptr;
}

void ResolverEcho::send()
{
    if (m_socket && m_socket->writeDatagram(question(m_id), m_resolver, DnsPort) < 0)
        finish(true);
}

void ResolverEcho::read()
{
    while (m_socket && m_socket->hasPendingDatagrams()) {
        const qint64 size = m_socket->pendingDatagramSize();
        QByteArray datagram(qBound<qint64>(0, size, LargestAnswer), Qt::Uninitialized);
        QHostAddress from;
        quint16 port = 0;
        const qint64 read = m_socket->readDatagram(datagram.data(), datagram.size(), &from, &port);
        if (read < 0 || size > LargestAnswer || from != m_resolver || port != DnsPort)
            continue;
        if (answers(datagram.left(read), m_id)) {
            finish(true);
            return;
        }
    }
}

void ResolverEcho::finish(bool carrying)
{
    cancel();
    Q_EMIT answered(carrying);
}

QByteArray ResolverEcho::question(quint16 id)
{
    // Header: the id, a plain query without recursion, one question. The
    // question: the root, type NS, class IN.
    QByteArray message(12, '\0');
    qToBigEndian(id, message.data());
    qToBigEndian(quint16(1), message.data() + 4);
    message.append('\0');
    message.append("\0\x02\0\x01", 4);
    return message;
}

bool ResolverEcho::answers(const QByteArray &datagram, quint16 id)
{
    // A header with this id and the response bit; what follows does not
    // matter, an error is an answer too.
    return datagram.size() >= 12 && qFromBigEndian<quint16>(datagram.constData()) == id
           && (quint8(datagram.at(2)) & 0x80) != 0;
}

} // namespace Orvex
