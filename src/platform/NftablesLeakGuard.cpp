#include "NftablesLeakGuard.h"

#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTimer>

#include <utility>

#include <nftables/libnftables.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace Orvex {

namespace {

QByteArray addressSet(const QByteArray &name, const char *type, const QList<QHostAddress> &addresses,
                      QAbstractSocket::NetworkLayerProtocol family)
{
    QByteArray elements;
    for (const QHostAddress &address : addresses) {
        if (address.protocol() != family)
            continue;
        // Only what QHostAddress printed: no text of anyone else's reaches nft.
        elements += (elements.isEmpty() ? "" : ", ") + address.toString().toLatin1();
    }
    QByteArray set = "  set " + name + " { type " + type + ";";
    if (!elements.isEmpty())
        set += " elements = { " + elements + " };";
    return set + " }\n";
}

// What leaves whatever the state: loopback, DHCP, router and neighbour
// discovery (ARP is not in the inet family, so never filtered here).
constexpr char Housekeeping[] = "    oifname \"lo\" accept\n"
                                "    udp sport 68 udp dport 67 accept\n"
                                "    udp sport 546 udp dport 547 accept\n"
                                "    icmpv6 type { nd-router-solicit, nd-router-advert, nd-neighbor-solicit, "
                                "nd-neighbor-advert, mld2-listener-report } accept\n";

// IKE and ESP (also in UDP) to the gateway; the hosts exempt from the block.
constexpr char Gateway[] = "    ip daddr @gateway4 udp dport { 500, 4500 } accept\n"
                           "    ip daddr @gateway4 meta l4proto esp accept\n"
                           "    ip6 daddr @gateway6 udp dport { 500, 4500 } accept\n"
                           "    ip6 daddr @gateway6 meta l4proto esp accept\n"
                           "    ip daddr @exempt4 accept\n"
                           "    ip6 daddr @exempt6 accept\n";

// Into the tunnel: what an IPsec policy will protect (the kernel's ESP), or
// what goes to the userspace ESP's TUN device; only while the set `tunnel`
// holds the families, so that a tunnel coming up or going down changes one
// set's elements rather than the rules (the kernel takes a change of rules or
// tables much longer to settle).
constexpr char IntoTheTunnel[] = "    rt ipsec exists meta nfproto @tunnel accept\n"
                                 "    oifname \"ipsec*\" meta nfproto @tunnel accept\n";
constexpr char TunnelFamilies[] = "{ ipv4, ipv6 }";

} // namespace

NftablesLeakGuard::NftablesLeakGuard(QString networkNamespace, QByteArray tableName)
    : m_namespace(std::move(networkNamespace))
    , m_table(std::move(tableName))
{
    // One change at a time, in the order asked.
    m_worker.setMaxThreadCount(1);
    m_worker.setExpiryTimeout(-1);
}

NftablesLeakGuard::~NftablesLeakGuard()
{
    // A change under way is finished (a lift above all); its answer, posted
    // to the receiver, goes with it.
    m_worker.waitForDone();
}

QByteArray NftablesLeakGuard::script(const LeakPolicy &policy, const QByteArray &table, bool replace)
{
    QByteArray out = replace ? "table inet " + table + " {}\ndelete table inet " + table + "\n"
                             : QByteArray();
    if (policy.level == LeakPolicy::Level::Open)
        return out;
    const bool tunnel = policy.level == LeakPolicy::Level::Tunnel;
    out += "table inet " + table + " {\n";
    out += addressSet("gateway4", "ipv4_addr", policy.gateway, QAbstractSocket::IPv4Protocol);
    out += addressSet("gateway6", "ipv6_addr", policy.gateway, QAbstractSocket::IPv6Protocol);
    out += addressSet("exempt4", "ipv4_addr", policy.exempt, QAbstractSocket::IPv4Protocol);
    out += addressSet("exempt6", "ipv6_addr", policy.exempt, QAbstractSocket::IPv6Protocol);
    out += QByteArray("  set tunnel { type nf_proto;")
           + (tunnel ? QByteArray(" elements = ") + TunnelFamilies + ";" : "") + " }\n";
    out += "  chain output {\n    type filter hook output priority filter; policy drop;\n";
    out += Housekeeping;
    out += Gateway;
    out += IntoTheTunnel;
    out += "  }\n";
    // Nothing is routed past the tunnel for others (containers, virtual
    // machines) either.
    out += "  chain forward {\n    type filter hook forward priority filter; policy drop;\n";
    out += IntoTheTunnel;
    out += "  }\n}\n";
    return out;
}

