#include "NetworkManagerConnectivity.h"

#include "platform/nm/NetworkManagerDBus.h"

#include <QDBusArgument>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace Orvex {

namespace NM = NetworkManager;

namespace {

constexpr QLatin1String connectivityProperty("Connectivity");

} // namespace

NetworkManagerConnectivity::NetworkManagerConnectivity(QObject *parent)
    : NetworkManagerConnectivity(QDBusConnection::systemBus(), parent)
{}

NetworkManagerConnectivity::NetworkManagerConnectivity(const QDBusConnection &bus, QObject *parent)
    : NetworkConnectivity(parent)
    , m_bus(bus)
{
    if (!m_bus.isConnected())
        return; // no system bus: nothing to ask, Unknown for good
    // Subscribed before the first read, so that no change slips between
    // the answer and the signals after it.
    m_bus.connect(NM::service, NM::path, NM::propertiesInterface, QStringLiteral("PropertiesChanged"),
                  {NM::interface}, QString(), this, SLOT(onPropertiesChanged(QDBusMessage)));
    m_watcher = new QDBusServiceWatcher(NM::service, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                if (newOwner.isEmpty())
                    report(State::Unknown); // gone: nobody checks any more
                else
                    read();
            });
    read();
}

NetworkManagerConnectivity::~NetworkManagerConnectivity() = default;

void NetworkManagerConnectivity::read()
{
    QDBusMessage get = NM::method(NM::path, NM::propertiesInterface, QStringLiteral("Get"));
    get << NM::interface << connectivityProperty;
    const quint64 before = m_signals;
    NM::call(m_bus, get, this, [this, before](const QDBusMessage &reply) {
        if (m_signals != before)
            return; // a signal since told newer news
        if (NM::isAbsence(reply)) {
            report(State::Unknown);
            return;
        }
        if (NM::isError(reply) || reply.signature() != QLatin1String("v"))
            return;
        take(reply.arguments().constFirst().value<QDBusVariant>().variant());
    });
}

void NetworkManagerConnectivity::onPropertiesChanged(const QDBusMessage &message)
{
    if (message.signature() != QLatin1String("sa{sv}as"))
        return;
    const QList<QVariant> arguments = message.arguments();
    if (arguments.value(0).toString() != NM::interface)
        return;
    const QVariantMap changed = qdbus_cast<QVariantMap>(arguments.value(1));
    const auto found = changed.constFind(connectivityProperty);
    if (found == changed.constEnd())
        return;
    if (take(*found))
        ++m_signals;
}

bool NetworkManagerConnectivity::take(const QVariant &value)
{
    if (value.metaType() != QMetaType::fromType<uint>())
        return false; // not NetworkManager's `u`: ignored
    switch (value.toUInt()) {
    case 1:
        report(State::None);
        break;
    case 2:
        report(State::Portal);
        break;
    case 3:
        report(State::Limited);
        break;
    case 4:
        report(State::Full);
        break;
    default: // 0, or a value this client does not know
        report(State::Unknown);
        break;
    }
    return true;
}

} // namespace Orvex
