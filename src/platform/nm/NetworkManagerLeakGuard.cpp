#include "NetworkManagerLeakGuard.h"

#include "platform/Logging.h"
#include "platform/NetlinkMessage.h"

#include <QDBusMessage>
#include <QPointer>
#include <QTimer>

#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace Orvex {

namespace {

namespace NM = NetworkManager;

constexpr QLatin1String deviceInterface("org.freedesktop.NetworkManager.Device");
// Settings.AddConnection2 / Connection.Update2: kept in memory only (the
// block never outlives NetworkManager's run) and never brought up by
// NetworkManager itself.
constexpr uint inMemory = 0x2;
constexpr uint blockAutoconnect = 0x20;
constexpr uint mainTable = 254;
// How long NetworkManager may take to bring the profile up once it said yes.
constexpr auto activationLimit = std::chrono::seconds(10);

QVariantMap rule(int family, uint priority, uint table)
{
    return {{QStringLiteral("family"), family},
            {QStringLiteral("priority"), priority},
            {QStringLiteral("table"), table}};
}

QVariantMap ruleTo(const QHostAddress &address, int prefix, uint priority)
{
    const bool v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    QVariantMap to = rule(v4 ? 2 : 10, priority, mainTable);
    to.insert(QStringLiteral("to"), address.toString());
    to.insert(QStringLiteral("to-len"), QVariant::fromValue(quint8(prefix)));
    return to;
}

QVariantMap ruleToPort(int family, quint16 port, uint priority)
{
    QVariantMap to = rule(family, priority, mainTable);
    to.insert(QStringLiteral("ipproto"), QVariant::fromValue(quint8(17))); // UDP
    to.insert(QStringLiteral("dport-start"), QVariant::fromValue(port));
    to.insert(QStringLiteral("dport-end"), QVariant::fromValue(port));
    return to;
}

QVariantMap family(const QString &loopback, uint prefix, const QString &any, uint table,
                   const QList<QVariantMap> &rules)
{
    return {
        {QStringLiteral("method"), QStringLiteral("manual")},
        {QStringLiteral("address-data"),
         QVariant::fromValue(QList<QVariantMap>{
             {{QStringLiteral("address"), loopback}, {QStringLiteral("prefix"), prefix}}})},
        {QStringLiteral("route-data"),
         QVariant::fromValue(QList<QVariantMap>{{{QStringLiteral("dest"), any},
                                                 {QStringLiteral("prefix"), 0u},
                                                 {QStringLiteral("table"), table},
                                                 {QStringLiteral("type"), QStringLiteral("prohibit")}}})},
        {QStringLiteral("routing-rules"), QVariant::fromValue(rules)},
    };
}

// Sends one dump request of `type` for `family` and hands every answer to
// `each`; false when the kernel could not be asked.
bool dump(int type, int family, const std::function<void(const nlmsghdr *header)> &each)
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return false;
    struct
    {
        nlmsghdr header;
        rtmsg body; // fib_rule_hdr has the same size and leading family
    } request{};
    static_assert(sizeof(rtmsg) == sizeof(fib_rule_hdr));
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = quint16(type);
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.body.rtm_family = quint8(family);
    // A socket of our own answers within the call; never wait on a kernel
    // that does not.
    const timeval limit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    bool answered = false;
    if (::sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel) >= 0) {
        std::array<char, 32768> buffer;
        for (bool done = false; !done;) {
            const ssize_t length = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (length <= 0)
                break;
            int remaining = int(length);
            for (auto *header = reinterpret_cast<const nlmsghdr *>(buffer.data());
                 netlinkMessageFits(header, remaining); header = NLMSG_NEXT(header, remaining)) {
                if (header->nlmsg_type == NLMSG_DONE) {
                    answered = true;
                    done = true;
                    break;
                }
                if (header->nlmsg_type == NLMSG_ERROR) {
                    done = true;
                    break;
                }
                each(header);
            }
        }
    }
    ::close(fd);
    return answered;
}

// The 32-bit attribute `wanted` of a rule or route message, or `fallback`.
uint attribute(const nlmsghdr *header, size_t bodySize, int wanted, uint fallback)
{
    if (header->nlmsg_len < NLMSG_LENGTH(bodySize))
        return fallback;
    int length = int(header->nlmsg_len - NLMSG_LENGTH(bodySize));
    for (auto *attr = reinterpret_cast<const rtattr *>(reinterpret_cast<const char *>(NLMSG_DATA(header))
                                                       + NLMSG_ALIGN(bodySize));
         RTA_OK(attr, length); attr = RTA_NEXT(attr, length)) {
        if (attr->rta_type == wanted && RTA_PAYLOAD(attr) >= sizeof(quint32)) {
            quint32 value = 0;
            std::memcpy(&value, RTA_DATA(attr), sizeof value);
            return value;
        }
    }
    return fallback;
}

} // namespace

