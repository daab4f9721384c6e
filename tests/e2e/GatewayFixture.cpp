#include "GatewayFixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <atomic>
#include <unistd.h>

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

// Runs `program` to its end (at most 60 s); its exit code, or -1 when it
// crashed or hung. `output` gets standard output (and error, with `merged`).
int execute(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
            bool merged = false)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = process.readAllStandardOutput() + (merged ? process.readAllStandardError() : QByteArray());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QString sideName(GatewayFixture::Side side)
{
    return side == GatewayFixture::Side::Gateway ? QStringLiteral("gateway") : QStringLiteral("client");
}

} // namespace

GatewayFixture::GatewayFixture()
    : m_dir(std::make_unique<QTemporaryDir>())
{
    // Unique per process and per fixture; short enough for interface names.
    static std::atomic<int> counter = 0;
    m_tag = QStringLiteral("%1x%2").arg(::getpid()).arg(counter++);
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
    return execute(script(),
                   QStringList{arguments.first(), QStringLiteral("--dir"), m_dir->path()} + arguments.mid(1),
                   output, true);
}

bool GatewayFixture::up(QString *error, const QStringList &arguments)
{
    if (script().isEmpty()) {
        *error = QStringLiteral("ORVEX_GATEWAY_SCRIPT is not set");
        return false;
    }
    QByteArray output;
    m_up = true; // whatever happens, down() cleans up
    const int status = run(QStringList{QStringLiteral("up"), QStringLiteral("--tag"), m_tag} + arguments,
                           &output);
    for (const QByteArray &line : output.split('\n')) {
        const int equals = line.indexOf('=');
        if (equals > 0)
            m_values.insert(QString::fromUtf8(line.left(equals)), QString::fromUtf8(line.mid(equals + 1)));
    }
    if (status != 0 || clientVici().isEmpty()) {
        *error = QStringLiteral("scripts/gateway up failed: %1").arg(QString::fromUtf8(output));
        return false;
    }
    return true;
}

