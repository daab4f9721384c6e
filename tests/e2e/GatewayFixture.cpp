#include "GatewayFixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <atomic>
#include <unistd.h>

namespace {

QString script()
{
    return QString::fromLocal8Bit(qgetenv("ORVEX_GATEWAY_SCRIPT"));
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

int GatewayFixture::run(const QStringList &arguments, QByteArray *output) const
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(script(), arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = process.readAllStandardOutput() + process.readAllStandardError();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

bool GatewayFixture::up(QString *error)
{
    if (script().isEmpty()) {
        *error = QStringLiteral("ORVEX_GATEWAY_SCRIPT is not set");
        return false;
    }
    QByteArray output;
    m_up = true; // whatever happens, down() cleans up
    const int status = run({QStringLiteral("up"), QStringLiteral("--dir"), m_dir->path(),
                            QStringLiteral("--tag"), m_tag},
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

void GatewayFixture::down()
{
    if (!m_up)
        return;
    m_up = false;
    run({QStringLiteral("down"), QStringLiteral("--dir"), m_dir->path()});
}

QByteArray GatewayFixture::issueClientIdentity(const QString &id, const QString &passphrase,
                                               const QString &caDir)
{
    const QString out = m_dir->filePath(QStringLiteral("client-%1.p12").arg(id.left(8)));
    QStringList arguments{QStringLiteral("client-cert"), QStringLiteral("--dir"), m_dir->path(),
                          QStringLiteral("--id"), id, QStringLiteral("--out"), out,
                          QStringLiteral("--pass"), passphrase};
    if (!caDir.isEmpty())
        arguments << QStringLiteral("--ca") << caDir;
    if (run(arguments) != 0)
        return {};
    QFile file(out);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString GatewayFixture::makeOtherCa()
{
    const QString dir = m_dir->filePath(QStringLiteral("other-ca"));
    QDir().mkpath(dir);
    const int status = QProcess::execute(
            QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
             QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
             QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/O=Elsewhere/CN=Other CA"),
             QStringLiteral("-keyout"), dir + QStringLiteral("/ca.key"), QStringLiteral("-out"),
             dir + QStringLiteral("/ca.crt"), QStringLiteral("-addext"),
             QStringLiteral("basicConstraints=critical,CA:TRUE")});
    Q_UNUSED(status)
    return QFile::exists(dir + QStringLiteral("/ca.crt")) ? dir : QString();
}

bool GatewayFixture::stopResponder()
{
    return run({QStringLiteral("stop-responder"), QStringLiteral("--dir"), m_dir->path()}) == 0;
}

bool GatewayFixture::pingInnerAddress()
{
    return QProcess::execute(QStringLiteral("ip"),
                             {QStringLiteral("netns"), QStringLiteral("exec"),
                              value(QStringLiteral("CLIENT_NS")), QStringLiteral("ping"),
                              QStringLiteral("-c1"), QStringLiteral("-W3"),
                              value(QStringLiteral("INNER_ADDR"))})
           == 0;
}

QString GatewayFixture::logs() const
{
    QString text;
    for (const char *key : {"CLIENT_LOG", "GATEWAY_LOG"}) {
        QFile file(value(QLatin1String(key)));
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = file.readAll();
            text += QStringLiteral("--- %1 ---\n%2\n").arg(QLatin1String(key), QString::fromUtf8(bytes.right(3000)));
        }
    }
    return text;
}

static QString sideName(GatewayFixture::Side side)
{
    return side == GatewayFixture::Side::Gateway ? QStringLiteral("gateway") : QStringLiteral("client");
}

bool GatewayFixture::killCharon(Side side)
{
    return run({QStringLiteral("kill-charon"), QStringLiteral("--dir"), m_dir->path(),
                QStringLiteral("--side"), sideName(side)})
           == 0;
}

bool GatewayFixture::startCharon(Side side)
{
    return run({QStringLiteral("start-charon"), QStringLiteral("--dir"), m_dir->path(),
                QStringLiteral("--side"), sideName(side)})
           == 0;
}

bool GatewayFixture::terminateAtGateway()
{
    // swanctl ends every IKE SA of the named connection.
    QProcess swanctl;
    swanctl.start(QStringLiteral("swanctl"),
                  {QStringLiteral("--terminate"), QStringLiteral("--ike"), value(QStringLiteral("CONN")),
                   QStringLiteral("--timeout"), QStringLiteral("2"), QStringLiteral("--force"),
                   QStringLiteral("--uri"), QStringLiteral("unix://") + gatewayVici()});
    return swanctl.waitForFinished(30000) && swanctl.exitStatus() == QProcess::NormalExit
           && swanctl.exitCode() == 0;
}

bool GatewayFixture::setLinkUp(bool up)
{
    // The client namespace holds one veth: the end of the link.
    const QString ns = value(QStringLiteral("CLIENT_NS"));
    QProcess list;
    list.start(QStringLiteral("ip"), {QStringLiteral("-n"), ns, QStringLiteral("-o"), QStringLiteral("link"),
                                      QStringLiteral("show"), QStringLiteral("type"), QStringLiteral("veth")});
    if (!list.waitForFinished(30000))
        return false;
    // "2: ocTAG@if3: <...>"
    const QList<QByteArray> fields = list.readAllStandardOutput().split(':');
    if (fields.size() < 2)
        return false;
    const QString link = QString::fromUtf8(fields[1].trimmed().split('@').first());
    return QProcess::execute(QStringLiteral("ip"),
                             {QStringLiteral("-n"), ns, QStringLiteral("link"), QStringLiteral("set"),
                              QStringLiteral("dev"), link, up ? QStringLiteral("up") : QStringLiteral("down")})
           == 0;
}

std::optional<QStringList> GatewayFixture::securityAssociations(Side side) const
{
    const QString socket = side == Side::Gateway ? gatewayVici() : clientVici();
    QProcess swanctl;
    swanctl.start(QStringLiteral("swanctl"), {QStringLiteral("--list-sas"), QStringLiteral("--raw"),
                                              QStringLiteral("--uri"), QStringLiteral("unix://") + socket});
    if (!swanctl.waitForFinished(30000) || swanctl.exitStatus() != QProcess::NormalExit
        || swanctl.exitCode() != 0)
        return std::nullopt;
    // One line per IKE SA: "list-sa event {NAME {uniqueid=1 ... state=ESTABLISHED
    // ... child-sas {NAME-2 {... state=INSTALLED ...}}}}". The IKE SA's state
    // comes before its children's.
    QStringList states;
    for (const QByteArray &line : swanctl.readAllStandardOutput().split('\n')) {
        if (!line.startsWith("list-sa event"))
            continue;
        QStringList found;
        qsizetype at = 0;
        while ((at = line.indexOf(" state=", at)) >= 0) {
            at += 7;
            const qsizetype end = line.indexOf(' ', at);
            found << QString::fromUtf8(line.mid(at, end < 0 ? -1 : end - at));
        }
        if (found.isEmpty())
            continue;
        const QString ike = found.takeFirst();
        states << ike + QLatin1Char('/') + found.join(QLatin1Char(','));
    }
    return states;
}
