#include "UpdatingService.h"

#include "Shared/Extensions/AppStoryboard.h"
#include "account/Utility.h"
#include "api/NetworkService.h"
#include "app/Navigator.h"
#include "update/UpdateMessageViewController.h"
#include "update/UpdateViewController.h"

namespace Orvex::UpdatingService {

std::optional<QUrl> downloadURL(const CheckUpdateStatus &status)
{
    const QUrl url(status.name, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty()
        || url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    return url;
}

void check(bool isLaunch)
{
    NetworkService::shared().checkForUpdates(
        Utility::applicationVersion(), [isLaunch](const Result<CheckForUpdatesResponse> &result) {
            if (!result.isSuccess()) {
                if (result.error().code() == Error::Code::alreadyUpdated && !isLaunch) {
                    auto *message = instantiate<UpdateMessageViewController>(AppStoryboard::Settings);
                    message->setTitle(QString());
                    Navigator::presentModal(message);
                }
                return;
            }
            const CheckForUpdatesResponse &response = result.value();
            if (response.status.error || !downloadURL(response.status))
                return;
            auto *update = instantiate<UpdateViewController>(AppStoryboard::Settings);
            update->setUpdateResponse(response);
            update->setTitle(QString());
            Navigator::presentModal(update);
        });
}

} // namespace Orvex::UpdatingService
