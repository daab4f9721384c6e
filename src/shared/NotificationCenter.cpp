#include "NotificationCenter.h"

namespace Orvex {

NotificationCenter &NotificationCenter::defaultCenter()
{
    static NotificationCenter *center = new NotificationCenter;
    return *center;
}

void NotificationCenter::post(const QString &name, const QVariant &object)
{
    Q_EMIT notified(name, object);
}

QMetaObject::Connection NotificationCenter::observe(const QString &name, const QObject *context,
                                                    std::function<void(const QVariant &)> handler)
{
    return connect(this, &NotificationCenter::notified, context,
                   [name, handler = std::move(handler)](const QString &posted, const QVariant &object) {
                       if (posted == name)
                           handler(object);
                   });
}

} // namespace Orvex
