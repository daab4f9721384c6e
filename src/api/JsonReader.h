#pragma once

#include "api/MetadataType.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <optional>

namespace Orvex {

// Strict reading of one JSON object into a record. Members are matched exactly;
// a required member that is missing or of another JSON type, or an optional one
// of another type, marks the whole read as failed. Optional members may be
// missing or null. Nothing is converted laxly: a number is never text, a Boolean
// never a number.
class JsonReader
{
public:
    explicit JsonReader(const QJsonValue &value);

    bool ok() const { return m_ok; }

    QString string(const char *key);
    std::optional<QString> optionalString(const char *key);
    qint64 integer(const char *key);
    std::optional<qint64> optionalInteger(const char *key);
    bool boolean(const char *key);
    MetadataType metadata(const char *key);

    // `decode` is a function QJsonValue -> std::optional<T>.
    template<typename T, typename Decode>
    T object(const char *key, Decode decode)
    {
        const QJsonValue v = m_object.value(QLatin1String(key));
        auto decoded = decode(v);
        if (!decoded) {
            m_ok = false;
            return T{};
        }
        return *decoded;
    }

    template<typename T, typename Decode>
    std::optional<QList<T>> optionalArray(const char *key, Decode decode)
    {
        const QJsonValue v = m_object.value(QLatin1String(key));
        if (v.isUndefined() || v.isNull())
            return std::nullopt;
        return readArray<T>(v, decode);
    }

    template<typename T, typename Decode>
    QList<T> array(const char *key, Decode decode)
    {
        auto list = readArray<T>(m_object.value(QLatin1String(key)), decode);
        return list ? *list : QList<T>{};
    }

    // Parses a whole answer body as a JSON object value; undefined when the body
    // is not a JSON document whose top level is an object.
    static QJsonValue parseObject(const QByteArray &body);

    // Integral JSON number that fits a signed 64-bit integer.
    static std::optional<qint64> toInteger(const QJsonValue &value);

private:
    template<typename T, typename Decode>
    std::optional<QList<T>> readArray(const QJsonValue &v, Decode decode)
    {
        if (!v.isArray()) {
            m_ok = false;
            return std::nullopt;
        }
        QList<T> out;
        const QJsonArray array = v.toArray();
        out.reserve(array.size());
        for (const auto &item : array) {
            auto decoded = decode(item);
            if (!decoded) {
                m_ok = false;
                return std::nullopt;
            }
            out.append(std::move(*decoded));
        }
        return out;
    }

    QJsonObject m_object;
    bool m_ok;
};

} // namespace Orvex
