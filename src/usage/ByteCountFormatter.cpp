#include "ByteCountFormatter.h"

#include <array>
#include <cmath>

namespace Orvex {

namespace {

struct Unit
{
    const char *name;
    int maxDecimals;
};

// qint64 ends a little above 9.2 EB, so exabytes are the last unit needed.
constexpr std::array<Unit, 7> units{{
    {"bytes", 0},
    {"KB", 0},
    {"MB", 1},
    {"GB", 2},
    {"TB", 2},
    {"PB", 2},
    {"EB", 2},
}};

} // namespace

QString ByteCountFormatter::string(qint64 byteCount, const QLocale &locale)
{
    // Unsigned magnitude: -2^63 has no positive qint64.
    const bool negative = byteCount < 0;
    const quint64 magnitude = negative ? quint64(0) - quint64(byteCount) : quint64(byteCount);
    const QString sign = negative ? locale.negativeSign() : QString();

    if (magnitude < 1000) {
        const QString number = locale.toString(magnitude);
        return sign + number + (magnitude == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));
    }

    size_t index = 0;
    long double value = (long double) magnitude;
    while (value >= 1000 && index + 1 < units.size()) {
        value /= 1000;
        ++index;
    }
    const int decimals = units[index].maxDecimals;
    const long double scale = std::pow(10.0L, decimals);
    long double rounded = std::round(value * scale) / scale;
    if (rounded >= 1000 && index + 1 < units.size()) {
        ++index;
        rounded = std::round(rounded / 1000 * std::pow(10.0L, units[index].maxDecimals))
                  / std::pow(10.0L, units[index].maxDecimals);
    }

    QLocale numbers = locale;
    numbers.setNumberOptions(QLocale::OmitGroupSeparator);
    // 'f' with the unit's decimals, then the zeros that carry no information go.
    QString text = numbers.toString(double(rounded), 'f', units[index].maxDecimals);
    if (units[index].maxDecimals > 0) {
        const QString point = numbers.decimalPoint();
        const QString zero = numbers.zeroDigit();
        while (text.endsWith(zero))
            text.chop(zero.size());
        if (text.endsWith(point))
            text.chop(point.size());
    }
    return sign + text + QLatin1Char(' ') + QLatin1String(units[index].name);
}

} // namespace Orvex
