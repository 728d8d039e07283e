#include "stl/packet.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "stl/crc32.h"
#include "stl/crypto.h"

namespace torvalen::stl {
namespace {

void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool possible_length(size_t length) {
    return length == short_packet_size ||
           (length >= min_long_packet_size && (length - 6) % AesSession::block_size == 0);
}

}  // namespace

size_t build_packet(std::vector<uint8_t>& out, uint16_t type, std::span<const uint8_t> payload,
                    const AesSession* aes) {
    if (payload.empty()) {
        out.assign(short_packet_size, 0);
        put16(&out[0], 0xFFFF);
        put16(&out[2], short_packet_size);
        put16(&out[4], type);
        return short_packet_size;
    }
    if (payload.size() > max_payload_size) return 0;
    size_t length = long_packet_size(payload.size());
    out.assign(length, 0);
    uint8_t* p = out.data();
    put16(p, 0xFFFF);
    put16(p + 2, static_cast<uint16_t>(length));
    put16(p + 8, type);
    put16(p + 10, static_cast<uint16_t>(payload.size()));
    std::memcpy(p + 12, payload.data(), payload.size());
    std::span<uint8_t> region(p + 4, length - 6);
    put32(p + 4, crc32_mpeg2(region));
    if (aes) aes->encrypt(region);
    return length;
}

ParseStatus parse_long_packet(std::span<uint8_t> frame, const AesSession* aes, LongPacket& out) {
    if (frame.size() < 6) return ParseStatus::malformed;
    std::span<uint8_t> region = frame.subspan(4, frame.size() - 6);
    if (aes && !aes->decrypt(region)) return ParseStatus::decrypt_error;
    if (region.size() < 8) return ParseStatus::malformed;
    uint32_t stored = get32(region.data());
    std::memset(region.data(), 0, 4);
    uint32_t computed = crc32_mpeg2(region);
    put32(region.data(), stored);
    if (stored != computed) return ParseStatus::crc_error;
    size_t n = get16(region.data() + 6);
    if (n > region.size() - 8) return ParseStatus::malformed;
    out.type = get16(region.data() + 4);
    out.payload = std::span<const uint8_t>(region.data() + 8, n);
    return ParseStatus::ok;
}

uint16_t short_packet_type(std::span<const uint8_t> frame) {
    return frame.size() >= 6 ? get16(frame.data() + 4) : 0xFFFF;
}

PacketReceiver::PacketReceiver() : buffer_(2 * (max_packet_size + 1)) {}

void PacketReceiver::skip(size_t n) {
    start_ += n;
    skipped_ += n;
    if (start_ == end_) start_ = end_ = 0;
}

Frame PacketReceiver::find_frame() {
    frame_size_ = 0;
    for (;;) {
        // Find the marker.
        const uint8_t* b = buffer_.data();
        size_t i = start_;
        while (i + 1 < end_ && !(b[i] == 0xFF && b[i + 1] == 0xFF)) ++i;
        if (i + 1 >= end_) {
            // No marker: keep a trailing 0xFF, it may be the first half of one.
            size_t keep = (end_ > start_ && b[end_ - 1] == 0xFF) ? 1 : 0;
            skip(end_ - start_ - keep);
            return Frame::none;
        }
        if (i > start_) skip(i - start_);
        if (end_ - start_ < 4) return Frame::none;
        size_t length = get16(b + start_ + 2);
        if (!possible_length(length)) {
            skip(1);
            continue;
        }
        if (end_ - start_ < length) return Frame::none;
        if (get16(b + start_ + length - 2) != 0) {
            skip(1);
            continue;
        }
        frame_size_ = length;
        return length == short_packet_size ? Frame::short_packet : Frame::long_packet;
    }
}

ReceiveStatus PacketReceiver::receive(ByteStream& stream, int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        switch (find_frame()) {
        case Frame::short_packet: return ReceiveStatus::short_packet;
        case Frame::long_packet: return ReceiveStatus::long_packet;
        case Frame::none: break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left < 0) return ReceiveStatus::timeout;
        ReadResult r = stream.read_some(free_space(), static_cast<int>(left));
        switch (r.status) {
        case IoStatus::ok: commit(r.count); break;
        case IoStatus::timeout: return ReceiveStatus::timeout;
        case IoStatus::closed: return ReceiveStatus::closed;
        case IoStatus::error: return ReceiveStatus::error;
        }
    }
}

std::span<uint8_t> PacketReceiver::frame() { return {buffer_.data() + start_, frame_size_}; }

void PacketReceiver::consume() {
    start_ += frame_size_;
    frame_size_ = 0;
    if (start_ == end_) start_ = end_ = 0;
}

void PacketReceiver::reject() {
    if (frame_size_ == 0) return;
    ++dropped_;
    frame_size_ = 0;
    skip(1);
}

std::span<uint8_t> PacketReceiver::free_space() {
    // Move what is buffered to the front. An incomplete frame is never longer than
    // max_packet_size, so at least half the buffer is then free.
    if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    return {buffer_.data() + end_, buffer_.size() - end_};
}

void PacketReceiver::commit(size_t n) { end_ += std::min(n, buffer_.size() - end_); }

}  // namespace torvalen::stl
