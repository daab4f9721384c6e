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
