// A VICI packet payload as charon might send it: decoded, and what decodes is
// encoded again and must decode to the same packet.

#include "platform/vici/ViciMessage.h"

#include <cstdint>
#include <cstdlib>

using namespace Orvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char *>(data), qsizetype(size));
    const Outcome<ViciPacket> decoded = ViciCodec::decodePacket(payload);
    if (!decoded.isSuccess()) {
        if (decoded.error().isEmpty())
            std::abort(); // a refusal always says why
        return 0;
    }
    const ViciPacket &packet = decoded.value();
    // Read the way the client reads answers.
    packet.message.isYes("success");
    packet.message.text("errmsg");
    packet.message.list("conns");
    packet.message.subSection("children");

    const Outcome<QByteArray> again = ViciCodec::encodePacket(packet);
    if (!again.isSuccess())
        std::abort(); // whatever was read fits the wire format again
    const Outcome<ViciPacket> decodedAgain = ViciCodec::decodePacket(again.value());
    if (!decodedAgain.isSuccess())
        std::abort();
    const ViciPacket &round = decodedAgain.value();
    if (round.type != packet.type || round.name != packet.name || !(round.message == packet.message))
        std::abort();
    return 0;
}
