#include "UpdatingService.h"

#include "ui/AppStoryboard.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "ui/Navigator.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "platform/Logging.h"
#include "update/DebianVersion.h"
#include "update/UpdateMessageViewController.h"
#include "update/UpdateViewController.h"

#include <QPointer>

namespace Orvex::UpdatingService {

namespace {

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
           && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && a.port(443) == b.port(443);
}

// What a check the user asked for says when there is nothing newer.
void presentUpToDate(WindowController *window)
{
    auto *message = instantiate<UpdateMessageViewController>(window->context(), AppStoryboard::Settings);
    message->setTitle(QString());
    Navigator::presentModal(window, message);
}

} // namespace

bool isTrustedOrigin(const QUrl &url, const Config &config)
{
    if (sameOrigin(url, QUrl(config.apiBaseURL)))
        return true;
    for (const QString &origin : config.updateHosts) {
        if (sameOrigin(url, QUrl(origin)))
            return true;
    }
    return false;
}

bool isDownloadAddress(const QUrl &url, const Config &config)
{
    return url.isValid() && !url.isRelative() && !url.host().isEmpty()
           && url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
           && url.userInfo().isEmpty() && isTrustedOrigin(url, config);
}

std::optional<QUrl> downloadURL(const CheckUpdateStatus &status, const Config &config)
{
    const QUrl url(status.name, QUrl::StrictMode);
    if (!isDownloadAddress(url, config))
        return std::nullopt;
    return url;
}

bool isNewer(const QString &offered)
{
    return DebianVersion::compare(offered, Utility::applicationVersion()).value_or(0) > 0;
}

void check(WindowController &window, bool isLaunch)
{
    qCDebug(lcUpdate, "checking for updates (%s)", isLaunch ? "at start" : "asked by the user");
    const AppContext &context = window.context();
    const Config &config = context.config;
    QPointer<WindowController> shownIn(&window);
    context.network
        .checkForUpdates(Utility::applicationVersion(), [&config, shownIn, isLaunch](
                                                            const Result<CheckForUpdatesResponse> &result) {
            if (!result.isSuccess()) {
                if (result.error().code() == Error::Code::alreadyUpdated)
                    qCInfo(lcUpdate, "up to date");
                else
                    qCWarning(lcUpdate, "the update check failed: %s",
                              qUtf8Printable(result.error().localizedDescription()));
                if (result.error().code() == Error::Code::alreadyUpdated && !isLaunch && shownIn)
                    presentUpToDate(shownIn);
                return;
            }
            const CheckForUpdatesResponse &response = result.value();
            if (response.status.error || !downloadURL(response.status, config)) {
                qCWarning(lcUpdate, "the update offer has no usable download address");
                return;
            }
            // The service may be wrong or lying about what is current: an
            // offer of this version or an older one is not an update.
            if (!isNewer(response.status.version)) {
                qCInfo(lcUpdate, "offered %s, not newer than this version",
                       qUtf8Printable(response.status.version));
                if (!isLaunch && shownIn)
                    presentUpToDate(shownIn);
                return;
            }
            qCInfo(lcUpdate, "update %s offered", qUtf8Printable(response.status.version));
            if (!shownIn)
                return;
            auto *update = instantiate<UpdateViewController>(shownIn->context(), AppStoryboard::Settings);
            update->setUpdateResponse(response);
            update->setTitle(QString());
            Navigator::presentModal(shownIn, update);
        });
}

} // namespace Orvex::UpdatingService
