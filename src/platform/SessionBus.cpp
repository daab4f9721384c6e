#include "SessionBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QTimer>

namespace Orvex::SessionBus {

namespace {

const QString busService = QStringLiteral("org.freedesktop.DBus");
const QString busPath = QStringLiteral("/org/freedesktop/DBus");
const QString busInterface = QStringLiteral("org.freedesktop.DBus");

// Runs `done(value)` on a later turn of the event loop, so callers see the same
// order of events whether or not the bus was reached.
void answerLater(QObject *context, std::function<void(bool)> done, bool value)
{
    const bool guarded = context != nullptr;
    QPointer<QObject> guard(context);
    QTimer::singleShot(0, [guard, guarded, done = std::move(done), value] {
        if (guarded && !guard)
            return;
        done(value);
    });
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
