#include "stl/connection.h"

#include <algorithm>
#include <chrono>

namespace torvalen::stl {

bool Connection::send(uint16_t type, std::span<const uint8_t> payload, bool plain) {
    std::lock_guard lock(send_lock_);
    size_t n = build_packet(send_buffer_, type, payload, plain ? nullptr : aes());
    return n != 0 && stream_.write_all(std::span<const uint8_t>(send_buffer_.data(), n));
}

bool Connection::send_text(uint16_t type, std::string_view text, bool plain) {
    return send(type, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()), plain);
}

bool Connection::send_close() { return send_text(packet_type::close, std::string_view("Close", 6)); }

ParseStatus Connection::check(bool decrypt, LongPacket& out) {
    // Decrypt a copy: a frame that fails is dropped one byte at a time, and the bytes
    // after its first one may belong to a good packet.
    std::span<uint8_t> frame = receiver_.frame();
    scratch_.assign(frame.begin(), frame.end());
    ParseStatus s = parse_long_packet(scratch_, decrypt ? aes() : nullptr, out);
    if (s == ParseStatus::ok)
        receiver_.consume();
    else
        receiver_.reject();
    return s;
}

Incoming Connection::next_packet(int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        ReceiveStatus r = receiver_.receive(stream_, static_cast<int>(std::max<long long>(left, 0)));
        if (r == ReceiveStatus::short_packet) {
            uint16_t type = frame_short_type();
            receiver_.consume();
            return {r, type, {}};
        }
        if (r != ReceiveStatus::long_packet) return {r, 0, {}};
        LongPacket p;
        if (check(true, p) == ParseStatus::ok) return {r, p.type, p.payload};
    }
}

}  // namespace torvalen::stl
