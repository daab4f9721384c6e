#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSet>
#include <QTimer>

class QSocketNotifier;
class QUdpSocket;

namespace Orvex {

// Tells, from outside the VPN daemon, whether an established tunnel still
// has its security association: NetworkManager keeps reporting a VPN as
// activated after the gateway has closed it.
class TunnelLivenessProbe : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Watches the tunnel whose inner (virtual) address is `address`.
    // `carryingChanged` reports the first finding, then every change.
    virtual void watch(const QHostAddress &address) = 0;
    virtual void stop() = 0;

Q_SIGNALS:
    void carryingChanged(bool carrying);
};

// Watches the kernel's routing tables over rtnetlink, which any user may
// read, for the routes charon installs with an established CHILD_SA: routes
// whose preferred source is the tunnel's inner address, in a routing table of
// charon's own (220 unless configured otherwise), never main or local.
// charon installs them with the SA and removes them when the SA goes, with
// ESP in the kernel or in userspace (kernel-libipsec) alike, and also when it
// is the gateway that deleted the SA, which NetworkManager never hears about.
// When charon-nm gets the SA back by itself the routes return.
//
// The watch applies to the network namespace the process runs in. A socket
// that cannot be opened leaves the tunnel counted as carrying: without a
// finding the status stays as NetworkManager reports it.
class RouteTunnelProbe final : public TunnelLivenessProbe
{
    Q_OBJECT

public:
    struct RouteChange
    {
        enum Kind { Added, Removed, DumpDone, Overrun };
        Kind kind = Added;
        quint32 table = 0;
        QHostAddress source; // preferred source; null when the route has none
        QByteArray key;      // table, destination, prefix length, output interface, metric
    };

    explicit RouteTunnelProbe(QObject *parent = nullptr);
    ~RouteTunnelProbe() override;

    void watch(const QHostAddress &address) override;
    void stop() override;

    // The IPv4 route changes in a datagram of rtnetlink messages.
    static QList<RouteChange> parse(const QByteArray &datagram);
    // Whether a route is one of charon's for a tunnel with inner address
    // `address`.
    static bool isTunnelRoute(const RouteChange &change, const QHostAddress &address);

private:
    bool open();
    void requestDump();
    void readMessages();
    void apply(const RouteChange &change);
    void report();

    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QHostAddress m_address;
    QSet<QByteArray> m_routes;
    quint32 m_sequence = 0;
    bool m_dumped = false;
    int m_reported = -1; // -1 nothing yet, else the last carrying value
};

// Finds out now, by an exchange through the tunnel, whether it carries:
// after a sleep charon's routes say nothing, as a gateway that restarted
// meanwhile has forgotten a tunnel that charon still holds.
class TunnelEcho : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Asks `resolver`, one the gateway gave, from the tunnel's inner address
    // `inner`; `answered` tells how it went, later, never from inside this
    // call. An exchange under way is dropped.
    virtual void ask(const QHostAddress &inner, const QHostAddress &resolver, int timeoutMs) = 0;
    virtual void cancel() = 0;
    virtual bool isAsking() const = 0;

Q_SIGNALS:
    void answered(bool carrying);
};

// The resolver (every gateway of the service gives one) is asked for the
// root's name servers, from the inner address, again while unanswered. Any
// answer to that question from there counts, a refusal too; none within the
// time given means the tunnel does not carry. A question that cannot even be
// sent finds out nothing: the tunnel is then believed to carry.
class ResolverEcho final : public TunnelEcho
{
    Q_OBJECT

public:
    explicit ResolverEcho(QObject *parent = nullptr);
    ~ResolverEcho() override;

    void ask(const QHostAddress &inner, const QHostAddress &resolver, int timeoutMs) override;
    void cancel() override;
    bool isAsking() const override { return m_socket != nullptr; }

    // The question with this id, and whether `datagram` from the resolver
    // answers the one with `id`.
    static QByteArray question(quint16 id);
    static bool answers(const QByteArray &datagram, quint16 id);

private:
    void send();
    void read();
    void finish(bool carrying);

    QUdpSocket *m_socket = nullptr;
    QHostAddress m_resolver;
    quint16 m_id = 0;
    quint64 m_exchange = 0; // bumped by every end: a later call for an earlier one is void
    QTimer m_resend;
    QTimer m_deadline;
};

} // namespace Orvex
