#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>
#include <variant>

namespace Orvex {

// A JSON scalar the service sends either as a number or as a string.
class MetadataType
{
public:
    enum class Kind { Int, String, Double };

    MetadataType()
        : m_value(qint64(0))
    {}
    static MetadataType fromInt(qint64 value) { return MetadataType(value); }
    static MetadataType fromString(const QString &value) { return MetadataType(value); }

    // Text first, then a 64-bit integer, then a double. null, Booleans, objects
    // and arrays fail; nothing is converted laxly.
    static std::optional<MetadataType> decode(const QJsonValue &value);

    Kind kind() const { return static_cast<Kind>(m_value.index()); }
    qint64 intValue() const { return std::get<0>(m_value); }
    const QString &stringValue() const { return std::get<1>(m_value); }
    double doubleValue() const { return std::get<2>(m_value); }

    // The figure for computations: integers widened, doubles unchanged, text
    // parsed in the C locale (the whole text must be a number), else 0.
    double numericValue() const;

    // The decimal text of the value (text unchanged).
    QString text() const;

    bool operator==(const MetadataType &other) const = default;

private:
    explicit MetadataType(qint64 v)
        : m_value(std::in_place_index<0>, v)
    {}
    explicit MetadataType(const QString &v)
        : m_value(std::in_place_index<1>, v)
    {}
    explicit MetadataType(double v)
        : m_value(std::in_place_index<2>, v)
    {}

    std::variant<qint64, QString, double> m_value;
};

} // namespace Orvex
