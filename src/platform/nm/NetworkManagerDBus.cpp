#include "NetworkManagerDBus.h"

#include <QDBusMetaType>

namespace Orvex::NetworkManager {

void registerTypes()
{
    static const bool registered = [] {
        qDBusRegisterMetaType<StringMap>();
        qDBusRegisterMetaType<Settings>();
        qDBusRegisterMetaType<QList<QVariantMap>>();
        return true;
    }();
    Q_UNUSED(registered)
}

namespace {

template<typename T>
T demarshalled(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<T>())
        return value.value<T>();
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return qdbus_cast<T>(value.value<QDBusArgument>());
    return {};
}

} // namespace

QList<QDBusObjectPath> objectPaths(const QVariant &value)
{
    registerTypes();
    return demarshalled<QList<QDBusObjectPath>>(value);
}

QString objectPath(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    return {};
}

QList<QVariantMap> mapList(const QVariant &value)
{
    registerTypes();
    return demarshalled<QList<QVariantMap>>(value);
}

Settings settings(const QVariant &value)
{
    registerTypes();
    return demarshalled<Settings>(value);
}

StringMap stringMap(const QVariant &value)
{
    registerTypes();
    return demarshalled<StringMap>(value);
}

} // namespace Orvex::NetworkManager
