#include "AutoVpnBackend.h"

#include "config/Config.h"
#include "platform/nm/NetworkManagerVpnBackend.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

namespace Orvex {

AutoVpnBackend::Probe AutoVpnBackend::viciSocketProbe(const QString &socketPath)
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
                QCoreApplication::translate("Orvex::VpnBackend",
                                            "charon's control socket (%1) cannot be reached.")
                    .arg(socketPath)));
        });
        socket->connectToServer(socketPath);
    };
}

std::unique_ptr<AutoVpnBackend> AutoVpnBackend::forConfiguration(const Config &config,
                                                                 Factory makeNetworkManager, Factory makeVici)
{
    Options options;
    options.probeNetworkManager = [](QObject *context, Completion done) {
        NetworkManagerVpnBackend::probe(NetworkManagerVpnBackend::defaultPluginDirectories(), context,
                                        std::move(done));
    };
    options.makeNetworkManager = std::move(makeNetworkManager);
    options.probeVici = viciSocketProbe(config.viciSocket);
    options.makeVici = std::move(makeVici);
    return std::make_unique<AutoVpnBackend>(options);
}

AutoVpnBackend::AutoVpnBackend(const Options &options, QObject *parent)
    : VpnBackend(parent)
    , m_options(options)
{}

AutoVpnBackend::~AutoVpnBackend() = default;

void AutoVpnBackend::attach(const VpnPreferences &preferences, std::function<void()> done)
{
    attachReporting(preferences, [done = std::move(done)](const Outcome<> &) {
        if (done)
            done();
    });
}

void AutoVpnBackend::attachReporting(const VpnPreferences &preferences, Completion done)
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

void AutoVpnBackend::apply(const VpnPreferences &preferences, Completion done)
{
    whenDecided([this, preferences, done = std::move(done)] {
        if (m_chosen)
            m_chosen->apply(preferences, done);
        else if (done)
            done(Outcome<>::failure(m_reason));
    });
}

VpnStatus AutoVpnBackend::status() const
{
    return m_chosen ? m_chosen->status() : VpnStatus::Invalid;
}

Outcome<> AutoVpnBackend::startTunnel()
{
    if (m_chosen)
        return m_chosen->startTunnel();
    return Outcome<>::failure(m_reason.isEmpty() ? QStringLiteral("Still looking for a VPN service.")
                                                 : m_reason);
}

void AutoVpnBackend::stopTunnel()
{
    if (m_chosen)
        m_chosen->stopTunnel();
}

QString AutoVpnBackend::unavailableReason() const
{
    return m_chosen ? m_chosen->unavailableReason() : m_reason;
}

VpnBackend::Failure AutoVpnBackend::lastFailure() const
{
    return m_chosen ? m_chosen->lastFailure() : Failure::Unknown;
}

void AutoVpnBackend::checkTunnel(Change change)
{
    // Before the choice nothing runs that could be checked.
    if (m_chosen)
        m_chosen->checkTunnel(change);
}

bool AutoVpnBackend::canAttempt() const
{
    return m_chosen && m_chosen->canAttempt();
}

void AutoVpnBackend::attempt()
{
    if (m_chosen)
        m_chosen->attempt();
}

int AutoVpnBackend::retryPauseMs() const
{
    return m_chosen ? m_chosen->retryPauseMs() : VpnBackend::retryPauseMs();
}

bool AutoVpnBackend::probe()
{
    return m_chosen && m_chosen->probe();
}

int AutoVpnBackend::probeTimeoutMs() const
{
    return m_chosen ? m_chosen->probeTimeoutMs() : VpnBackend::probeTimeoutMs();
}

bool AutoVpnBackend::dropDeadTunnel()
{
    return m_chosen && m_chosen->dropDeadTunnel();
}

LeakGuard *AutoVpnBackend::leakGuard()
{
    return m_chosen ? m_chosen->leakGuard() : nullptr;
}

void AutoVpnBackend::pinGateway(const QList<QHostAddress> &addresses)
{
    m_pinned = addresses;
    if (m_chosen)
        m_chosen->pinGateway(addresses);
}

QList<QHostAddress> AutoVpnBackend::virtualAddresses() const
{
    return m_chosen ? m_chosen->virtualAddresses() : QList<QHostAddress>{};
}

void AutoVpnBackend::describeDaemon(QObject *context, std::function<void(const QString &)> done)
{
    if (m_chosen)
        m_chosen->describeDaemon(context, std::move(done));
    else
        VpnBackend::describeDaemon(context, std::move(done));
}

void AutoVpnBackend::whenDecided(std::function<void()> then)
{
    if (m_chosen) {
        then();
        return;
    }
    m_waiting.push_back(std::move(then));
    if (!m_probing)
        decide();
}

void AutoVpnBackend::decide()
{
    m_probing = true;
    QPointer<AutoVpnBackend> self(this);
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
                QCoreApplication::translate("Orvex::VpnBackend", "No VPN service is available. %1 %2")
                    .arg(networkManager.error(), vici.error()));
        });
    });
}

void AutoVpnBackend::choose(const QString &choice, std::unique_ptr<VpnBackend> backend)
{
    if (!backend) {
        settle(QStringLiteral("The %1 backend could not be created.").arg(choice));
        return;
    }
    m_chosen = std::move(backend);
    m_chosen->pinGateway(m_pinned);
    m_choice = choice;
    m_reason.clear();
    connect(m_chosen.get(), &VpnBackend::statusChanged, this, &VpnBackend::statusChanged);
    connect(m_chosen.get(), &VpnBackend::reasonChanged, this, &VpnBackend::reasonChanged);
    connect(m_chosen.get(), &VpnBackend::attemptPossible, this, &VpnBackend::attemptPossible);
    connect(m_chosen.get(), &VpnBackend::attemptEnded, this, &VpnBackend::attemptEnded);
    connect(m_chosen.get(), &VpnBackend::returnOwed, this, &VpnBackend::returnOwed);
    connect(m_chosen.get(), &VpnBackend::probeAnswered, this, &VpnBackend::probeAnswered);
    settle({});
    Q_EMIT reasonChanged();
}

void AutoVpnBackend::settle(const QString &reason)
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
