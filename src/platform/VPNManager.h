#pragma once

#include "platform/VPNBackend.h"
#include "platform/VPNConnection.h"
#include "platform/VPNPreferences.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>

namespace Orvex {

struct Config;
class IdentityStore;

// The user's one saved tunnel configuration and its tunnel. The setters edit
// a working copy; `saveToPreferences` writes it (owner-only file under the
// XDG config folder, replaced atomically) and hands it to the backend, and
// `loadFromPreferences` replaces the working copy with what is saved.
// Completions always run later from the event loop, never inside the call.
class VPNManager final : public QObject
{
    Q_OBJECT

public:
    using Completion = VPNBackend::Completion;

    static QString defaultStoragePath();
    // The backend `config` names, on the key store `identities` (which must
    // outlive it); what it must remember across runs is kept beside
    // `storagePath`, the manager's file.
    static std::unique_ptr<VPNBackend> makeConfiguredBackend(const Config &config, IdentityStore &identities,
                                                             const QString &storagePath);
    // A killed client may have left a killed charon's resolvers behind: takes
    // them out, on the charon and resolver file `config` names, once that
    // charon says it holds no tunnel (or none runs).
    static void repairLeftovers(const Config &config);

    VPNManager(std::unique_ptr<VPNBackend> backend, const QString &storagePath, QObject *parent = nullptr);
    ~VPNManager() override;

    void loadFromPreferences(Completion completion);
    void saveToPreferences(Completion completion);

    const std::optional<VPNProtocolIKEv2> &protocolConfiguration() const
    {
        return m_edited.protocolConfiguration;
    }
    void setProtocolConfiguration(const std::optional<VPNProtocolIKEv2> &protocol);
    bool isEnabled() const { return m_edited.enabled; }
    void setEnabled(bool enabled);
    QList<VPNOnDemandRule> onDemandRules() const { return m_edited.onDemandRules; }
    void setOnDemandRules(const QList<VPNOnDemandRule> &rules);
    bool isOnDemandEnabled() const { return m_edited.onDemandEnabled; }
    void setOnDemandEnabled(bool enabled);

    VPNConnection *connection() const { return m_connection; }
    // From now on the connection shows `view` instead of the backend's own
    // status (the tunnel's owner, which says Connected only once what keeps
    // traffic in is in force), and it posts the connection's changes itself.
    void setStatusView(std::function<VPNStatus()> view);
    // The status the connection shows.
    VPNStatus presentedStatus() const { return m_statusView ? m_statusView() : m_backend->status(); }
    VPNBackend *backend() const { return m_backend.get(); }
    // What was last loaded or saved; what the tunnel runs with.
    const VPNPreferences &savedPreferences() const { return m_saved; }
    // A load has succeeded since this manager was made: the backend has
    // told the tunnel's state at least once, so its status means something.
    bool hasLoaded() const { return m_loaded; }
    // Whether a save now would change nothing: the working copy is what the
    // file holds and what the backend was last given, and the backend starts
    // on that by itself.
    bool isSavedAndApplied() const;
    QString storagePath() const { return m_storagePath; }

private:
    void finishLater(Completion completion, const Outcome<> &outcome);

    // The file as this manager last read or wrote it: a save of the same
    // bytes over an untouched file writes (and waits for the disk) nothing.
    struct FileStamp
    {
        qint64 size = -1;
        qint64 modifiedNs = 0;
        quint64 inode = 0;
        bool operator==(const FileStamp &) const = default;
    };
    static std::optional<FileStamp> stampOf(const QString &path);
    std::optional<VPNPreferences> m_applied; // what the backend last took
    QByteArray m_onDiskBytes;
    std::optional<FileStamp> m_onDiskStamp;

    std::unique_ptr<VPNBackend> m_backend;
    VPNConnection *m_connection = nullptr;
    std::function<VPNStatus()> m_statusView;
    QString m_storagePath;
    VPNPreferences m_edited;
    VPNPreferences m_saved;
    bool m_loaded = false;
};

} // namespace Orvex
