#include "ViciVPNBackend.h"

#include "platform/Logging.h"
#include "platform/vici/ResolverLeftovers.h"
#include "platform/vici/UpdownScript.h"
#include "platform/vici/ViciConnection.h"
#include "platform/vici/ViciClient.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QPointer>
#include <QSslCertificate>

#include <memory>
#include <utility>

namespace Orvex {

namespace {

// Collects the answers of a run of pipelined commands; the first failure is
// the one reported.
struct Batch
{
    Outcome<> outcome = Outcome<>::success();

    void note(const QString &what, const ViciReply &reply)
    {
        if (!reply.isSuccess() && outcome.isSuccess())
            outcome = Outcome<>::failure(QStringLiteral("%1: %2").arg(what, reply.errorText()));
    }
};

} // namespace

ViciVPNBackend::ViciVPNBackend(const Options &options, QObject *parent)
    : VPNBackend(parent)
    , m_options(options)
    , m_name(options.connectionName.toUtf8())
    , m_control(new ViciClient(this))
    , m_heldKeys(options.heldKeysFile)
{
    connect(m_control, &ViciClient::eventReceived, this, &ViciVPNBackend::onEvent);
    connect(m_control, &ViciClient::disconnected, this, &ViciVPNBackend::onControlDisconnected);
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &ViciVPNBackend::ensureConnected);
}

ViciVPNBackend::~ViciVPNBackend() = default;

void ViciVPNBackend::attach(const VPNPreferences &preferences, std::function<void()> done)
{
    m_preferences = preferences;
    ensureConnected();
    if (m_synchronizing) {
        m_waitingForSync.push_back(std::move(done));
        return;
    }
    updateStatus();
    if (done)
        QTimer::singleShot(0, this, std::move(done));
}

void ViciVPNBackend::apply(const VPNPreferences &preferences, Completion done)
{
    m_preferences = preferences;
    ensureConnected();
    if (preferences.canConnect())
        loadConnection(preferences, std::move(done));
    else
        unloadConnection(preferences, std::move(done));
}

Outcome<> ViciVPNBackend::startTunnel()
{
    if (!m_preferences.canConnect())
        return Outcome<>::failure(QStringLiteral("The VPN configuration cannot connect."));
    if (Outcome<> script = checkUpdownScript(); !script.isSuccess())
        return script;
    if (!m_reachable && !m_synchronizing) {
        ensureConnected();
        return Outcome<>::failure(QStringLiteral("The VPN service is not running."));
    }
    const bool starting = m_tunnel == Tunnel::Down || m_tunnel == Tunnel::Closing;
    initiate();
    // Started on what charon was given, perhaps without a load before it:
    // whether charon still holds it is asked meanwhile.
    if (starting && !m_loaded.connection.isEmpty())
        verifyHeld();
    return Outcome<>::success();
}

void ViciVPNBackend::stopTunnel()
{
    if (m_tunnel == Tunnel::Down || m_tunnel == Tunnel::Closing)
        return;
    terminate();
}

void ViciVPNBackend::repairLeftovers(const QString &socketPath, const QString &resolverFile, QObject *context,
                                     Completion done)
{
    auto *client = new ViciClient(context);
    client->connectToDaemon(socketPath);
    // Nobody listening: no charon runs, and none has a tunnel up.
    const bool noDaemon = !client->isOpen();
    auto anySa = std::make_shared<bool>(false);
    client->stream(
        "list-sas", {}, "list-sa",
        [anySa](const ViciMessage &item) {
            // Whatever its state (connecting, rekeying, deleting), an SA may
            // still hold its resolvers.
            for (const ViciMessage::Entry &sa : item.entries())
                *anySa = *anySa || sa.kind == ViciMessage::Entry::Section;
        },
        [client, anySa, noDaemon, resolverFile, done = std::move(done)](const ViciReply &reply) {
            client->deleteLater();
            // Only on certain evidence: a charon that answered with no SA at
            // all, or none running. A failed answer leaves the file alone.
            const bool certain = noDaemon || (reply.outcome == ViciReply::Answered && !*anySa);
            const Outcome<> repaired = !certain ? Outcome<>::success()
                                                : ResolverLeftovers::repair(resolverFile);
            if (done)
                done(repaired);
        });
}

