#include "UpdateHandler.h"

#include "api/NetworkService.h"
#include "update/UpdatingService.h"

#include <QDesktopServices>
#include <QDir>
#include <QPointer>
#include <QStandardPaths>
#include <QUrl>

namespace Orvex {

UpdateHandler::UpdateHandler(QObject *parent)
    : BaseHandler(parent)
{}

UpdateHandler::~UpdateHandler() = default;

QString UpdateHandler::fileName(const std::optional<CheckForUpdatesResponse> &response)
{
    QString version = response ? response->status.version : QStringLiteral("new");
    for (QChar &c : version) {
        if (c == u'/' || c == u'\\' || c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u'-';
    }
    return QStringLiteral("Orvex Cloud ") + version + packageExtension;
}

QString UpdateHandler::destinationPath(const std::optional<CheckForUpdatesResponse> &response)
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    return QDir(folder).filePath(fileName(response));
}

void UpdateHandler::download()
{
    if (!updateResponse)
        return;
    const std::optional<QUrl> source = UpdatingService::downloadURL(updateResponse->status);
    if (!source)
        return;
    const QString destination = destinationPath(updateResponse);
    QPointer<UpdateHandler> self(this);
    NetworkService::shared().download(*source, destination, [self, destination](const Result<Empty> &result) {
        if (!result.isSuccess()) {
            if (self)
                self->report(result.error());
            return;
        }
        // Whether a program could be found to open it is not ours to judge:
        // the package is saved in Downloads either way.
        QDesktopServices::openUrl(QUrl::fromLocalFile(destination));
        if (self) {
            Q_EMIT self->packageOpened(destination);
            self->report();
        }
    });
}

} // namespace Orvex
