#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace Orvex {

// The contents of a settings file in the INI dialect QSettings reads and
// writes, so the file stays readable with QSettings(path, IniFormat) and each
// value comes back there with its type: texts as QString, bytes as QByteArray
// ("@ByteArray(...)"), booleans as bool ("@Variant(...)"; QSettings itself
// would write a bare `true`, indistinguishable from the text "true").
//
// Keys use QSettings' escaping and groups: "a/b" is key "b" of section [a].
// Values of other types (lists, other variants) are kept as written and saved
// back unchanged, so nothing another tool put there is lost.
class IniDocument final
{
public:
    struct Unknown
    {
        QByteArray written; // the value exactly as it stood after '='
        bool operator==(const Unknown &) const = default;
    };
    using Value = std::variant<QString, QByteArray, bool, Unknown>;

    // Absent when the data is not a well-formed settings file: not UTF-8, a NUL
    // byte, a line that is neither a section, a comment nor `key=value`, an
    // empty key, or an unterminated quote or escape.
    static std::optional<IniDocument> parse(const QByteArray &data);

    QByteArray toByteArray() const;

    // `data`, a settings file that need not be well-formed, without anything
    // that may hold the value of one of `keys` (compared by the key's last
    // component, in any case). A line stays only when it is blank, a comment,
    // a section, or `key=value` of a printable key not among `keys`, and names
    // none of `keys` followed by '=' anywhere (two lines run together).
    static QByteArray withoutKeys(const QByteArray &data, const QStringList &keys);

    const Value *value(const QString &key) const;
    void setValue(const QString &key, const Value &value);
    void remove(const QString &key);
    bool isEmpty() const { return m_values.isEmpty(); }

private:
    QMap<QString, Value> m_values;
};

} // namespace Orvex