void ViciVPNBackend::ensureConnected()
{
    if (m_control->isOpen())
        return;
    m_reconnectTimer.stop();
    m_control->connectToDaemon(m_options.socketPath);
    if (!m_control->isOpen())
        return; // refused at once; onControlDisconnected has run
    synchronize();
    if (m_reloadOnReconnect) {
        // A restarted charon has forgotten what was loaded into it.
        m_reloadOnReconnect = false;
        loadConnection(m_preferences, {});
    }
}

void ViciVPNBackend::synchronize()
{
    // Queued right behind the connect: events first, so nothing that happens
    // after the listing is missed.
    m_synchronizing = true;
    m_control->registerEvent("ike-updown");
    m_control->registerEvent("child-updown");
    m_control->registerEvent("ike-rekey");
    listTunnel([this](const ViciReply &reply, bool installed) {
        if (reply.outcome == ViciReply::Failed) {
            m_reachable = false; // the connection is gone
            finishSynchronizing();
            return;
        }
        m_reachable = true;
        m_tunnel = installed ? Tunnel::Up : Tunnel::Down;
        finishSynchronizing();
    });
}

void ViciVPNBackend::listTunnel(std::function<void(const ViciReply &, bool installed)> done)
{
    ViciMessage filter;
    filter.set("ike", m_name);
    auto installed = std::make_shared<bool>(false);
    const QByteArray name = m_name;
    m_control->stream(
        "list-sas", filter, "list-sa",
        [this, installed, name](const ViciMessage &item) {
            const ViciMessage *sa = item.subSection(name);
            if (!sa || sa->value("state") != "ESTABLISHED")
                return;
            const ViciMessage *children = sa->subSection("child-sas");
            if (!children)
                return;
            for (const ViciMessage::Entry &child : children->entries()) {
                if (child.kind == ViciMessage::Entry::Section && child.section.value("state") == "INSTALLED")
                    *installed = true;
            }
            if (*installed)
                noteVirtualAddresses(*sa);
        },
        [installed, done = std::move(done)](const ViciReply &reply) { done(reply, *installed); });
}

void ViciVPNBackend::finishSynchronizing()
{
    m_synchronizing = false;
    updateStatus();
    std::vector<std::function<void()>> waiting;
    waiting.swap(m_waitingForSync);
    for (auto &done : waiting) {
        if (done)
            QTimer::singleShot(0, this, std::move(done));
    }
    Q_EMIT attemptPossible();
}

void ViciVPNBackend::onControlDisconnected(const QString &)
{
    m_reachable = false;
    ++m_attempt;
    if (m_initiator)
        m_initiator->deleteLater();
    // charon went away with a tunnel up or coming up: what it had put into
    // the resolver configuration stays there unless taken out here (a charon
    // that is back already with a tunnel up keeps its lines).
    if (m_tunnel != Tunnel::Down && !m_options.resolverFile.isEmpty())
        repairLeftovers(m_options.socketPath, m_options.resolverFile, this);
    m_tunnel = Tunnel::Down;
    m_reloadOnReconnect = m_preferences.canConnect();
    m_loaded = {}; // a restarted charon holds nothing of ours
    finishSynchronizing();
    // charon may be restarting: look again later while there is a
    // configuration to run.
    if (m_preferences.protocolConfiguration)
        m_reconnectTimer.start(m_options.reconnectDelayMs);
}

