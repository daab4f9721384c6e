#include "SystemInfo.h"

#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>

namespace Orvex::SystemInfo {

namespace {

std::function<std::optional<QString>()> &machineIdOverride()
{
    static std::function<std::optional<QString>()> source;
    return source;
}

std::function<QString()> &computerNameOverride()
{
    static std::function<QString()> source;
    return source;
}

std::optional<QString> readMachineId(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray content = file.read(4096);
    if (content.endsWith('\n'))
        content.chop(1);
    return QString::fromUtf8(content);
}

QString prettyHostName()
{
    QFile file(QStringLiteral("/etc/machine-info"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (!line.startsWith(QLatin1String("PRETTY_HOSTNAME=")))
            continue;
        QString value = line.mid(16);
        if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'')
            && value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return {};
}

} // namespace

std::optional<QString> machineId()
{
    if (machineIdOverride())
        return machineIdOverride()();
    if (auto id = readMachineId(QStringLiteral("/etc/machine-id")))
        return id;
    return readMachineId(QStringLiteral("/var/lib/dbus/machine-id"));
}

QString computerName()
{
    if (computerNameOverride())
        return computerNameOverride()();
    QString pretty = prettyHostName();
    if (!pretty.isEmpty())
        return pretty;
    return QSysInfo::machineHostName();
}

QString threePartVersion(const QString &release)
{
    static const QRegularExpression re(QStringLiteral("^(\\d+)(?:\\.(\\d+))?(?:\\.(\\d+))?"));
    const auto m = re.match(release);
    auto part = [&](int i) {
        const QString p = m.captured(i);
        return p.isEmpty() ? QStringLiteral("0") : QString::number(p.toULongLong());
    };
    if (!m.hasMatch())
        return QStringLiteral("0.0.0");
    return part(1) + u'.' + part(2) + u'.' + part(3);
}

QString kernelVersion()
{
    return threePartVersion(QSysInfo::kernelVersion());
}

void setMachineIdSourceForTesting(std::function<std::optional<QString>()> source)
{
    machineIdOverride() = std::move(source);
}

void setComputerNameSourceForTesting(std::function<QString()> source)
{
    computerNameOverride() = std::move(source);
}

} // namespace Orvex::SystemInfo
