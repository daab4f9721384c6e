#include "VPNPreferences.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace Orvex {

bool VPNPreferences::canConnect() const
{
    return enabled && protocolConfiguration
           && protocolConfiguration->authenticationMethod
                  == VPNProtocolIKEv2::AuthenticationMethod::Certificate;
}

bool VPNPreferences::wantsTunnelKeptUp() const
{
    if (!canConnect() || !onDemandEnabled)
        return false;
    for (const VPNOnDemandRule &rule : onDemandRules) {
        if (rule.action == VPNOnDemandRule::Action::Connect
            && rule.interfaceTypeMatch == VPNOnDemandRule::InterfaceType::Any)
            return true;
    }
    return false;
}

QByteArray VPNPreferences::toJson() const
{
    QJsonArray rules;
    for (const VPNOnDemandRule &rule : onDemandRules)
        rules.append(rule.toJson());
    QJsonObject json{{QStringLiteral("enabled"), enabled},
                     {QStringLiteral("onDemandEnabled"), onDemandEnabled},
                     {QStringLiteral("onDemandRules"), rules}};
    if (protocolConfiguration)
        json.insert(QStringLiteral("protocolConfiguration"), protocolConfiguration->toJson());
    return QJsonDocument(json).toJson();
}

Outcome<VPNPreferences> VPNPreferences::fromJson(const QByteArray &bytes)
{
    const auto fail = [](const QString &reason) { return Outcome<VPNPreferences>::failure(reason); };
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !doc.isObject())
        return fail(QStringLiteral("the saved VPN configuration is not valid JSON"));
    const QJsonObject json = doc.object();
    VPNPreferences prefs;
    const QJsonValue enabled = json.value(QLatin1String("enabled"));
    const QJsonValue onDemand = json.value(QLatin1String("onDemandEnabled"));
    const QJsonValue rules = json.value(QLatin1String("onDemandRules"));
    if (!enabled.isBool() || !onDemand.isBool() || !rules.isArray())
        return fail(QStringLiteral("the saved VPN configuration lacks its switches"));
    prefs.enabled = enabled.toBool();
    prefs.onDemandEnabled = onDemand.toBool();
    for (const QJsonArray list = rules.toArray(); const auto &value : list) {
        const auto rule = value.isObject() ? VPNOnDemandRule::fromJson(value.toObject()) : std::nullopt;
        if (!rule)
            return fail(QStringLiteral("the saved VPN configuration has an unknown on-demand rule"));
        prefs.onDemandRules.append(*rule);
    }
    if (json.contains(QLatin1String("protocolConfiguration"))) {
        const QJsonValue protocol = json.value(QLatin1String("protocolConfiguration"));
        prefs.protocolConfiguration = protocol.isObject() ? VPNProtocolIKEv2::fromJson(protocol.toObject())
                                                          : std::nullopt;
        if (!prefs.protocolConfiguration)
            return fail(QStringLiteral("the saved VPN configuration has invalid IKEv2 settings"));
    }
    return Outcome<VPNPreferences>::success(prefs);
}

} // namespace Orvex
