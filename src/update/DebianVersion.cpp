#include "DebianVersion.h"

#include <QString>

namespace Orvex::DebianVersion {

namespace {

struct Parts
{
    qulonglong epoch = 0;
    QStringView upstream;
    QStringView revision;
};

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isAsciiLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

std::optional<Parts> split(QStringView text)
{
    Parts parts;
    QStringView rest = text;
    const qsizetype colon = rest.indexOf(u':');
    if (colon >= 0) {
        const QStringView epoch = rest.left(colon);
        if (epoch.isEmpty() || epoch.size() > 9)
            return std::nullopt;
        for (QChar c : epoch) {
            if (!isAsciiDigit(c))
                return std::nullopt;
        }
        parts.epoch = epoch.toString().toULongLong();
        rest = rest.mid(colon + 1);
    }
    const qsizetype dash = rest.lastIndexOf(u'-');
    if (dash >= 0) {
        parts.revision = rest.mid(dash + 1);
        rest = rest.left(dash);
        if (parts.revision.isEmpty())
            return std::nullopt;
        for (QChar c : parts.revision) {
            if (!isAsciiDigit(c) && !isAsciiLetter(c) && c != u'.' && c != u'+' && c != u'~')
                return std::nullopt;
        }
    }
    parts.upstream = rest;
    if (rest.isEmpty() || !isAsciiDigit(rest.front()))
        return std::nullopt;
    for (QChar c : rest) {
        if (!isAsciiDigit(c) && !isAsciiLetter(c) && c != u'.' && c != u'+' && c != u'~' && c != u'-'
            && c != u':')
            return std::nullopt;
    }
    // A colon belongs to the upstream part only when there is an epoch.
    if (colon < 0 && rest.contains(u':'))
        return std::nullopt;
    return parts;
}

// The weight of one non-digit character: the end and digits weigh nothing,
// "~" less than nothing, letters their code, everything else after letters.
int weight(QStringView s, qsizetype i)
{
    if (i >= s.size() || isAsciiDigit(s[i]))
        return 0;
    const QChar c = s[i];
    if (c == u'~')
        return -1;
    if (isAsciiLetter(c))
        return c.unicode();
    return c.unicode() + 256;
}

int compareFragment(QStringView a, QStringView b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() || j < b.size()) {
        while ((i < a.size() && !isAsciiDigit(a[i])) || (j < b.size() && !isAsciiDigit(b[j]))) {
            const int wa = weight(a, i);
            const int wb = weight(b, j);
            if (wa != wb)
                return wa < wb ? -1 : 1;
            if (i < a.size())
                ++i;
            if (j < b.size())
                ++j;
        }
        while (i < a.size() && a[i] == u'0')
            ++i;
        while (j < b.size() && b[j] == u'0')
            ++j;
        int firstDifference = 0;
        while (i < a.size() && isAsciiDigit(a[i]) && j < b.size() && isAsciiDigit(b[j])) {
            if (!firstDifference)
                firstDifference = a[i].unicode() - b[j].unicode();
            ++i;
            ++j;
        }
        if (i < a.size() && isAsciiDigit(a[i]))
            return 1;
        if (j < b.size() && isAsciiDigit(b[j]))
            return -1;
        if (firstDifference)
            return firstDifference < 0 ? -1 : 1;
    }
    return 0;
}

} // namespace

bool isValid(QStringView text)
{
    return split(text).has_value();
}

std::optional<int> compare(QStringView a, QStringView b)
{
    const std::optional<Parts> left = split(a);
    const std::optional<Parts> right = split(b);
    if (!left || !right)
        return std::nullopt;
    if (left->epoch != right->epoch)
        return left->epoch < right->epoch ? -1 : 1;
    if (const int upstream = compareFragment(left->upstream, right->upstream))
        return upstream;
    return compareFragment(left->revision, right->revision);
}

} // namespace Orvex::DebianVersion