void ViciVPNBackend::onEvent(const QByteArray &name, const ViciMessage &message)
{
    if (!message.subSection(m_name))
        return;
    if (name == "ike-rekey") {
        // The gateway answered: the tunnel carries.
        Q_EMIT probeAnswered(true);
        return;
    }
    const bool up = message.isYes("up");
    if (name == "child-updown") {
        if (up) {
            if (m_tunnel == Tunnel::Closing || (m_tunnel == Tunnel::Down && m_abandonedAttempt)) {
                // A keying attempt that was under way when the tunnel was
                // stopped has completed after all: take it down again.
                m_abandonedAttempt = false;
                m_tunnel = Tunnel::Up;
                terminate();
                return;
            }
            // Also a tunnel someone else brought up: the status tells the truth.
            noteVirtualAddresses(*message.subSection(m_name));
            setTunnel(Tunnel::Up);
        } else if (m_tunnel == Tunnel::Up) {
            setTunnel(Tunnel::Down);
        }
    } else if (name == "ike-updown" && !up) {
        // During a keying attempt the answer to `initiate` tells the outcome.
        if (m_tunnel == Tunnel::Up || m_tunnel == Tunnel::Closing)
            setTunnel(Tunnel::Down);
    }
}

void ViciVPNBackend::setTunnel(Tunnel tunnel)
{
    const Tunnel before = m_tunnel;
    m_tunnel = tunnel;
    if (tunnel != Tunnel::Up)
        m_virtualAddresses.clear();
    // charon's resolve plugin counts a resolver once per family that names
    // it and takes it out only once: what it leaves is taken out as soon as
    // charon holds no SA any more.
    if (tunnel == Tunnel::Down && before != Tunnel::Down && m_reachable && !m_options.resolverFile.isEmpty())
        repairLeftovers(m_options.socketPath, m_options.resolverFile, this);
    updateStatus();
    // Failed, dropped or taken down: the owner brings it back as wanted.
    if (tunnel == Tunnel::Down && before != Tunnel::Down)
        Q_EMIT attemptEnded();
}

// A new route or address is charon's own business: it watches them itself
// and moves the SA at once (MOBIKE, an exchange with the gateway that also
// proves it alive), or drops it when the gateway does not answer, which the
// retry then follows. What is looked at here is charon itself.
void ViciVPNBackend::checkTunnel(Change)
{
    ensureConnected();
    if (!m_reachable || m_synchronizing)
        return; // the synchronisation brings up what is wanted up
    if (m_tunnel == Tunnel::Down)
        Q_EMIT attemptPossible();
}

// Rekeying the IKE SA is one exchange with the gateway: answered (charon's
// ike-rekey event), the tunnel carries.
bool ViciVPNBackend::probe()
{
    if (!m_reachable || m_synchronizing || m_tunnel != Tunnel::Up)
        return false;
    ViciMessage request;
    request.set("ike", m_name);
    m_control->call("rekey", request, [this](const ViciReply &reply) {
        if (!reply.isSuccess())
            Q_EMIT probeAnswered(false);
    });
    return true;
}

bool ViciVPNBackend::dropDeadTunnel()
{
    if (m_tunnel != Tunnel::Up)
        return false;
    terminate(500); // a dead peer will not answer the delete either
    return true;
}

void ViciVPNBackend::updateStatus()
{
    VPNStatus status = VPNStatus::Invalid;
    if (m_reachable && m_preferences.enabled && m_preferences.protocolConfiguration) {
        switch (m_tunnel) {
        case Tunnel::Down:
            status = VPNStatus::Disconnected;
            break;
        case Tunnel::Keying:
            status = VPNStatus::Connecting;
            break;
        case Tunnel::Up:
            status = VPNStatus::Connected;
            break;
        case Tunnel::Closing:
            status = VPNStatus::Disconnecting;
            break;
        }
    }
    if (status == m_status)
        return;
    m_status = status;
    Q_EMIT statusChanged(status);
}

