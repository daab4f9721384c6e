#include "SingleInstance.h"

#include "platform/Logging.h"

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QTimer>

namespace Orvex {

namespace {

// RequestName's flag and answers, as the bus daemon defines them.
constexpr uint nameFlagDoNotQueue = 4;
constexpr uint namePrimaryOwner = 1;
constexpr uint nameAlreadyOwner = 4;

// A healthy bus answers RequestName in well under a millisecond; a hung one
// must not keep the client from starting for the default 25 s.
constexpr int claimTimeoutMs = 2000;
constexpr int reopenTimeoutMs = 5000;

QDBusMessage busCall(const QString &method)
{
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                          QStringLiteral("/org/freedesktop/DBus"),
                                          QStringLiteral("org.freedesktop.DBus"), method);
}

void debugNote(const QString &text)
{
    qCDebug(lcDesktop, "%s", qPrintable(text));
}

// What the first instance exports: Reopen() only.
class ReopenAdaptor final : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.orvex.Client")

public:
    explicit ReopenAdaptor(SingleInstance *instance);

public Q_SLOTS:
    void Reopen();

private:
    SingleInstance *m_instance;
};

ReopenAdaptor::ReopenAdaptor(SingleInstance *instance)
    : QDBusAbstractAdaptor(instance)
    , m_instance(instance)
{}

void ReopenAdaptor::Reopen()
{
    Q_EMIT m_instance->reopenRequested();
}

} // namespace

QString SingleInstance::objectPath()
{
    return QStringLiteral("/com/orvex/client");
}

QString SingleInstance::interfaceName()
{
    return QStringLiteral("com.orvex.Client");
}

SingleInstance::SingleInstance(QObject *parent)
    : SingleInstance(QDBusConnection::sessionBus(), parent)
{}

SingleInstance::SingleInstance(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
    new ReopenAdaptor(this);
}

SingleInstance::~SingleInstance()
{
    release();
}

SingleInstance::Claim SingleInstance::claim(const QString &appId)
{
    m_appId = appId;
    if (!m_bus.isConnected()) {
        debugNote(QStringLiteral("no session bus (%1); running without the single-instance check")
                      .arg(m_bus.lastError().message()));
        return Claim::FirstInstance;
    }

    // Export Reopen() before owning the name: whoever finds the name owned can
    // call it at once.
    if (!m_objectRegistered)
        m_objectRegistered = m_bus.registerObject(objectPath(), this);

    QDBusMessage request = busCall(QStringLiteral("RequestName"));
    request << appId << nameFlagDoNotQueue;
    const QDBusMessage reply = m_bus.call(request, QDBus::Block, claimTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        debugNote(QStringLiteral("cannot own %1 on the session bus (%2); running without the "
                                 "single-instance check")
                      .arg(appId, reply.errorMessage()));
        return Claim::FirstInstance;
    }

    const uint result = reply.arguments().constFirst().toUInt();
    if (result == namePrimaryOwner || result == nameAlreadyOwner) {
        m_ownsName = true;
        return Claim::FirstInstance;
    }
    if (m_objectRegistered) {
        m_bus.unregisterObject(objectPath());
        m_objectRegistered = false;
    }
    return Claim::AlreadyRunning;
}

void SingleInstance::requestReopen(std::function<void(bool delivered)> done)
{
    if (!m_bus.isConnected() || m_appId.isEmpty()) {
        QTimer::singleShot(0, this, [done = std::move(done)] { done(false); });
        return;
    }
    const QDBusMessage call = QDBusMessage::createMethodCall(m_appId, objectPath(), interfaceName(),
                                                             QStringLiteral("Reopen"));
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, reopenTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [done = std::move(done)](QDBusPendingCallWatcher *w) {
                w->deleteLater();
                done(!w->isError());
            });
}

void SingleInstance::release()
{
    if (m_objectRegistered) {
        m_bus.unregisterObject(objectPath());
        m_objectRegistered = false;
    }
    if (m_ownsName) {
        // Without waiting for the answer: the bus drops the name anyway when
        // this connection closes at exit.
        QDBusMessage request = busCall(QStringLiteral("ReleaseName"));
        request << m_appId;
        m_bus.send(request);
        m_ownsName = false;
    }
}

} // namespace Orvex

#include "SingleInstance.moc"
