#pragma once

#include "base/Outcome.h"
#include "platform/VpnOnDemandRule.h"
#include "platform/VpnProtocolIKEv2.h"

#include <QByteArray>
#include <QList>

#include <optional>

namespace Orvex {

// Everything the saved tunnel configuration holds: what `VpnManager` edits,
// writes to disk and hands to its backend.
struct VpnPreferences
{
    std::optional<VpnProtocolIKEv2> protocolConfiguration;
    bool enabled = false;
    QList<VpnOnDemandRule> onDemandRules;
    bool onDemandEnabled = false;

    bool operator==(const VpnPreferences &) const = default;

    // Whether the configuration asks for the tunnel to be kept up: enabled,
    // on-demand on with a rule that matches any interface (the only kind this
    // machine can tell apart), and authentication that can come up at all.
    bool wantsTunnelKeptUp() const;
    // Whether the daemon should have the connection loaded.
    bool canConnect() const;

    QByteArray toJson() const;
    // Fails with why for a file that is not a configuration.
    static Outcome<VpnPreferences> fromJson(const QByteArray &bytes);
};

} // namespace Orvex
