#include "ClientControlAdaptor.h"

#include "app/ClientControl.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace Orvex {

ClientControlAdaptor::ClientControlAdaptor(ClientControl *control)
    : QDBusAbstractAdaptor(control)
    , m_control(control)
{
    connect(control, &ClientControl::changed, this, &ClientControlAdaptor::Changed);
}

QString ClientControlAdaptor::text(const char *name) const
{
    return m_control->properties().value(QLatin1String(name)).toString();
}

QStringList ClientControlAdaptor::virtualAddresses() const
{
    return m_control->properties().value(QStringLiteral("VirtualAddresses")).toStringList();
}

void ClientControlAdaptor::Connect(const QDBusMessage &call)
{
    const Outcome<> outcome = m_control->turnOn();
    if (outcome.isSuccess())
        return;
    call.setDelayedReply(true);
    m_control->bus().send(call.createErrorReply(QString(ClientControl::signedOutError), outcome.error()));
}

void ClientControlAdaptor::Disconnect()
{
    m_control->turnOff();
}

QString ClientControlAdaptor::Diagnostics(const QDBusMessage &call)
{
    // Answered once the tunnel's daemon has told its version.
    call.setDelayedReply(true);
    QDBusConnection bus = m_control->bus();
    m_control->diagnostics([call, bus](const QString &report) mutable { bus.send(call.createReply(report)); });
    return {};
}

} // namespace Orvex