Outcome<QByteArray> NftablesLeakGuard::run(const QString &networkNamespace, const QByteArray &commands)
{
    // The namespace is entered by this thread alone, for the length of one
    // call, and left again before anything else runs on it.
    int home = -1;
    if (!networkNamespace.isEmpty()) {
        home = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = ::open(QFile::encodeName(networkNamespace).constData(), O_RDONLY | O_CLOEXEC);
        const bool entered = home >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0)
            ::close(target);
        if (!entered) {
            if (home >= 0)
                ::close(home);
            return Outcome<QByteArray>::failure(
                QStringLiteral("The network namespace %1 cannot be entered.").arg(networkNamespace));
        }
    }
    const auto leave = qScopeGuard([home] {
        if (home < 0)
            return;
        // Failing to get back would leave the main thread in the tunnel's
        // namespace: nothing sane can go on from there.
        if (::setns(home, CLONE_NEWNET) != 0)
            qFatal("cannot return to the client's own network namespace");
        ::close(home);
    });

    nft_ctx *context = nft_ctx_new(NFT_CTX_DEFAULT);
    if (!context)
        return Outcome<QByteArray>::failure(QStringLiteral("nftables cannot be used."));
    const auto free = qScopeGuard([context] { nft_ctx_free(context); });
    nft_ctx_buffer_output(context);
    nft_ctx_buffer_error(context);
    if (nft_run_cmd_from_buffer(context, commands.constData()) != 0) {
        QString why = QString::fromUtf8(nft_ctx_get_error_buffer(context)).simplified();
        if (why.size() > 300)
            why = why.left(300) + QStringLiteral("…");
        return Outcome<QByteArray>::failure(
            QStringLiteral("The traffic block cannot be changed: %1").arg(why));
    }
    return Outcome<QByteArray>::success(QByteArray(nft_ctx_get_output_buffer(context)));
}

NftablesLeakGuard::Done NftablesLeakGuard::transact(const QString &networkNamespace, const QByteArray &table,
                                                    const LeakPolicy &policy, const LeakPolicy &before,
                                                    const QByteArray &applied)
{
    Done done;
    const auto listing = [&] { return run(networkNamespace, "list table inet " + table); };
    // Between blocking and the tunnel, over the same table as last put in
    // force (and still in force), only the tunnel's set changes.
    bool intact = false;
    if (!applied.isEmpty()) {
        const Outcome<QByteArray> listed = listing();
        intact = listed.isSuccess() && listed.value() == applied;
    }
    const bool between = policy.level != LeakPolicy::Level::Open && before.level != LeakPolicy::Level::Open
                         && policy.gateway == before.gateway && policy.exempt == before.exempt && intact;
    if (between && policy.level == before.level) {
        done.applied = applied;
        return done;
    }
    QByteArray commands;
    if (between)
        commands = (policy.level == LeakPolicy::Level::Tunnel ? "add" : "delete")
                   + QByteArray(" element inet ") + table + " tunnel " + TunnelFamilies + "\n";
    else if (policy.level != LeakPolicy::Level::Open && applied.isEmpty() && !listing().isSuccess())
        commands = script(policy, table, false); // nothing to replace: made at once
    else
        commands = script(policy, table);
    const Outcome<QByteArray> changed = run(networkNamespace, commands);
    if (!changed.isSuccess()) {
        done.outcome = Outcome<>::failure(changed.error());
        done.applied = applied;
        return done;
    }
    if (policy.level == LeakPolicy::Level::Open)
        return done;
    const Outcome<QByteArray> listed = listing();
    if (!listed.isSuccess())
        done.outcome = Outcome<>::failure(listed.error());
    else
        done.applied = listed.value();
    return done;
}

