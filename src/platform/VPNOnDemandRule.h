#pragma once

#include <QJsonObject>

#include <optional>

namespace Orvex {

// A rule of the on-demand list. Only "connect" rules exist here: while
// on-demand is on and a rule matches, the tunnel is kept up.
struct VPNOnDemandRule
{
    enum class Action { Connect = 1 };
    enum class InterfaceType { Any = 0, Ethernet = 1, WiFi = 2, Cellular = 3 };

    Action action = Action::Connect;
    InterfaceType interfaceTypeMatch = InterfaceType::Any;

    bool operator==(const VPNOnDemandRule &) const = default;

    QJsonObject toJson() const;
    static std::optional<VPNOnDemandRule> fromJson(const QJsonObject &json);
};

} // namespace Orvex
