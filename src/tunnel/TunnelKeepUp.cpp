#include "TunnelKeepUp.h"

#include <utility>

namespace Orvex {

TunnelKeepUp::TunnelKeepUp(Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_hooks(std::move(hooks))
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &TunnelKeepUp::tryIfWanted);
}

bool TunnelKeepUp::keepsUp() const
{
    return !m_suspended && m_hooks.wanted();
}

void TunnelKeepUp::suspend()
{
    m_suspended = true;
    m_returnOwed = false;
    m_retry.stop();
}

void TunnelKeepUp::tryIfWanted()
{
    if (keepsUp() && m_hooks.canTry())
        m_hooks.tryNow();
}

void TunnelKeepUp::ended()
{
    // Found dead: back at once, in the same turn as the drop, so that it
    // shows as one more attempt rather than an end.
    if (std::exchange(m_returnOwed, false) && !m_suspended && m_hooks.canTry()) {
        m_hooks.tryNow();
        return;
    }
    if (keepsUp())
        m_retry.start(m_hooks.pauseMs());
}

} // namespace Orvex
