// Text typed into the account fields, as the screens check it before sending:
// any UTF-8 through the e-mail, password and mobile rules.

#include "account/InputValidator.h"

#include <cstdint>
#include <cstdlib>

using namespace Orvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype characters = InputValidator::characterCount(text);
    // A character is at least one UTF-16 unit, and any text has one.
    if (characters > text.size() || (text.isEmpty() != (characters == 0)))
        std::abort();
    if (InputValidator(InputValidator::password).isValid(text) != (characters >= 5))
        std::abort();
    if (InputValidator(InputValidator::mobile).isValid(text) != (characters == 9))
        std::abort();
    if (InputValidator(InputValidator::email).isValid(text) && !text.contains(QLatin1Char('@')))
        std::abort();
    return 0;
}
