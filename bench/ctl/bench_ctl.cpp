// How long orvexctl takes from exec to exit: without the bus (--version) and
// with one round trip to the client (status), the client stood in for by an
// object of this process on a private session bus. Median, min and max of
// 30 runs each, in milliseconds.

#include "PrivateBus.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <cstdio>

// The properties orvexctl reads, as a connected client answers them.
class StandInClient final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.orvex.Client1")
    Q_PROPERTY(QString State READ connected)
    Q_PROPERTY(QString Status READ connected)
    Q_PROPERTY(QString Reason READ empty)
    Q_PROPERTY(QString LastChange READ lastChange)
    Q_PROPERTY(QString Gateway READ gateway)
    Q_PROPERTY(QStringList VirtualAddresses READ addresses)
    Q_PROPERTY(QString Email READ email)

public:
    QString connected() const { return QStringLiteral("Connected"); }
    QString empty() const { return {}; }
    QString lastChange() const { return QStringLiteral("2026-12-08T04:00:00Z"); }
    QString gateway() const { return QStringLiteral("vpn.orvex.example"); }
    QStringList addresses() const { return {QStringLiteral("10.10.0.2")}; }
    QString email() const { return QStringLiteral("ann@example.com"); }
};

namespace {

void measure(const char *what, const QStringList &arguments, const QString &bus)
{
    QList<double> ms;
    for (int i = 0; i < 30; ++i) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        process.setProcessEnvironment(environment);
        // The event loop runs meanwhile: this process answers the call.
        QEventLoop loop;
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
        QElapsedTimer timer;
        timer.start();
        process.start(QStringLiteral(ORVEX_CTL_BINARY), arguments);
        loop.exec();
        ms << timer.nsecsElapsed() / 1e6;
        if (process.exitCode() != 0)
            std::fprintf(stderr, "orvexctl %s: exit %d\n", what, process.exitCode());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("orvexctl %-10s start to exit: median %.1f ms (min %.1f, max %.1f, %lld runs)\n", what,
                ms.at(ms.size() / 2), ms.first(), ms.last(), static_cast<long long>(ms.size()));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    PrivateBus bus;
    if (!bus.isRunning()) {
        std::fprintf(stderr, "%s\n", qPrintable(bus.error()));
        return 1;
    }
    QDBusConnection connection = QDBusConnection::connectToBus(bus.address(), QStringLiteral("bench"));
    StandInClient client;
    connection.registerObject(QStringLiteral("/org/orvex/Client"), &client,
                              QDBusConnection::ExportAllProperties);
    connection.registerService(QStringLiteral("org.orvex.Client1"));
    measure("--version", {QStringLiteral("--version")}, bus.address());
    measure("status", {QStringLiteral("status")}, bus.address());
    return 0;
}

#include "bench_ctl.moc"
