#pragma once

#include "update/CheckForUpdatesResponse.h"

#include <QUrl>

#include <optional>

namespace Orvex {

// The update check: asks the service whether a newer version exists and
// offers it in a window. At launch only an offer is shown; from the menu the
// answer "already up to date" is shown too. Every other outcome (no answer,
// an undecodable one, an answer that offers nothing usable) shows nothing.
namespace UpdatingService {

// Starts the check and returns at once.
void check(bool isLaunch);

// The package's download address when the answer offers one: an absolute
// https URL with a host. Anything else (a bare word, a relative path, plain
// http) is not an address to download an installer from.
std::optional<QUrl> downloadURL(const CheckUpdateStatus &status);

} // namespace UpdatingService

} // namespace Orvex
