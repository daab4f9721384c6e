#include "Images.h"

#include "platform/Logging.h"

#include <QFile>
#include <QGuiApplication>
#include <QHash>

namespace Orvex {

namespace {

QHash<QString, QIcon> &cache()
{
    static QHash<QString, QIcon> icons;
    return icons;
}

} // namespace

QString Images::path(const QString &name)
{
    return QStringLiteral(":/images/%1.svg").arg(name);
}

QStringList Images::names()
{
    return {
        QStringLiteral("app_status_icon"), QStringLiteral("app_status_icon_off"),
        QStringLiteral("ic_info_black"),   QStringLiteral("ic_help_black"),
        QStringLiteral("ic_checkbox_on"),  QStringLiteral("ic_checkbox_off"),
        QStringLiteral("ic_enable"),       QStringLiteral("ic_disable"),
        QStringLiteral("orvex"),
    };
}

QIcon Images::named(const QString &name)
{
    QHash<QString, QIcon> &icons = cache();
    const auto found = icons.constFind(name);
    if (found != icons.constEnd())
        return found.value();

    // QIcon accepts any file name and only fails later, when drawn; a missing
    // resource has to be caught here to give the caller a null icon.
    const QString file = path(name);
    QIcon icon;
    if (!name.isEmpty() && QFile::exists(file))
        icon = QIcon(file);
    else
        qCDebug(lcDesktop, "no image named \"%s\"", qUtf8Printable(name));
    icons.insert(name, icon);
    return icon;
}

QPixmap Images::pixmap(const QString &name, const QSize &size, qreal devicePixelRatio)
{
    const QIcon icon = named(name);
    if (icon.isNull())
        return {};
    if (devicePixelRatio <= 0)
        devicePixelRatio = qApp ? qApp->devicePixelRatio() : 1.0;
    return icon.pixmap(size, devicePixelRatio);
}

} // namespace Orvex
