#include "NetworkManagerLiveness.h"

namespace Orvex {

NetworkManagerLiveness::NetworkManagerLiveness(std::unique_ptr<TunnelLivenessProbe> probe, int graceMs,
                                               std::unique_ptr<TunnelEcho> echo, int echoTimeoutMs,
                                               QObject *parent)
    : QObject(parent)
    , m_probe(std::move(probe))
    , m_echo(std::move(echo))
    , m_echoTimeoutMs(echoTimeoutMs)
    , m_graceMs(graceMs)
{
    if (m_probe)
        connect(m_probe.get(), &TunnelLivenessProbe::carryingChanged, this,
                &NetworkManagerLiveness::carryingChanged);
    m_grace.setSingleShot(true);
    connect(&m_grace, &QTimer::timeout, this, &NetworkManagerLiveness::gaveUp);
    if (m_echo)
        connect(m_echo.get(), &TunnelEcho::answered, this, &NetworkManagerLiveness::echoAnswered);
}

NetworkManagerLiveness::~NetworkManagerLiveness() = default;

void NetworkManagerLiveness::watch(const QHostAddress &address, const QHostAddress &resolver)
{
    m_resolver = resolver;
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

void NetworkManagerLiveness::endGrace()
{
    m_grace.stop();
    if (m_echo)
        m_echo->cancel();
}

void NetworkManagerLiveness::check()
{
    if (!m_echo || m_watched.isNull() || m_resolver.isNull() || m_echo->isAsking())
        return;
    m_echo->ask(m_watched, m_resolver, m_echoTimeoutMs);
}

void NetworkManagerLiveness::reset()
{
    m_lost = false;
    m_seen = false;
    m_watched.clear();
    m_resolver.clear();
    m_grace.stop();
    if (m_echo)
        m_echo->cancel();
    if (m_probe)
        m_probe->stop();
}

} // namespace Orvex
