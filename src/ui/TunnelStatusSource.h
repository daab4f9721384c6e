#pragma once

#include <QObject>

#include <functional>

namespace Orvex {

// Where handlers learn whether the tunnel is connected: the saved tunnel
// configuration is loaded once per observer, then every status change of the
// tunnel's connection is delivered. The tunnel layer installs the real source;
// without one nothing is delivered.
namespace TunnelStatusSource {

using Observer = std::function<void(bool connected)>;
using Installer = std::function<void(QObject *context, Observer observer)>;

// Delivers status changes to `observer` for as long as `context` lives.
void observe(QObject *context, Observer observer);

void install(Installer installer);

} // namespace TunnelStatusSource

} // namespace Orvex
