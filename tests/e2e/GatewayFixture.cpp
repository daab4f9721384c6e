#include "GatewayFixture.h"
#include "ProgramRun.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <atomic>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QString script()
{
    return QString::fromLocal8Bit(qgetenv("ORVEX_GATEWAY_SCRIPT"));
}

// The words of `text`, for fixed command lines.
QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(u' ');
}

} // namespace

int GatewayFixture::execute(const QString &program, const QStringList &arguments, QByteArray *output,
                            bool merged)
{
    const ProgramRun result = runProgram(program, arguments, 60000);
    if (output)
        *output = (result.out + (merged ? result.err : QString())).toUtf8();
    return result.exitCode;
}

GatewayFixture::GatewayFixture()
    : m_dir(std::make_unique<QTemporaryDir>())
{
    // Unique per process and per fixture; short enough for interface names.
    static std::atomic<int> counter = 0;
    m_tag = u"%1x%2"_s.arg(::getpid()).arg(counter++);
}

GatewayFixture::~GatewayFixture()
{
    down();
}

bool GatewayFixture::isRoot()
{
    return ::geteuid() == 0;
}

// `scripts/gateway COMMAND --dir DIR ARGUMENTS...`
int GatewayFixture::run(const QStringList &arguments, QByteArray *output) const
{
    return execute(script(), QStringList{arguments.first(), u"--dir"_s, m_dir->path()} + arguments.mid(1),
                   output, true);
}

bool GatewayFixture::up(QString *error, const QStringList &arguments)
{
    if (script().isEmpty()) {
        *error = u"ORVEX_GATEWAY_SCRIPT is not set"_s;
        return false;
    }
    QByteArray output;
    m_up = true; // whatever happens, down() cleans up
    // A test that dies (a crash, a kill) never reaches down(): this watcher
    // does it then. It waits for the end of its input, whose other end only
    // this process holds, and it holds none of the test's output, so ctest
    // still sees the test end at once.
    m_reaper = std::make_unique<QProcess>();
    m_reaper->setStandardOutputFile(QProcess::nullDevice());
    m_reaper->setStandardErrorFile(QProcess::nullDevice());
    m_reaper->start(u"/bin/sh"_s, {u"-c"_s, u"cat >/dev/null; \"$0\" down --dir \"$1\"; rm -rf -- \"$1\""_s,
                                   script(), m_dir->path()});
    if (!m_reaper->waitForStarted()) {
        *error = u"the gateway's watcher did not start: %1"_s.arg(m_reaper->errorString());
        return false;
    }
    const int status = run(QStringList{u"up"_s, u"--tag"_s, m_tag} + arguments, &output);
    for (const QByteArray &line : output.split('\n')) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            m_values.insert(QString::fromUtf8(line.left(equals)), QString::fromUtf8(line.mid(equals + 1)));
    }
    if (status != 0 || clientVici().isEmpty()) {
        *error = u"scripts/gateway up failed: %1"_s.arg(QString::fromUtf8(output));
        return false;
    }
    return true;
}

bool GatewayFixture::upTrusting(const QString &caFolder, QString *error, const QStringList &arguments)
{
    // The script keeps a CA it finds in place.
    const QString caDir = directory() + u"/ca"_s;
    for (const QString &name : {u"ca.crt"_s, u"ca.key"_s}) {
        if (!QDir().mkpath(caDir) || !QFile::copy(caFolder + u'/' + name, caDir + u'/' + name)) {
            *error = u"cannot copy %1 from %2 to %3"_s.arg(name, caFolder, caDir);
            return false;
        }
    }
    return up(error, arguments);
}

void GatewayFixture::down()
{
    if (!m_up)
        return;
    m_up = false;
    if (m_reaper) {
        m_reaper->kill(); // its input ends with it: nothing else runs
        m_reaper->waitForFinished();
        m_reaper.reset();
    }
    run({u"down"_s});
}

