#pragma once

#include "api/CheckForUpdatesResponse.h"

#include <QUrl>

#include <optional>

namespace Orvex {

struct Config;
class WindowController;

// The update check: asks the service whether a newer version exists and
// offers it in a window. At launch only an offer is shown; from the menu the
// answer "already up to date" is shown too, and so is an offer of a version
// that is not newer than the running one. Every other outcome (no answer,
// an undecodable one, an answer that offers nothing usable) shows nothing.
namespace UpdatingService {

// Starts the check through the network service of `window`'s context and
// returns at once; what it has to say is shown in `window` (nothing once that
// has gone), and an offer must come from where the context's configuration
// trusts.
void check(WindowController &window, bool isLaunch);

// The package's download address when the answer offers one: an absolute
// https URL on the service's own origin or one `config` lists in updateHosts.
// Anything else (a bare word, a relative path, plain http, another host) is
// not an address to download an installer from.
std::optional<QUrl> downloadURL(const CheckUpdateStatus &status, const Config &config);

// Whether `url` is on the API's origin or one of the update hosts of `config`
// (scheme, host and port alike).
bool isTrustedOrigin(const QUrl &url, const Config &config);

// Whether a package or its signature may be fetched from `url`, at the start
// or at any redirect on the way: an absolute https URL without user name on a
// trusted origin.
bool isDownloadAddress(const QUrl &url, const Config &config);

// Whether `offered` is a newer version than the running one, in the package
// manager's ordering. An offer that is not a valid version is not newer.
bool isNewer(const QString &offered);

} // namespace UpdatingService

} // namespace Orvex