void ViciVPNBackend::initiate()
{
    if (m_tunnel == Tunnel::Keying || m_tunnel == Tunnel::Up)
        return;
    m_abandonedAttempt = false;
    const quint64 attempt = ++m_attempt;
    m_attemptReloads = m_reloads;
    setTunnel(Tunnel::Keying);
    if (m_loaded.connection.isEmpty() && m_loadsUnderWay == 0 && m_preferences.canConnect()) {
        // Not given to this charon by this run (a saved configuration that
        // comes up at the first load, a charon that restarted): an
        // `initiate` now would be refused for want of it, so it goes after
        // the loads, as one attempt.
        sendLoads(
            m_preferences,
            [this, attempt](const Outcome<> &loaded) {
                if (attempt != m_attempt || m_tunnel != Tunnel::Keying)
                    return;
                if (loaded.isSuccess()) {
                    sendInitiate(attempt);
                    return;
                }
                m_lastFailure = Failure::Refused;
                attemptFailed();
            },
            false);
        return;
    }
    sendInitiate(attempt);
}

void ViciVPNBackend::sendInitiate(quint64 attempt)
{
    // Its own connection: charon answers `initiate` only when the keying is
    // over, and would hold back every other request on a shared one.
    auto *client = new ViciClient(this);
    m_initiator = client;
    client->connectToDaemon(m_options.socketPath);
    ViciMessage request;
    request.set("child", m_name);
    request.set("ike", m_name);
    request.set("timeout", QByteArray::number(m_options.keyingTimeoutMs));
    request.set("init-limits", "no");
    client->call("initiate", request, [this, attempt, client](const ViciReply &reply) {
        client->deleteLater();
        onInitiateAnswered(attempt, reply);
    });
}

void ViciVPNBackend::onInitiateAnswered(quint64 attempt, const ViciReply &reply)
{
    if (attempt != m_attempt || m_tunnel != Tunnel::Keying)
        return;
    if (reply.isSuccess()) {
        if (m_virtualAddresses.isEmpty())
            confirmUp(attempt);
        else
            setTunnel(Tunnel::Up);
        return;
    }
    const bool timedOut = reply.outcome == ViciReply::Answered
                          && reply.message.text("errmsg").contains(QLatin1String("timeout"),
                                                                   Qt::CaseInsensitive);
    m_lastFailure = reply.outcome != ViciReply::Answered ? Failure::DaemonUnavailable
                    : timedOut                           ? Failure::NoAnswer
                                                         : Failure::Refused;
    if (m_lastFailure == Failure::Refused && m_retriedAttempt != attempt
        && (m_verifying > 0 || m_reloading || m_reloads != m_attemptReloads)) {
        // Started on what charon was thought to hold, and it may have lost
        // it meanwhile: the check's answer decides between a new try and
        // the refusal.
        m_refusedAttempt = attempt;
        if (m_verifying == 0 && !m_reloading)
            retryRefusedAttempt(Outcome<>::success());
        return;
    }
    if (timedOut) {
        // charon keeps retrying an attempt that outlived the wait: end it.
        ViciMessage request;
        request.set("ike", m_name);
        request.set("force", "yes");
        request.set("timeout", "0");
        m_control->call("terminate", request, {});
    }
    attemptFailed();
}

void ViciVPNBackend::confirmUp(quint64 attempt)
{
    // The answer came on its own connection, ahead of the child's up event
    // that tells the inner addresses: the tunnel is shown up once charon
    // lists it, with them, never on the answer alone.
    listTunnel([this, attempt](const ViciReply &, bool installed) {
        // The child's up event may have settled it meanwhile.
        if (attempt != m_attempt || m_tunnel != Tunnel::Keying)
            return;
        if (installed) {
            setTunnel(Tunnel::Up);
            return;
        }
        // Gone again already, or charon went away: an attempt that did not
        // last.
        attemptFailed();
    });
}

