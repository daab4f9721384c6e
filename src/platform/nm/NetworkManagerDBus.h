#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>

// NetworkManager's D-Bus names and the types of its settings, as its
// 1.42 interface defines them.

namespace Orvex::NetworkManager {

// A connection profile: setting name -> (key -> value), D-Bus a{sa{sv}}.
using Settings = QMap<QString, QVariantMap>;
// The VPN plugin's own keys (`vpn.data`, `vpn.secrets`), D-Bus a{ss}.
using StringMap = QMap<QString, QString>;

inline const QString service = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString path = QStringLiteral("/org/freedesktop/NetworkManager");
inline const QString interface = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString settingsPath = QStringLiteral("/org/freedesktop/NetworkManager/Settings");
inline const QString settingsInterface = QStringLiteral("org.freedesktop.NetworkManager.Settings");
inline const QString connectionInterface = QStringLiteral(
    "org.freedesktop.NetworkManager.Settings.Connection");
inline const QString activeInterface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
inline const QString vpnInterface = QStringLiteral("org.freedesktop.NetworkManager.VPN.Connection");
inline const QString ip4ConfigInterface = QStringLiteral("org.freedesktop.NetworkManager.IP4Config");
inline const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// The strongSwan plugin's VPN service, as profiles name it.
inline const QString strongswanService = QStringLiteral("org.freedesktop.NetworkManager.strongswan");

// Error names NetworkManager answers with.
inline const QString invalidConnectionError = QStringLiteral(
    "org.freedesktop.NetworkManager.Settings.InvalidConnection");
inline const QString connectionNotActiveError = QStringLiteral(
    "org.freedesktop.NetworkManager.ConnectionNotActive");
// A look-up by UUID answers this when the profile exists but belongs to
// another user: the UUID is taken.
inline const QString settingsPermissionDeniedError = QStringLiteral(
    "org.freedesktop.NetworkManager.Settings.PermissionDenied");

// Settings.AddConnection2 / Settings.Connection.Update2 flags.
constexpr uint saveToDisk = 0x1;

// VPN.Connection.VpnState.
enum class VpnState : uint {
    Unknown = 0,
    Prepare = 1,
    NeedAuth = 2,
    Connect = 3,
    IpConfigGet = 4,
    Activated = 5,
    Failed = 6,
    Disconnected = 7,
};

// Why a VPN failed, as VpnStateChanged tells (the VPN's own reasons, not
// the active connection's).
enum class VPNFailureReason : uint {
    ServiceStopped = 4,
    IpConfigInvalid = 5,
    ConnectTimeout = 6,
    ServiceStartTimeout = 7,
    ServiceStartFailed = 8,
    NoSecrets = 9,
    LoginFailed = 10,
};

// Connection.Active.State.
enum class ActiveState : uint {
    Unknown = 0,
    Activating = 1,
    Activated = 2,
    Deactivating = 3,
    Deactivated = 4,
};

// Registers the settings types with Qt D-Bus; safe to call again.
void registerTypes();

// Readers for values that arrive inside variants, where Qt D-Bus leaves
// anything but basic types as a QDBusArgument.
QList<QDBusObjectPath> objectPaths(const QVariant &value);
QString objectPath(const QVariant &value);
QList<QVariantMap> mapList(const QVariant &value);
Settings settings(const QVariant &value);
StringMap stringMap(const QVariant &value);

template<typename Enum>
Enum fromVariant(const QVariant &value)
{
    return static_cast<Enum>(value.toUInt());
}

// A method call to NetworkManager.
QDBusMessage method(const QString &path, const QString &interface, const QString &name);
// Sends `message` without blocking; `handler` gets the answer (an error when
// there is no bus) from the event loop, while `context` lives.
void call(const QDBusConnection &bus, const QDBusMessage &message, QObject *context,
          std::function<void(const QDBusMessage &reply)> handler);

// What an answer says.
bool isError(const QDBusMessage &reply);
// No NetworkManager on the bus, or no bus at all.
bool isAbsence(const QDBusMessage &reply);
// polkit said no (NetworkManager's PermissionDenied errors of the manager and
// of its settings), or the bus's policy did.
bool isRefusal(const QDBusMessage &reply);
QString describe(const QDBusMessage &reply);

// What the user is told.
QString notRunningText();
QString pluginMissingText();
QString refusedText();

} // namespace Orvex::NetworkManager
