// Packets of the studio-transmitter link and the receiver that finds them in a
// byte stream.
//
// Short packet (8 bytes, handshake signals): marker 0xFFFF, length 8, type, 0.
// Long packet: marker 0xFFFF, total length L, then the protected region of P bytes
// (CRC-32, type, payload length n, payload, zero padding; P is the smallest multiple
// of 16 that holds n + 8), then a 0x0000 trailer; L = P + 6. All fields are
// little-endian. The CRC (CRC-32/MPEG-2) covers the region with its own field set to
// 0; on an encrypted session the region is then encrypted with AES-256 in ECB mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "stl/byte_stream.h"

namespace torvalen::stl {

class AesSession;

inline constexpr size_t short_packet_size = 8;
inline constexpr size_t min_long_packet_size = 22;
inline constexpr size_t max_packet_size = 65535;
// The largest payload whose packet length still fits 16 bits (L = 65526).
inline constexpr size_t max_payload_size = 65512;

// Packet types. Short and long packets have separate type spaces.
namespace packet_type {
// short
inline constexpr uint16_t greeting_encrypted = 0;  // server: encryption required
inline constexpr uint16_t greeting_plain = 1;      // server: no encryption
inline constexpr uint16_t refusal = 5;             // busy server, or a client giving up
// long
inline constexpr uint16_t key = 0;           // client's PEM public key / server's RSA-encrypted session key
inline constexpr uint16_t password = 1;      // client's password / server's "OK" or "FAIL"
inline constexpr uint16_t pcm = 2;           // signed 16-bit samples, interleaved
inline constexpr uint16_t aac = 3;           // ADTS frames
inline constexpr uint16_t now_playing = 4;   // "artist\ntitle\n" or "text\n", with a 0
inline constexpr uint16_t close = 5;         // "Close" with its 0
inline constexpr uint16_t format = 6;        // encoder, channels, sample rate (u32 each)
}  // namespace packet_type

// Total length of a long packet carrying n payload bytes (n > 0).
constexpr size_t long_packet_size(size_t n) { return (n + 23) / 16 * 16 + 6; }

// Builds a short packet (empty payload) or a long packet into out (resized to the
// packet) and returns its length; a long packet is encrypted when aes is given.
// Returns 0 (nothing built) when the payload exceeds max_payload_size.
size_t build_packet(std::vector<uint8_t>& out, uint16_t type, std::span<const uint8_t> payload,
                    const AesSession* aes);

enum class ParseStatus {
    ok,
    decrypt_error,  // region length not a multiple of 16
    crc_error,
    malformed,      // region too short for its fields, or payload running past it
};

struct LongPacket {
    uint16_t type = 0;
    std::span<const uint8_t> payload;  // points into the frame
};

// Checks a complete long packet (as the receiver framed it): decrypts its region in
// place when aes is given, checks the CRC and the payload length.
ParseStatus parse_long_packet(std::span<uint8_t> frame, const AesSession* aes, LongPacket& out);
uint16_t short_packet_type(std::span<const uint8_t> frame);

enum class Frame { none, short_packet, long_packet };

enum class ReceiveStatus { short_packet, long_packet, timeout, closed, error };

// The receive buffer of one connection. Memory is fixed: twice the largest packet.
//
// Resynchronisation: bytes before the first 0xFFFF marker are dropped (a trailing
// 0xFF is kept: it may be the first half of a marker). A marker followed by a length
// no packet can have (8, or 22 and more in steps of 16) or by a non-zero trailer
// costs one byte and the scan goes on; so does a frame that fails its checks
// (reject()), so a damaged packet never takes a good one that follows with it.
class PacketReceiver {
public:
    PacketReceiver();

    // Finds a complete frame at the front of the buffered bytes.
    Frame find_frame();
    // Reads from the stream until a frame is complete; waits at most timeout_ms in all.
    ReceiveStatus receive(ByteStream& stream, int timeout_ms);

    std::span<uint8_t> frame();  // the frame find_frame() found
    void consume();              // drops that frame
    void reject();               // drops one byte of a frame that failed its checks; counted

    // Feeding without a stream (fuzzing, tests): where the next bytes go, and how
    // many were put there.
    std::span<uint8_t> free_space();
    void commit(size_t n);

    size_t buffered() const { return end_ - start_; }
    size_t capacity() const { return buffer_.size(); }
    uint64_t bytes_skipped() const { return skipped_; }
    uint64_t packets_dropped() const { return dropped_; }

private:
    void skip(size_t n);
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;
    size_t end_ = 0;
    size_t frame_size_ = 0;
    uint64_t skipped_ = 0;
    uint64_t dropped_ = 0;
};

}  // namespace torvalen::stl
