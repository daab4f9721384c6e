#include "Launcher.h"

#include <QCoreApplication>
#include <QTimer>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orvex-launcher"));

    Orvex::Launcher launcher;
    QTimer::singleShot(0, &launcher, &Orvex::Launcher::start);
    return app.exec();
}