NetworkManagerLeakGuard::NetworkManagerLeakGuard(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_bus(QDBusConnection::systemBus())
{
    NM::registerTypes();
    m_poll.setSingleShot(true);
    m_poll.setInterval(20);
    connect(&m_poll, &QTimer::timeout, this, &NetworkManagerLeakGuard::checkKernel);
}

NM::Settings NetworkManagerLeakGuard::profileFor(const LeakPolicy &policy, const Options &options)
{
    const uint table = options.table;
    const uint beside = options.priority - 1; // just ahead of the block
    // A DHCPv4 client renews by unicast to the server's port 67, a DHCPv6
    // client to 547.
    QList<QVariantMap> v4{rule(2, options.priority, table), ruleToPort(2, 67, beside)};
    QList<QVariantMap> v6{rule(10, options.priority, table), ruleToPort(10, 547, beside),
                          ruleTo(QHostAddress(QStringLiteral("fe80::")), 10, beside),
                          ruleTo(QHostAddress(QStringLiteral("ff00::")), 8, beside)};
    for (const QHostAddress &address : policy.gateway) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            v4 << ruleTo(address, 32, options.gatewayPriority);
        else if (address.protocol() == QAbstractSocket::IPv6Protocol)
            v6 << ruleTo(address, 128, options.gatewayPriority);
    }
    for (const QHostAddress &address : policy.exempt) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            v4 << ruleTo(address, 32, beside);
        else if (address.protocol() == QAbstractSocket::IPv6Protocol)
            v6 << ruleTo(address, 128, beside);
    }
    QVariantMap connection{
        {QStringLiteral("id"), options.name},
        {QStringLiteral("uuid"), options.uuid},
        {QStringLiteral("type"), QStringLiteral("loopback")},
        {QStringLiteral("interface-name"), QStringLiteral("lo")},
        {QStringLiteral("autoconnect"), false},
    };
    if (!options.owner.isEmpty())
        connection.insert(QStringLiteral("permissions"),
                          QStringList{QStringLiteral("user:%1:").arg(options.owner)});
    NM::Settings settings;
    settings.insert(QStringLiteral("connection"), connection);
    settings.insert(QStringLiteral("ipv4"),
                    family(QStringLiteral("127.0.0.1"), 8, QStringLiteral("0.0.0.0"), table, v4));
    settings.insert(QStringLiteral("ipv6"),
                    family(QStringLiteral("::1"), 128, QStringLiteral("::"), table, v6));
    return settings;
}

