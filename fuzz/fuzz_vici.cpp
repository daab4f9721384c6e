// A VICI packet payload as charon might send it: decoded, and what decodes is
// encoded again and must decode to the same packet.

#include "platform/vici/ViciMessage.h"

#include <cstdint>
#include <cstdlib>

using namespace Orvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char *>(data), qsizetype(size));
    ViciPacket packet;
    QString error;
    if (!ViciCodec::decodePacket(payload, &packet, &error)) {
        if (error.isEmpty())
            std::abort(); // a refusal always says why
        return 0;
    }
    // Read the way the client reads answers.
    packet.message.isYes("success");
    packet.message.text("errmsg");
    packet.message.list("conns");
    packet.message.subSection("children");

    QByteArray again;
    if (!ViciCodec::encodePacket(packet, &again, &error))
        std::abort(); // whatever was read fits the wire format again
    ViciPacket round;
    if (!ViciCodec::decodePacket(again, &round, &error))
        std::abort();
    if (round.type != packet.type || round.name != packet.name || !(round.message == packet.message))
        std::abort();
    return 0;
}
