#pragma once

#include <QObject>
#include <QTimer>

class QSocketNotifier;

namespace Orvex {

// Tells when the network under the tunnel may have changed: the machine woke
// from sleep (logind's PrepareForSleep(false) on the system bus) or the
// default route changed (rtnetlink, main table, IPv4 and IPv6). A burst of
// route messages (a route replaced is one removal and one addition) is told
// once.
class NetworkChangeMonitor final : public QObject
{
    Q_OBJECT

public:
    enum class Reason { Resumed, DefaultRouteChanged };
    Q_ENUM(Reason)

    explicit NetworkChangeMonitor(QObject *parent = nullptr);
    ~NetworkChangeMonitor() override;

    // What is watched; false parts are missing on this machine (no system
    // bus, no netlink), and the tunnel then relies on dead-peer detection.
    bool watchesSleep() const { return m_watchesSleep; }
    bool watchesRoutes() const { return m_fd >= 0; }

    static constexpr int settleMs = 300;

Q_SIGNALS:
    void changed(Orvex::NetworkChangeMonitor::Reason reason);

public Q_SLOTS:
    // logind's signal; Qt D-Bus delivers only to public slots.
    void onPrepareForSleep(bool start);

private:
    void onNetlinkReadable();

    bool m_watchesSleep = false;
    int m_fd = -1;
    QSocketNotifier *m_notifier = nullptr;
    QTimer m_settle;
};

} // namespace Orvex