void ViciVPNBackend::retryRefusedAttempt(const Outcome<> &reloaded)
{
    const quint64 attempt = m_refusedAttempt;
    m_refusedAttempt = 0;
    if (attempt == 0 || attempt != m_attempt || m_tunnel != Tunnel::Keying)
        return;
    if (!reloaded.isSuccess() || m_reloads == m_attemptReloads) {
        // Nothing was lost, or it could not be given again: the refusal
        // stands.
        m_lastFailure = Failure::Refused;
        attemptFailed();
        return;
    }
    m_retriedAttempt = attempt;
    m_attemptReloads = m_reloads;
    sendInitiate(attempt);
}

void ViciVPNBackend::attemptFailed()
{
    setTunnel(Tunnel::Down);
}

void ViciVPNBackend::terminate(int waitMs)
{
    m_abandonedAttempt = m_tunnel == Tunnel::Keying;
    ++m_attempt; // an `initiate` answer still due is stale now
    if (m_initiator)
        m_initiator->deleteLater();
    setTunnel(Tunnel::Closing);
    auto *client = new ViciClient(this);
    client->connectToDaemon(m_options.socketPath);
    ViciMessage request;
    request.set("ike", m_name);
    request.set("force", "yes"); // after the timeout, without the peer's answer
    request.set("timeout", QByteArray::number(waitMs));
    client->call("terminate", request, [this, client](const ViciReply &) {
        client->deleteLater();
        if (m_tunnel == Tunnel::Closing)
            setTunnel(Tunnel::Down);
    });
}

QList<QByteArray> ViciVPNBackend::caCertificates()
{
    QList<QByteArray> all;
    for (const QString &file : m_options.caCertificateFiles) {
        const QFileInfo info(file);
        CaFile &cached = m_caFiles[file];
        if (cached.size != info.size() || cached.modified != info.lastModified()) {
            cached.size = info.size();
            cached.modified = info.lastModified();
            cached.der.clear();
            for (const QSslCertificate &ca : QSslCertificate::fromPath(file, QSsl::Pem))
                cached.der << ca.toDer();
        }
        all << cached.der;
    }
    return all;
}

namespace {

QByteArray digest(const QList<QByteArray> &parts)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QByteArray &part : parts) {
        const quint64 size = quint64(part.size());
        hash.addData(QByteArrayView(reinterpret_cast<const char *>(&size), sizeof size));
        hash.addData(part);
    }
    return hash.result();
}

} // namespace

ViciVPNBackend::LoadPlan ViciVPNBackend::planLoads(const VPNProtocolIKEv2 &protocol)
{
    LoadPlan plan;
    plan.cas = caCertificates();
    plan.casDigest = digest(plan.cas);
    if (!protocol.identityReference.isEmpty() && m_options.resolveIdentity)
        plan.identity = m_options.resolveIdentity(protocol.identityReference);
    if (plan.identity) {
        plan.identityDigest = digest(
            {plan.identity->certificateDer, plan.identity->privateKeyDer, plan.identity->keyType.toUtf8()});
        plan.keyId = ViciConnection::keyIdentifier(plan.identity->certificateDer);
    }
    plan.connection = ViciConnection::message(QString::fromUtf8(m_name), protocol,
                                              plan.identity ? plan.identity->certificateDer : QByteArray(),
                                              m_options.updownScript, m_pinned);
    const Outcome<QByteArray> encoded = ViciCodec::encodeMessage(plan.connection);
    plan.connectionDigest = digest({encoded.isSuccess() ? encoded.value() : QByteArray()});
    return plan;
}

Outcome<> ViciVPNBackend::checkUpdownScript()
{
    Outcome<> checked = m_options.updownScript.isEmpty() ? Outcome<>::success()
                                                         : UpdownScript::check(m_options.updownScript);
    if (checked.error() != m_scriptRefusal) {
        m_scriptRefusal = checked.error();
        Q_EMIT reasonChanged();
    }
    return checked;
}

