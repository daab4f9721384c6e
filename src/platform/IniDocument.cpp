#include "IniDocument.h"

#include <algorithm>

namespace Orvex {

namespace {

const QLatin1String byteArrayPrefix("@ByteArray(");
const QLatin1String variantPrefix("@Variant(");
const QLatin1String stringPrefix("@String(");
const QLatin1String generalSection("General");
const QLatin1String escapedGeneralGroup("%General");

// QVariant(bool) as QDataStream (version Qt_4_0) writes it, the form QSettings
// uses inside "@Variant(...)": a 32-bit type id 1 (Bool), then one byte.
const char trueVariant[] = {0, 0, 0, 1, 1};
const char falseVariant[] = {0, 0, 0, 1, 0};

bool isHexDigit(uint ch)
{
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

bool isSpace(char ch)
{
    return ch == ' ' || ch == '\t';
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && isSpace(text.front()))
        text = text.sliced(1);
    while (!text.isEmpty() && isSpace(text.back()))
        text.chop(1);
    return text;
}

// Escapes a value's text the way QSettings does: C-like escapes for control
// characters, quotes around values with separators or edge spaces, and raw
// UTF-8 except inside the binary "@ByteArray(" / "@Variant(" forms, where
// every byte above 0x7e is a \x escape.
void appendEscapedString(const QString &str, QByteArray &result)
{
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    const bool utf8 = !(str.startsWith(byteArrayPrefix) || str.startsWith(variantPrefix));
    const qsizetype start = result.size();

    for (qsizetype i = 0; i < str.size(); ++i) {
        const uint ch = str.at(i).unicode();
        if (ch == ';' || ch == ',' || ch == '=')
            needsQuotes = true;
        // A hex digit right after a \x or \0 escape would be read as part of it.
        if (escapeNextIfDigit && isHexDigit(ch)) {
            result += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfDigit = false;

        switch (ch) {
        case '\0':
            result += "\\0";
            escapeNextIfDigit = true;
            break;
        case '\a':
            result += "\\a";
            break;
        case '\b':
            result += "\\b";
            break;
        case '\f':
            result += "\\f";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        case '\v':
            result += "\\v";
            break;
        case '"':
        case '\\':
            result += '\\';
            result += char(ch);
            break;
        default:
            if (ch <= 0x1f || (ch >= 0x7f && !utf8)) {
                result += "\\x" + QByteArray::number(ch, 16);
                escapeNextIfDigit = true;
            } else if (utf8) {
                const bool pair = str.at(i).isHighSurrogate() && i + 1 < str.size()
                                  && str.at(i + 1).isLowSurrogate();
                result += str.mid(i, pair ? 2 : 1).toUtf8();
                if (pair)
                    ++i;
            } else {
                result += char(ch);
            }
        }
    }

    if (needsQuotes || (start < result.size() && (result.at(start) == ' ' || result.back() == ' '))) {
        result.insert(start, '"');
        result += '"';
    }
}

// Reverses appendEscapedString. Answers false for an unterminated quote or a
// dangling backslash (our writer never leaves either). `isList` is set when an
// unquoted comma made it a list, which QSettings reads as a QStringList.
bool unescapeValue(QByteArrayView str, QString &text, bool &isList)
{
    isList = false;
    bool inQuotes = false;
    bool quoted = false;
    qsizetype i = 0;
    qsizetype chopLimit = 0;

    auto skipSpaces = [&] {
        while (i < str.size() && isSpace(str.at(i)))
            ++i;
    };
    auto chopUnquotedSpaces = [&] {
        if (quoted)
            return;
        while (text.size() > chopLimit && (text.back() == u' ' || text.back() == u'\t'))
            text.chop(1);
    };

    skipSpaces();
    while (i < str.size()) {
        const char ch = str.at(i);
        if (ch == '\\') {
            ++i;
            if (i >= str.size())
                return false;
            const char code = str.at(i++);
            switch (code) {
            case 'a':
                text += u'\a';
                break;
            case 'b':
                text += u'\b';
                break;
            case 'f':
                text += u'\f';
                break;
            case 'n':
                text += u'\n';
                break;
            case 'r':
                text += u'\r';
                break;
            case 't':
                text += u'\t';
                break;
            case 'v':
                text += u'\v';
                break;
            case '"':
            case '?':
            case '\'':
            case '\\':
                text += QLatin1Char(code);
                break;
            case 'x': {
                char32_t value = 0;
                qsizetype digits = 0;
                while (i < str.size() && isHexDigit(uchar(str.at(i)))) {
                    value = value * 16 + char32_t(QByteArray(1, str.at(i)).toUInt(nullptr, 16));
                    ++i;
                    ++digits;
                }
                if (digits == 0 || value > 0xffff)
                    return false;
                text += QChar(char16_t(value));
                break;
            }
            default:
                if (code >= '0' && code <= '7') {
                    char32_t value = char32_t(code - '0');
                    while (i < str.size() && str.at(i) >= '0' && str.at(i) <= '7')
                        value = value * 8 + char32_t(str.at(i++) - '0');
                    if (value > 0xffff)
                        return false;
                    text += QChar(char16_t(value));
                }
                // Any other escaped character is dropped, as QSettings does.
                break;
            }
            chopLimit = text.size();
        } else if (ch == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipSpaces();
        } else if (ch == ',' && !inQuotes) {
            isList = true;
            ++i;
            // The rest is only checked for well-formedness; the caller keeps
            // the written form of a list.
            text.clear();
            chopLimit = 0;
            quoted = false;
            skipSpaces();
        } else {
            qsizetype j = i + 1;
            while (j < str.size() && str.at(j) != '\\' && str.at(j) != '"' && str.at(j) != ',')
                ++j;
            text += QString::fromUtf8(str.sliced(i, j - i));
            i = j;
        }
    }
    if (inQuotes)
        return false;
    chopUnquotedSpaces();
    return true;
}

QString unescapedKey(QByteArrayView key)
{
    QString result;
    qsizetype i = 0;
    while (i < key.size()) {
        const char ch = key.at(i);
        if (ch == '\\') {
            result += u'/';
            ++i;
            continue;
        }
        if (ch != '%' || i == key.size() - 1) {
            qsizetype j = i + 1;
            while (j < key.size() && key.at(j) != '%' && key.at(j) != '\\')
                ++j;
            result += QString::fromUtf8(key.sliced(i, j - i));
            i = j;
            continue;
        }
        qsizetype first = i + 1;
        qsizetype digits = 2;
        if (key.at(first) == 'U') {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const uint code = first + digits <= key.size()
                              ? key.sliced(first, digits).toByteArray().toUInt(&ok, 16)
                              : 0;
        if (!ok) {
            result += u'%';
            ++i;
            continue;
        }
        result += QChar(char16_t(code));
        i = first + digits;
    }
    return result;
}

QString valueToString(const IniDocument::Value &value)
{
    if (const QString *text = std::get_if<QString>(&value)) {
        if (text->contains(QChar::Null))
            return stringPrefix + *text + u')';
        if (text->startsWith(u'@'))
            return u'@' + *text;
        return *text;
    }
    if (const QByteArray *bytes = std::get_if<QByteArray>(&value))
        return byteArrayPrefix + QString::fromLatin1(*bytes) + u')';
    const bool on = std::get<bool>(value);
    return variantPrefix + QString::fromLatin1(on ? trueVariant : falseVariant, 5) + u')';
}

IniDocument::Value valueFromString(const QString &s, QByteArrayView written)
{
    if (!s.startsWith(u'@'))
        return s;
    if (s.startsWith(QLatin1String("@@")))
        return s.mid(1);
    if (s.endsWith(u')')) {
        if (s.startsWith(byteArrayPrefix))
            return s.mid(byteArrayPrefix.size(), s.size() - byteArrayPrefix.size() - 1).toLatin1();
        if (s.startsWith(stringPrefix))
            return s.mid(stringPrefix.size(), s.size() - stringPrefix.size() - 1);
        if (s.startsWith(variantPrefix)) {
            const QString payload = s.mid(variantPrefix.size(), s.size() - variantPrefix.size() - 1);
            if (payload == QLatin1String(trueVariant, 5))
                return true;
            if (payload == QLatin1String(falseVariant, 5))
                return false;
        }
    }
    // Other forms QSettings knows (a variant of another type, a rectangle, a
    // date...) are not ours to interpret: keep them as written.
    static const char *const foreignPrefixes[] = {"@Variant(", "@Invalid(", "@Rect(",
                                                  "@Size(",    "@Point(",   "@DateTime("};
    for (const char *prefix : foreignPrefixes) {
        if (s.startsWith(QLatin1String(prefix)))
            return IniDocument::Unknown{trimmed(written).toByteArray()};
    }
    return s;
}

QByteArray escapedKey(const QString &key)
{
    QByteArray result;
    for (const QChar qch : key) {
        uint ch = qch.unicode();
        if (ch == '/') {
            result += '\\';
        } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')
                   || ch == '_' || ch == '-' || ch == '.') {
            result += char(ch);
        } else if (ch <= 0xff) {
            result += '%' + QByteArray::number(ch, 16).toUpper().rightJustified(2, '0');
        } else {
            result += "%U" + QByteArray::number(ch, 16).toUpper().rightJustified(4, '0');
        }
    }
    return result;
}

QByteArray escapedValue(const IniDocument::Value &value)
{
    if (const IniDocument::Unknown *unknown = std::get_if<IniDocument::Unknown>(&value))
        return unknown->written;
    QByteArray result;
    appendEscapedString(valueToString(value), result);
    return result;
}

// A group really named "General" must not be read back as the top level.
QByteArray sectionName(const QString &group)
{
    const QByteArray escaped = escapedKey(group);
    return escaped.compare("general", Qt::CaseInsensitive) == 0 ? "%" + escaped : escaped;
}

} // namespace

std::optional<IniDocument> IniDocument::parse(const QByteArray &data)
{
    if (data.contains('\0'))
        return std::nullopt;
    if (!data.isValidUtf8())
        return std::nullopt;

    IniDocument document;
    QString section;
    for (QByteArrayView line : data.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        line = trimmed(line);
        if (line.isEmpty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3)
                return std::nullopt;
            section = unescapedKey(line.sliced(1, line.size() - 2));
            if (section.compare(generalSection, Qt::CaseInsensitive) == 0)
                section.clear();
            else if (section.compare(escapedGeneralGroup, Qt::CaseInsensitive) == 0)
                section = section.mid(1);
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals < 0)
            return std::nullopt;
        const QByteArrayView keyPart = trimmed(line.first(equals));
        if (keyPart.isEmpty())
            return std::nullopt;
        const QByteArrayView written = line.sliced(equals + 1);
        QString text;
        bool isList = false;
        if (!unescapeValue(written, text, isList))
            return std::nullopt;
        const QString key = unescapedKey(keyPart);
        const QString fullKey = section.isEmpty() ? key : section + u'/' + key;
        document.m_values.insert(fullKey, isList ? Value(Unknown{trimmed(written).toByteArray()})
                                                 : valueFromString(text, written));
    }
    return document;
}

QByteArray IniDocument::withoutKeys(const QByteArray &data, const QStringList &keys)
{
    const QByteArray lowered = data.toLower();
    QList<QByteArray> kept;
    qsizetype start = 0;
    for (const QByteArray &line : data.split('\n')) {
        const QByteArray lowerLine = lowered.mid(start, line.size());
        start += line.size() + 1;
        QByteArrayView content = line;
        if (content.endsWith('\r'))
            content.chop(1);
        content = trimmed(content);
        bool keep = content.isEmpty() || content.front() == ';' || content.front() == '#'
                    || (content.front() == '[' && content.back() == ']');
        if (!keep) {
            const qsizetype equals = content.indexOf('=');
            const QByteArrayView keyPart = equals > 0 ? trimmed(content.first(equals)) : QByteArrayView();
            const bool printable = !keyPart.isEmpty()
                                   && std::all_of(keyPart.begin(), keyPart.end(),
                                                  [](char c) { return c >= 0x20 && c <= 0x7e; });
            const QString name = printable ? unescapedKey(keyPart).section(u'/', -1) : QString();
            keep = !name.isEmpty() && !keys.contains(name, Qt::CaseInsensitive);
        }
        for (const QString &key : keys) {
            if (keep && lowerLine.contains(key.toLower().toUtf8() + '='))
                keep = false;
        }
        if (keep)
            kept.append(line);
    }
    return kept.join('\n');
}

QByteArray IniDocument::toByteArray() const
{
    // Keys without a group go to [General], the others to the section named
    // by their first component, as QSettings arranges them.
    QMap<QString, QList<QString>> sections;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        const qsizetype slash = it.key().indexOf(u'/');
        sections[slash < 0 ? QString() : it.key().left(slash)].append(it.key());
    }
    QByteArray out;
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        if (!out.isEmpty())
            out += '\n';
        out += '[';
        out += it.key().isEmpty() ? QByteArray("General") : sectionName(it.key());
        out += "]\n";
        for (const QString &key : it.value()) {
            const QString inner = it.key().isEmpty() ? key : key.mid(it.key().size() + 1);
            out += escapedKey(inner);
            out += '=';
            out += escapedValue(m_values.value(key));
            out += '\n';
        }
    }
    return out;
}

const IniDocument::Value *IniDocument::value(const QString &key) const
{
    const auto it = m_values.constFind(key);
    return it == m_values.cend() ? nullptr : &it.value();
}

void IniDocument::setValue(const QString &key, const Value &value)
{
    m_values.insert(key, value);
}

void IniDocument::remove(const QString &key)
{
    m_values.remove(key);
}

} // namespace Orvex
