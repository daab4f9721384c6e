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
    quint32 m_lastId = 0;
    bool m_waiting = false;
    QList<std::pair<QString, QString>> m_queue;
};

} // namespace Orvex