void ViciVPNBackend::loadConnection(const VPNPreferences &preferences, Completion done)
{
    // A script that is no longer safe is refused by the full load, which
    // forgets what was loaded before.
    if (m_loaded.connection.isEmpty() || !checkUpdownScript().isSuccess()) {
        sendLoads(preferences, std::move(done), false);
        return;
    }
    // Planned once: what is compared here is also what is sent below.
    std::optional<LoadPlan> plan;
    if (preferences.protocolConfiguration)
        plan = planLoads(*preferences.protocolConfiguration);
    if (plan && !m_synchronizing) {
        if (plan->casDigest == m_loaded.cas && plan->connectionDigest == m_loaded.connection
            && (plan->identity ? plan->identityDigest == m_loaded.identity : m_loaded.identity.isEmpty())) {
            // charon was given exactly this: the tunnel may start at once,
            // without a round trip. Whether it still holds it (another tool
            // may have cleared it) is asked meanwhile.
            verifyHeld();
            updateStatus();
            Q_EMIT attemptPossible();
            if (done)
                QTimer::singleShot(0, this, [done = std::move(done)] { done(Outcome<>::success()); });
            return;
        }
    }
    // Something else is to be loaded: charon is asked first whether the
    // connection and the key are still there, so that only what changed is
    // sent.
    auto conns = std::make_shared<QList<QByteArray>>();
    m_control->call("get-conns", {},
                    [conns](const ViciReply &reply) { *conns = reply.message.list("conns"); });
    m_control->call("get-keys", {},
                    [this, conns, preferences, plan = std::move(plan),
                     done = std::move(done)](const ViciReply &reply) mutable {
                        const bool keyHeld = m_loaded.identity.isEmpty()
                                             || reply.message.list("keys").contains(m_loaded.keyId);
                        const bool held = reply.outcome == ViciReply::Answered && conns->contains(m_name)
                                          && keyHeld;
                        sendLoads(preferences, std::move(done), held, std::move(plan));
                    });
}

void ViciVPNBackend::verifyHeld()
{
    ++m_verifying;
    auto conns = std::make_shared<QList<QByteArray>>();
    m_control->call("get-conns", {},
                    [conns](const ViciReply &reply) { *conns = reply.message.list("conns"); });
    const QByteArray keyId = m_loaded.keyId;
    const bool withKey = !m_loaded.identity.isEmpty();
    m_control->call("get-keys", {}, [this, conns, keyId, withKey](const ViciReply &reply) {
        --m_verifying;
        const bool held = reply.outcome != ViciReply::Answered
                          || (conns->contains(m_name)
                              && (!withKey || reply.message.list("keys").contains(keyId)));
        if (held || m_loaded.connection.isEmpty()) {
            // Held (or charon went away, which its reconnection deals with,
            // or a load is under way already).
            if (m_verifying == 0 && !m_reloading && m_refusedAttempt)
                retryRefusedAttempt(Outcome<>::success());
            return;
        }
        m_reloading = true;
        sendLoads(
            m_preferences,
            [this](const Outcome<> &outcome) {
                // Counted once done: an `initiate` sent while the loads were
                // still on their way may have been refused for want of them.
                m_reloading = false;
                ++m_reloads;
                if (m_refusedAttempt)
                    retryRefusedAttempt(outcome);
            },
            false);
    });
}