bool GatewayFixture::upTrusting(const QString &caFolder, QString *error, const QStringList &arguments)
{
    // The script keeps a CA it finds in place.
    const QString caDir = directory() + QStringLiteral("/ca");
    for (const QString &name : {QStringLiteral("ca.crt"), QStringLiteral("ca.key")}) {
        if (!QDir().mkpath(caDir) || !QFile::copy(caFolder + u'/' + name, caDir + u'/' + name)) {
            *error = QStringLiteral("cannot copy %1 from %2 to %3").arg(name, caFolder, caDir);
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
    run({QStringLiteral("down")});
}

QByteArray GatewayFixture::issueClientIdentity(const QString &id, const QString &passphrase,
                                               const QString &caDir)
{
    const QString out = m_dir->filePath(QStringLiteral("client-%1.p12").arg(id.left(8)));
    QStringList arguments{QStringLiteral("client-cert"),
                          QStringLiteral("--id"),
                          id,
                          QStringLiteral("--out"),
                          out,
                          QStringLiteral("--pass"),
                          passphrase};
    if (!caDir.isEmpty())
        arguments << QStringLiteral("--ca") << caDir;
    QFile file(out);
    return run(arguments) == 0 && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString GatewayFixture::makeOtherCa()
{
    const QString dir = m_dir->filePath(QStringLiteral("other-ca"));
    QDir().mkpath(dir);
    execute(QStringLiteral("openssl"),
            words("req -x509 -newkey rsa:2048 -nodes -days 2 -addext basicConstraints=critical,CA:TRUE -subj")
                << QStringLiteral("/O=Elsewhere/CN=Other CA") << QStringLiteral("-keyout")
                << dir + QStringLiteral("/ca.key") << QStringLiteral("-out")
                << dir + QStringLiteral("/ca.crt"));
    return QFile::exists(dir + QStringLiteral("/ca.crt")) ? dir : QString();
}

bool GatewayFixture::stopResponder()
{
    return run({QStringLiteral("stop-responder")}) == 0;
}

bool GatewayFixture::pingInnerAddress()
{
    return ping(value(QStringLiteral("INNER_ADDR")));
}

QString GatewayFixture::logs() const
{
    QString text;
    for (const char *key : {"CLIENT_LOG", "GATEWAY_LOG"}) {
        QFile file(value(QLatin1String(key)));
        if (file.open(QIODevice::ReadOnly))
            text += QStringLiteral("--- %1 ---\n%2\n")
                        .arg(QLatin1String(key), QString::fromUtf8(file.readAll().right(3000)));
    }
    return text;
}

bool GatewayFixture::killCharon(Side side)
{
    return run({QStringLiteral("kill-charon"), QStringLiteral("--side"), sideName(side)}) == 0;
}

bool GatewayFixture::startCharon(Side side)
{
    return run({QStringLiteral("start-charon"), QStringLiteral("--side"), sideName(side)}) == 0;
}

bool GatewayFixture::terminateAtGateway()
{
    // swanctl ends every IKE SA of the named connection.
    return execute(QStringLiteral("swanctl"),
                   QStringList{QStringLiteral("--terminate"), QStringLiteral("--ike"),
                               value(QStringLiteral("CONN"))}
                           + words("--timeout 2 --force --uri")
                       << QStringLiteral("unix://") + gatewayVici())
           == 0;
}

bool GatewayFixture::offerIpv6(bool offered)
{
    if (run(offered ? QStringList{QStringLiteral("offer")} : words("offer --ipv4-only")) != 0)
        return false;
    m_values.insert(QStringLiteral("IPV6"), offered ? QStringLiteral("yes") : QStringLiteral("no"));
    return true;
}

bool GatewayFixture::setLinkUp(bool up)
{
    // The client namespace holds one veth: the end of the link, "2: ocTAG@if3: <...>".
    const QString ns = value(QStringLiteral("CLIENT_NS"));
    QByteArray listing;
    if (execute(QStringLiteral("ip"), QStringList{QStringLiteral("-n"), ns} + words("-o link show type veth"),
                &listing)
        != 0)
        return false;
    const QList<QByteArray> fields = listing.split(':');
    if (fields.size() < 2)
        return false;
    const QString link = QString::fromUtf8(fields[1].trimmed().split('@').first());
    return execute(QStringLiteral("ip"),
                   {QStringLiteral("-n"), ns, QStringLiteral("link"), QStringLiteral("set"),
                    QStringLiteral("dev"), link, up ? QStringLiteral("up") : QStringLiteral("down")})
           == 0;
}

std::optional<QStringList> GatewayFixture::securityAssociations(Side side) const
{
    const QString socket = side == Side::Gateway ? gatewayVici() : clientVici();
    QByteArray listing;
    if (execute(QStringLiteral("swanctl"),
                words("--list-sas --raw --uri") << QStringLiteral("unix://") + socket, &listing)
        != 0)
        return std::nullopt;
    // One line per IKE SA: "list-sa event {NAME {uniqueid=1 ... state=ESTABLISHED
    // ... child-sas {NAME-2 {... state=INSTALLED ...}}}}". The IKE SA's state
    // comes before its children's.
    static const QRegularExpression state(QStringLiteral(" state=(\\S+)"));
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
    return execute(QStringLiteral("ip"),
                   QStringList{QStringLiteral("netns"), QStringLiteral("exec"),
                               value(QStringLiteral("CLIENT_NS"))}
                       + command,
                   output);
}

QByteArray GatewayFixture::resolverConfiguration() const
{
    QFile file(value(QStringLiteral("RESOLV_CONF")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

QString GatewayFixture::resolve(const QString &name, int family) const
{
    QByteArray output;
    if (runInClient({QStringLiteral("getent"),
                     family == 6 ? QStringLiteral("ahostsv6") : QStringLiteral("ahostsv4"), name},
                    &output)
        != 0)
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
    execute(QStringLiteral("ip"),
            QStringList{QStringLiteral("-n"), value(QStringLiteral("CLIENT_NS"))} + words("-6 rule list"),
            &rules);
    return rules.contains("unreachable");
}

GatewayFixture::Capture::~Capture()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished();
    }
}

bool GatewayFixture::Capture::start(QString *error)
{
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                     [this] { m_output += m_process.readAllStandardOutput(); });
    QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                     [this] { m_errors += m_process.readAllStandardError(); });
    // Line-buffered text, addresses and ports as numbers.
    m_process.start(QStringLiteral("ip"),
                    {QStringLiteral("netns"), QStringLiteral("exec"),
                     m_gateway.value(QStringLiteral("CLIENT_NS")), QStringLiteral("tcpdump"),
                     QStringLiteral("-i"), m_gateway.value(QStringLiteral("CLIENT_IF")),
                     QStringLiteral("-nn"), QStringLiteral("-l")});
    (void) QTest::qWaitFor(
        [this] { return m_errors.contains("listening on") || m_process.state() == QProcess::NotRunning; },
        30000);
    if (!m_errors.contains("listening on")) {
        *error = QStringLiteral("tcpdump did not start: %1").arg(QString::fromUtf8(m_errors));
        return false;
    }
    return true;
}

bool GatewayFixture::Capture::stop(QString *error)
{
    // A frame of a kind nobody speaks, sent by the gateway's end of the link:
    // once tcpdump shows it, it has shown everything before it.
    const QString script
        = QStringLiteral(
              "import socket\n"
              "s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)\n"
              "s.bind(('og%1', 0))\n"
              "s.send(b'\\xff' * 6 + s.getsockname()[4] + b'\\x88\\xb5' + b'orvex-marker' + bytes(34))\n")
              .arg(m_gateway.m_tag);
    const int sent = execute(QStringLiteral("ip"),
                             {QStringLiteral("netns"), QStringLiteral("exec"),
                              m_gateway.value(QStringLiteral("GATEWAY_NS")),
                              QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"), script});
    const bool seen = sent == 0 && QTest::qWaitFor([this] { return m_output.contains("(0x88b5)"); }, 30000);
    m_process.terminate();
    m_process.waitForFinished();
    if (!seen) {
        *error = QStringLiteral("the capture never showed its end marker");
        return false;
    }
    // Everything before the marker's line.
    const QByteArray text = m_output.left(
        qMax<qsizetype>(0, m_output.lastIndexOf('\n', m_output.indexOf("(0x88b5)"))));
    for (const QByteArray &line : text.split('\n')) {
        if (!line.isEmpty() && !line.startsWith('\t') && !line.startsWith(' '))
            classify(line);
    }
    return true;
}

void GatewayFixture::Capture::classify(const QByteArray &bytes)
{
    const QString line = QString::fromUtf8(bytes);
    const QString gateway = QRegularExpression::escape(m_gateway.value(QStringLiteral("GATEWAY_ADDR")));
    const QString client = QRegularExpression::escape(m_gateway.value(QStringLiteral("CLIENT_ADDR")));
    // Between the client's and the gateway's outer addresses, to or from the
    // gateway's IKE ports (charon-nm sends from ports of its own choosing).
    const QRegularExpression ike(
        QStringLiteral(" IP (%1\\.\\d+ > %2\\.(500|4500)|%2\\.(500|4500) > %1\\.\\d+): ").arg(client, gateway));
    static const QRegularExpression neighbours(QStringLiteral(
        "ICMP6, (neighbor solicitation|neighbor advertisement|router solicitation|router advertisement)"));
    QString kind;
    if (line.contains(QLatin1String(" ARP, ")))
        kind = QStringLiteral("ARP");
    else if (line.contains(neighbours))
        kind = QStringLiteral("neighbour discovery");
    else if (line.contains(QLatin1String("ICMP6, multicast listener report")))
        kind = QStringLiteral("multicast listener report");
    else if (line.contains(ike))
        kind = line.contains(QLatin1String("UDP-encap: ESP"))   ? QStringLiteral("ESP in UDP")
               : line.contains(QLatin1String("nat-keep-alive")) ? QStringLiteral("NAT keepalive")
                                                                : QStringLiteral("IKE");
    else {
        kind = QStringLiteral("other");
        others << line;
    }
    counts[kind] += 1;
}

QString GatewayFixture::Capture::summary() const
{
    QStringList parts;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        parts << QStringLiteral("%1: %2").arg(it.key()).arg(it.value());
    return parts.isEmpty() ? QStringLiteral("no packets") : parts.join(QStringLiteral(", "));
}
