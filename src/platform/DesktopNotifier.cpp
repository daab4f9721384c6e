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

// The server may read markup in the body: what is shown is plain text.
QString plain(const QString &text)
{
    return bounded(text).toHtmlEscaped();
}

} // namespace

FreedesktopNotifier::FreedesktopNotifier(QObject *parent)
    : DesktopNotifier(parent)
{}

void FreedesktopNotifier::show(const QString &summary, const QString &body)
{
    // The id of the one on screen is known only from the server's answer: a
    // newer one waits for it, or it would stack.
    if (m_waiting) {
        if (m_queue.size() >= maxQueued)
            m_queue.removeFirst();
        m_queue.append(std::make_pair(summary, body));
        return;
    }
    m_waiting = true;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("/org/freedesktop/Notifications"),
                                                       QStringLiteral("org.freedesktop.Notifications"),
                                                       QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QString(SessionBus::clientAppId));
    hints.insert(QStringLiteral("category"), QStringLiteral("network"));
    call << QStringLiteral("Orvex Cloud")                    // app_name
         << m_lastId                                         // replaces_id
         << QString(SessionBus::clientAppId)                 // app_icon
         << bounded(summary) << plain(body) << QStringList() // actions
         << hints << qint32(-1);                             // expire_timeout: the server's choice
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
        if (!self->m_queue.isEmpty()) {
            const auto next = self->m_queue.takeFirst();
            self->show(next.first, next.second);
        }
    });
}

} // namespace Orvex