void ViciVPNBackend::sendLoads(const VPNPreferences &preferences, Completion done, bool verified,
                               std::optional<LoadPlan> planned)
{
    if (!verified)
        m_loaded = {};
    if (!preferences.protocolConfiguration) {
        if (done)
            done(Outcome<>::failure(QStringLiteral("The VPN configuration cannot connect.")));
        return;
    }
    if (const Outcome<> script = checkUpdownScript(); !script.isSuccess()) {
        updateStatus();
        if (done)
            done(script);
        return;
    }
    const VPNProtocolIKEv2 &protocol = *preferences.protocolConfiguration;
    auto batch = std::make_shared<Batch>();
    const LoadPlan plan = planned ? std::move(*planned) : planLoads(protocol);

    if (plan.casDigest != m_loaded.cas) {
        auto accepted = std::make_shared<bool>(true);
        for (qsizetype i = 0; i < plan.cas.size(); ++i) {
            ViciMessage request;
            request.set("type", "X509");
            request.set("flag", "CA");
            request.set("data", plan.cas[i]);
            const bool last = i == plan.cas.size() - 1;
            m_control->call("load-cert", request,
                            [this, batch, accepted, last, casDigest = plan.casDigest](const ViciReply &reply) {
                                batch->note(QStringLiteral("CA certificate"), reply);
                                *accepted = *accepted && reply.isSuccess();
                                if (last)
                                    m_loaded.cas = *accepted ? casDigest : QByteArray();
                            });
        }
        if (plan.cas.isEmpty())
            m_loaded.cas = plan.casDigest;
    }

    if (plan.identity && plan.identityDigest != m_loaded.identity) {
        m_loaded.identity.clear();
        ViciMessage certificate;
        certificate.set("type", "X509");
        certificate.set("flag", "NONE");
        certificate.set("data", plan.identity->certificateDer);
        auto certificateLoaded = std::make_shared<bool>(false);
        m_control->call("load-cert", certificate, [batch, certificateLoaded](const ViciReply &reply) {
            batch->note(QStringLiteral("certificate"), reply);
            *certificateLoaded = reply.isSuccess();
        });
        ViciMessage key;
        key.set("type", plan.identity->keyType.isEmpty() ? QStringLiteral("any") : plan.identity->keyType);
        key.set("data", plan.identity->privateKeyDer);
        const QByteArray reference = protocol.identityReference;
        // Remembered before it is sent: a process that ends before the
        // answer leaves the id to a later run.
        m_heldKeys.add(plan.keyId);
        m_control->call("load-key", key,
                        [this, batch, reference, certificateLoaded, identityDigest = plan.identityDigest,
                         keyId = plan.keyId](const ViciReply &reply) {
                            batch->note(QStringLiteral("private key"), reply);
                            if (reply.isSuccess() && m_options.grantAccess)
                                m_options.grantAccess(reference);
                            if (reply.isSuccess() && *certificateLoaded) {
                                m_loaded.identity = identityDigest;
                                m_loaded.keyId = keyId;
                            }
                            // Held again in case an unload of the same key,
                            // sent before this load, was answered meanwhile.
                            if (reply.isSuccess()) {
                                m_heldKeys.add(keyId);
                                unloadKeysBut(keyId);
                            }
                        });
    }

    ++m_loadsUnderWay;
    const auto finish = [this, batch, done = std::move(done)] {
        --m_loadsUnderWay;
        updateStatus();
        if (batch->outcome.isSuccess())
            Q_EMIT attemptPossible();
        if (done)
            done(batch->outcome);
    };
    if (plan.connectionDigest == m_loaded.connection) {
        // Behind whatever else was sent, so the answers come in order.
        m_control->call("version", {}, [finish](const ViciReply &) { finish(); });
        return;
    }
    m_loaded.connection.clear();
    m_control->call("load-conn", plan.connection,
                    [this, batch, connectionDigest = plan.connectionDigest, finish](const ViciReply &reply) {
                        batch->note(QStringLiteral("connection"), reply);
                        if (reply.isSuccess())
                            m_loaded.connection = connectionDigest;
                        finish();
                    });
}

