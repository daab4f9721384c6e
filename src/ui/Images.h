#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QStringList>

namespace Orvex {

// The client's named images ("ic_enable", "app_status_icon", ...), drawn as
// SVGs and compiled into the library under ":/images/<name>.svg".
//
// Each name is created once per process and the same icon is handed out from
// then on, so every place showing "ic_enable" shares one icon and its rendered
// pixmaps. An unknown name gives a null icon (remembered too); the first request
// for it is logged (orvex.desktop, debug). Main thread only.
class Images final
{
public:
    Images() = delete;

    static QIcon named(const QString &name);

    // The named image rendered at `size` device-independent pixels for a
    // screen of `devicePixelRatio` (0: the application's), so it stays sharp
    // on HiDPI screens. Null for an unknown name.
    static QPixmap pixmap(const QString &name, const QSize &size, qreal devicePixelRatio = 0);

    // Where the image of `name` lives in the resources.
    static QString path(const QString &name);

    // Every name the client uses.
    static QStringList names();
};

} // namespace Orvex
