#pragma once

#include "base/Outcome.h"

#include <QHostAddress>
#include <QList>
#include <QObject>

#include <functional>

namespace Orvex {

// What may leave the machine, beyond what always may (loopback, DHCP, router
// and neighbour discovery, ARP).
struct LeakPolicy
{
    enum class Level {
        Open,     // nothing of ours is in force
        Blocking, // only IKE and ESP to the gateway (and the exempt hosts)
        Tunnel,   // that, and whatever goes through the tunnel
    };
    Level level = Level::Open;
    // The gateway's addresses, resolved before the block went up.
    QList<QHostAddress> gateway;
    // Hosts reachable beside the tunnel while blocking (the service's API, so
    // a user who always requires the tunnel can still sign in).
    QList<QHostAddress> exempt;

    bool operator==(const LeakPolicy &) const = default;
};

// Keeps traffic from leaving beside the tunnel. A change is all or nothing:
// there is never a moment with half a policy, or none while one was asked for.
class LeakGuard
{
public:
    virtual ~LeakGuard() = default;

    // Puts `policy` in force, replacing the one before in one step.
    virtual Outcome<> apply(const LeakPolicy &policy) = 0;
    // Whether what is in force now is what the last `apply` put there (nobody
    // flushed or changed it meanwhile).
    virtual Outcome<> verify() = 0;
    // Whether a block of ours is in force, also one a client that was killed
    // left behind.
    virtual bool isInPlace() = 0;

    // A guard that asks a daemon accepts a change at once and puts it in
    // force a moment later: until then it is not settled (and `verify`
    // fails), and `settled` runs each time the daemon has answered, after
    // which `verify` tells how it went.
    virtual bool isSettled() const { return true; }
    virtual void whenSettled(std::function<void()> settled) { Q_UNUSED(settled) }

    // Looks `host` up as the guarded traffic's own network would (its
    // namespace, its hosts file and resolvers); `done` gets the addresses,
    // none when it is not found. Asked before the block goes up: the block
    // lets no lookup through. `done` never runs once `context` is gone.
    // This default looks it up as this process would.
    using Addresses = std::function<void(const QList<QHostAddress> &addresses)>;
    virtual void lookUp(const QString &host, QObject *context, Addresses done);
};

} // namespace Orvex
