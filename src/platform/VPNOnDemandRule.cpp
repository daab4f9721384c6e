#include "VPNOnDemandRule.h"

#include <QJsonValue>

namespace Orvex {

QJsonObject VPNOnDemandRule::toJson() const
{
    return {{QStringLiteral("action"), int(action)},
            {QStringLiteral("interfaceTypeMatch"), int(interfaceTypeMatch)}};
}

std::optional<VPNOnDemandRule> VPNOnDemandRule::fromJson(const QJsonObject &json)
{
    const QJsonValue action = json.value(QLatin1String("action"));
    const QJsonValue match = json.value(QLatin1String("interfaceTypeMatch"));
    if (!action.isDouble() || action.toDouble() != 1.0 || !match.isDouble())
        return std::nullopt;
    const double type = match.toDouble();
    if (type != 0.0 && type != 1.0 && type != 2.0 && type != 3.0)
        return std::nullopt;
    return VPNOnDemandRule{Action::Connect, InterfaceType(int(type))};
}

} // namespace Orvex
