// The fault soak: the real client core (the shared VPNService on the VICI
// backend, driven through the main screen's own button logic) against the
// real gateway of scripts/gateway and the real orvex-devservice, for N cycles
// of Turn ON -> connected -> Turn OFF -> disconnected. About a third of the
// cycles get a fault at a random point: a charon killed and restarted, the
// gateway ending the tunnel, the service down or answering badly, the link
// cut. After every cycle the client must show what its charon reports, with
// no progress overlay left up, and once the fault is cleared a Turn ON must
// reach connected.
//
//     soak [--cycles N] [--seed S] [--fault-share F] [--faults K,K...] [--verbose]
//
// --faults limits the faults to some kinds: gateway-kill, client-kill,
// gateway-drop, service-down, service-500, service-truncate, link-cut.
// --verbose prints one line for every cycle with a fault.
// Prints its figures. Exits 1 when a cycle's state did not match, an overlay
// stayed up, a Turn ON did not connect (after a cleared fault or without
// one), a fault could not be injected or cleared, or the set-up failed; 77
// (skipped) without root. Timings, memory and open files are printed, never
// judged.

#include "DevServiceProcess.h"
#include "EventWait.h"
#include "GatewayFixture.h"

#include "ui/AppStoryboard.h"
#include "session/DefaultsKeys.h"
#include "session/Session.h"
#include "api/Utility.h"
#include "api/NetworkService.h"
#include "ui/AlertController.h"
#include "ui/Navigator.h"
#include "account/StartViewController.h"
#include "ui/WindowController.h"
#include "config/Config.h"
#include "controls/View.h"
#include "platform/HeapTuning.h"
#include "platform/IdentityStore.h"
#include "platform/SystemInfo.h"
#include "platform/UserDefaults.h"
#include "platform/VPNConnection.h"
#include "platform/VPNManager.h"
#include "home/MainViewController.h"
#include "session/ClientIdentity.h"
#include "vpn/VPNService.h"

#include "TestSession.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTime>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <malloc.h>
#include <map>
#include <random>
#include <unistd.h>

using namespace Orvex;
namespace Keys = Orvex::DefaultsKeys;
using Side = GatewayFixture::Side;

