#pragma once

#include "platform/nm/NetworkManagerDBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QMap>
#include <QStringList>

#include <optional>

// NetworkManager as the backend sees it, on a private bus: Settings
// (GetConnectionByUuid, AddConnection2), Settings.Connection
// (Update2, GetSettings), the manager's ActivateConnection and
// DeactivateConnection, and active connections with the Connection.Active and
// VPN.Connection interfaces and their signals, in NetworkManager's order
// (state signals before the answer to ActivateConnection; a failed or
// disconnected VPN removed at once). The test drives the VPN's states.
class FakeNetworkManager final : public QDBusVirtualObject
{
    Q_OBJECT

public:
    struct ActiveConnection
    {
        QString profile; // settings path, empty for a device's external connection
        QString uuid;
        QString type;
        bool vpn = false;
        uint state = 1;    // Connection.Active.State
        uint vpnState = 0; // VPN.Connection.VpnState
        QString ip4Config = QStringLiteral("/");
    };
    struct Call
    {
        QString member;
        QList<QVariant> arguments;
    };

    explicit FakeNetworkManager(const QString &busAddress);
    ~FakeNetworkManager() override;

    bool start();
    // Releases the name, as a NetworkManager that stops; active connections
    // go, profiles stay (they are on disk).
    void vanish();

    // Adds a profile directly, as if another program had.
    QString addProfile(const Orvex::NetworkManager::Settings &settings);
    void removeProfile(const QString &path);
    // An activated connection of a device, like NetworkManager keeps for an
    // interface configured outside it.
    QString addDeviceConnection(const QString &type);
    QString addVpnConnection(const QString &profile, uint state, uint vpnState);
    void setPrimaryConnection(const QString &path);

    // Moves a VPN on, with the signals NetworkManager sends.
    void setVpnState(const QString &path, uint vpnState);

    // The next call of `member` fails with this error.
    void failNext(const QString &member, const QString &errorName, const QString &message);
    // Answers to ActivateConnection are held back until releaseActivation().
    bool holdActivation = false;
    void releaseActivation();

    QList<Call> calls;
    int count(const QString &member) const { return int(callsOf(member).size()); }
    QList<Call> callsOf(const QString &member) const;
    QMap<QString, Orvex::NetworkManager::Settings> profiles;
    QMap<QString, ActiveConnection> active;
    QString primaryConnection = QStringLiteral("/");
    QString vpnAddress = QStringLiteral("198.18.0.1");

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private:
    void reply(const QDBusMessage &answer);
    void signal(const QString &path, const QString &interface, const QString &name,
                const QList<QVariant> &arguments);
    void activeConnectionsChanged();
    QVariant activePaths() const;
    void setActiveState(const QString &path, uint state);
    void removeActive(const QString &path);
    QVariantMap properties(const QString &path, const QString &interface, bool *known) const;
    QString profileByUuid(const QString &uuid) const;

    QDBusConnection m_bus;
    QString m_name;
    int m_next = 1;
    QMap<QString, std::pair<QString, QString>> m_failures;
    std::optional<QDBusMessage> m_heldActivation;
    QString m_heldPath;
};
