#include "LeakGuard.h"

#include <QHostInfo>
#include <QTimer>

namespace Orvex {

void LeakGuard::lookUp(const QString &host, QObject *context, Addresses done)
{
    const QHostAddress literal(host);
    if (!literal.isNull()) {
        QTimer::singleShot(0, context, [literal, done = std::move(done)] { done({literal}); });
        return;
    }
    QHostInfo::lookupHost(host, context,
                          [done = std::move(done)](const QHostInfo &info) { done(info.addresses()); });
}

} // namespace Orvex
