#pragma once

#include "platform/nm/TunnelLivenessProbe.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <memory>

namespace Orvex {

// Whether the running tunnel still carries, as the backend uses it: what the
// probe found since it began watching the tunnel's inner address, the grace
// charon-nm gets to bring a lost security association back by itself before
// the tunnel is given up, and, when asked, an exchange through the tunnel
// (`TunnelEcho`) for what the probe cannot see.
class NetworkManagerLiveness final : public QObject
{
    Q_OBJECT

public:
    // `probe` may be null: then nothing is ever found lost; `echo` too: then
    // nothing is ever found dead.
    NetworkManagerLiveness(std::unique_ptr<TunnelLivenessProbe> probe, int graceMs,
                           std::unique_ptr<TunnelEcho> echo, int echoTimeoutMs, QObject *parent = nullptr);
    ~NetworkManagerLiveness() override;

    bool hasProbe() const { return m_probe != nullptr; }
    // Watches the tunnel with this inner address; the address watched
    // already leaves the findings as they are. `resolver`, one the gateway
    // gave, is what `check` asks.
    void watch(const QHostAddress &address, const QHostAddress &resolver = {});
    // A finding of the probe about the running tunnel.
    void note(bool carrying);
    // The tunnel is gone: nothing is watched, lost or seen.
    void reset();
    // A stop by hand: the tunnel goes anyway, it is neither given up nor
    // found dead.
    void endGrace();
    // Finds out now, through the tunnel, whether it carries: `echoAnswered`
    // tells. Nothing to ask (no resolver known), or a check
    // already under way: nothing more.
    void check();
    bool isChecking() const { return m_echo && m_echo->isAsking(); }

    // Found without its security association, within the grace.
    bool isLost() const { return m_lost; }
    // The probe has looked at the running tunnel (its findings count).
    bool isSeen() const { return m_seen; }

Q_SIGNALS:
    // The probe's findings, for the backend to note while a tunnel runs.
    void carryingChanged(bool carrying);
    // Lost for the whole grace.
    void gaveUp();
    // What the check found through the tunnel (false: no answer in time).
    void echoAnswered(bool carrying);

private:
    std::unique_ptr<TunnelLivenessProbe> m_probe;
    QHostAddress m_watched;
    QHostAddress m_resolver;
    std::unique_ptr<TunnelEcho> m_echo;
    int m_echoTimeoutMs;
    bool m_lost = false;
    bool m_seen = false;
    int m_graceMs;
    QTimer m_grace;
};

} // namespace Orvex
