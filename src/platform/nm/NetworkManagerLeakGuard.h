#pragma once

#include "platform/LeakGuard.h"
#include "platform/nm/NetworkManagerDBus.h"

#include <QDBusConnection>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace Orvex {

// The block for a user without root, through NetworkManager itself: a
// loopback profile of the user's own (in memory only, never autoconnected)
// whose routing rules send whatever no other table claims into a table
// that holds nothing but a "prohibit" default route, for both families.
//
// The tunnel's routes (charon's table 220, looked up at rule priority 220)
// and the local table come first, so while the tunnel carries everything
// goes through it, and the moment its routes go, traffic meets the block
// instead of the network's own default route: Blocking and Tunnel are the
// same rules. Ahead of the tunnel's table, traffic to the gateway's pinned
// addresses takes the main table (IKE, and ESP, whose outer route lookup
// carries no protocol); behind it, DHCP's client ports and IPv6 link-local
// and multicast (router and neighbour discovery) do, and the exempt hosts.
// ARP and neighbour discovery's own packets are not routed at all.
//
// Every change is one call NetworkManager carries out as a whole: adding
// the profile, activating it, or Reapply with new rules on an active one,
// which keeps the prohibit rule in place throughout. The calls are
// asynchronous (polkit may ask); `isSettled` is false until NetworkManager
// has answered, and what is in force is read back from the kernel (rule
// dumps need no privilege), not taken from NetworkManager's word.
class NetworkManagerLeakGuard final : public QObject, public LeakGuard
{
    Q_OBJECT

public:
    struct Options
    {
        QString uuid;
        QString name = QStringLiteral("Orvex traffic block");
        QString owner; // empty: any user may see it (root's runs)
        uint table = 31660;
        uint priority = 31660;      // the block's rule, before the main table's
        uint gatewayPriority = 210; // the gateway's, before charon's (220)
    };

    explicit NetworkManagerLeakGuard(const Options &options, QObject *parent = nullptr);

    Outcome<> apply(const LeakPolicy &policy) override;
    Outcome<> verify() override;
    bool isInPlace() override;
    bool isSettled() const override { return !m_busy; }
    void whenSettled(std::function<void()> settled) override { m_settled = std::move(settled); }

    // The profile that puts `policy` in force (not for Open).
    static NetworkManager::Settings profileFor(const LeakPolicy &policy, const Options &options);
    // Whether the kernel has the rule into `table` at `priority` for
    // `family` (AF_INET, AF_INET6), and that table's prohibit default;
    // nullopt when the family cannot be asked (no IPv6 in this kernel).
    static std::optional<bool> blockInForce(int family, uint priority, uint table);

private:
    void next();
    // `then` gets the loopback device's path and the active connection of
    // ours on it (empty when there is none).
    void withDevice(std::function<void(const QString &device, const QString &active)> then);
    void put(const LeakPolicy &target, const QString &device, const QString &active);
    void lift(const LeakPolicy &target, const QString &active);
    void awaitKernel(const LeakPolicy &target, bool present);
    void checkKernel();
    void finish(const LeakPolicy &target, const QString &error);

    Options m_options;
    QDBusConnection m_bus;
    LeakPolicy m_wanted;  // asked for last
    LeakPolicy m_inForce; // what NetworkManager last took
    bool m_busy = false;
    bool m_asked = false; // something was asked since the guard was made
    QString m_error;      // why the last change failed
    std::function<void()> m_settled;
    struct Awaited
    {
        LeakPolicy target;
        bool present = false; // the block's rules are to show, or to be gone
        std::chrono::steady_clock::time_point deadline;
    };
    Awaited m_awaited;
    QTimer m_poll; // the kernel is read again after NetworkManager's answer
};

} // namespace Orvex
