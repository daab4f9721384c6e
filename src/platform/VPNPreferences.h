#pragma once

#include "base/Outcome.h"
#include "platform/VPNOnDemandRule.h"
#include "platform/VPNProtocolIKEv2.h"

#include <QByteArray>
#include <QList>

#include <optional>

namespace Orvex {

// Everything the saved tunnel configuration holds: what `VPNManager` edits,
// writes to disk and hands to its backend.
struct VPNPreferences
{
    std::optional<VPNProtocolIKEv2> protocolConfiguration;
    bool enabled = false;
    QList<VPNOnDemandRule> onDemandRules;
    bool onDemandEnabled = false;

    bool operator==(const VPNPreferences &) const = default;

    // Whether the configuration asks for the tunnel to be kept up: enabled,
    // on-demand on with a rule that matches any interface (the only kind this
    // machine can tell apart), and authentication that can come up at all.
    bool wantsTunnelKeptUp() const;
    // Whether the daemon should have the connection loaded.
    bool canConnect() const;

    QByteArray toJson() const;
    // Fails with why for a file that is not a configuration.
    static Outcome<VPNPreferences> fromJson(const QByteArray &bytes);
};

} // namespace Orvex
