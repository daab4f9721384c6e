#include "NetworkChangeMonitor.h"

#include "platform/NetlinkMessage.h"

#include <QDBusConnection>
#include <QSocketNotifier>

#include <cerrno>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Orvex {

namespace {

// The table a route message is about: the attribute when present (tables
// above 255), else the header's field.
quint32 routeTable(const nlmsghdr *header)
{
    const auto *route = static_cast<const rtmsg *>(NLMSG_DATA(header));
    quint32 table = route->rtm_table;
    int length = int(RTM_PAYLOAD(header));
    for (const rtattr *attribute = RTM_RTA(route); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == RTA_TABLE && RTA_PAYLOAD(attribute) >= sizeof(quint32))
            table = *static_cast<const quint32 *>(RTA_DATA(attribute));
    }
    return table;
}

} // namespace

NetworkChangeMonitor::NetworkChangeMonitor(QObject *parent)
    : QObject(parent)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(settleMs);
    connect(&m_settle, &QTimer::timeout, this, [this] { Q_EMIT changed(Reason::DefaultRouteChanged); });

    QDBusConnection system = QDBusConnection::systemBus();
    m_watchesSleep = system.isConnected()
                     && system.connect(QStringLiteral("org.freedesktop.login1"),
                                       QStringLiteral("/org/freedesktop/login1"),
                                       QStringLiteral("org.freedesktop.login1.Manager"),
                                       QStringLiteral("PrepareForSleep"), this,
                                       SLOT(onPrepareForSleep(bool)));

    m_fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (m_fd < 0)
        return;
    sockaddr_nl local = {};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &NetworkChangeMonitor::onNetlinkReadable);
}

NetworkChangeMonitor::~NetworkChangeMonitor()
{
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

void NetworkChangeMonitor::onPrepareForSleep(bool start)
{
    if (!start)
        Q_EMIT changed(Reason::Resumed);
}

void NetworkChangeMonitor::onNetlinkReadable()
{
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        sockaddr_nl sender = {};
        socklen_t senderLength = sizeof sender;
        const ssize_t got = ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&sender),
                                       &senderLength);
        if (got < 0) {
            if (errno == ENOBUFS) // messages were lost: one of them may have mattered
                m_settle.start();
            return;
        }
        if (sender.nl_pid != 0)
            continue; // only the kernel speaks for the routing tables
        int length = int(got);
        for (auto *header = reinterpret_cast<const nlmsghdr *>(buffer); netlinkMessageFits(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type != RTM_NEWROUTE && header->nlmsg_type != RTM_DELROUTE)
                continue;
            if (header->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
                continue;
            const auto *route = static_cast<const rtmsg *>(NLMSG_DATA(header));
            if (route->rtm_dst_len == 0 && routeTable(header) == RT_TABLE_MAIN)
                m_settle.start();
        }
    }
}

} // namespace Orvex
