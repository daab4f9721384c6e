// MetadataType, the scalar the service sends as text or number: any JSON
// value decoded through it, and any text read as a figure.

#include "api/JsonReader.h"
#include "api/MetadataType.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

using namespace Orvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    // The bytes as the value of a member, as the usage records carry them.
    const QJsonValue object = JsonReader::parseObject("{\"v\":" + bytes + "}");
    if (object.isObject()) {
        const QJsonValue value = object.toObject().value(QLatin1String("v"));
        const auto decoded = MetadataType::decode(value);
        // Text, then integer, then double; nothing else decodes.
        const bool scalar = value.isString() || value.isDouble();
        if (decoded.has_value() != scalar)
            std::abort();
        if (decoded) {
            // A JSON number keeps its value as a figure.
            if (value.isDouble() && decoded->numericValue() != value.toDouble())
                std::abort();
            decoded->text();
        }
    }

    // The bytes as text: numericValue parses it in the C locale.
    const MetadataType text = MetadataType::fromString(QString::fromUtf8(bytes));
    const double figure = text.numericValue();
    if (text.stringValue().isEmpty() && figure != 0)
        std::abort();
    return 0;
}
