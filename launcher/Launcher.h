#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

namespace Orvex {

// The login-item launcher: owns "com.orvex.launcher" on the session bus, starts
// the client and quits when the client broadcasts "killLauncher". Exit status
// 0 when it did its job or found another launcher running, 1 when the client
// could not be started.
class Launcher final : public QObject
{
    Q_OBJECT

public:
    explicit Launcher(QObject *parent = nullptr);

    // Starts the sequence; the event loop carries it on.
    void start();

    // The client's executable: $ORVEX_CLIENT_BINARY when set, else `orvex`
    // beside this program, else the first `orvex` on PATH; empty if none.
    static QString clientBinary();

public Q_SLOTS:
    // The broadcast's handler (a slot, as QtDBus delivers signals to slots).
    void killLauncher(const QString &senderAppId);

private:
    void onNameRequested(bool owned, bool busAnswered);
    void startClient(bool stayForKill);

    QDBusConnection m_bus;
};

} // namespace Orvex
