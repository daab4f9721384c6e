#include "UpdateHandler.h"

#include "api/NetworkService.h"
#include "config/Config.h"
#include "platform/Logging.h"
#include "update/DebianVersion.h"
#include "update/PackageControl.h"
#include "update/PackageSignature.h"
#include "update/UpdatingService.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QUrl>

namespace Orvex {

UpdateHandler::UpdateHandler(NetworkService &network, const Config &config, QObject *parent)
    : BaseHandler(parent)
    , m_network(network)
    , m_config(config)
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

namespace {

// Said once per run, so whoever reads the output knows what guards the packages.
void noteTrustedOnTlsAlone()
{
    static bool said = false;
    if (said)
        return;
    said = true;
    qCWarning(lcUpdate, "no update signing key is configured; update packages are trusted on TLS alone");
}

// Hands the saved package to the system and tells the handler, if it is still there.
void openPackage(const QPointer<UpdateHandler> &self, const QString &destination)
{
    // Whether a program could be found to open it is not ours to judge:
    // the package is saved in Downloads either way.
    QDesktopServices::openUrl(QUrl::fromLocalFile(destination));
    if (self) {
        Q_EMIT self->packageOpened(destination);
        self->report();
    }
}

void refuse(const QPointer<UpdateHandler> &self, const QString &why)
{
    qCWarning(lcUpdate, "update refused: %s", qUtf8Printable(why));
    if (self)
        self->report(Error::generic(why));
}

// Why the package's own fields do not make it the update offered; empty when
// they do. The offer's version was only the service's word: these fields are
// part of the signed bytes.
QString packageProblem(const PackageControl::Fields &fields, const QString &offered)
{
    if (fields.package != UpdateHandler::packageName)
        return QStringLiteral("The downloaded update package is \"%1\", not Orvex Cloud, so it was not kept.")
            .arg(fields.package);
    if (!DebianVersion::isValid(fields.version))
        return QStringLiteral("The downloaded update package has no valid version, so it was not kept.");
    if (DebianVersion::compare(fields.version, offered).value_or(1) != 0)
        return QStringLiteral("The downloaded update package is version %1, not the %2 offered, so it was not"
                              " kept.")
            .arg(fields.version, offered);
    if (!UpdatingService::isNewer(fields.version))
        return QStringLiteral("The downloaded update package is version %1, which is not newer than this"
                              " one, so it was not kept.")
            .arg(fields.version);
    return {};
}

NetworkService::DownloadRules rules(qint64 maxBytes, const Config &config)
{
    return {maxBytes, [&config](const QUrl &url) { return UpdatingService::isDownloadAddress(url, config); }};
}

} // namespace

void UpdateHandler::download()
{
    if (!updateResponse)
        return;
    const std::optional<QUrl> source = UpdatingService::downloadURL(updateResponse->status, m_config);
    if (!source)
        return;
    const QString offered = updateResponse->status.version;
    const QString destination = destinationPath(updateResponse);
    QPointer<UpdateHandler> self(this);
    const QByteArray key = m_config.updateSigningKey.toUtf8();
    if (key.isEmpty())
        noteTrustedOnTlsAlone();
    qCInfo(lcUpdate, "downloading update %s", qUtf8Printable(offered));

    // Nothing reaches the final name before it is checked: the signature and
    // the package are fetched under hidden names beside it, and whatever is
    // refused is removed again.
    const QFileInfo target(destination);
    const QString staging = target.absolutePath() + QStringLiteral("/.") + target.fileName()
                            + QStringLiteral(".unverified");
    const QString signaturePath = staging + QStringLiteral(".sig");
    QUrl signatureUrl = *source;
    signatureUrl.setPath(source->path() + QStringLiteral(".sig"));
    auto cleanUp = [staging, signaturePath] {
        QFile::remove(staging);
        QFile::remove(signaturePath);
    };

    // Last, once the bytes are trusted as far as they can be: the package
    // must say of itself that it is the version offered.
    auto keep = [=] {
        PackageControl::read(staging, [=](const Outcome<PackageControl::Fields> &fields) {
            const QString problem = fields.isSuccess() ? packageProblem(fields.value(), offered)
                                                       : fields.error();
            if (!problem.isEmpty()) {
                cleanUp();
                return refuse(self, problem);
            }
            QFile::remove(destination);
            if (!QFile::rename(staging, destination)) {
                cleanUp();
                return refuse(self, QStringLiteral("The update could not be saved as %1.").arg(destination));
            }
            qCInfo(lcUpdate, "update %s saved and handed to the system", qUtf8Printable(offered));
            openPackage(self, destination);
        });
    };

    // The network service and the configuration live as long as the process.
    NetworkService *network = &m_network;
    const Config *config = &m_config;
    auto fetchPackage = [=](const QByteArray &signature) {
        network->download(*source, staging, rules(maxPackageSize, *config), [=](const Result<Empty> &result) {
            if (!result.isSuccess()) {
                cleanUp();
                if (self)
                    self->report(result.error());
                return;
            }
            if (!key.isEmpty()) {
                const QString problem = PackageSignature::verify(key, staging, signature);
                if (!problem.isEmpty()) {
                    cleanUp();
                    return refuse(self, problem);
                }
            }
            keep();
        });
    };
    if (key.isEmpty())
        return fetchPackage({});

    network->download(signatureUrl, signaturePath, rules(PackageSignature::maxSignatureSize, *config),
                      [=](const Result<Empty> &fetched) {
                          if (!fetched.isSuccess()) {
                              cleanUp();
                              return refuse(self, QStringLiteral("The update was not downloaded because its"
                                                                 " signature could not be fetched: %1")
                                                      .arg(fetched.error().localizedDescription()));
                          }
                          QFile signatureFile(signaturePath);
                          QByteArray signature;
                          if (signatureFile.open(QIODevice::ReadOnly)
                              && signatureFile.size() <= PackageSignature::maxSignatureSize)
                              signature = signatureFile.readAll();
                          signatureFile.close();
                          QFile::remove(signaturePath);
                          if (signature.isEmpty()) {
                              cleanUp();
                              return refuse(self, QStringLiteral("The update was not downloaded because its"
                                                                 " signature file holds no signature."));
                          }
                          fetchPackage(signature);
                      });
}

} // namespace Orvex
