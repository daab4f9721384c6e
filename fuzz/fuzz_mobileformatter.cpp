// Edits of the phone number field: any proposed text, caret position and text
// before the edit through the typing filter, and any text through its
// integer reading.

#include "account/MobileFormatter.h"

#include <QRegularExpression>

#include <cstdint>
#include <cstdlib>

using namespace Orvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // Byte 0: the caret; byte 1: where the proposed text ends and the
    // original begins.
    const int selection = data[0] % 16;
    const size_t split = std::min<size_t>(data[1], size - 2);
    const char *bytes = reinterpret_cast<const char *>(data + 2);
    const QString proposed = QString::fromUtf8(bytes, qsizetype(split));
    const QString original = QString::fromUtf8(bytes + split, qsizetype(size - 2 - split));

    const bool accepted = MobileFormatter::isPartialStringValid(proposed, selection, original);
    if (proposed.isEmpty() && !accepted)
        std::abort(); // clearing the field is always allowed
    if (proposed.size() < original.size() && !accepted)
        std::abort(); // so is deleting

    static const QRegularExpression decimal(QStringLiteral("\\A[+-]?[0-9]+\\z"));
    for (const QString &text : {proposed, original}) {
        const auto value = MobileFormatter::integerValue(text);
        if (value) {
            bool ok = false;
            if (!decimal.match(text).hasMatch() || text.toLongLong(&ok) != *value || !ok)
                std::abort();
        } else if (decimal.match(text).hasMatch()) {
            bool ok = false;
            text.toLongLong(&ok);
            if (ok)
                std::abort(); // a decimal integer in range must be read
        }
    }
    return 0;
}
