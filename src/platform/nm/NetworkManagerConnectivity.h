#pragma once

#include "platform/NetworkConnectivity.h"

#include <QDBusConnection>
#include <QDBusMessage>

class QDBusServiceWatcher;

namespace Orvex {

// NetworkManager's overall connectivity (its `Connectivity` property: 0
// unknown, 1 none, 2 portal, 3 limited, 4 full), read when NetworkManager is
// there and followed through its PropertiesChanged signal. Independent of the
// tunnel's backend: a machine whose tunnel runs over VICI may well have its
// network managed by NetworkManager. Without NetworkManager (or without a
// system bus) it stays Unknown. What arrives is untrusted: a value of any
// other D-Bus type than `u` is ignored, one out of range counts as unknown.
class NetworkManagerConnectivity final : public NetworkConnectivity
{
    Q_OBJECT

public:
    explicit NetworkManagerConnectivity(QObject *parent = nullptr);
    // On `bus` instead of the system bus (tests).
    explicit NetworkManagerConnectivity(const QDBusConnection &bus, QObject *parent = nullptr);
    ~NetworkManagerConnectivity() override;

private Q_SLOTS:
    // Qt D-Bus delivers signals only to slots.
    void onPropertiesChanged(const QDBusMessage &message);

private:
    void read();
    // False when the value is not of the expected type (and so ignored).
    bool take(const QVariant &value);

    QDBusConnection m_bus;
    QDBusServiceWatcher *m_watcher = nullptr;
    // Counts the signals taken: a read that was sent before one of them
    // answers with what the signal already replaced.
    quint64 m_signals = 0;
};

} // namespace Orvex
