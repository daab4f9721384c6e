#include "AutoVPNBackend.h"

#include "config/Config.h"
#include "platform/nm/NetworkManagerVPNBackend.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

namespace Orvex {

AutoVPNBackend::Probe AutoVPNBackend::viciSocketProbe(const QString &socketPath)
{
    return [socketPath](QObject *context, Completion done) {
        auto *socket = new QLocalSocket(context);
        auto answered = std::make_shared<bool>(false);
        const auto answer = [socket, answered, done](const Outcome<> &outcome) {
            if (*answered)
                return;
            *answered = true;
            socket->abort();
            socket->deleteLater();
            done(outcome);
        };
        QObject::connect(socket, &QLocalSocket::connected, context,
                         [answer] { answer(Outcome<>::success()); });
        QObject::connect(socket, &QLocalSocket::errorOccurred, context, [answer, socketPath] {
            answer(Outcome<>::failure(
                QCoreApplication::translate("Orvex::VPNBackend",
                                            "charon's control socket (%1) cannot be reached.")
                    .arg(socketPath)));
        });
        socket->connectToServer(socketPath);
    };
}

std::unique_ptr<AutoVPNBackend> AutoVPNBackend::forConfiguration(const Config &config,
                                                                 Factory makeNetworkManager, Factory makeVici)
{
    Options options;
    options.probeNetworkManager = [](QObject *context, Completion done) {
        NetworkManagerVPNBackend::probe(NetworkManagerVPNBackend::defaultPluginDirectories(), context,
                                        std::move(done));
    };
    options.makeNetworkManager = std::move(makeNetworkManager);
    options.probeVici = viciSocketProbe(config.viciSocket);
    options.makeVici = std::move(makeVici);
    return std::make_unique<AutoVPNBackend>(options);
}

AutoVPNBackend::AutoVPNBackend(const Options &options, QObject *parent)
    : VPNBackend(parent)
    , m_options(options)
{}

AutoVPNBackend::~AutoVPNBackend() = default;

void AutoVPNBackend::attach(const VPNPreferences &preferences, std::function<void()> done)
{
    attachReporting(preferences, [done = std::move(done)](const Outcome<> &) {
        if (done)
            done();
    });
}

void AutoVPNBackend::attachReporting(const VPNPreferences &preferences, Completion done)
{
    whenDecided([this, preferences, done = std::move(done)] {
        if (m_chosen) {
            m_chosen->attachReporting(preferences, done);
        } else if (done) {
            // Nothing to load from is not a failure to load: the status,
            // Invalid, and the reason tell it.
            done(Outcome<>::success());
        }
    });
}

void AutoVPNBackend::apply(const VPNPreferences &preferences, Completion done)
{
    whenDecided([this, preferences, done = std::move(done)] {
        if (m_chosen)
            m_chosen->apply(preferences, done);
        else if (done)
            done(Outcome<>::failure(m_reason));
    });
}

VPNStatus AutoVPNBackend::status() const
{
    return m_chosen ? m_chosen->status() : VPNStatus::Invalid;
}

Outcome<> AutoVPNBackend::startTunnel()
{
    if (m_chosen)
        return m_chosen->startTunnel();
    return Outcome<>::failure(m_reason.isEmpty() ? QStringLiteral("Still looking for a VPN service.")
                                                 : m_reason);
}

void AutoVPNBackend::stopTunnel()
{
    if (m_chosen)
        m_chosen->stopTunnel();
}

QString AutoVPNBackend::unavailableReason() const
{
    return m_chosen ? m_chosen->unavailableReason() : m_reason;
}

VPNBackend::Failure AutoVPNBackend::lastFailure() const
{
    return m_chosen ? m_chosen->lastFailure() : Failure::Unknown;
}

void AutoVPNBackend::checkTunnel(Change change)
{
    // Before the choice nothing runs that could be checked.
    if (m_chosen)
        m_chosen->checkTunnel(change);
}

bool AutoVPNBackend::canAttempt() const
{
    return m_chosen && m_chosen->canAttempt();
}

void AutoVPNBackend::attempt()
{
    if (m_chosen)
        m_chosen->attempt();
}

int AutoVPNBackend::retryPauseMs() const
{
    return m_chosen ? m_chosen->retryPauseMs() : VPNBackend::retryPauseMs();
}

bool AutoVPNBackend::probe()
{
    return m_chosen && m_chosen->probe();
}

int AutoVPNBackend::probeTimeoutMs() const
{
    return m_chosen ? m_chosen->probeTimeoutMs() : VPNBackend::probeTimeoutMs();
}

bool AutoVPNBackend::dropDeadTunnel()
{
    return m_chosen && m_chosen->dropDeadTunnel();
}

LeakGuard *AutoVPNBackend::leakGuard()
{
    return m_chosen ? m_chosen->leakGuard() : nullptr;
}

void AutoVPNBackend::pinGateway(const QList<QHostAddress> &addresses)
{
    m_pinned = addresses;
    if (m_chosen)
        m_chosen->pinGateway(addresses);
}

QList<QHostAddress> AutoVPNBackend::virtualAddresses() const
{
    return m_chosen ? m_chosen->virtualAddresses() : QList<QHostAddress>{};
}

void AutoVPNBackend::describeDaemon(QObject *context, std::function<void(const QString &)> done)
{
    if (m_chosen)
        m_chosen->describeDaemon(context, std::move(done));
    else
        VPNBackend::describeDaemon(context, std::move(done));
}

void AutoVPNBackend::whenDecided(std::function<void()> then)
{
    if (m_chosen) {
        then();
        return;
    }
    m_waiting.push_back(std::move(then));
    if (!m_probing)
        decide();
}

void AutoVPNBackend::decide()
{
    m_probing = true;
    QPointer<AutoVPNBackend> self(this);
    m_options.probeNetworkManager(this, [self](const Outcome<> &networkManager) {
        if (!self)
            return;
        if (networkManager.isSuccess()) {
            self->choose(QStringLiteral("networkmanager"), self->m_options.makeNetworkManager());
            return;
        }
        self->m_options.probeVici(self, [self, networkManager](const Outcome<> &vici) {
            if (!self)
                return;
            if (vici.isSuccess()) {
                self->choose(QStringLiteral("vici"), self->m_options.makeVici());
                return;
            }
            self->settle(
                QCoreApplication::translate("Orvex::VPNBackend", "No VPN service is available. %1 %2")
                    .arg(networkManager.error(), vici.error()));
        });
    });
}

void AutoVPNBackend::choose(const QString &choice, std::unique_ptr<VPNBackend> backend)
{
    if (!backend) {
        settle(QStringLiteral("The %1 backend could not be created.").arg(choice));
        return;
    }
    m_chosen = std::move(backend);
    m_chosen->pinGateway(m_pinned);
    m_choice = choice;
    m_reason.clear();
    connect(m_chosen.get(), &VPNBackend::statusChanged, this, &VPNBackend::statusChanged);
    connect(m_chosen.get(), &VPNBackend::reasonChanged, this, &VPNBackend::reasonChanged);
    connect(m_chosen.get(), &VPNBackend::attemptPossible, this, &VPNBackend::attemptPossible);
    connect(m_chosen.get(), &VPNBackend::attemptEnded, this, &VPNBackend::attemptEnded);
    connect(m_chosen.get(), &VPNBackend::returnOwed, this, &VPNBackend::returnOwed);
    connect(m_chosen.get(), &VPNBackend::probeAnswered, this, &VPNBackend::probeAnswered);
    settle({});
    Q_EMIT reasonChanged();
}

void AutoVPNBackend::settle(const QString &reason)
{
    m_probing = false;
    if (!m_chosen && m_reason != reason) {
        m_reason = reason;
        Q_EMIT reasonChanged();
    }
    std::vector<std::function<void()>> waiting;
    waiting.swap(m_waiting);
    for (auto &then : waiting)
        then();
}

} // namespace Orvex
