#include "VPNBackend.h"

#include <QTimer>

namespace Orvex {

void VPNBackend::describeDaemon(QObject *context, std::function<void(const QString &)> done)
{
    QTimer::singleShot(0, context, [done = std::move(done)] { done(QString()); });
}

} // namespace Orvex