namespace {

// Upper bounds on waits, so a broken run ends instead of hanging; nothing is
// judged by how long it took.
constexpr int settleMs = 45000;
// How long the client may lag behind its charon (a restarted charon is looked
// for again every 2 s) before the difference counts as a mismatch.
constexpr int agreeMs = 10000;

enum class Fault {
    GatewayKilled,
    ClientKilled,
    GatewayDrop,
    ServiceDown,
    Service500,
    ServiceTruncated,
    LinkCut
};
constexpr std::array allFaults{Fault::GatewayKilled, Fault::ClientKilled, Fault::GatewayDrop,
                               Fault::ServiceDown,   Fault::Service500,   Fault::ServiceTruncated,
                               Fault::LinkCut};

const char *faultName(Fault fault)
{
    switch (fault) {
    case Fault::GatewayKilled:
        return "gateway charon killed";
    case Fault::ClientKilled:
        return "client charon killed";
    case Fault::GatewayDrop:
        return "gateway drops tunnel";
    case Fault::ServiceDown:
        return "service down";
    case Fault::Service500:
        return "service answers 500";
    case Fault::ServiceTruncated:
        return "service truncates";
    case Fault::LinkCut:
        return "link cut";
    }
    return "?";
}

const char *faultKey(Fault fault)
{
    switch (fault) {
    case Fault::GatewayKilled:
        return "gateway-kill";
    case Fault::ClientKilled:
        return "client-kill";
    case Fault::GatewayDrop:
        return "gateway-drop";
    case Fault::ServiceDown:
        return "service-down";
    case Fault::Service500:
        return "service-500";
    case Fault::ServiceTruncated:
        return "service-truncate";
    case Fault::LinkCut:
        return "link-cut";
    }
    return "?";
}

bool isServiceFault(Fault fault)
{
    return fault == Fault::ServiceDown || fault == Fault::Service500 || fault == Fault::ServiceTruncated;
}

enum class Point { BeforeOn, DuringOn, WhileOn, DuringOff };
const char *statusName(VPNStatus status)
{
    switch (status) {
    case VPNStatus::Disconnected:
        return "disconnected";
    case VPNStatus::Connected:
        return "connected";
    case VPNStatus::Invalid:
        return "invalid";
    case VPNStatus::Connecting:
        return "connecting";
    case VPNStatus::Reasserting:
        return "reasserting";
    case VPNStatus::Disconnecting:
        return "disconnecting";
    }
    return "?";
}

const char *pointName(Point point)
{
    switch (point) {
    case Point::BeforeOn:
        return "before ON";
    case Point::DuringOn:
        return "during ON";
    case Point::WhileOn:
        return "while on";
    case Point::DuringOff:
        return "during OFF";
    }
    return "?";
}

using BenchLoop::waitFor;

void spin(int ms)
{
    BenchLoop::settle(ms);
}

long residentKb()
{
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// What malloc holds: in use by the program, and taken from the system.
// RSS growing while "in use" stays flat is the allocator's, not a leak.
struct Heap
{
    double inUseMb = 0;
    double heldMb = 0;
};

Heap heap()
{
    const struct mallinfo2 info = mallinfo2();
    return {double(info.uordblks + info.hblkhd) / 1048576.0, double(info.arena + info.hblkhd) / 1048576.0};
}

int threads()
{
    return int(
        QDir(QStringLiteral("/proc/self/task")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

// What a socket of this process is, by its inode: "tcp 127.0.0.1:443 ->
// 127.0.0.1:51000" or "unix /path" (empty for an unnamed one).
QString socketOwner(const QString &inode)
{
    const auto address = [](const QByteArray &hex) {
        const QList<QByteArray> parts = hex.split(':');
        if (parts.size() != 2 || parts[0].size() != 8)
            return QString::fromLatin1(hex); // IPv6: left as it is
        const quint32 ip = parts[0].toUInt(nullptr, 16);
        return QStringLiteral("%1.%2.%3.%4:%5")
            .arg(ip & 0xff)
            .arg((ip >> 8) & 0xff)
            .arg((ip >> 16) & 0xff)
            .arg(ip >> 24)
            .arg(parts[1].toUInt(nullptr, 16));
    };
    for (const char *table : {"tcp", "tcp6", "udp", "unix"}) {
        QFile file(QStringLiteral("/proc/self/net/") + QLatin1String(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const bool isUnix = qstrcmp(table, "unix") == 0;
        for (const QByteArray &line : file.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (isUnix && f.size() >= 7 && f[6] == inode.toLatin1())
                return QStringLiteral("unix ") + (f.size() > 7 ? QString::fromLocal8Bit(f[7]) : QString());
            if (!isUnix && f.size() >= 10 && f[9] == inode.toLatin1())
                return QLatin1String(table) + QLatin1Char(' ') + address(f[1]) + QStringLiteral(" -> ")
                       + address(f[2]);
        }
    }
    return {};
}

// "fd -> target" for every open descriptor, by number.
QStringList fdTargets()
{
    QStringList targets;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::NoDotAndDotDot | QDir::AllEntries)) {
        char target[512];
        const ssize_t length = ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target,
                                          sizeof target);
        // The listing's own descriptor is gone by now.
        if (length <= 0)
            continue;
        QString entry = fd + QStringLiteral(" -> ") + QString::fromLocal8Bit(target, length);
        static const QRegularExpression socket(QStringLiteral("^socket:\\[(\\d+)\\]$"));
        const QRegularExpressionMatch match = socket.match(QString::fromLocal8Bit(target, length));
        if (match.hasMatch())
            entry += QStringLiteral(" (") + socketOwner(match.captured(1)) + QLatin1Char(')');
        targets << entry;
    }
    return targets;
}

double percentile(QList<double> values, double share)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype index = std::min(values.size() - 1, qsizetype(share * double(values.size() - 1) + 0.5));
    return values[index];
}

// What the client's charon holds of the tunnel.
enum class Truth { NoDaemon, None, Up, Transitional };

Truth truthOf(const std::optional<QStringList> &sas)
{
    if (!sas)
        return Truth::NoDaemon;
    if (sas->isEmpty())
        return Truth::None;
    if (sas->size() == 1 && sas->first() == QStringLiteral("ESTABLISHED/INSTALLED"))
        return Truth::Up;
    return Truth::Transitional;
}

class Soak
{
public:
    Soak(GatewayFixture &gateway, DevServiceProcess &service, QStringList serviceArguments,
         const Config &config)
        : m_gateway(gateway)
        , m_service(service)
        , m_serviceArguments(std::move(serviceArguments))
    {
        m_session.config = config;
    }

    bool setUp(QString *error);
    // Brings the client to the same point before figures are taken: off,
    // no alert up, no connection to the service kept alive.
    void quiesce();
    bool cycle(int index, std::optional<Fault> fault, Point point, std::mt19937 &random);
    void tearDown();

    MainViewController *screen() const
    {
        return qobject_cast<MainViewController *>(m_window->contentViewController());
    }
    VPNStatus status() const { return m_tunnel->status(); }
    VPNStatus live() const { return m_manager->connection()->status(); }
    bool overlayUp() const { return screen()->isProgressDue(); }

    // Turn ON (or OFF): the main button's logic, as a click runs it. A
    // press on a tunnel that is up or coming is the user's Turn OFF: from
    // then on, what leaves in the clear is what they asked for.
    void press()
    {
        const VPNStatus shown = status();
        if (shown == VPNStatus::Connected)
            noteWanted(false);
        screen()->mainButtonAction();
    }
    // From the user's Turn ON (the block goes up) to their Turn OFF: the
    // times (ms since the epoch) the tunnel was wanted.
    void noteWanted(bool wanted)
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (wanted && (wantedSince.isEmpty() || wantedUntil.size() == wantedSince.size()))
            wantedSince << now;
        else if (!wanted && wantedUntil.size() < wantedSince.size())
            wantedUntil << now;
    }
    bool wasWanted(qint64 at) const
    {
        for (qsizetype i = 0; i < wantedSince.size(); ++i) {
            if (at >= wantedSince[i] && (i >= wantedUntil.size() || at <= wantedUntil[i]))
                return true;
        }
        return false;
    }
    QList<qint64> wantedSince, wantedUntil;
    bool settled() const
    {
        const VPNStatus s = live();
        return status() == s
               && (s == VPNStatus::Connected || s == VPNStatus::Disconnected || s == VPNStatus::Invalid);
    }
    bool waitSettled()
    {
        return waitFor([this] { return settled() && !overlayUp(); }, settleMs);
    }
    // The client's status, the screen and the client's charon agree.
    bool agrees(QString *why) const;
    int dismissAlerts();

    void inject(Fault fault);
    void injectSoon(Fault fault, int delayMs);
    bool clear(Fault fault);
    // Whether the client's charon runs (not a zombie, not a reused PID).
    bool clientCharonRuns() const;

    int mismatches = 0;
    int stuckOverlays = 0;
    int failedRecoveries = 0;
    int failedConnects = 0;
    int alerts = 0;
    int injectErrors = 0;
    // The client's charon ended without a fault of ours (the daemon itself
    // crashed): started again before the next cycle, so that one crash does
    // not spoil every cycle after it, and counted.
    int clientCharonDeaths = 0;
    bool verbose = false;
    QStringList trail;               // the statuses of the cycle, with the overlay: "connecting+"
    QList<double> connectMs;         // with the certificate stored
    QList<double> fetchingConnectMs; // fetching the certificate first
    std::map<Fault, int> faultsByKind;

private:
    bool turnOnAndMeasure(bool record);
    bool turnOff();

    GatewayFixture &m_gateway;
    DevServiceProcess &m_service;
    QStringList m_serviceArguments;
    // The client's session and the screens' context, on files of its own:
    // nothing of an earlier run (its identity, of another run's CA, would be
    // used as it is and refused by this run's gateway).
    mutable TestSession m_session;
    // The screens' tunnel, on the configured backend, as the client makes it.
    std::unique_ptr<VPNManager> m_manager;
    std::unique_ptr<VPNService> m_tunnel;
    std::unique_ptr<WindowController> m_window;
};

bool Soak::setUp(QString *error)
{
    const QString email = m_service.demoEmail();
    const QString password = m_service.demoPassword();
    std::optional<bool> user;
    m_session.network.getUser(email, password, [&](const Result<UserResponse> &r) { user = r.isSuccess(); });
    if (!waitFor([&] { return user.has_value(); }, settleMs) || !*user) {
        *error = QStringLiteral("the demo account does not sign in");
        return false;
    }
    m_session.session.setCredentials(email, password);
    std::optional<bool> added;
    m_session.network.addDevice(Utility::udid(email), email,
                                [&](const Result<Empty> &r) { added = r.isSuccess(); });
    if (!waitFor([&] { return added.has_value(); }, settleMs) || !*added) {
        *error = QStringLiteral("this machine could not be registered");
        return false;
    }

    const QString &storage = m_session.files.tunnelConfiguration;
    m_manager = std::make_unique<VPNManager>(VPNManager::makeConfiguredBackend(m_session.config,
                                                                               m_session.identities, storage),
                                             storage);
    m_tunnel = std::make_unique<VPNService>(m_manager.get(), m_session.session, m_session.config);
    m_session.tunnel = m_tunnel.get();
    // As after sign-in: the main screen's first load fetches the certificate
    // and brings the tunnel up.
    m_window = std::make_unique<WindowController>(m_session.context);
    m_window->setContentViewController(
        instantiate<StartViewController>(m_session.context, AppStoryboard::Auth));
    m_window->show();
    Navigator::showMain(m_window.get());
    if (!waitFor([this] { return screen() != nullptr; }, settleMs)) {
        *error = QStringLiteral("the main screen did not come");
        return false;
    }
    VPNService &tunnel = *m_tunnel;
    auto previous = std::make_shared<TunnelController::State>(tunnel.tunnel().state());
    QObject::connect(&tunnel, &VPNService::tunnelStateChanged, screen(), [this, &tunnel, previous] {
        // Wanted from the moment the block is up (stamped after it went up)
        // until the user's Turn OFF (stamped before the press); a tunnel on
        // its way down after that press is not wanted any more.
        using State = TunnelController::State;
        const State state = tunnel.tunnel().state();
        if (state == State::Off)
            noteWanted(false);
        else if (*previous == State::Off && state != State::Disconnecting)
            noteWanted(true);
        *previous = state;
    });
    QObject::connect(m_manager->connection(), &VPNConnection::statusDidChange, screen(), [this] {
        // After the screen has seen it too.
        QTimer::singleShot(0, screen(), [this] {
            trail << QLatin1String(statusName(live())) + (overlayUp() ? QStringLiteral("+") : QString());
        });
    });
    if (!waitFor([this] { return status() == VPNStatus::Connected && !overlayUp(); }, settleMs)) {
        *error = QStringLiteral("the first load did not connect");
        return false;
    }
    if (!turnOff()) {
        *error = QStringLiteral("the first Turn OFF did not disconnect");
        return false;
    }
    return true;
}

void Soak::quiesce()
{
    waitSettled();
    alerts += dismissAlerts();
    // The HTTP layer keeps connections to the service alive for a while, as
    // many as it once needed at the same time: figures are taken with none.
    const QString toService = QStringLiteral(":%1)").arg(m_service.port());
    const auto serviceConnections = [&toService] {
        const QStringList fds = fdTargets();
        return std::count_if(fds.begin(), fds.end(),
                             [&](const QString &fd) { return fd.endsWith(toService); });
    };
    if (auto *http = m_session.network.findChild<QNetworkAccessManager *>(QString(),
                                                                          Qt::FindDirectChildrenOnly))
        http->clearConnectionCache();
    waitFor([&] { return serviceConnections() == 0; }, 5000);
}

void Soak::tearDown()
{
    if (m_window && status() == VPNStatus::Connected)
        turnOff();
    m_window.reset();
}

bool Soak::agrees(QString *why) const
{
    const Truth truth = truthOf(m_gateway.securityAssociations(Side::Client));
    const VPNStatus shown = status();
    const bool textOn = screen()->statusLabel()->text() == QStringLiteral("Turn OFF");
    bool ok = false;
    switch (truth) {
    case Truth::NoDaemon:
        ok = shown == VPNStatus::Invalid;
        break;
    case Truth::None:
        ok = shown == VPNStatus::Disconnected;
        break;
    case Truth::Up:
        ok = shown == VPNStatus::Connected;
        break;
    case Truth::Transitional:
        ok = false;
        break;
    }
    ok = ok && live() == shown && textOn == (shown == VPNStatus::Connected);
    if (!ok && why) {
        const std::optional<QStringList> sas = m_gateway.securityAssociations(Side::Client);
        *why = QStringLiteral("client %1 (live %2, text \"%3\"), charon %4")
                   .arg(QLatin1String(statusName(shown)), QLatin1String(statusName(live())))
                   .arg(screen()->statusLabel()->text(),
                        sas ? QStringLiteral("[") + sas->join(QLatin1Char(' ')) + QLatin1Char(']')
                            : QStringLiteral("not answering"));
    }
    return ok;
}

int Soak::dismissAlerts()
{
    // The user reads the alert and closes it.
    int dismissed = 0;
    const auto alertUp = [this] {
        const QList<ViewController *> presented = screen()->presentedViewControllers();
        return std::any_of(presented.begin(), presented.end(),
                           [](ViewController *c) { return qobject_cast<AlertController *>(c) != nullptr; });
    };
    spin(20); // an alert is posted on the next turn of the event loop
    while (alertUp() && dismissed < 10) {
        Navigator::dismissTop(m_window.get());
        ++dismissed;
        waitFor([&] { return !alertUp(); }, 5000);
    }
    return dismissed;
}

void Soak::inject(Fault fault)
{
    bool ok = true;
    const auto setServiceFault = [this](const char *kind) {
        HttpsClient client(m_service.origin(), m_service.caCertificate());
        bool ok = true;
        for (const char *path : {"/portableapi/portable.php", "/getuser.json"}) {
            const QJsonObject spec{{QStringLiteral("path"), QLatin1String(path)},
                                   {QStringLiteral("fault"), QLatin1String(kind)}};
            const HttpAnswer answer = client.post(QStringLiteral("/dev/faults"),
                                                  QJsonDocument(spec).toJson(QJsonDocument::Compact),
                                                  {{"Content-Type", "application/json"}});
            ok = ok && answer.status == 200;
        }
        return ok;
    };
    switch (fault) {
    case Fault::GatewayKilled:
        ok = m_gateway.killCharon(Side::Gateway);
        break;
    case Fault::ClientKilled:
        ok = m_gateway.killCharon(Side::Client);
        break;
    case Fault::GatewayDrop:
        // Nothing to end when no tunnel is up at the gateway yet.
        m_gateway.terminateAtGateway();
        break;
    case Fault::ServiceDown:
        ok = m_service.stop();
        break;
    case Fault::Service500:
        ok = setServiceFault("html500");
        break;
    case Fault::ServiceTruncated:
        ok = setServiceFault("truncate");
        break;
    case Fault::LinkCut:
        ok = m_gateway.setLinkUp(false);
        break;
    }
    if (!ok) {
        ++injectErrors;
        std::fprintf(stderr, "soak: injecting \"%s\" failed\n", faultName(fault));
    }
}

bool Soak::clear(Fault fault)
{
    switch (fault) {
    case Fault::GatewayKilled:
        return m_gateway.startCharon(Side::Gateway);
    case Fault::ClientKilled:
        return m_gateway.startCharon(Side::Client);
    case Fault::GatewayDrop:
        return true;
    case Fault::ServiceDown:
        // Back on the same address, as a restarted service would be.
        return m_service.start(
            m_serviceArguments
            + QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(m_service.port())});
    case Fault::Service500:
    case Fault::ServiceTruncated: {
        HttpsClient client(m_service.origin(), m_service.caCertificate());
        return client.send("DELETE", client.url(QStringLiteral("/dev/faults"))).status == 200;
    }
    case Fault::LinkCut:
        return m_gateway.setLinkUp(true);
    }
    return false;
}

void Soak::injectSoon(Fault fault, int delayMs)
{
    // While the switch is under way; the cycle goes on only once it is in.
    bool injected = false;
    QTimer::singleShot(delayMs, [this, fault, &injected] {
        inject(fault);
        injected = true;
    });
    waitFor([&injected] { return injected; }, settleMs);
}

bool Soak::turnOnAndMeasure(bool record)
{
    Session &session = m_session.session;
    const bool fetches = !ClientIdentity::storedReference(session.identities(), session.identityReference());
    QElapsedTimer clock;
    clock.start();
    press();
    if (!waitFor([this] { return status() == VPNStatus::Connected && !overlayUp(); }, settleMs))
        return false;
    if (record)
        (fetches ? fetchingConnectMs : connectMs) << clock.nsecsElapsed() / 1e6;
    return true;
}

bool Soak::turnOff()
{
    press();
    return waitFor([this] { return status() == VPNStatus::Disconnected && !overlayUp(); }, settleMs);
}

bool Soak::clientCharonRuns() const
{
    QFile pidFile(m_gateway.directory() + QStringLiteral("/client/charon.pid"));
    bool number = false;
    const qint64 pid = pidFile.open(QIODevice::ReadOnly) ? pidFile.read(32).trimmed().toLongLong(&number) : 0;
    if (!number || pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    // "PID (COMM) STATE ...": a charon that is neither a zombie nor dead.
    const QByteArray line = stat.read(512);
    const qsizetype close = line.lastIndexOf(')');
    const char state = close > 0 && close + 2 < line.size() ? line.at(close + 2) : 'X';
    return line.contains("(charon") && state != 'Z' && state != 'X';
}

bool Soak::cycle(int index, std::optional<Fault> fault, Point point, std::mt19937 &random)
{
    bool good = true;
    const auto note = [&](const QString &what) {
        if (verbose)
            std::printf("%s ", qPrintable(QTime::currentTime().toString(QStringLiteral("mm:ss.zzz"))));
        std::printf("  cycle %d%s%s%s: %s\n", index, fault ? " (" : "", fault ? faultName(*fault) : "",
                    fault ? (QStringLiteral(", ") + QLatin1String(pointName(point)) + QLatin1Char(')'))
                                .toUtf8()
                                .constData()
                          : "",
                    qPrintable(what));
        std::fflush(stdout);
    };
    if (!clientCharonRuns()) {
        ++clientCharonDeaths;
        note(QStringLiteral("the client's charon had ended by itself: started again"));
        if (!m_gateway.startCharon(Side::Client))
            ++injectErrors;
        // Once the client has found it again, the user's Turn OFF takes
        // everything back to Off (a tunnel it had up was lost with the
        // daemon, and the block stays until the user lifts it).
        waitFor([this] { return live() != VPNStatus::Invalid; }, settleMs);
        noteWanted(false);
        m_tunnel->disconnect();
        waitSettled();
        alerts += dismissAlerts();
    }
    const int alertsBefore = alerts;
    trail.clear();
    std::uniform_int_distribution<int> soon(0, 80);
    std::uniform_int_distribution<int> later(0, 1500);

    if (fault) {
        ++faultsByKind[*fault];
        // The service is only asked when a certificate has to be fetched.
        if (isServiceFault(*fault)) {
            // Without the identity in the key store the next Turn ON fetches one.
            Session &session = m_session.session;
            if (const std::optional<QByteArray> reference = session.identityReference())
                session.identities().remove({*reference});
        }
        if (point == Point::BeforeOn)
            inject(*fault);
    }

    // Turn ON.
    QElapsedTimer clock;
    clock.start();
    press();
    if (fault && point == Point::DuringOn)
        injectSoon(*fault, soon(random));
    bool settledOn = waitSettled();
    if (!fault) {
        if (status() == VPNStatus::Connected)
            connectMs << clock.nsecsElapsed() / 1e6;
        else {
            ++failedConnects;
            good = false;
            note(QStringLiteral("Turn ON did not connect"));
        }
    }
    if (fault && point == Point::DuringOn && !settledOn)
        settledOn = waitSettled();
    Q_UNUSED(settledOn)

    if (fault
        && (point == Point::WhileOn || (point == Point::DuringOff && status() != VPNStatus::Connected))) {
        // Only one injection per faulty cycle: the fault comes while the tunnel
        // is up, or now when it never came up.
        inject(*fault);
        spin(later(random));
        waitSettled();
    }

    const VPNStatus afterOn = status();

    // Turn OFF.
    if (status() == VPNStatus::Connected) {
        press();
        if (fault && point == Point::DuringOff)
            injectSoon(*fault, soon(random));
        waitSettled();
    }

    if (fault && !clear(*fault)) {
        ++injectErrors;
        note(QStringLiteral("clearing the fault failed"));
    }
    alerts += dismissAlerts();
    waitSettled();

    // The client shows what its charon holds, and no overlay is left up.
    QString why;
    QElapsedTimer agreeing;
    agreeing.start();
    bool agreed = agrees(&why);
    while (!agreed && agreeing.elapsed() < agreeMs) {
        spin(200);
        agreed = agrees(&why);
    }
    if (!agreed) {
        ++mismatches;
        good = false;
        note(QStringLiteral("state mismatch: ") + why);
    }
    if (overlayUp()) {
        spin(1000);
        if (overlayUp()) {
            ++stuckOverlays;
            good = false;
            note(QStringLiteral("progress overlay left up"));
            screen()->hideProgress(); // so the next cycle starts clean
        }
    }
    const int shownAlerts = dismissAlerts();
    alerts += shownAlerts;
    if (verbose && fault)
        note(QStringLiteral("after ON %1, alerts %2")
                 .arg(QLatin1String(statusName(afterOn)))
                 .arg(alerts - alertsBefore));

    // Back to off, whatever the fault left.
    waitSettled();
    if (status() == VPNStatus::Connected && !turnOff()) {
        good = false;
        note(QStringLiteral("Turn OFF after the cycle did not disconnect"));
    }

    if (fault) {
        // With the fault cleared, Turn ON reaches connected.
        waitSettled();
        if (status() == VPNStatus::Connected)
            turnOff();
        if (!turnOnAndMeasure(true)) {
            ++failedRecoveries;
            good = false;
            QString why;
            agrees(&why);
            note(QStringLiteral("Turn ON after the fault did not connect: ") + why);
            if (verbose) {
                std::printf("    status trail: %s\n", qPrintable(trail.join(QLatin1Char(' '))));
                const QString copy = QStringLiteral("/tmp/soak-client-%1-%2.log").arg(::getpid()).arg(index);
                QFile::copy(m_gateway.value(QStringLiteral("CLIENT_LOG")), copy);
                std::printf("    client charon log copied to %s\n", qPrintable(copy));
            }
            alerts += dismissAlerts();
        }
        if (status() == VPNStatus::Connected && !turnOff()) {
            good = false;
            note(QStringLiteral("Turn OFF after the recovery did not disconnect"));
        }
        alerts += dismissAlerts();
    }
    return good;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    HeapTuning::apply(); // as the client's main() does
    QApplication app(argc, argv);

    int cycles = 300;
    double faultShare = 1.0 / 3.0;
    quint32 seed = quint32(QDateTime::currentMSecsSinceEpoch() & 0xffffffff);
    bool verbose = false;
    QStringList onlyKinds;
    QStringList args = app.arguments();
    if (args.removeAll(QStringLiteral("--verbose")))
        verbose = true;
    for (qsizetype i = 1; i < args.size(); i += 2) {
        if (i + 1 == args.size())
            args << QString(); // a flag without its value: the usage below
        if (args[i] == QStringLiteral("--cycles"))
            cycles = std::max(1, args[i + 1].toInt());
        else if (args[i] == QStringLiteral("--seed"))
            seed = args[i + 1].toUInt();
        else if (args[i] == QStringLiteral("--faults"))
            onlyKinds = args[i + 1].split(QLatin1Char(','));
        else if (args[i] == QStringLiteral("--fault-share"))
            faultShare = std::clamp(args[i + 1].toDouble(), 0.0, 1.0);
        else {
            std::fprintf(
                stderr,
                "usage: soak [--cycles N] [--seed S] [--fault-share F] [--faults K,K...] [--verbose]\n");
            return 2;
        }
    }
    if (!GatewayFixture::isRoot()) {
        std::printf("soak: needs root (the gateway runs in network namespaces); skipped\n");
        return 77;
    }

    // Private folders: the soak must not touch the user's configuration.
    QTemporaryDir home;
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qputenv(name, home.filePath(QLatin1String(name)).toLocal8Bit());
    if (qEnvironmentVariableIsEmpty("ORVEX_GATEWAY_SCRIPT"))
        qputenv("ORVEX_GATEWAY_SCRIPT", ORVEX_GATEWAY_SCRIPT_PATH);

    QTemporaryDir serviceData;
    DevServiceProcess service(serviceData.path());
    const QStringList serviceArguments{QStringLiteral("--seed-demo"), QStringLiteral("--dev-routes")};
    if (!service.start(serviceArguments)) {
        std::fprintf(stderr, "soak: orvex-devservice did not start: %s\n", qPrintable(service.errors()));
        return 1;
    }

    // The gateway trusts the certificates the service issues.
    GatewayFixture gateway;
    QString error;
    if (!gateway.upTrusting(service.dataDir(), &error)) {
        std::fprintf(stderr, "soak: %s\n", qPrintable(error));
        return 1;
    }

    Config config = Config::parse({}, {}).value();
    config.apiBaseURL = service.origin();
    config.caCertificates = {service.caCertificate()};
    config.vpnGatewayHost = gateway.host();
    config.vpnBackend = QStringLiteral("vici");
    config.viciSocket = gateway.clientVici();
    // The checkout's own script, root's alone as the client requires.
    config.viciUpdownScript = QStringLiteral(ORVEX_UPDOWN_SCRIPT_PATH);
    config.viciNetworkNamespace = gateway.clientNamespace();
    SystemInfo::setMachineIdSourceForTesting([] { return std::optional<QString>(QStringLiteral("soak")); });

    std::printf("soak: %d cycles, seed %u, fault share %.2f\n", cycles, seed, faultShare);
    std::fflush(stdout);

    // Ordinary programs of the client's network keep sending all along (a
    // ping of each family five times a second to the host behind the
    // gateway); what the client's outer link carries is captured.
    std::vector<std::unique_ptr<QProcess>> pingers;
    for (const QString &target :
         {gateway.value(QStringLiteral("HOST_ADDR")), gateway.value(QStringLiteral("HOST_ADDR6"))}) {
        auto pinger = std::make_unique<QProcess>();
        pinger->setStandardOutputFile(QProcess::nullDevice());
        pinger->setStandardErrorFile(QProcess::nullDevice());
        pinger->start(QStringLiteral("ip"),
                      {QStringLiteral("netns"), QStringLiteral("exec"),
                       gateway.value(QStringLiteral("CLIENT_NS")), QStringLiteral("ping"),
                       QStringLiteral("-i"), QStringLiteral("0.2"), target});
        pingers.push_back(std::move(pinger));
    }
    const auto stopPingers = qScopeGuard([&pingers] {
        for (auto &pinger : pingers) {
            pinger->kill();
            pinger->waitForFinished();
        }
    });
    const bool capturing = gateway.startCapture();

    Soak soak(gateway, service, serviceArguments, config);
    soak.verbose = verbose;
    if (!soak.setUp(&error)) {
        std::fprintf(stderr, "soak: %s\n%s\n", qPrintable(error), qPrintable(gateway.logs()));
        soak.tearDown();
        return 1;
    }

    // Which cycles get a fault, and which: every kind in turn, in an order of
    // the seed's, so a short run still meets each kind.
    std::mt19937 random(seed);
    const int faulty = int(double(cycles) * faultShare + 0.5);
    std::vector<int> order(static_cast<size_t>(cycles));
    for (int i = 0; i < cycles; ++i)
        order[size_t(i)] = i;
    std::shuffle(order.begin(), order.end(), random);
    std::vector<Fault> kinds;
    for (Fault kind : allFaults) {
        if (onlyKinds.isEmpty() || onlyKinds.contains(QLatin1String(faultKey(kind))))
            kinds.push_back(kind);
    }
    if (kinds.empty())
        kinds.assign(allFaults.begin(), allFaults.end());
    std::shuffle(kinds.begin(), kinds.end(), random);
    std::map<int, Fault> faultAt;
    for (int i = 0; i < faulty; ++i)
        faultAt[order[size_t(i)]] = kinds[size_t(i) % kinds.size()];
    std::uniform_int_distribution<int> points(0, 3);

    // Start figures after a short fixed warm-up: the first Turn ONs and the
    // first faults allocate once for good (fonts, TLS, the alert's window).
    const int warmCycles = std::min(cycles, 5);
    const long rssSetUp = residentKb();
    long rssStart = rssSetUp;
    Heap heapStart = heap();
    int threadsStart = threads();
    QStringList fdsAtStart;
    const auto sockets = [](const QStringList &targets) {
        return int(std::count_if(targets.begin(), targets.end(),
                                 [](const QString &t) { return t.contains(QLatin1String("socket:")); }));
    };
    int badCycles = 0;
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < cycles; ++i) {
        const auto it = faultAt.find(i);
        const std::optional<Fault> fault = it == faultAt.end() ? std::nullopt
                                                               : std::optional<Fault>(it->second);
        const Point point = Point(points(random));
        if (!soak.cycle(i + 1, fault, point, random))
            ++badCycles;
        if (i + 1 == warmCycles) {
            soak.quiesce();
            rssStart = residentKb();
            heapStart = heap();
            threadsStart = threads();
            fdsAtStart = fdTargets();
        }
        if ((i + 1) % 25 == 0) {
            const Heap now = heap();
            std::printf("  ... %d cycles, %.0f s, RSS %.1f MB, heap in use %.1f MB of %.1f MB, %d threads, "
                        "%lld fds\n",
                        i + 1, wall.elapsed() / 1000.0, residentKb() / 1024.0, now.inUseMb, now.heldMb,
                        threads(), static_cast<long long>(fdTargets().size()));
            std::fflush(stdout);
        }
    }
    // The same point as the start figures.
    soak.quiesce();
    const long rssEnd = residentKb();
    const Heap heapEnd = heap();
    const int threadsEnd = threads();
    const QStringList fdsAtEnd = fdTargets();
    const int fdsStart = int(fdsAtStart.size());
    const int fdsEnd = int(fdsAtEnd.size());
    const int socketsStart = sockets(fdsAtStart);
    const int socketsEnd = sockets(fdsAtEnd);

    // What the gateway still holds after the last Turn OFF: the delete
    // exchange is given a moment, and a tunnel orphaned by an earlier fault
    // the gateway's dead-peer detection (30 s, then 3 retransmissions).
    const auto gatewaySas = [&] {
        const std::optional<QStringList> sas = gateway.securityAssociations(Side::Gateway);
        return sas ? int(sas->size()) : -1;
    };
    waitFor([&] { return gatewaySas() == 0; }, 3000);
    const int leftNow = gatewaySas();
    const QStringList leftStates = gateway.securityAssociations(Side::Gateway).value_or(QStringList());
    waitFor([&] { return gatewaySas() == 0; }, 45000);
    const int leftAfterDpd = gatewaySas();

    QStringList beside;
    const bool captured = capturing && !gateway.stopCapture(&beside).isEmpty();
    int plaintextWanted = 0;
    for (const QString &line : beside) {
        const qint64 at = qint64(line.section(QLatin1Char(' '), 0, 0).toDouble() * 1000);
        if (soak.wasWanted(at)) {
            ++plaintextWanted;
            if (plaintextWanted <= 10)
                std::printf("  in the clear while wanted: %s\n", qPrintable(line));
        }
    }

    std::printf("\nsoak figures (seed %u)\n", seed);
    std::printf("  cycles:                          %d (%.0f s), %d with a problem\n", cycles,
                wall.elapsed() / 1000.0, badCycles);
    int faultsTotal = 0;
    for (const auto &[kind, count] : soak.faultsByKind)
        faultsTotal += count;
    std::printf("  faults:                          %d\n", faultsTotal);
    for (Fault kind : allFaults)
        std::printf("    %-30s %d\n", faultName(kind), soak.faultsByKind[kind]);
    if (captured)
        std::printf(
            "  plaintext on the outer link:     %d while the tunnel was wanted (want 0), %d while off\n",
            plaintextWanted, int(beside.size()) - plaintextWanted);
    else
        std::printf("  plaintext on the outer link:     not captured (tcpdump failed)\n");
    std::printf("  state did not match charon:      %d (want 0)\n", soak.mismatches);
    std::printf("  progress overlays left up:       %d (want 0)\n", soak.stuckOverlays);
    std::printf("  Turn ON after a fault failed:    %d (want 0)\n", soak.failedRecoveries);
    std::printf("  Turn ON without fault failed:    %d (want 0)\n", soak.failedConnects);
    std::printf("  fault injection errors:          %d\n", soak.injectErrors);
    std::printf("  client charon ended by itself:   %d (restarted; a daemon crash, not the client's)\n",
                soak.clientCharonDeaths);
    std::printf("  alerts shown (and dismissed):    %d\n", soak.alerts);
    std::printf("  connect median / p95:            %.1f / %.1f ms (%lld Turn ONs)\n",
                percentile(soak.connectMs, 0.5), percentile(soak.connectMs, 0.95),
                static_cast<long long>(soak.connectMs.size()));
    std::printf("  connect fetching a certificate:  %.1f / %.1f ms (%lld Turn ONs)\n",
                percentile(soak.fetchingConnectMs, 0.5), percentile(soak.fetchingConnectMs, 0.95),
                static_cast<long long>(soak.fetchingConnectMs.size()));
    std::printf("  RSS start / end:                 %.1f / %.1f MB (growth %.2f MB, want < 2)\n"
                "    (start: after the warm-up of %d cycles; right after set-up %.1f MB)\n",
                rssStart / 1024.0, rssEnd / 1024.0, (rssEnd - rssStart) / 1024.0, warmCycles,
                rssSetUp / 1024.0);
    std::printf("  heap in use start / end:         %.2f / %.2f MB (held from the system %.2f / %.2f MB)\n",
                heapStart.inUseMb, heapEnd.inUseMb, heapStart.heldMb, heapEnd.heldMb);
    std::printf("  threads start / end:             %d / %d\n", threadsStart, threadsEnd);
    std::printf(
        "  open fds start / end:            %d / %d (want equal; sockets %d / %d, the rest %d / %d)\n",
        fdsStart, fdsEnd, socketsStart, socketsEnd, fdsStart - socketsStart, fdsEnd - socketsEnd);
    // By number and target: a socket opened anew in the same slot (charon's
    // after a restart) or the pipes of a restarted service differ too.
    for (const QString &fd : fdsStart != fdsEnd || verbose ? fdsAtStart : QStringList()) {
        if (!fdsAtEnd.contains(fd))
            std::printf("    only at start: %s\n", qPrintable(fd));
    }
    for (const QString &fd : fdsStart != fdsEnd || verbose ? fdsAtEnd : QStringList()) {
        if (!fdsAtStart.contains(fd))
            std::printf("    only at end:   %s\n", qPrintable(fd));
    }
    std::printf("  gateway SAs after last Turn OFF: %d (want 0); after the gateway's DPD: %d\n", leftNow,
                leftAfterDpd);
    if (leftNow > 0)
        std::printf("    left after the last Turn OFF: %s (IKE/CHILD states; last faulty cycle %d, %s)\n",
                    qPrintable(leftStates.join(QLatin1Char(' '))),
                    faultAt.empty() ? 0 : faultAt.rbegin()->first + 1,
                    faultAt.empty() ? "-" : faultName(faultAt.rbegin()->second));
    std::printf("FIGURE soak-cycles %d\nFIGURE soak-mismatches %d\nFIGURE soak-stuck-overlays %d\n"
                "FIGURE soak-connect-median-ms %.1f\nFIGURE soak-connect-p95-ms %.1f\n"
                "FIGURE soak-rss-growth-mb %.2f\nFIGURE soak-fd-growth %d\nFIGURE soak-gateway-sas-left %d\n"
                "FIGURE soak-plaintext-while-wanted %d\nFIGURE soak-client-charon-deaths %d\n",
                cycles, soak.mismatches, soak.stuckOverlays, percentile(soak.connectMs, 0.5),
                percentile(soak.connectMs, 0.95), (rssEnd - rssStart) / 1024.0, fdsEnd - fdsStart, leftNow,
                captured ? plaintextWanted : -1, soak.clientCharonDeaths);
    std::fflush(stdout);

    soak.tearDown();
    gateway.down();
    service.stop();
    const bool failed = soak.mismatches || soak.stuckOverlays || soak.failedRecoveries || soak.failedConnects
                        || soak.injectErrors || !captured || plaintextWanted > 0;
    return failed ? 1 : 0;
}
