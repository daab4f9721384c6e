#include "LoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace Orvex::LoginItem {

namespace {

bool isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name == u'.' || name == QLatin1String("..") || name.contains(u'/'))
        return false;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

// One argument of an Exec line: quoted when it holds a character the
// desktop-entry rules reserve, with the four characters that stay special
// inside quotes escaped, and '%' doubled so it is not read as a field code.
QString execArgument(const QString &argument)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = false;
    for (const QChar c : argument) {
        if (reserved.contains(c)) {
            needsQuotes = true;
            break;
        }
    }
    QString out;
    if (needsQuotes) {
        out += u'"';
        for (const QChar c : argument) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                out += u'\\';
            out += c;
        }
        out += u'"';
    } else {
        out = argument;
    }
    out.replace(u'%', QLatin1String("%%"));
    return out;
}

// A string value of a desktop entry: the key-file format escapes backslashes
// once more on top of the Exec quoting.
QString keyFileValue(const QString &value)
{
    QString out = value;
    out.replace(u'\\', QLatin1String("\\\\"));
    return out;
}

QByteArray entryContents(const QString &launcherPath)
{
    QString text;
    text += QLatin1String("[Desktop Entry]\n");
    text += QLatin1String("Type=Application\n");
    text += QLatin1String("Name=Orvex\n");
    text += QLatin1String("Exec=") + keyFileValue(execArgument(launcherPath)) + u'\n';
    text += QLatin1String("Terminal=false\n");
    text += QLatin1String("NoDisplay=true\n");
    text += QLatin1String("X-GNOME-Autostart-enabled=true\n");
    return text.toUtf8();
}

bool isExecutableFile(const QFileInfo &info)
{
    return info.isFile() && info.isExecutable();
}

} // namespace

QString entryPath(const QString &launcherId)
{
    const QString configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return configHome + QLatin1String("/autostart/") + launcherId + QLatin1String(".desktop");
}

QString findLauncher(const QString &clientDir)
{
    const QString name = QLatin1String(launcherExecutableName);
    if (!clientDir.isEmpty()) {
        const QFileInfo beside(QDir(clientDir).absoluteFilePath(name));
        if (isExecutableFile(beside))
            return beside.absoluteFilePath();
    }
    const QString onPath = QStandardPaths::findExecutable(name);
    if (onPath.isEmpty())
        return {};
    // A relative PATH entry would give a path that means nothing to the
    // session starting the entry later, from another working directory.
    return QFileInfo(onPath).absoluteFilePath();
}

bool setEnabled(const QString &launcherId, bool enabled)
{
    if (!isPlainFileName(launcherId))
        return false;
    const QString path = entryPath(launcherId);

    if (!enabled)
        return !QFileInfo::exists(path) || QFile::remove(path);

    const QString launcher = findLauncher(QCoreApplication::applicationDirPath());
    if (launcher.isEmpty())
        return false;
    for (const QChar c : launcher) {
        // No control character survives the round trip through Exec.
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }

    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(entryContents(launcher));
    return file.commit();
}

bool isEnabled(const QString &launcherId)
{
    if (!isPlainFileName(launcherId))
        return false;
    QFile file(entryPath(launcherId));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;

    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(u'[')) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0)
            continue;
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Hidden") && value == QLatin1String("true"))
            return false;
        if (key == QLatin1String("X-GNOME-Autostart-enabled") && value == QLatin1String("false"))
            return false;
    }
    return true;
}

} // namespace Orvex::LoginItem
