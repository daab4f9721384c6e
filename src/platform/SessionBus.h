#pragma once

#include <QLatin1String>
#include <QString>

#include <functional>

class QObject;

// The session D-Bus as the desktop's registry of running applications and its
// channel for broadcasts between them. Every call here is asynchronous: the
// client's one thread never waits for the bus.
namespace Orvex::SessionBus {

// Well-known bus names, one per program.
inline constexpr QLatin1String clientAppId("com.orvex.client");
inline constexpr QLatin1String launcherAppId("com.orvex.launcher");

// The broadcast that tells a running launcher to quit. Its one string argument
// is the sender's application id. orvex-launcher listens for exactly this.
inline constexpr QLatin1String notificationsPath("/com/orvex/launcher");
inline constexpr QLatin1String notificationsInterface("com.orvex.Notifications");
inline constexpr QLatin1String killLauncherName("killLauncher");

// Asks the bus whether some connection owns the well-known `name` (a running
// program that registered under it). `done` runs later on this thread, never
// from inside this call; it gets false when there is no session bus or the bus
// does not answer. When `context` is destroyed first, `done` is not called.
void isNameOwned(const QString &name, QObject *context, std::function<void(bool owned)> done);

// Broadcasts "killLauncher" with `senderAppId` as its argument. Returns whether
// the message was queued for the bus (false without a session bus); nobody has
// to be listening.
bool postKillLauncher(const QString &senderAppId);

} // namespace Orvex::SessionBus
