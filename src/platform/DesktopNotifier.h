#pragma once

#include <QObject>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

namespace Orvex {

// Shows the client's notifications on the desktop. Each one replaces the one
// shown before, so news about the tunnel never piles up.
class DesktopNotifier : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual void show(const QString &summary, const QString &body) = 0;
};

// org.freedesktop.Notifications on the session bus. Calls are asynchronous;
// the id the server answers is sent back as `replaces_id` with the next one.
// No server on the bus means no notification, and nothing else happens.
//
// Texts are shown as plain text. A server that reads markup in the body (its
// capabilities list "body-markup") gets the body escaped; one that does not
// gets it as it is, since it would show the escapes. The capabilities are
// asked once, before the first notification, which waits for the answer;
// without one the body is escaped.
class FreedesktopNotifier final : public DesktopNotifier
{
    Q_OBJECT

public:
    explicit FreedesktopNotifier(QObject *parent = nullptr);

    void show(const QString &summary, const QString &body) override;

    static constexpr int maxTextLength = 400;
    // Waiting while the server is slow to answer; the oldest go first.
    static constexpr int maxQueued = 8;

private:
    void sendNext();
    void askCapabilities();

    quint32 m_lastId = 0;
    bool m_waiting = false;
    bool m_capabilitiesKnown = false;
    bool m_readsMarkup = true;
    QList<std::pair<QString, QString>> m_queue;
};

} // namespace Orvex
