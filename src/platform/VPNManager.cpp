#include "VPNManager.h"

#include "config/Config.h"
#include "platform/IdentityStore.h"
#include "platform/NftablesLeakGuard.h"
#include "platform/SecureFile.h"
#include "platform/nm/AutoVPNBackend.h"
#include "platform/nm/NetworkManagerVPNBackend.h"
#include "platform/vici/ViciVPNBackend.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <QTimer>

#include <sys/stat.h>

namespace Orvex {

std::unique_ptr<VPNBackend> VPNManager::makeConfiguredBackend(const Config &config, IdentityStore &identities,
                                                              const QString &storagePath)
{
    const auto makeVici = [config, &identities, storagePath]() -> std::unique_ptr<VPNBackend> {
        ViciVPNBackend::Options options;
        options.socketPath = config.viciSocket;
        options.updownScript = config.viciUpdownScript;
        options.resolverFile = config.viciResolverFile;
        options.caCertificateFiles = config.caCertificates;
        options.heldKeysFile = QFileInfo(storagePath).absolutePath() + QStringLiteral("/charon-keys");
        options.leakGuard = std::make_shared<NftablesLeakGuard>(config.viciNetworkNamespace);
        options.resolveIdentity =
            [&identities](const QByteArray &reference) -> std::optional<ViciVPNBackend::Identity> {
            const auto material = identities.resolve(reference);
            if (!material)
                return std::nullopt;
            return ViciVPNBackend::Identity{material->certificateDer, material->privateKeyDer,
                                            material->keyType};
        };
        options.grantAccess = [&identities](const QByteArray &reference) {
            identities.grantAccess(reference, ViciVPNBackend::daemonApplication());
        };
        return std::make_unique<ViciVPNBackend>(options);
    };
    if (config.vpnBackend == QLatin1String("vici"))
        return makeVici();
    if (config.vpnBackend == QLatin1String("networkmanager"))
        return NetworkManagerVPNBackend::forConfiguration(config, identities);
    return AutoVPNBackend::forConfiguration(
        config,
        [config, &identities] { return NetworkManagerVPNBackend::forConfiguration(config, identities); },
        makeVici);
}

void VPNManager::repairLeftovers(const Config &config)
{
    // Also before `auto` has made its choice: a charon may have run last time.
    if (config.vpnBackend == QLatin1String("networkmanager") || config.viciResolverFile.isEmpty())
        return;
    ViciVPNBackend::repairLeftovers(config.viciSocket, config.viciResolverFile, QCoreApplication::instance());
}

QString VPNManager::defaultStoragePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/orvex/vpn-configuration.json");
}

VPNManager::VPNManager(std::unique_ptr<VPNBackend> backend, const QString &storagePath, QObject *parent)
    : QObject(parent)
    , m_backend(std::move(backend))
    , m_storagePath(storagePath)
{
    m_connection = new VPNConnection(this);
}

VPNManager::~VPNManager()
{
    delete m_connection;
    m_connection = nullptr;
}

void VPNManager::loadFromPreferences(Completion completion)
{
    const Outcome<std::optional<QByteArray>> read = SecureFile::read(m_storagePath);
    if (!read.isSuccess()) {
        finishLater(std::move(completion),
                    Outcome<>::failure(QStringLiteral("The VPN configuration cannot be read.")));
        return;
    }
    const std::optional<QByteArray> &bytes = read.value();
    VPNPreferences loaded;
    m_onDiskStamp.reset();
    if (bytes) {
        const Outcome<VPNPreferences> parsed = VPNPreferences::fromJson(*bytes);
        if (!parsed.isSuccess()) {
            finishLater(std::move(completion), Outcome<>::failure(parsed.error()));
            return;
        }
        loaded = parsed.value();
        m_onDiskBytes = *bytes;
        m_onDiskStamp = stampOf(m_storagePath);
    }
    m_edited = loaded;
    m_saved = loaded;
    // A backend that answers later has deferred the completion already: it
    // runs then, without a second turn of the event loop.
    QPointer<VPNManager> self(this);
    auto inCall = std::make_shared<bool>(true);
    m_backend->attachReporting(m_saved,
                               [self, inCall, completion = std::move(completion)](const Outcome<> &outcome) {
                                   if (!self)
                                       return;
                                   if (outcome.isSuccess())
                                       self->m_loaded = true;
                                   if (*inCall)
                                       self->finishLater(completion, outcome);
                                   else if (completion)
                                       completion(outcome);
                               });
    *inCall = false;
}

void VPNManager::saveToPreferences(Completion completion)
{
    if (!m_edited.protocolConfiguration) {
        finishLater(std::move(completion),
                    Outcome<>::failure(QStringLiteral("The VPN configuration is invalid.")));
        return;
    }
    const QByteArray bytes = m_edited.toJson();
    if (!m_onDiskStamp || bytes != m_onDiskBytes || stampOf(m_storagePath) != m_onDiskStamp) {
        const QString folder = QFileInfo(m_storagePath).absolutePath();
        m_onDiskStamp.reset();
        if (!SecureFile::makePrivateDirectory(folder).isSuccess()
            || !SecureFile::writeAtomically(m_storagePath, bytes)) {
            finishLater(std::move(completion),
                        Outcome<>::failure(QStringLiteral("The VPN configuration cannot be saved.")));
            return;
        }
        m_onDiskBytes = bytes;
        m_onDiskStamp = stampOf(m_storagePath);
    }
    m_saved = m_edited;
    m_applied.reset();
    QPointer<VPNManager> self(this);
    m_backend->apply(m_saved,
                     [self, applied = m_saved, completion = std::move(completion)](const Outcome<> &outcome) {
                         if (!self)
                             return;
                         if (outcome.isSuccess() && self->m_saved == applied)
                             self->m_applied = applied;
                         self->finishLater(completion, outcome);
                     });
}

bool VPNManager::isSavedAndApplied() const
{
    return m_applied && m_edited == *m_applied && m_saved == m_edited && m_onDiskStamp
           && m_backend->startsOnApplied() && stampOf(m_storagePath) == m_onDiskStamp;
}

std::optional<VPNManager::FileStamp> VPNManager::stampOf(const QString &path)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return FileStamp{qint64(info.st_size), qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                     quint64(info.st_ino)};
}

void VPNManager::setStatusView(std::function<VPNStatus()> view)
{
    m_statusView = std::move(view);
    if (m_statusView)
        QObject::disconnect(m_backend.get(), &VPNBackend::statusChanged, m_connection,
                            &VPNConnection::statusDidChange);
    else
        QObject::connect(m_backend.get(), &VPNBackend::statusChanged, m_connection,
                         &VPNConnection::statusDidChange, Qt::UniqueConnection);
}

void VPNManager::setProtocolConfiguration(const std::optional<VPNProtocolIKEv2> &protocol)
{
    m_edited.protocolConfiguration = protocol;
}

void VPNManager::setEnabled(bool enabled)
{
    m_edited.enabled = enabled;
}

void VPNManager::setOnDemandRules(const QList<VPNOnDemandRule> &rules)
{
    m_edited.onDemandRules = rules;
}

void VPNManager::setOnDemandEnabled(bool enabled)
{
    m_edited.onDemandEnabled = enabled;
}

void VPNManager::finishLater(Completion completion, const Outcome<> &outcome)
{
    if (!completion)
        return;
    QTimer::singleShot(0, this, [completion = std::move(completion), outcome] { completion(outcome); });
}

} // namespace Orvex
