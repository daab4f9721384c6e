#include "DesktopNotifier.h"

#include "platform/SessionBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>

#include <utility>

namespace Orvex {

namespace {

QString bounded(const QString &text)
{
    return text.left(FreedesktopNotifier::maxTextLength);
}

} // namespace

FreedesktopNotifier::FreedesktopNotifier(QObject *parent)
    : DesktopNotifier(parent)
{}

void FreedesktopNotifier::show(const QString &summary, const QString &body)
{
    if (m_queue.size() >= maxQueued)
        m_queue.removeFirst();
    m_queue.append(std::make_pair(summary, body));
    sendNext();
}

void FreedesktopNotifier::askCapabilities()
{
    const QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                             QStringLiteral("/org/freedesktop/Notifications"),
                                                             QStringLiteral("org.freedesktop.Notifications"),
                                                             QStringLiteral("GetCapabilities"));
    QPointer<FreedesktopNotifier> self(this);
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [self, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QStringList> reply = *watcher;
        if (!self)
            return;
        // Asked once: a server that does not answer is taken to read markup,
        // so nothing it is sent can turn into markup.
        self->m_capabilitiesKnown = true;
        self->m_readsMarkup = reply.isError() || reply.value().contains(QLatin1String("body-markup"));
        self->m_waiting = false;
        self->sendNext();
    });
}

void FreedesktopNotifier::sendNext()
{
    // The id of the one on screen is known only from the server's answer: a
    // newer one waits for it, or it would stack.
    if (m_waiting || m_queue.isEmpty())
        return;
    m_waiting = true;
    if (!m_capabilitiesKnown) {
        askCapabilities();
        return;
    }
    const auto [summary, body] = m_queue.takeFirst();
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("/org/freedesktop/Notifications"),
                                                       QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QString(SessionBus::clientAppId));
    hints.insert(QStringLiteral("category"), QStringLiteral("network"));
    call << QStringLiteral("Orvex Cloud")    // app_name
         << m_lastId                         // replaces_id
         << QString(SessionBus::clientAppId) // app_icon
         << bounded(summary) << (m_readsMarkup ? bounded(body).toHtmlEscaped() : bounded(body))
         << QStringList()        // actions
         << hints << qint32(-1); // expire_timeout: the server's choice
    QPointer<FreedesktopNotifier> self(this);
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [self, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<quint32> reply = *watcher;
        if (!self)
            return;
        if (!reply.isError())
            self->m_lastId = reply.value();
        self->m_waiting = false;
        self->sendNext();
    });
}

} // namespace Orvex
