// A configuration override file: either a configuration or a one-line
// message naming what is wrong, never both and never neither.

#include "config/Config.h"

#include <cstdint>
#include <cstdlib>

using namespace Orvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray json(reinterpret_cast<const char *>(data), qsizetype(size));
    const Outcome<Config> config = Config::parse(json, QStringLiteral("fuzz.json"));
    if (!config.isSuccess() && config.error().isEmpty())
        std::abort(); // a refusal always says why
    for (const QChar c : config.error()) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.unicode() == 0x2028)
            std::abort(); // the message is one line, free of terminal controls
    }
    return 0;
}
