#pragma once

#include "platform/nm/TunnelLivenessProbe.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <memory>

namespace Orvex {

// Whether the running tunnel still carries, as the backend uses it: what the
// probe found since it began watching the tunnel's inner address, and the
// grace charon-nm gets to bring a lost security association back by itself
// before the tunnel is given up.
class NetworkManagerLiveness final : public QObject
{
    Q_OBJECT

public:
    // `probe` may be null: then nothing is ever found lost.
    NetworkManagerLiveness(std::unique_ptr<TunnelLivenessProbe> probe, int graceMs, QObject *parent = nullptr);
    ~NetworkManagerLiveness() override;

    bool hasProbe() const { return m_probe != nullptr; }
    // Watches the tunnel with this inner address; the address watched
    // already leaves the findings as they are.
    void watch(const QHostAddress &address);
    // A finding of the probe about the running tunnel.
    void note(bool carrying);
    // The tunnel is gone: nothing is watched, lost or seen.
    void reset();
    // A stop by hand: the tunnel goes anyway, it is not given up.
    void endGrace() { m_grace.stop(); }

    // Found without its security association, within the grace.
    bool isLost() const { return m_lost; }
    // The probe has looked at the running tunnel (its findings count).
    bool isSeen() const { return m_seen; }

Q_SIGNALS:
    // The probe's findings, for the backend to note while a tunnel runs.
    void carryingChanged(bool carrying);
    // Lost for the whole grace.
    void gaveUp();

private:
    std::unique_ptr<TunnelLivenessProbe> m_probe;
    QHostAddress m_watched;
    bool m_lost = false;
    bool m_seen = false;
    int m_graceMs;
    QTimer m_grace;
};

} // namespace Orvex
