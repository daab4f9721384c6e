#include "SessionBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QTimer>

namespace Orvex::SessionBus {

namespace {

constexpr QLatin1String busService("org.freedesktop.DBus");
constexpr QLatin1String busPath("/org/freedesktop/DBus");
constexpr QLatin1String busInterface("org.freedesktop.DBus");

// Runs `done(value)` on a later turn of the event loop, so callers see the same
// order of events whether or not the bus was reached.
void answerLater(QObject *context, std::function<void(bool)> done, bool value)
{
    auto answer = [done = std::move(done), value] { done(value); };
    if (context) {
        QTimer::singleShot(0, context, std::move(answer));
        return;
    }
    // Nothing to outlive: the answer holds all it uses.
    QTimer::singleShot(0, std::move(answer)); // clazy:exclude=connect-3arg-lambda
}

} // namespace

void isNameOwned(const QString &name, QObject *context, std::function<void(bool owned)> done)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        answerLater(context, std::move(done), false);
        return;
    }

    QDBusMessage message = QDBusMessage::createMethodCall(busService, busPath, busInterface,
                                                          QStringLiteral("NameHasOwner"));
    message << name;
    // The watcher is the context's child: destroying the context drops the
    // pending answer together with its callback.
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [done = std::move(done)](QDBusPendingCallWatcher *w) {
                         const QDBusPendingReply<bool> reply = *w;
                         w->deleteLater();
                         done(reply.isValid() && reply.value());
                     });
}

bool postKillLauncher(const QString &senderAppId)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    QDBusMessage signal = QDBusMessage::createSignal(notificationsPath, notificationsInterface,
                                                     killLauncherName);
    signal << senderAppId;
    return bus.send(signal);
}

} // namespace Orvex::SessionBus
