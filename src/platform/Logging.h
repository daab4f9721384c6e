#pragma once

#include "config/AppLogging.h"

#include <QLoggingCategory>

// The client's logging categories, one per subsystem. Every one of them shows
// warnings only until it is turned on (`orvex --verbose`, or
// QT_LOGGING_RULES="orvex.tunnel.vici=true"); then state changes are info and
// requests and answers in brief are debug. Nothing secret is ever logged: no
// password, check value, token, passphrase or key material, nor a query string
// or body that could carry one.

// The tunnel's state machine: every state change and its cause.
Q_DECLARE_LOGGING_CATEGORY(lcTunnel)
// The traffic block while the tunnel is wanted.
Q_DECLARE_LOGGING_CATEGORY(lcTunnelBlock)
// The VICI backend: charon's commands by name, their success or errmsg.
Q_DECLARE_LOGGING_CATEGORY(lcVici)
// The NetworkManager backend: D-Bus methods by name, their error names.
Q_DECLARE_LOGGING_CATEGORY(lcNetworkManager)
// The service's API: method, path, status and duration of each request.
Q_DECLARE_LOGGING_CATEGORY(lcApi)
// Sign-in, sign-out, the certificate replaced; never the material.
Q_DECLARE_LOGGING_CATEGORY(lcSession)
// Update checks and downloads.
Q_DECLARE_LOGGING_CATEGORY(lcUpdate)
// The desktop: the session bus, notifications, the tray, images, the chart.
Q_DECLARE_LOGGING_CATEGORY(lcDesktop)

namespace Orvex::Logging {

// Routes every message (Qt's own too) for the rest of the process: to the
// systemd journal when the client's stderr is the journal's stream (started
// from a desktop that runs under systemd; only where the client was built with
// libsystemd), else to stderr, one line each, "category: message". `verbose`
// turns every orvex category on and keeps the messages on stderr.
// QT_FORCE_STDERR_LOGGING=1 keeps them on stderr as well.
void install(bool verbose);

} // namespace Orvex::Logging
