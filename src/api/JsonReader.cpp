#include "JsonReader.h"

#include <QJsonDocument>
#include <QVariant>

namespace Orvex {

JsonReader::JsonReader(const QJsonValue &value)
    : m_object(value.toObject())
    , m_ok(value.isObject())
{}

QString JsonReader::string(const char *key)
{
    const QJsonValue v = m_object.value(QLatin1String(key));
    if (!v.isString()) {
        m_ok = false;
        return {};
    }
    return v.toString();
}

std::optional<QString> JsonReader::optionalString(const char *key)
{
    const QJsonValue v = m_object.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    if (!v.isString()) {
        m_ok = false;
        return std::nullopt;
    }
    return v.toString();
}

std::optional<qint64> JsonReader::toInteger(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const QVariant number = value.toVariant();
    if (number.typeId() != QMetaType::LongLong)
        return std::nullopt;
    return number.toLongLong();
}

qint64 JsonReader::integer(const char *key)
{
    const auto v = toInteger(m_object.value(QLatin1String(key)));
    if (!v) {
        m_ok = false;
        return 0;
    }
    return *v;
}

std::optional<qint64> JsonReader::optionalInteger(const char *key)
{
    const QJsonValue v = m_object.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    const auto number = toInteger(v);
    if (!number)
        m_ok = false;
    return number;
}

bool JsonReader::boolean(const char *key)
{
    const QJsonValue v = m_object.value(QLatin1String(key));
    if (!v.isBool()) {
        m_ok = false;
        return false;
    }
    return v.toBool();
}

MetadataType JsonReader::metadata(const char *key)
{
    const auto v = MetadataType::decode(m_object.value(QLatin1String(key)));
    if (!v) {
        m_ok = false;
        return {};
    }
    return *v;
}

QJsonValue JsonReader::parseObject(const QByteArray &body)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return QJsonValue(QJsonValue::Undefined);
    return doc.object();
}

} // namespace Orvex
