#pragma once

#include "ui/BaseHandler.h"
#include "api/CheckForUpdatesResponse.h"

#include <optional>

namespace Orvex {

struct Config;
class NetworkService;

// Downloads the offered installer package into the user's Downloads folder
// and hands it to the system, which opens it with the package installer.
class UpdateHandler final : public BaseHandler
{
    Q_OBJECT

public:
    // Downloads through `network`, from where `config` trusts, checked with
    // its signing key; `config` outlives every download.
    UpdateHandler(NetworkService &network, const Config &config, QObject *parent = nullptr);
    ~UpdateHandler() override;

    std::optional<CheckForUpdatesResponse> updateResponse;

    // Starts the download; nothing happens without an offer whose address is
    // usable. A finished download is opened, then reported as success (even
    // when this handler is gone by then, the package is still opened); a
    // failed one, an error status included, is reported with its error and
    // nothing is opened. Redirects are followed only to addresses the offer's
    // own could have been (UpdatingService::isDownloadAddress); a package may
    // have at most maxPackageSize bytes, its signature
    // PackageSignature::maxSignatureSize. With an update signing key
    // configured, the package is kept only when the signature beside it
    // (address + ".sig") verifies. Either way it is kept only when its own
    // control fields name it packageName at the version offered, newer than
    // the running one. A refused package leaves no file behind and the report
    // says why.
    void download();

    // "Orvex Cloud <version>.deb"; "new" stands in for a missing version. A
    // path separator or control character in the version cannot make the name
    // leave the Downloads folder: it is replaced by "-".
    static QString fileName(const std::optional<CheckForUpdatesResponse> &response);
    // The Downloads folder plus fileName().
    static QString destinationPath(const std::optional<CheckForUpdatesResponse> &response);

    static constexpr QLatin1String packageExtension{".deb"};
    // The client's Debian package, as its packaging names it.
    static constexpr QLatin1String packageName{"orvex"};
    // No package of the client comes near this; a larger download is refused
    // as soon as it announces or outgrows it.
    static constexpr qint64 maxPackageSize = qint64(512) * 1024 * 1024;

Q_SIGNALS:
    // The package is saved at `path` and has been handed to the system.
    void packageOpened(const QString &path);

private:
    NetworkService &m_network;
    const Config &m_config;
};

} // namespace Orvex
