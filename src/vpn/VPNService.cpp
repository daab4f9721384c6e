#include "VPNService.h"

#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "api/Utility.h"
#include "config/Config.h"
#include "platform/UserDefaults.h"
#include "platform/VPNManager.h"
#include "session/ClientIdentity.h"

#include <QHostInfo>
#include <QUrl>
#include <QPointer>
#include <QTimer>

#include <utility>

namespace Orvex {

VPNService::VPNService(VPNManager *manager, Session &session, const Config &config, QObject *parent)
    : QObject(parent)
    , m_manager(manager)
    , m_session(session)
    , m_apiHost(QUrl(config.apiBaseURL).host())
    , m_vpnDomain(config.vpnDomain)
    , m_config(VPNConfiguration::defaults(config))
    , m_controller(
          {[manager] { return manager->savedPreferences().wantsTunnelKeptUp(); }, [this] { giveUp(); }})
{
    QObject::connect(m_manager->connection(), &VPNConnection::statusDidChange, this,
                     &VPNService::vpnConnectionDidChange);
    // The connection shows the controller's view from now on, and the
    // controller alone hears the backend.
    QPointer<TunnelController> controller(&m_controller);
    VPNBackend *backend = m_manager->backend();
    m_manager->setStatusView(
        [controller, backend] { return controller ? controller->status() : backend->status(); });
    m_controller.follow(backend);
    QObject::connect(&m_controller, &TunnelController::changed, this, &VPNService::controllerChanged);
    m_controller.backendChanged(backend->status());
    // A gateway given as an address needs no lookup, and is pinned before
    // anything is loaded.
    const QHostAddress literal(m_config.hostname);
    if (!literal.isNull())
        pinGateway({literal});
    else // looked up at once: a tunnel the saved configuration brings up by itself is blocked to all but it
        QTimer::singleShot(0, this, [this] { withGateway({}); });
    applyAlwaysRequired();
}

void VPNService::applyAlwaysRequired()
{
    // The portal notice names the setting while it is on, whatever the state.
    Q_EMIT tunnelStateChanged();
    if (!m_session.defaults().boolean(DefaultsKeys::isBlockWhenDisconnectedEnabled)) {
        m_controller.setAlwaysRequired(false);
        return;
    }
    // The service's API stays reachable, so the user can still sign in and
    // fetch a certificate. Its addresses are looked up before the block.
    const QString &apiHost = m_apiHost;
    const QHostAddress literal(apiHost);
    if (!literal.isNull() || apiHost.isEmpty()) {
        m_controller.setAlwaysRequired(true, literal.isNull() ? QList<QHostAddress>{} : QList{literal});
        return;
    }
    QPointer<VPNService> self(this);
    QHostInfo::lookupHost(apiHost, this, [self](const QHostInfo &info) {
        if (self && self->m_session.defaults().boolean(DefaultsKeys::isBlockWhenDisconnectedEnabled))
            self->m_controller.setAlwaysRequired(true, info.addresses());
    });
}

VPNService::~VPNService()
{
    m_manager->setStatusView({});
}

VPNStatus VPNService::status() const
{
    return m_manager->hasLoaded() ? m_manager->connection()->status() : VPNStatus::Invalid;
}

void VPNService::controllerChanged()
{
    const VPNStatus presented = m_controller.status();
    if (presented != m_presented) {
        m_presented = presented;
        m_manager->connection()->postStatusDidChange();
    }
    Q_EMIT tunnelStateChanged();
}

QString VPNService::blockedReason() const
{
    if (!isBlocked())
        return {};
    using Reason = TunnelController::Reason;
    switch (m_controller.reason()) {
    case Reason::AttemptsExhausted:
        //: blocked_attempts
        return tr("The VPN could not connect after several attempts.");
    case Reason::Refused:
        //: blocked_refused
        return tr("The VPN server refused the connection.");
    case Reason::NoAnswer:
        //: blocked_no_answer
        return tr("The VPN server did not answer.");
    case Reason::DaemonUnavailable:
        //: blocked_daemon
        return tr("The VPN service on this computer stopped.");
    case Reason::TunnelLost:
        //: blocked_lost
        return tr("The connection to the VPN server was lost.");
    case Reason::EarlierRun:
        //: blocked_earlier_run
        return tr("Orvex ended unexpectedly while the VPN was on.");
    case Reason::GuardFailed:
        //: blocked_guard_reason
        return tr("Orvex could not control the traffic outside the VPN (%1).").arg(m_controller.guardError());
    case Reason::None:
        break;
    }
    return {};
}

QString VPNService::blockedNotice() const
{
    if (!isBlocked())
        return {};
    if (m_controller.reason() == TunnelController::Reason::GuardFailed) {
        //: blocked_guard
        return tr("Orvex could not control the traffic outside the VPN (%1). Turn the VPN off, or on to try "
                  "again.")
            .arg(m_controller.guardError());
    }
    //: blocked_tail
    return tr("%1 To keep your traffic private, nothing leaves this computer outside the VPN until you turn "
              "it off. Turn it on to try again.")
        .arg(blockedReason());
}

bool VPNService::isBlocking() const
{
    switch (m_controller.state()) {
    case TunnelController::State::Connecting:
    case TunnelController::State::Reconnecting:
    case TunnelController::State::Blocked:
        return true;
    case TunnelController::State::Off:
        return m_session.defaults().boolean(DefaultsKeys::isBlockWhenDisconnectedEnabled);
    case TunnelController::State::Connected:
    case TunnelController::State::Disconnecting:
        break;
    }
    return false;
}

void VPNService::setConnectivity(NetworkConnectivity *connectivity)
{
    if (m_connectivity)
        QObject::disconnect(m_connectivity, nullptr, this, nullptr);
    m_connectivity = connectivity;
    if (connectivity)
        QObject::connect(connectivity, &NetworkConnectivity::changed, this, &VPNService::tunnelStateChanged);
    Q_EMIT tunnelStateChanged();
}

NetworkConnectivity::State VPNService::connectivity() const
{
    return m_connectivity ? m_connectivity->state() : NetworkConnectivity::State::Unknown;
}

QString VPNService::portalNotice() const
{
    // No hole is made in the block for the sign-in page: the user lifts the
    // block for the moment it takes.
    if (connectivity() != NetworkConnectivity::State::Portal || !isBlocking())
        return {};
    const bool alwaysRequired = m_session.defaults().boolean(DefaultsKeys::isBlockWhenDisconnectedEnabled);
    if (alwaysRequired && m_controller.state() == TunnelController::State::Off) {
        //: portal_always_required_off
        return tr(
            "This network asks you to sign in on a web page before it lets you online. \"Always require "
            "VPN\" lets nothing leave this computer outside the VPN, even while it is off, so that page "
            "cannot open. To sign in: turn \"Always require VPN\" off in Settings, sign in in your "
            "browser, then Turn ON.");
    }
    if (alwaysRequired) {
        //: portal_always_required
        return tr(
            "This network asks you to sign in on a web page before it lets you online. With \"Always "
            "require VPN\" on, nothing leaves this computer outside the VPN, even while it is off, so that "
            "page cannot open. To sign in: turn \"Always require VPN\" off in Settings first, then Turn "
            "OFF, sign in in your browser and Turn ON.");
    }
    //: portal
    return tr(
        "This network asks you to sign in on a web page before it lets you online. Until you turn the VPN "
        "off, nothing leaves this computer outside it, so that page cannot open. To sign in: Turn OFF, sign "
        "in in your browser, then Turn ON.");
}

void VPNService::pinGateway(const QList<QHostAddress> &addresses)
{
    m_gatewayHost = m_config.hostname;
    m_gateway = addresses;
    m_manager->backend()->pinGateway(addresses);
    m_controller.setGateway(addresses);
}

void VPNService::withGateway(Completion then)
{
    LeakGuard *guard = m_manager->backend()->leakGuard();
    if (!guard || (!m_gateway.isEmpty() && m_gatewayHost == m_config.hostname)) {
        // Nothing to pin the block to, or known already. (Behind a block
        // that is up already, a lookup may still be answered from the hosts
        // file; one that the block stops just finds nothing.)
        if (then)
            then();
        return;
    }
    QPointer<VPNService> self(this);
    guard->lookUp(m_config.hostname, this,
                  [self, then = std::move(then)](const QList<QHostAddress> &addresses) {
                      if (!self)
                          return;
                      self->m_gatewayHost = self->m_config.hostname;
                      // Not found (no network yet): charon looks the name up itself, and
                      // the attempt fails against the block if it cannot.
                      if (!addresses.isEmpty())
                          self->pinGateway(addresses);
                      if (then)
                          then();
                  });
}

void VPNService::giveUp()
{
    // As a Turn OFF for the tunnel, never for the block: that stays until
    // the user lifts it.
    // The user may turn the tunnel on again before this is through: nothing
    // of it then touches their new attempt.
    m_stopRequested = true;
    m_config.isOnDemandEnabled = false;
    QPointer<VPNService> self(this);
    m_manager->loadFromPreferences([self](const Outcome<> &loaded) {
        if (!self || !self->isBlocked())
            return;
        self->configureAndSave(loaded, [self] {
            if (self && self->isBlocked())
                self->stopTunnel();
        });
    });
    m_stopRequested = false; // given up, not asked for
}

QString VPNService::localIdentifier() const
{
    const std::optional<QString> email = m_session.email();
    if (!email)
        return {};
    // An unreadable platform identifier gives an empty udid, leaving ".domain".
    return Utility::udid(*email) + QLatin1Char('.') + m_vpnDomain;
}

void VPNService::decideOnDemand()
{
    m_stopRequested = false;
    // On-demand only with a key that the VPN daemon may use without us.
    if (ClientIdentity::isPrivateKeyShared(m_session.identities(), m_session.identityReference()))
        m_config.isOnDemandEnabled = m_session.defaults().boolean(DefaultsKeys::isAutoConnectEnabled);
    else
        m_config.isOnDemandEnabled = false;
}

void VPNService::connect()
{
    decideOnDemand();
    QPointer<VPNService> self(this);
    // Loaded first: the backend (and so what guards it) is known then.
    m_manager->loadFromPreferences([self](const Outcome<> &loaded) {
        if (!self)
            return;
        if (!loaded.isSuccess()) {
            self->configureAndSave(loaded, {});
            return;
        }
        self->turnOnThen([self, loaded] {
            if (self)
                self->configureAndSave(loaded, [self] {
                    if (self)
                        self->startTunnel();
                });
        });
    });
}

void VPNService::turnOnThen(Completion then)
{
    QPointer<VPNService> self(this);
    withGateway([self, then = std::move(then)] {
        if (!self)
            return;
        self->m_controller.turnOn();
        then();
    });
}

// Nothing to stop: the tunnel is down and was not wanted. A tunnel wanted
// but down between attempts is not "nothing": the saved on-demand and the
// backend's retry would bring it back after the user's Turn OFF.
bool VPNService::nothingToStop() const
{
    const VPNStatus now = status();
    return (now == VPNStatus::Disconnected || now == VPNStatus::Invalid)
           && m_controller.state() == TunnelController::State::Off;
}

void VPNService::disconnect(Completion completion)
{
    const bool nothing = nothingToStop();
    m_controller.turnOff();
    if (nothing) {
        if (completion)
            completion();
        return;
    }
    // Saved with on-demand off first, so nothing brings the tunnel back.
    m_stopRequested = true;
    m_config.isOnDemandEnabled = false;
    QPointer<VPNService> self(this);
    loadThenConfigure([self, completion = std::move(completion)] {
        if (self)
            self->stopTunnel(completion);
    });
}

void VPNService::disconnectLoaded()
{
    const bool nothing = nothingToStop();
    m_controller.turnOff();
    if (nothing)
        return;
    m_stopRequested = true;
    m_config.isOnDemandEnabled = false;
    QPointer<VPNService> self(this);
    configureAndSave(Outcome<>::success(), [self] {
        if (self)
            self->stopTunnel();
    });
}

void VPNService::signOut(Completion completion)
{
    m_controller.turnOff();
    if (status() == VPNStatus::Invalid) {
        if (completion)
            completion();
        return;
    }
    // Also with the tunnel down: the daemon holds the connection and the
    // key as long as the saved configuration can connect.
    m_stopRequested = true;
    m_config.isOnDemandEnabled = false;
    const auto authMethod = std::exchange(m_config.authMethod,
                                          VPNProtocolIKEv2::AuthenticationMethod::SharedSecret);
    QPointer<VPNService> self(this);
    loadThenConfigure(
        [self, authMethod, completion = std::move(completion)] {
            if (!self)
                return;
            self->m_config.authMethod = authMethod;
            self->stopTunnel(completion);
        },
        [self, authMethod] {
            if (self)
                self->m_config.authMethod = authMethod;
        });
}

void VPNService::toggleLoaded()
{
    const VPNStatus live = m_manager->connection()->status();
    QPointer<VPNService> self(this);
    if (live == VPNStatus::Connected) {
        // The user's own stop, as Turn OFF is: the tunnel going down is no
        // news to tell them.
        disconnectLoaded();
    } else {
        // Connecting, reasserting and disconnecting are answered by a new
        // connect, not by a stop.
        decideOnDemand();
        turnOnThen([self] {
            if (self)
                self->configureAndSave(Outcome<>::success(), [self] {
                    if (self)
                        self->startTunnel();
                });
        });
    }
}

void VPNService::stopTunnel(Completion completion)
{
    // Nothing brings the tunnel back after a stop but the user's Turn ON.
    m_controller.holdAttempts();
    m_manager->connection()->stopVPNTunnel();
    if (completion)
        completion();
}

void VPNService::quit(Completion terminate, Completion failed)
{
    if (status() == VPNStatus::Invalid) {
        m_controller.lift();
        if (terminate)
            m_controller.afterGuard(std::move(terminate));
        return;
    }
    // The save below takes the connection out of the daemon, which may end
    // the tunnel before the stop: that is the user's Quit, not a lost tunnel
    // to retry and block.
    m_controller.beginQuit();
    // What stays saved after the process ends cannot come up by itself.
    m_stopRequested = true;
    const auto authMethod = m_config.authMethod;
    m_config.authMethod = VPNProtocolIKEv2::AuthenticationMethod::SharedSecret;
    m_config.isOnDemandEnabled = false;
    QPointer<VPNService> self(this);
    loadThenConfigure(
        [self, terminate = std::move(terminate)] {
            if (!self)
                return;
            // The tunnel is on its way down and the process is about to
            // end: the user's Quit lifts the block.
            self->stopTunnel();
            self->m_controller.lift();
            // Not before the block is gone: a process that ends first
            // would leave it to a daemon that no longer hears from us.
            if (terminate)
                self->m_controller.afterGuard(terminate);
        },
        [self, authMethod, failed = std::move(failed)] {
            // The process goes on: its next connect must not save a
            // configuration that cannot authenticate, and a tunnel the user
            // wanted is still wanted.
            if (self) {
                self->m_config.authMethod = authMethod;
                self->m_controller.quitFailed();
            }
            if (failed)
                failed();
        });
}

void VPNService::clearLeftovers(Completion done)
{
    QPointer<VPNService> self(this);
    m_manager->loadFromPreferences([self, done = std::move(done)](const Outcome<> &loaded) {
        if (!self)
            return;
        // A block the killed run left stays until the user decides.
        self->m_controller.adoptLeftBlock();
        if (!loaded.isSuccess() || !self->m_manager->protocolConfiguration()) {
            if (done)
                done();
            return;
        }
        self->m_config.isOnDemandEnabled = false;
        self->m_stopRequested = true;
        self->configureAndSave(
            Outcome<>::success(),
            [self, done] {
                if (self)
                    self->stopTunnel(done);
            },
            [self, done] {
                // Not even saved: stop what runs all the same.
                if (self)
                    self->stopTunnel(done);
            });
    });
}

void VPNService::checkTunnel(VPNBackend::Change change)
{
    m_controller.checkTunnel(change);
    lookUpGatewayAgain();
}

// On a new network the gateway's name may stand for other addresses. The
// ones found before stay pinned: the block lets nothing else out, and a
// tunnel up over one of them keeps its IKE and ESP. A lookup gets out only
// through the tunnel while it carries; what it finds joins the pinned
// addresses. Behind the block alone it would be stopped, so none is made:
// the next Turn ON looks the name up afresh.
void VPNService::lookUpGatewayAgain()
{
    LeakGuard *const guard = m_manager->backend()->leakGuard();
    if (!guard || m_gateway.isEmpty())
        return;
    m_gatewayHost.clear();
    if (m_controller.state() != TunnelController::State::Connected)
        return;
    const QString host = m_config.hostname;
    QPointer<VPNService> self(this);
    guard->lookUp(host, this, [self, host](const QList<QHostAddress> &addresses) {
        if (!self || addresses.isEmpty() || self->m_config.hostname != host)
            return;
        QList<QHostAddress> pinned = self->m_gateway;
        for (const QHostAddress &address : addresses) {
            if (!pinned.contains(address))
                pinned.append(address);
        }
        self->pinGateway(pinned);
    });
}

void VPNService::loadThenConfigure(Completion followUp, Completion failed)
{
    QPointer<VPNService> self(this);
    m_manager->loadFromPreferences(
        [self, followUp = std::move(followUp), failed = std::move(failed)](const Outcome<> &loaded) {
            if (self)
                self->configureAndSave(loaded, followUp, failed);
        });
}

void VPNService::configureAndSave(const Outcome<> &loaded, Completion followUp, Completion failed)
{
    if (!loaded.isSuccess()) {
        if (failed)
            failed();
        return;
    }
    // Nothing is handed to a guarded backend before the gateway has been
    // looked up: a configuration that comes up by itself is blocked to all
    // but its gateway, and charon is to use the addresses, not the name.
    if (m_manager->backend()->leakGuard() && m_gatewayHost != m_config.hostname
        && m_controller.policy().level == LeakPolicy::Level::Open) {
        QPointer<VPNService> self(this);
        withGateway([self, followUp = std::move(followUp), failed = std::move(failed)] {
            if (self)
                self->configureAndSave(Outcome<>::success(), followUp, failed);
        });
        return;
    }

    VPNProtocolIKEv2 protocol;
    protocol.serverAddress = m_config.hostname;
    protocol.remoteIdentifier = m_config.hostname;
    protocol.localIdentifier = localIdentifier();
    protocol.identityReference = ClientIdentity::storedReference(m_session.identities(),
                                                                 m_session.identityReference())
                                     .value_or(QByteArray());
    protocol.authenticationMethod = m_config.authMethod;
    protocol.deadPeerDetectionRate = m_config.deadPeerDetectionRate;
    protocol.disableRedirect = m_config.disableRedirect;
    const VPNProtocolIKEv2::SecurityAssociationParameters parameters{m_config.encryption, m_config.integrity,
                                                                     m_config.hellmanGroup,
                                                                     m_config.lifetimeMinutes};
    protocol.ikeSecurityAssociationParameters = parameters;
    protocol.childSecurityAssociationParameters = parameters;

    m_manager->setProtocolConfiguration(protocol);
    m_manager->setEnabled(true);
    m_manager->setOnDemandRules(
        {VPNOnDemandRule{VPNOnDemandRule::Action::Connect, VPNOnDemandRule::InterfaceType::Any}});
    m_manager->setOnDemandEnabled(m_config.isOnDemandEnabled);

    // Saving what is saved, and what the tunnel already runs on, changes
    // nothing: the switch goes on at once, without a disk flush and a round
    // trip to the daemon before it.
    if (m_manager->isSavedAndApplied()) {
        if (followUp)
            followUp();
        return;
    }

    QPointer<VPNService> self(this);
    m_manager->saveToPreferences(
        [self, followUp = std::move(followUp), failed = std::move(failed)](const Outcome<> &saved) {
            if (!self)
                return;
            if (!saved.isSuccess()) {
                // Observers redraw from the live state; nothing else happens.
                self->m_manager->connection()->postStatusDidChange();
                if (failed)
                    failed();
                return;
            }
            if (followUp)
                followUp();
        });
}

void VPNService::startTunnel()
{
    // A start that cannot even begin leaves the tunnel wanted and blocked;
    // the controller says why.
    if (!m_manager->connection()->startVPNTunnel().isSuccess())
        m_controller.startFailed();
}

void VPNService::vpnConnectionDidChange()
{
    const auto *connection = qobject_cast<const VPNConnection *>(sender());
    if (!connection)
        return;
    const VPNStatus current = connection->status();
    // Told while the user's request is still known, then forgotten once it
    // has an outcome.
    Q_EMIT statusDidChange(current);
    if (current == VPNStatus::Connected || current == VPNStatus::Disconnected)
        m_userRequest = false;
}

} // namespace Orvex