Outcome<> NftablesLeakGuard::apply(const LeakPolicy &policy)
{
    if (m_busy) {
        m_next = policy; // after the change under way, in order
        return Outcome<>::success();
    }
    // Leaving Open (Turn ON), and any change of whom the block lets
    // through, is in force before this returns. Every other change moves
    // between blocking and the tunnel, whose rules let nothing out beside
    // an IPsec policy or the tunnel's device either, or lifts the block: it
    // is finished a moment later off the main thread, since the kernel
    // makes a deletion wait for a grace period of its own (10-15 ms here).
    const bool now = m_policy.level == LeakPolicy::Level::Open
                     || (policy.level != LeakPolicy::Level::Open
                         && (policy.gateway != m_policy.gateway || policy.exempt != m_policy.exempt));
    if (now) {
        const Done done = transact(m_namespace, m_table, policy, m_policy, m_applied);
        m_applied = done.applied;
        if (done.outcome.isSuccess())
            m_policy = policy;
        return done.outcome;
    }
    m_busy = true;
    m_error.clear();
    const auto passing = m_toWorker.pass();
    m_worker.start([this, policy, before = m_policy, applied = m_applied] {
        m_toWorker.receive();
        const Done done = transact(m_namespace, m_table, policy, before, applied);
        const auto answering = m_toMain.pass();
        QMetaObject::invokeMethod(
            &m_receiver,
            [this, policy, done] {
                m_toMain.receive();
                finished(policy, done);
            },
            Qt::QueuedConnection);
    });
    return Outcome<>::success();
}

void NftablesLeakGuard::finished(const LeakPolicy &policy, const Done &done)
{
    m_busy = false;
    m_applied = done.applied;
    if (done.outcome.isSuccess())
        m_policy = policy;
    else
        m_error = done.outcome.error();
    if (m_next) {
        const LeakPolicy next = *std::exchange(m_next, std::nullopt);
        if (next != m_policy || !done.outcome.isSuccess()) {
            const Outcome<> applied = apply(next);
            if (!applied.isSuccess())
                m_error = applied.error();
            if (m_busy)
                return; // settled when that one is
        }
    }
    if (m_settled)
        m_settled();
}

Outcome<> NftablesLeakGuard::verify()
{
    if (m_busy)
        return Outcome<>::failure(QStringLiteral("The traffic block is still being changed."));
    if (!m_error.isEmpty())
        return Outcome<>::failure(m_error);
    if (m_applied.isEmpty()) {
        if (isInPlace())
            return Outcome<>::failure(
                QStringLiteral("A traffic block is in force that the client did not put there."));
        return Outcome<>::success();
    }
    const Outcome<QByteArray> listed = run(m_namespace, "list table inet " + m_table);
    if (!listed.isSuccess() || listed.value() != m_applied)
        return Outcome<>::failure(
            QStringLiteral("The traffic block was changed or removed by someone else."));
    return Outcome<>::success();
}

void NftablesLeakGuard::lookUp(const QString &host, QObject *context, Addresses done)
{
    if (m_namespace.isEmpty() || !QHostAddress(host).isNull()) {
        LeakGuard::lookUp(host, context, std::move(done));
        return;
    }
    // Another namespace has its own hosts file and resolvers (`ip netns exec`
    // binds /etc/netns/NAME over /etc): the name is looked up in there.
    static const QRegularExpression hostName(QStringLiteral("^[A-Za-z0-9.-]{1,253}$"));
    const QString name = QFileInfo(m_namespace).fileName();
    if (!hostName.match(host).hasMatch() || !m_namespace.startsWith(QLatin1String("/run/netns/"))) {
        QTimer::singleShot(0, context, [done = std::move(done)] { done({}); });
        return;
    }
    auto *lookup = new QProcess(context);
    lookup->setProcessChannelMode(QProcess::SeparateChannels);
    const auto finish = [lookup, done = std::move(done)] {
        // At most a few lines of addresses; anything else is not an answer.
        const QByteArray out = lookup->readAllStandardOutput().left(1 << 16);
        QList<QHostAddress> addresses;
        for (const QByteArray &line : out.split('\n')) {
            const QHostAddress address(QString::fromLatin1(line.left(line.indexOf(' '))));
            if (!address.isNull() && !addresses.contains(address))
                addresses << address;
        }
        lookup->deleteLater();
        done(addresses);
    };
    QObject::connect(lookup, &QProcess::finished, lookup, finish);
    QObject::connect(lookup, &QProcess::errorOccurred, lookup, [lookup, finish](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finish();
    });
    // A resolver that never answers holds nothing up for long.
    QTimer::singleShot(10000, lookup, [lookup] { lookup->kill(); });
    lookup->start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), name,
                                         QStringLiteral("getent"), QStringLiteral("ahosts"), host});
}

bool NftablesLeakGuard::isInPlace()
{
    return run(m_namespace, "list table inet " + m_table).isSuccess();
}

} // namespace Orvex
