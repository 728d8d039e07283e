// libFuzzer target: the link's packet receiver in the data phase. The first byte
// picks the read size and whether the session is encrypted; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <span>

#include "stl/byte_stream.h"
#include "stl/connection.h"
#include "stl/crypto.h"

using namespace torvalen::stl;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    std::span<const uint8_t> wire(data + 1, size - 1);
    MemoryStream stream(wire, (mode & 0x7F) == 0 ? SIZE_MAX : (mode & 0x7F) * 97u);
    Connection c(stream);
    if ((mode & 0x80) && process_crypto().bind()) {
        static const uint8_t key[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                        17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
        if (auto aes = AesSession::create(process_crypto(), key)) c.set_session(*aes);
    }
    const size_t capacity = c.receiver().capacity();
    for (;;) {
        Incoming in = c.next_packet(0);
        if (in.status != ReceiveStatus::short_packet && in.status != ReceiveStatus::long_packet) break;
        // A good packet's payload lies inside one packet.
        if (in.payload.size() > max_payload_size) __builtin_trap();
    }
    // Memory is fixed, whatever the stream held.
    if (c.receiver().capacity() != capacity || c.receiver().buffered() > max_packet_size) __builtin_trap();
    return 0;
}
