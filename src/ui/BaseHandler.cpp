#include "BaseHandler.h"

#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"

#include <QPointer>

namespace Orvex {

BaseHandler::BaseHandler(QObject *parent)
    : QObject(parent)
{}

BaseHandler::~BaseHandler() = default;

void BaseHandler::followTunnelStatus(VPNManager &manager)
{
    m_followed = &manager;
    QPointer<BaseHandler> self(this);
    manager.loadFromPreferences([self](const Outcome<> &loaded) {
        if (self && loaded.isSuccess())
            self->vpnConnectionDidChange();
    });
    connect(manager.connection(), &VPNConnection::statusDidChange, this, &BaseHandler::vpnConnectionDidChange);
}

void BaseHandler::report(const std::optional<Error> &error) const
{
    if (resultHandler)
        resultHandler(error);
}

bool BaseHandler::status() const
{
    return !m_heard || !m_followed || m_followed->connection()->status() == VPNStatus::Connected;
}

void BaseHandler::vpnConnectionDidChange()
{
    m_heard = true;
    connectionStatusDidChange();
}

} // namespace Orvex
