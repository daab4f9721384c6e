#pragma once

#include <QObject>

#include <functional>

namespace Orvex {

// Where handlers learn whether the tunnel is connected: the saved tunnel
// configuration is loaded once per observer, then the observer hears of every
// status change of the tunnel's connection and reads the status itself with
// `isConnected`; nothing keeps a copy. The tunnel layer installs the real
// source; without one nothing is delivered.
namespace TunnelStatusSource {

using Observer = std::function<void()>;
using Installer = std::function<void(QObject *context, Observer observer)>;
using Reader = std::function<bool()>;

// Tells `observer` of status changes for as long as `context` lives.
void observe(QObject *context, Observer observer);

// The tunnel is connected now, as its owner shows it; false without a source.
bool isConnected();

void install(Installer installer, Reader connected = {});

} // namespace TunnelStatusSource

} // namespace Orvex
