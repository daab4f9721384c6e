#include "account/Utility.h"
#include "config/Config.h"

#include <QApplication>
#include <QLabel>

int main(int argc, char *argv[])
{
    // A bad configuration stops the client here, before any window or request.
    Orvex::Config::loadOrExit();

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("orvex"));
    QApplication::setApplicationName(QStringLiteral("orvex"));
    QApplication::setApplicationVersion(Orvex::Utility::applicationVersion());

    QLabel window(QStringLiteral("Orvex %1").arg(Orvex::Utility::applicationVersion()));
    window.setMinimumSize(320, 120);
    window.setAlignment(Qt::AlignCenter);
    window.show();
    return app.exec();
}
