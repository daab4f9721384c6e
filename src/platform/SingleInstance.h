#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

namespace Orvex {

// One client per user session. The first client owns its application id as a
// well-known name on the session bus and exports Reopen(); a client started
// while that one runs asks it to bring its window forward and then quits.
//
// In main(), after the QApplication and before any window:
//
//     SingleInstance instance;
//     if (instance.claim(SessionBus::clientAppId) == SingleInstance::Claim::AlreadyRunning) {
//         instance.requestReopen([](bool) { QCoreApplication::exit(0); });
//         return app.exec();
//     }
//     connect(&instance, &SingleInstance::reopenRequested, ...);
//
// Without a session bus the claim succeeds: the client runs, though a second
// one can no longer be told apart.
class SingleInstance final : public QObject
{
    Q_OBJECT

public:
    enum class Claim { FirstInstance, AlreadyRunning };

    // Where the first instance answers Reopen().
    static QString objectPath();
    static QString interfaceName();

    explicit SingleInstance(QObject *parent = nullptr);
    // On another connection than the session bus (tests use a second one).
    explicit SingleInstance(const QDBusConnection &bus, QObject *parent = nullptr);
    ~SingleInstance() override;

    // Tries to own `appId` on the bus. This is the one synchronous bus call in
    // the client, bounded by a short time-out: it runs once at start-up, before
    // any window exists, because main() must know whether to build the user
    // interface at all.
    Claim claim(const QString &appId);

    // After AlreadyRunning: asks the owner of the claimed id to re-open its
    // window. `done` runs later on this thread (never from inside this call)
    // with whether the owner answered.
    void requestReopen(std::function<void(bool delivered)> done);

Q_SIGNALS:
    // Another client was started and asked this one to show its window.
    void reopenRequested();

private:
    void release();

    QDBusConnection m_bus;
    QString m_appId;
    bool m_objectRegistered = false;
    bool m_ownsName = false;
};

} // namespace Orvex
