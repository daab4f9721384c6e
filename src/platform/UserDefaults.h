#pragma once

#include "platform/IniDocument.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

namespace Orvex {

// The per-user defaults store: texts, byte blocks and booleans under text keys.
// It holds the account's e-mail, phone number and settings (and, until they
// are moved out, the secrets an earlier version kept here), so:
//  - the file is 0600 and its folder 0700 whatever the umask, after every save;
//    a folder that is another user's, or another user's link, is refused
//    (said once on stderr; changes then live in memory only);
//  - every change is written at once, atomically (a crash leaves the old or the
//    new file), so a write is visible to the next read and survives a crash;
//  - a file that cannot be read or parsed is moved aside (".corrupt-<time>"),
//    reported in one line on stderr, and the store starts empty (signed out).
// Changes another process saves are picked up at the next read.
//
// The file is INI that QSettings(path, QSettings::IniFormat) reads with the
// same types; the standard store lives where QSettings("orvex", "orvex") would
// keep it: $XDG_CONFIG_HOME/orvex/orvex.conf.
//
// Getters answer only values of their own type: `string` of a byte block is
// absent, `data` of a text is absent. `boolean` also accepts a text "true" /
// "yes" or a non-zero number (what a plain QSettings writer leaves).
class UserDefaults final
{
public:
    // Where the client's store lives. The composition root makes the one
    // store over it and hands it on; a test or a tool makes its own.
    static QString standardFilePath();

    explicit UserDefaults(const QString &filePath);
    UserDefaults(const UserDefaults &) = delete;
    UserDefaults &operator=(const UserDefaults &) = delete;

    QString filePath() const { return m_path; }

    std::optional<QString> string(const QString &key) const;
    std::optional<QByteArray> data(const QString &key) const;
    bool boolean(const QString &key) const;
    bool contains(const QString &key) const;

    void setString(const QString &key, const QString &value);
    void setData(const QString &key, const QByteArray &value);
    void setBoolean(const QString &key, bool value);
    void remove(const QString &key);

    // The copies of the file set aside as damaged (".corrupt-…" beside it),
    // which may hold what an earlier version kept there. Only regular files
    // are touched; a link is not followed. The file is read first, so one that
    // is damaged now is set aside before.
    // Rewrites each copy without the lines that may hold `keys`
    // (IniDocument::withoutKeys); a copy too large to be a settings file is
    // removed instead.
    void scrubSetAside(const QStringList &keys);
    // Removes every copy.
    void removeSetAside();

private:
    struct FileStamp
    {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        qint64 modifiedNs = 0;
        bool operator==(const FileStamp &) const = default;
    };

    const IniDocument::Value *lookup(const QString &key) const;
    void refresh() const;
    void load() const;
    void quarantine(const char *reason) const;
    QStringList setAside() const;
    void write(const QString &key, const std::optional<IniDocument::Value> &value);
    FileStamp stamp() const;

    QString m_path;
    mutable IniDocument m_document;
    mutable FileStamp m_loaded;
    mutable bool m_isLoaded = false;
    bool m_refusalReported = false;
};

} // namespace Orvex
