#include "BaseHandler.h"

#include "ui/TunnelStatusSource.h"

namespace Orvex {

BaseHandler::BaseHandler(QObject *parent)
    : QObject(parent)
{
    TunnelStatusSource::observe(this, [this] { vpnConnectionDidChange(); });
}

BaseHandler::~BaseHandler() = default;

void BaseHandler::report(const std::optional<Error> &error) const
{
    if (resultHandler)
        resultHandler(error);
}

bool BaseHandler::status() const
{
    return !m_heard || TunnelStatusSource::isConnected();
}

void BaseHandler::vpnConnectionDidChange()
{
    m_heard = true;
    connectionStatusDidChange();
}

} // namespace Orvex
