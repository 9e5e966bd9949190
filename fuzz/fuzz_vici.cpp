// charon's wire format: frames cut from a stream, packets and messages decoded; what decodes encodes
// back to bytes that decode to the same.
#include "vpn/strongswan/vici.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayView bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    if (auto packet = vici::decodePacket(bytes)) {
        auto frame = vici::encodeFrame(packet.value());
        if (frame) {
            auto again = vici::decodePacket(QByteArrayView(frame.value()).sliced(4));
            if (!again || again->type != packet->type || again->name != packet->name || !(again->message == packet->message))
                __builtin_trap();
        }
    }
    (void)vici::decodeMessage(bytes);
    // The same bytes as a stream, in two pieces.
    vici::FrameReader reader;
    reader.append(bytes.first(bytes.size() / 2));
    for (int i = 0; i < 2; ++i) {
        for (int n = 0; n < 64; ++n) {
            auto next = reader.next();
            if (!next || !next.value()) break;
            (void)vici::decodePacket(*next.value());
        }
        reader.append(bytes.sliced(bytes.size() / 2));
    }
    return 0;
}
