#pragma once

#include <QObject>
#include <QString>
#include <QVariant>

namespace Orvex {

// The application's own notifications, by their names ("DidRecieveDeviceUsage",
// "DidRecieveSupportResponse"). Observers connect to `notified` and filter on
// the name; the object travels as a QVariant.
class NotificationCenter final : public QObject
{
    Q_OBJECT

public:
    static NotificationCenter &defaultCenter();

    void post(const QString &name, const QVariant &object = {});

    // Calls `handler` for every notification named `name` until `context` is
    // destroyed (so observers need no clean-up of their own).
    QMetaObject::Connection observe(const QString &name, const QObject *context,
                                    std::function<void(const QVariant &)> handler);

Q_SIGNALS:
    void notified(const QString &name, const QVariant &object);

private:
    NotificationCenter() = default;
};

namespace Notifications {
inline const QString didRecieveDeviceUsage = QStringLiteral("DidRecieveDeviceUsage");
inline const QString didRecieveSupportResponse = QStringLiteral("DidRecieveSupportResponse");
} // namespace Notifications

} // namespace Orvex
