#include "MetadataType.h"

#include <QVariant>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <locale.h>

namespace Orvex {

std::optional<MetadataType> MetadataType::decode(const QJsonValue &value)
{
    if (value.isString())
        return MetadataType(value.toString());
    if (!value.isDouble())
        return std::nullopt;
    // The JSON reader keeps numbers that fit a 64-bit integer as integers and
    // everything else (fractions, 1e30) as doubles.
    const QVariant number = value.toVariant();
    if (number.typeId() == QMetaType::LongLong)
        return MetadataType(number.toLongLong());
    return MetadataType(value.toDouble());
}

double MetadataType::numericValue() const
{
    switch (kind()) {
    case Kind::Int:
        return static_cast<double>(intValue());
    case Kind::Double:
        return doubleValue();
    case Kind::String:
        break;
    }
    const QByteArray text = stringValue().toLatin1();
    if (text.isEmpty() || stringValue().size() != text.size() || std::isspace(uchar(text.front())))
        return 0;
    // strtod_l with the C locale: a dot is the separator whatever the user's locale.
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr));
    char *end = nullptr;
    errno = 0;
    const double result = strtod_l(text.constData(), &end, cLocale);
    if (end != text.constData() + text.size())
        return 0;
    return result;
}

QString MetadataType::text() const
{
    switch (kind()) {
    case Kind::Int:
        return QString::number(intValue());
    case Kind::Double:
        return QString::number(doubleValue(), 'g', 17);
    case Kind::String:
        break;
    }
    return stringValue();
}

} // namespace Orvex