void ViciVPNBackend::unloadConnection(const VPNPreferences &preferences, Completion done)
{
    if (m_tunnel == Tunnel::Keying || m_tunnel == Tunnel::Up)
        terminate();
    m_loaded.connection.clear();
    m_loaded.identity.clear();

    // What is not loaded cannot come up: the connection goes, and so does
    // every key this client gave charon, which charon would otherwise keep
    // until it restarts. The key store may no longer have the identity
    // (signed out): the keys go by the ids remembered, and the one the
    // preferences name for a key given before ids were remembered.
    auto transport = std::make_shared<Outcome<>>(Outcome<>::success());
    const auto note = [transport](const ViciReply &reply) {
        if (reply.outcome == ViciReply::Failed && transport->isSuccess())
            *transport = Outcome<>::failure(reply.errorText());
    };
    ViciMessage conn;
    conn.set("name", m_name);
    m_control->call("unload-conn", conn, note);

    QList<QByteArray> keyIds = m_heldKeys.ids();
    const auto &protocol = preferences.protocolConfiguration;
    if (protocol && !protocol->identityReference.isEmpty() && m_options.resolveIdentity) {
        if (const auto identity = m_options.resolveIdentity(protocol->identityReference)) {
            const QByteArray named = ViciConnection::keyIdentifier(identity->certificateDer);
            if (!named.isEmpty() && !keyIds.contains(named))
                keyIds << named;
        }
    }
    for (const QByteArray &keyId : std::as_const(keyIds))
        unloadKey(keyId, note);

    // Done when charon has answered, or after the wait at the latest (this
    // runs at sign-out and Quit, which must not hang on a charon that does
    // not answer): what it has not confirmed stays remembered.
    auto finish = std::make_shared<std::function<void()>>([this, transport, done = std::move(done)] {
        updateStatus();
        if (done)
            done(*transport);
    });
    const auto finishOnce = [finish] {
        if (const auto run = std::exchange(*finish, {}))
            run();
    };
    m_control->call("version", {}, [note, finishOnce](const ViciReply &reply) {
        note(reply);
        finishOnce();
    });
    QTimer::singleShot(m_options.unloadWaitMs, this, finishOnce);
}

void ViciVPNBackend::noteVirtualAddresses(const ViciMessage &sa)
{
    m_virtualAddresses.clear();
    // At most a handful: one per family the pools hand out.
    for (const QByteArray &text : sa.list("local-vips").mid(0, 8)) {
        const QHostAddress address(QString::fromLatin1(text));
        if (!address.isNull())
            m_virtualAddresses << address;
    }
}

void ViciVPNBackend::describeDaemon(QObject *context, std::function<void(const QString &)> done)
{
    // Answered once: by charon, or empty when it has not answered in time.
    auto finish = std::make_shared<std::function<void(const QString &)>>(std::move(done));
    const auto finishOnce = [finish](const QString &text) {
        if (const auto run = std::exchange(*finish, {}))
            run(text);
    };
    QPointer<QObject> guard(context);
    m_control->call("version", {}, [guard, finishOnce](const ViciReply &reply) {
        if (!guard)
            return;
        if (reply.outcome != ViciReply::Answered) {
            finishOnce(QStringLiteral("no answer over VICI (%1)").arg(reply.errorText()));
            return;
        }
        const ViciMessage &m = reply.message;
        finishOnce(QStringLiteral("%1 %2 over VICI (%3 %4)")
                       .arg(m.text("daemon").left(64), m.text("version").left(64), m.text("sysname").left(64),
                            m.text("release").left(64)));
    });
    QTimer::singleShot(m_options.unloadWaitMs, context, [finishOnce] { finishOnce(QString()); });
}

void ViciVPNBackend::unloadKeysBut(const QByteArray &keyId)
{
    // The new key is in: the ones it replaces (a renewed certificate's, an
    // earlier run's) are not to stay.
    for (const QByteArray &old : QList<QByteArray>(m_heldKeys.ids())) {
        if (old != keyId)
            unloadKey(old);
    }
}

void ViciVPNBackend::unloadKey(const QByteArray &id, std::function<void(const ViciReply &)> then)
{
    ViciMessage key;
    key.set("id", id);
    m_control->call("unload-key", key, [this, id, then = std::move(then)](const ViciReply &reply) {
        // Answered, charon no longer holds it: taken out now, or gone
        // before (charon restarted, someone else unloaded it).
        if (reply.outcome == ViciReply::Answered)
            m_heldKeys.remove(id);
        if (then)
            then(reply);
    });
}

void ViciVPNBackend::pinGateway(const QList<QHostAddress> &addresses)
{
    m_pinned = addresses;
}

} // namespace Orvex
