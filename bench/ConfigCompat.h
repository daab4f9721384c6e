#pragma once

// What a benchmark sets in the configuration only where the client being
// measured has it: `scripts/bench --compare` builds these same benchmarks
// against an older tree.

#include <QString>

namespace BenchConfig {

// The namespace the traffic block guards, for clients that have one.
template<typename Config>
void setGuardedNamespace(Config &config, [[maybe_unused]] const QString &path)
{
    if constexpr (requires { config.viciNetworkNamespace; })
        config.viciNetworkNamespace = path;
}

} // namespace BenchConfig