QByteArray GatewayFixture::issueClientIdentity(const QString &id, const QString &passphrase,
                                               const QString &caDir)
{
    const QString out = m_dir->filePath(u"client-%1.p12"_s.arg(id.left(8)));
    QStringList arguments{u"client-cert"_s, u"--id"_s, id, u"--out"_s, out, u"--pass"_s, passphrase};
    if (!caDir.isEmpty())
        arguments << u"--ca"_s << caDir;
    QFile file(out);
    return run(arguments) == 0 && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString GatewayFixture::makeOtherCa()
{
    const QString dir = m_dir->filePath(u"other-ca"_s);
    QDir().mkpath(dir);
    execute(u"openssl"_s,
            words("req -x509 -newkey rsa:2048 -nodes -days 2 -addext basicConstraints=critical,CA:TRUE -subj")
                << u"/O=Elsewhere/CN=Other CA"_s << u"-keyout"_s << dir + u"/ca.key"_s << u"-out"_s
                << dir + u"/ca.crt"_s);
    return QFile::exists(dir + u"/ca.crt"_s) ? dir : QString();
}

QString GatewayFixture::logs() const
{
    QString text;
    for (const char *key : {"CLIENT_LOG", "GATEWAY_LOG"}) {
        QFile file(value(QLatin1String(key)));
        if (file.open(QIODevice::ReadOnly))
            text += u"--- %1 ---\n%2\n"_s.arg(QLatin1String(key),
                                              QString::fromUtf8(file.readAll().right(3000)));
    }
    return text;
}

bool GatewayFixture::terminateAtGateway()
{
    // swanctl ends every IKE SA of the named connection.
    return execute(
               u"swanctl"_s,
               QStringList{u"--terminate"_s, u"--ike"_s, value(u"CONN"_s)} + words("--timeout 2 --force --uri")
                   << u"unix://"_s + gatewayVici())
           == 0;
}

bool GatewayFixture::offerIpv6(bool offered)
{
    if (run(offered ? QStringList{u"offer"_s} : words("offer --ipv4-only")) != 0)
        return false;
    m_values.insert(u"IPV6"_s, offered ? u"yes"_s : u"no"_s);
    return true;
}

QString GatewayFixture::link(Side side) const
{
    // The namespace holds one veth: its end of the link, "2: ocTAG@if3: <...>".
    QByteArray listing;
    execute(u"ip"_s,
            QStringList{u"-n"_s, value(side == Side::Gateway ? u"GATEWAY_NS"_s : u"CLIENT_NS"_s)}
                + words("-o link show type veth"),
            &listing);
    return QString::fromUtf8(listing.split(':').value(1).trimmed().split('@').constFirst());
}

bool GatewayFixture::setLinkUp(bool up)
{
    const QString link = this->link(Side::Client);
    return !link.isEmpty()
           && execute(u"ip"_s, {u"-n"_s, value(u"CLIENT_NS"_s), u"link"_s, u"set"_s, u"dev"_s, link,
                                up ? u"up"_s : u"down"_s})
                  == 0;
}

std::optional<QStringList> GatewayFixture::securityAssociations(Side side) const
{
    const QString socket = side == Side::Gateway ? gatewayVici() : clientVici();
    QByteArray listing;
    if (execute(u"swanctl"_s, words("--list-sas --raw --uri") << u"unix://"_s + socket, &listing) != 0)
        return std::nullopt;
    // One line per IKE SA: "list-sa event {NAME {uniqueid=1 ... state=ESTABLISHED
    // ... child-sas {NAME-2 {... state=INSTALLED ...}}}}". The IKE SA's state
    // comes before its children's.
    static const QRegularExpression state(u" state=(\\S+)"_s);
    QStringList states;
    for (const QByteArray &line : listing.split('\n')) {
        if (!line.startsWith("list-sa event"))
            continue;
        QStringList found;
        for (const QRegularExpressionMatch &match : state.globalMatch(QString::fromUtf8(line)))
            found << match.captured(1);
        if (!found.isEmpty())
            states << found.takeFirst() + u'/' + found.join(u',');
    }
    return states;
}

int GatewayFixture::runInClient(const QStringList &command, QByteArray *output) const
{
    return execute(u"ip"_s, QStringList{u"netns"_s, u"exec"_s, value(u"CLIENT_NS"_s)} + command, output);
}

QByteArray GatewayFixture::resolverConfiguration() const
{
    QFile file(value(u"RESOLV_CONF"_s));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

QString GatewayFixture::resolve(const QString &name, int family) const
{
    QByteArray output;
    if (runInClient({u"getent"_s, family == 6 ? u"ahostsv6"_s : u"ahostsv4"_s, name}, &output) != 0)
        return {};
    return QString::fromUtf8(output.left(output.indexOf(' ')));
}

bool GatewayFixture::ping(const QString &address) const
{
    return runInClient(words("ping -c1 -W3") << address) == 0;
}

bool GatewayFixture::ipv6Refused() const
{
    QByteArray rules;
    execute(u"ip"_s, QStringList{u"-n"_s, value(u"CLIENT_NS"_s)} + words("-6 rule list"), &rules);
    return rules.contains("unreachable");
}

void GatewayFixture::expectOnlyTunnelTraffic(bool ipv6)
{
    QVERIFY(startCapture());
    const QString hostName = value(u"HOST_NAME"_s);
    QCOMPARE(resolve(hostName, 4), u"198.51.100.10"_s);
    QCOMPARE(resolve(hostName, 6), u"2001:db8:51::10"_s);
    QVERIFY(ping(u"198.51.100.10"_s));
    QCOMPARE(ping(u"2001:db8:51::10"_s), ipv6);
    resolve(value(u"LAN_NAME"_s), 4);
    QMap<QString, int> seen = stopCapture();
    QVERIFY(!seen.isEmpty());
    QVERIFY(seen.take(u"IKE/ESP"_s) >= 2); // at least the two pings, in ESP
    QCOMPARE(seen, (QMap<QString, int>{}));
}

bool GatewayFixture::startCapture()
{
    // Everything the client sends on its outer link (what arrives is no
    // leak), line-buffered, addresses and ports as numbers.
    m_capture = std::make_unique<QProcess>();
    m_captured.clear();
    m_captureErrors.clear();
    QProcess *tcpdump = m_capture.get();
    QObject::connect(tcpdump, &QProcess::readyReadStandardOutput, tcpdump,
                     [this, tcpdump] { m_captured += tcpdump->readAllStandardOutput(); });
    QObject::connect(tcpdump, &QProcess::readyReadStandardError, tcpdump,
                     [this, tcpdump] { m_captureErrors += tcpdump->readAllStandardError(); });
    tcpdump->start(u"ip"_s, {u"netns"_s, u"exec"_s, value(u"CLIENT_NS"_s), u"tcpdump"_s, u"-i"_s,
                             value(u"CLIENT_IF"_s), u"-Q"_s, u"out"_s, u"-tt"_s, u"-nn"_s, u"-l"_s});
    if (!QTest::qWaitFor([this] { return m_captureErrors.contains("listening on"); }, 30000)) {
        qWarning("tcpdump did not start: %s", m_captureErrors.constData());
        m_capture.reset();
        return false;
    }
    return true;
}

QMap<QString, int> GatewayFixture::stopCapture(QStringList *beside)
{
    if (!m_capture)
        return {};
    const auto stop = qScopeGuard([this] {
        m_capture->kill();
        m_capture->waitForFinished();
        m_capture.reset();
    });
    // A frame of a kind nobody speaks, sent out of the client's end of the
    // link past any firewall (a packet socket): once tcpdump shows it, it has
    // shown everything before it.
    const QString marker
        = QStringLiteral(
              "import socket\n"
              "s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)\n"
              "s.bind(('oc%1', 0))\n"
              "s.send(b'\\xff' * 6 + s.getsockname()[4] + b'\\x88\\xb5' + b'orvex-marker' + bytes(34))\n")
              .arg(m_tag);
    if (execute(u"ip"_s,
                {u"netns"_s, u"exec"_s, value(u"CLIENT_NS"_s), u"/usr/bin/python3"_s, u"-c"_s, marker})
            != 0
        || !QTest::qWaitFor([this] { return m_captured.contains("(0x88b5)"); }, 30000)) {
        qWarning("the capture's marker did not arrive");
        return {};
    }

    // IKE and ESP in UDP to the gateway's IKE ports (charon-nm sends from
    // ports of its own choosing), and link housekeeping; nothing else.
    const QRegularExpression ike(u" IP6? (%1\\.\\d+ > %2\\.(500|4500)|%2\\.(500|4500) > %1\\.\\d+): "_s
                                     .arg(QRegularExpression::escape(value(u"CLIENT_ADDR"_s)),
                                          QRegularExpression::escape(value(u"GATEWAY_ADDR"_s))));
    static const QRegularExpression housekeeping(u" ARP, |ICMP6, (neighbor solicitation|neighbor "
                                                 u"advertisement|router solicitation|router advertisement|"
                                                 "multicast listener report)"_s);
    QMap<QString, int> kinds{{u"IKE/ESP"_s, 0}};
    const QByteArray seen = m_captured.left(
        qMax<qsizetype>(0, m_captured.lastIndexOf('\n', m_captured.indexOf("(0x88b5)"))));
    for (const QByteArray &bytes : seen.split('\n')) {
        const QString line = QString::fromUtf8(bytes);
        if (line.isEmpty() || line.startsWith(u'\t') || line.startsWith(u' '))
            continue;
        if (line.contains(ike)) {
            ++kinds[u"IKE/ESP"_s];
            continue;
        }
        if (line.contains(housekeeping))
            continue;
        const QString kind = line.contains(u"ICMP6"_s)                           ? u"ICMP6"_s
                             : line.contains(u"ICMP"_s)                          ? u"ICMP"_s
                             : line.contains(QRegularExpression(u"\\.53[: ]"_s)) ? u"DNS"_s
                             : line.contains(u" Flags ["_s)                      ? u"TCP"_s
                                                                                 : u"other"_s;
        ++kinds[kind];
        if (beside)
            *beside << line;
        else
            qInfo().noquote() << "beside the tunnel:" << line;
    }
    return kinds;
}

void GatewayFixture::expectNothingBesideTheTunnelSinceCapture()
{
    QMap<QString, int> beside = stopCapture();
    QVERIFY(!beside.isEmpty());
    qInfo().noquote() << "on the outer link:" << beside;
    beside.remove(u"IKE/ESP"_s);
    QCOMPARE(beside, (QMap<QString, int>{}));
}

void GatewayFixture::sendProbes() const
{
    runInClient(words("ping -c1 -W1 198.51.100.10"));
    runInClient(words("ping -c1 -W1 2001:db8:51::10"));
    runInClient({u"getent"_s, u"ahostsv4"_s, value(u"LAN_NAME"_s)});
    runInClient({u"timeout"_s, u"2"_s, u"bash"_s, u"-c"_s, u"exec 3<>/dev/tcp/203.0.113.80/80"_s});
}

QStringList GatewayFixture::firewallTables() const
{
    QByteArray listing;
    runInClient(words("nft list tables"), &listing);
    QStringList tables;
    for (const QByteArray &line : listing.split('\n')) {
        if (line.startsWith("table "))
            tables << QString::fromUtf8(line.mid(6)).trimmed();
    }
    return tables;
}
