#include "BaseHandler.h"

#include "ui/TunnelStatusSource.h"

namespace Orvex {

BaseHandler::BaseHandler(QObject *parent)
    : QObject(parent)
{
    TunnelStatusSource::observe(this, [this](bool connected) { vpnConnectionDidChange(connected); });
}

BaseHandler::~BaseHandler() = default;

void BaseHandler::report(const std::optional<Error> &error) const
{
    if (resultHandler)
        resultHandler(error);
}

void BaseHandler::vpnConnectionDidChange(bool connected)
{
    m_status = connected;
    connectionStatusDidChange();
}

} // namespace Orvex