std::optional<bool> NetworkManagerLeakGuard::blockInForce(int family, uint priority, uint table)
{
    bool rule = false;
    const bool rulesRead = dump(RTM_GETRULE, family, [&](const nlmsghdr *header) {
        if (header->nlmsg_type != RTM_NEWRULE || header->nlmsg_len < NLMSG_LENGTH(sizeof(fib_rule_hdr)))
            return;
        const auto *body = static_cast<const fib_rule_hdr *>(NLMSG_DATA(header));
        if (body->action == FR_ACT_TO_TBL && body->src_len == 0 && body->dst_len == 0
            && attribute(header, sizeof(fib_rule_hdr), FRA_PRIORITY, 0) == priority
            && attribute(header, sizeof(fib_rule_hdr), FRA_TABLE, body->table) == table)
            rule = true;
    });
    if (!rulesRead)
        return std::nullopt;
    if (!rule)
        return false;
    bool route = false;
    dump(RTM_GETROUTE, family, [&](const nlmsghdr *header) {
        if (header->nlmsg_type != RTM_NEWROUTE || header->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
            return;
        const auto *body = static_cast<const rtmsg *>(NLMSG_DATA(header));
        if (body->rtm_type == RTN_PROHIBIT && body->rtm_dst_len == 0
            && attribute(header, sizeof(rtmsg), RTA_TABLE, body->rtm_table) == table)
            route = true;
    });
    return route;
}

Outcome<> NetworkManagerLeakGuard::apply(const LeakPolicy &policy)
{
    if (policy.level == LeakPolicy::Level::Open && !m_asked && !isInPlace())
        return Outcome<>::success(); // nothing of ours to take away
    m_wanted = policy;
    m_asked = true;
    if (!m_busy)
        next();
    return Outcome<>::success();
}

Outcome<> NetworkManagerLeakGuard::verify()
{
    if (m_busy)
        return Outcome<>::failure(
            QStringLiteral("NetworkManager has not yet put the traffic block in force."));
    if (!m_error.isEmpty())
        return Outcome<>::failure(m_error);
    const std::optional<bool> v4 = blockInForce(AF_INET, m_options.priority, m_options.table);
    const std::optional<bool> v6 = blockInForce(AF_INET6, m_options.priority, m_options.table);
    if (m_inForce.level == LeakPolicy::Level::Open) {
        if (v4.value_or(false) || v6.value_or(false))
            return Outcome<>::failure(QStringLiteral("The traffic block is still in force."));
        return Outcome<>::success();
    }
    // IPv6 only counts where this kernel has it.
    if (!v4.value_or(false) || v6 == false)
        return Outcome<>::failure(QStringLiteral("The traffic block is no longer in force."));
    return Outcome<>::success();
}

bool NetworkManagerLeakGuard::isInPlace()
{
    return blockInForce(AF_INET, m_options.priority, m_options.table).value_or(false);
}

void NetworkManagerLeakGuard::next()
{
    m_busy = true;
    const LeakPolicy target = m_wanted;
    withDevice([this, target](const QString &device, const QString &active) {
        if (target.level == LeakPolicy::Level::Open)
            lift(target, active);
        else if (device.isEmpty())
            finish(target, QStringLiteral("NetworkManager does not manage the loopback device, which "
                                          "carries the traffic block."));
        else
            put(target, device, active);
    });
}

void NetworkManagerLeakGuard::withDevice(std::function<void(const QString &, const QString &)> then)
{
    QDBusMessage device = NM::method(NM::path, NM::interface, QStringLiteral("GetDeviceByIpIface"));
    device << QStringLiteral("lo");
    NM::call(m_bus, device, this, [this, then = std::move(then)](const QDBusMessage &found) {
        const QString path = NM::isError(found) ? QString() : NM::objectPath(found.arguments().value(0));
        if (path.isEmpty()) {
            then({}, {});
            return;
        }
        QDBusMessage get = NM::method(path, NM::propertiesInterface, QStringLiteral("Get"));
        get << deviceInterface << QStringLiteral("ActiveConnection");
        NM::call(m_bus, get, this, [this, path, then](const QDBusMessage &read) {
            const QString active = NM::objectPath(read.arguments().value(0).value<QDBusVariant>().variant());
            if (active.isEmpty() || active == QLatin1String("/")) {
                then(path, {});
                return;
            }
            QDBusMessage uuid = NM::method(active, NM::propertiesInterface, QStringLiteral("Get"));
            uuid << NM::activeInterface << QStringLiteral("Uuid");
            NM::call(m_bus, uuid, this, [this, path, active, then](const QDBusMessage &answer) {
                const QString id = answer.arguments().value(0).value<QDBusVariant>().variant().toString();
                then(path, id == m_options.uuid ? active : QString());
            });
        });
    });
}

// The answer to a change NetworkManager was asked for; empty when it was done.
static QString refusal(const QDBusMessage &reply)
{
    if (!NM::isError(reply))
        return {};
    if (NM::isAbsence(reply))
        return NM::notRunningText();
    if (NM::isRefusal(reply))
        return NM::refusedText();
    return QStringLiteral("NetworkManager could not put the traffic block in force: %1")
        .arg(NM::describe(reply));
}

void NetworkManagerLeakGuard::put(const LeakPolicy &target, const QString &device, const QString &active)
{
    const NM::Settings settings = profileFor(target, m_options);
    const auto inForce = [this, target, device, active, settings](const QString &profile) {
        if (!active.isEmpty()) {
            // On the active profile the rules change in place: the block's
            // own rule is never taken away meanwhile.
            QDBusMessage reapply = NM::method(device, deviceInterface, QStringLiteral("Reapply"));
            reapply << QVariant::fromValue(settings) << QVariant::fromValue(quint64(0)) << 0u;
            NM::call(m_bus, reapply, this, [this, target](const QDBusMessage &reply) {
                if (const QString error = refusal(reply); !error.isEmpty())
                    finish(target, error);
                else
                    awaitKernel(target, true);
            });
            return;
        }
        QDBusMessage activate = NM::method(NM::path, NM::interface, QStringLiteral("ActivateConnection"));
        activate << QVariant::fromValue(QDBusObjectPath(profile))
                 << QVariant::fromValue(QDBusObjectPath(device))
                 << QVariant::fromValue(QDBusObjectPath(QStringLiteral("/")));
        NM::call(m_bus, activate, this, [this, target](const QDBusMessage &reply) {
            if (const QString error = refusal(reply); !error.isEmpty())
                finish(target, error);
            else
                awaitKernel(target, true);
        });
    };
    QDBusMessage lookUp = NM::method(NM::settingsPath, NM::settingsInterface,
                                     QStringLiteral("GetConnectionByUuid"));
    lookUp << m_options.uuid;
    NM::call(m_bus, lookUp, this, [this, target, settings, inForce](const QDBusMessage &found) {
        const auto written = [this, target, inForce](const QDBusMessage &reply, const QString &path) {
            if (const QString error = refusal(reply); !error.isEmpty())
                finish(target, error);
            else
                inForce(path);
        };
        if (!NM::isError(found)) {
            const QString path = NM::objectPath(found.arguments().value(0));
            QDBusMessage update = NM::method(path, NM::connectionInterface, QStringLiteral("Update2"));
            update << QVariant::fromValue(settings) << (inMemory | blockAutoconnect) << QVariantMap();
            NM::call(m_bus, update, this,
                     [written, path](const QDBusMessage &reply) { written(reply, path); });
        } else if (found.errorName() == NM::invalidConnectionError) {
            QDBusMessage add = NM::method(NM::settingsPath, NM::settingsInterface,
                                          QStringLiteral("AddConnection2"));
            add << QVariant::fromValue(settings) << (inMemory | blockAutoconnect) << QVariantMap();
            NM::call(m_bus, add, this, [written](const QDBusMessage &reply) {
                written(reply, NM::objectPath(reply.arguments().value(0)));
            });
        } else {
            written(found, {});
        }
    });
}

void NetworkManagerLeakGuard::lift(const LeakPolicy &target, const QString &active)
{
    const auto remove = [this, target] {
        QDBusMessage lookUp = NM::method(NM::settingsPath, NM::settingsInterface,
                                         QStringLiteral("GetConnectionByUuid"));
        lookUp << m_options.uuid;
        NM::call(m_bus, lookUp, this, [this, target](const QDBusMessage &found) {
            if (NM::isError(found)) {
                // Gone already, or no NetworkManager (and so none of its rules).
                awaitKernel(target, false);
                return;
            }
            const QString path = NM::objectPath(found.arguments().value(0));
            NM::call(m_bus, NM::method(path, NM::connectionInterface, QStringLiteral("Delete")), this,
                     [this, target](const QDBusMessage &reply) {
                         if (const QString error = refusal(reply); !error.isEmpty())
                             finish(target, error);
                         else
                             awaitKernel(target, false);
                     });
        });
    };
    if (active.isEmpty()) {
        remove();
        return;
    }
    QDBusMessage deactivate = NM::method(NM::path, NM::interface, QStringLiteral("DeactivateConnection"));
    deactivate << QVariant::fromValue(QDBusObjectPath(active));
    NM::call(m_bus, deactivate, this, [this, target, remove](const QDBusMessage &reply) {
        if (NM::isRefusal(reply))
            finish(target, NM::refusedText());
        else
            remove(); // also when it was no longer active
    });
}

void NetworkManagerLeakGuard::awaitKernel(const LeakPolicy &target, bool present)
{
    // NetworkManager answers before it has set the rules: what counts is the
    // kernel's, read back until it shows (or it is plain it will not).
    m_awaited = {target, present, std::chrono::steady_clock::now() + activationLimit};
    checkKernel();
}

void NetworkManagerLeakGuard::checkKernel()
{
    const bool shown = blockInForce(AF_INET, m_options.priority, m_options.table).value_or(false);
    if (shown == m_awaited.present)
        finish(m_awaited.target, {});
    else if (std::chrono::steady_clock::now() > m_awaited.deadline)
        finish(m_awaited.target,
               m_awaited.present ? QStringLiteral("NetworkManager did not put the traffic block in force.")
                                 : QStringLiteral("NetworkManager did not lift the traffic block."));
    else
        m_poll.start();
}

void NetworkManagerLeakGuard::finish(const LeakPolicy &target, const QString &error)
{
    m_busy = false;
    m_error = error;
    if (error.isEmpty())
        m_inForce = target;
    else
        qCWarning(lcTunnelBlock) << "traffic block:" << error;
    if (m_wanted != target) {
        next(); // a later wish, whatever became of this one
        return;
    }
    if (m_settled)
        m_settled();
}

} // namespace Orvex
