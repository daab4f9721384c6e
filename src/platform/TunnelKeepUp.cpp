#include "TunnelKeepUp.h"

#include <utility>

namespace Orvex {

TunnelKeepUp::TunnelKeepUp(int retryDelayMs, Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_hooks(std::move(hooks))
    , m_retryDelayMs(retryDelayMs)
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
    m_retry.stop();
}

void TunnelKeepUp::tryIfWanted()
{
    if (keepsUp() && m_hooks.canTry())
        m_hooks.tryNow();
}

void TunnelKeepUp::retryLater()
{
    if (keepsUp())
        m_retry.start(m_retryDelayMs);
}

bool TunnelKeepUp::takeOwedReturn()
{
    return std::exchange(m_returnOwed, false) && !m_suspended;
}

} // namespace Orvex
