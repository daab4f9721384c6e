#include "NetworkManagerLiveness.h"

namespace Orvex {

NetworkManagerLiveness::NetworkManagerLiveness(std::unique_ptr<TunnelLivenessProbe> probe, int graceMs,
                                               QObject *parent)
    : QObject(parent)
    , m_probe(std::move(probe))
    , m_graceMs(graceMs)
{
    if (m_probe)
        connect(m_probe.get(), &TunnelLivenessProbe::carryingChanged, this,
                &NetworkManagerLiveness::carryingChanged);
    m_grace.setSingleShot(true);
    connect(&m_grace, &QTimer::timeout, this, &NetworkManagerLiveness::gaveUp);
}

NetworkManagerLiveness::~NetworkManagerLiveness() = default;

void NetworkManagerLiveness::watch(const QHostAddress &address)
{
    if (!m_probe || address.isNull() || address == m_watched)
        return; // already watched: its findings stand
    m_watched = address;
    m_seen = false;
    m_probe->watch(address);
}

void NetworkManagerLiveness::note(bool carrying)
{
    m_seen = true;
    if (carrying) {
        m_lost = false;
        m_grace.stop();
    } else if (!m_lost) {
        // charon-nm may get it back by itself: give it the time to.
        m_lost = true;
        m_grace.start(m_graceMs);
    }
}

void NetworkManagerLiveness::reset()
{
    m_lost = false;
    m_seen = false;
    m_watched.clear();
    m_grace.stop();
    if (m_probe)
        m_probe->stop();
}

} // namespace Orvex
