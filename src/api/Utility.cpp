#include "Utility.h"

#include "Version.h"
#include "platform/SystemInfo.h"

#include <QCryptographicHash>

namespace Orvex::Utility {

std::optional<QString> platformUUID()
{
    return SystemInfo::machineId();
}

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

QString udid(const QString &email)
{
    const auto uuid = platformUUID();
    if (!uuid)
        return {};
    return md5Hex(*uuid + u'@' + email);
}

QString applicationVersion()
{
    return QStringLiteral(ORVEX_SHORT_VERSION "." ORVEX_BUILD_NUMBER);
}

QString systemVersion()
{
    return SystemInfo::kernelVersion();
}

} // namespace Orvex::Utility
