// One end of a link connection: the stream, its receive buffer, the send buffer and
// the session's AES schedules once a key exchange has made it encrypted. Created
// when the socket is connected or accepted, destroyed when it closes.
//
// Threads: one thread receives; sends may come from several threads (the client's
// audio sender and its control thread) and are serialised by the send lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "stl/byte_stream.h"
#include "stl/crypto.h"
#include "stl/packet.h"

namespace torvalen::stl {

struct Incoming {
    ReceiveStatus status = ReceiveStatus::error;  // short_packet, long_packet or a failure
    uint16_t type = 0;
    std::span<const uint8_t> payload;  // long packets; valid until the next receive
};

class Connection {
public:
    explicit Connection(ByteStream& stream) : stream_(stream) {}

    bool encrypted() const { return aes_.has_value(); }
    void set_session(AesSession aes) { aes_ = aes; }
    const AesSession* aes() const { return aes_ ? &*aes_ : nullptr; }

    // Long packets are AES-encrypted on an encrypted session unless plain is set
    // (the key exchange). An empty payload sends a short packet.
    bool send(uint16_t type, std::span<const uint8_t> payload, bool plain = false);
    bool send_text(uint16_t type, std::string_view text_with_zero, bool plain = false);
    bool send_short(uint16_t type) { return send(type, {}); }
    // The long type-5 "Close" packet the side ending the link sends before closing.
    bool send_close();

    // Handshake receive: the next frame, not yet checked. For a long packet, check()
    // decrypts a copy, checks it and consumes it.
    ReceiveStatus receive_frame(int timeout_ms) { return receiver_.receive(stream_, timeout_ms); }
    uint16_t frame_short_type() { return short_packet_type(receiver_.frame()); }
    void consume_frame() { receiver_.consume(); }
    ParseStatus check(bool decrypt, LongPacket& out);

    // Data phase: the next good packet. Long packets that fail decryption, the CRC
    // or the length check are dropped (counted) and the stream resynchronises.
    Incoming next_packet(int timeout_ms);

    const PacketReceiver& receiver() const { return receiver_; }
    PacketReceiver& receiver() { return receiver_; }

private:
    ByteStream& stream_;
    PacketReceiver receiver_;
    std::vector<uint8_t> scratch_;  // a checked copy of the current frame
    std::optional<AesSession> aes_;
    std::mutex send_lock_;
    std::vector<uint8_t> send_buffer_;
};

}  // namespace torvalen::stl
