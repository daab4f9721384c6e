#pragma once

#include "platform/VPNBackend.h"

#include <functional>
#include <memory>
#include <vector>

namespace Orvex {

struct Config;

// The backend `vpnBackend = "auto"` names: NetworkManager when it runs with
// strongSwan's plugin installed, else charon over VICI when its socket
// answers, else none, which is Invalid with the reason for the main screen
// (`unavailableReason`) and a save that fails with it.
//
// Found out without blocking, on the first load or save; while none was found
// it is tried again on every load and save, so a daemon started later is
// picked up. Once chosen, a backend stays for the life of the process: if
// its daemon stops, that backend reports Invalid (and picks it up again when
// it returns).
class AutoVPNBackend final : public VPNBackend
{
    Q_OBJECT

public:
    using Factory = std::function<std::unique_ptr<VPNBackend>()>;
    // Answers, from the event loop, success when the daemon can be used,
    // else why not.
    using Probe = std::function<void(QObject *context, Completion done)>;

    struct Options
    {
        Probe probeNetworkManager;
        Factory makeNetworkManager;
        Probe probeVici;
        Factory makeVici;
    };

    // Whether a VICI socket accepts a connection, asked without blocking.
    static Probe viciSocketProbe(const QString &socketPath);
    // "auto" for the configuration: the NetworkManager backend
    // `makeNetworkManager` makes when the system's plugin folders have its
    // plugin, or the VICI backend `makeVici` makes on the configured socket.
    static std::unique_ptr<AutoVPNBackend> forConfiguration(const Config &config, Factory makeNetworkManager,
                                                            Factory makeVici);

    explicit AutoVPNBackend(const Options &options, QObject *parent = nullptr);
    ~AutoVPNBackend() override;

    void attach(const VPNPreferences &preferences, std::function<void()> done) override;
    void attachReporting(const VPNPreferences &preferences, Completion done) override;
    void apply(const VPNPreferences &preferences, Completion done) override;
    VPNStatus status() const override;
    Outcome<> startTunnel() override;
    void stopTunnel() override;
    QString unavailableReason() const override;
    Failure lastFailure() const override;
    void checkTunnel(Change change) override;
    bool canAttempt() const override;
    void attempt() override;
    int retryPauseMs() const override;
    bool probe() override;
    int probeTimeoutMs() const override;
    bool dropDeadTunnel() override;
    LeakGuard *leakGuard() override;
    void pinGateway(const QList<QHostAddress> &addresses) override;
    QList<QHostAddress> virtualAddresses() const override;
    void describeDaemon(QObject *context, std::function<void(const QString &)> done) override;

    // The backend in use; null until one was found.
    VPNBackend *chosen() const { return m_chosen.get(); }
    // "networkmanager", "vici", or empty while none was found.
    QString choice() const { return m_choice; }

private:
    void whenDecided(std::function<void()> then);
    void decide();
    void choose(const QString &choice, std::unique_ptr<VPNBackend> backend);
    void settle(const QString &reason);

    Options m_options;
    std::unique_ptr<VPNBackend> m_chosen;
    QList<QHostAddress> m_pinned;
    QString m_choice;
    QString m_reason;
    bool m_probing = false;
    std::vector<std::function<void()>> m_waiting;
};

} // namespace Orvex
