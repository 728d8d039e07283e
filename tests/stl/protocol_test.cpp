// Framing, CRC, AES of the protected region and the receiver's resynchronisation.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "stl/byte_stream.h"
#include "stl/connection.h"
#include "stl/crc32.h"
#include "stl/crypto.h"
#include "stl/handshake.h"
#include "stl/packet.h"

using namespace torvalen::stl;

namespace {

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> packet(uint16_t type, const std::vector<uint8_t>& payload, const AesSession* aes = nullptr) {
    std::vector<uint8_t> out;
    size_t n = build_packet(out, type, payload, aes);
    EXPECT_EQ(n, out.size());
    return out;
}

void append(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) { to.insert(to.end(), more.begin(), more.end()); }

// Every good packet the data phase receives from the stream, as (type, payload).
std::vector<std::pair<uint16_t, std::vector<uint8_t>>> receive_all(const std::vector<uint8_t>& wire,
                                                                    const AesSession* aes, size_t chunk,
                                                                    uint64_t* dropped = nullptr) {
    MemoryStream stream(wire, chunk);
    Connection c(stream);
    if (aes) c.set_session(*aes);
    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> got;
    for (;;) {
        Incoming in = c.next_packet(1000);
        if (in.status == ReceiveStatus::long_packet)
            got.emplace_back(in.type, std::vector<uint8_t>(in.payload.begin(), in.payload.end()));
        else if (in.status == ReceiveStatus::short_packet)
            got.emplace_back(0x8000 | in.type, std::vector<uint8_t>{});
        else
            break;
    }
    if (dropped) *dropped = c.receiver().packets_dropped();
    return got;
}

}  // namespace

TEST(StlPacket, CrcCheckValueAndLayout) {
    EXPECT_EQ(crc32_mpeg2(bytes_of("123456789")), 0x0376E6E7u);
    // Eight bytes at a time and the tail agree with the bit-by-bit definition at
    // every length and when continued from an earlier value.
    std::vector<uint8_t> data(70);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + 11);
    for (size_t n = 0; n <= data.size(); ++n) {
        uint32_t bitwise = 0xFFFFFFFFu;
        for (size_t i = 0; i < n; ++i) {
            bitwise ^= uint32_t(data[i]) << 24;
            for (int b = 0; b < 8; ++b) bitwise = (bitwise & 0x80000000u) ? (bitwise << 1) ^ 0x04C11DB7u : bitwise << 1;
        }
        const std::span<const uint8_t> all(data.data(), n);
        ASSERT_EQ(crc32_mpeg2(all), bitwise) << n;
        ASSERT_EQ(crc32_mpeg2(all.subspan(n / 3), crc32_mpeg2(all.first(n / 3))), bitwise) << n;
    }

    // Lengths: 3 and 8 bytes of payload fit one 16-byte region, 9 need two.
    EXPECT_EQ(long_packet_size(3), 22u);
    EXPECT_EQ(long_packet_size(8), 22u);
    EXPECT_EQ(long_packet_size(9), 38u);
    EXPECT_LE(long_packet_size(max_payload_size), max_packet_size);
    std::vector<uint8_t> out;
    EXPECT_EQ(build_packet(out, packet_type::pcm, std::vector<uint8_t>(max_payload_size + 1, 1), nullptr), 0u);

    // "OK" reply: marker, L = 22, CRC little-endian over the region with its field 0,
    // type, n, payload, 5 bytes of padding, trailer.
    auto ok = packet(packet_type::password, bytes_of(std::string_view("OK", 3)));
    ASSERT_EQ(ok.size(), 22u);
    EXPECT_EQ(std::vector<uint8_t>(ok.begin(), ok.begin() + 4), (std::vector<uint8_t>{0xFF, 0xFF, 22, 0}));
    EXPECT_EQ(std::vector<uint8_t>(ok.begin() + 8, ok.begin() + 15),
              (std::vector<uint8_t>{1, 0, 3, 0, 'O', 'K', 0}));
    for (size_t i = 15; i < 22; ++i) EXPECT_EQ(ok[i], 0) << i;
    std::vector<uint8_t> region(ok.begin() + 4, ok.end() - 2);
    uint32_t stored = region[0] | region[1] << 8 | region[2] << 16 | uint32_t(region[3]) << 24;
    std::memset(region.data(), 0, 4);
    EXPECT_EQ(stored, crc32_mpeg2(region));

    // Busy refusal: the exact 8 bytes.
    MemoryStream s({});
    ASSERT_TRUE(refuse_busy(s));
    EXPECT_EQ(s.written(), (std::vector<uint8_t>{0xFF, 0xFF, 8, 0, 5, 0, 0, 0}));
}

TEST(StlPacket, EveryTypeRoundTripsPlainAndEncrypted) {
    CryptoBinding& crypto = process_crypto();
    ASSERT_TRUE(crypto.bind()) << "libcrypto.so.3 is needed for the link's encryption";
    std::vector<uint8_t> key(32);
    ASSERT_TRUE(crypto.random_bytes(key));
    auto aes = AesSession::create(crypto, key);
    ASSERT_TRUE(aes);

    std::vector<std::pair<uint16_t, std::vector<uint8_t>>> sent = {
        {packet_type::key, bytes_of("-----BEGIN RSA PUBLIC KEY-----\n")},
        {packet_type::password, bytes_of(std::string_view("secret", 7))},
        {packet_type::pcm, std::vector<uint8_t>(4096, 0xFF)},  // markers inside the payload
        {packet_type::aac, std::vector<uint8_t>{0xFF, 0xF1, 0x50, 0x80}},
        {packet_type::now_playing, bytes_of(now_playing_payload("Artist", "Title"))},
        {packet_type::close, bytes_of(std::string_view("Close", 6))},
        {packet_type::format, [] { auto f = format_payload({1, 2, 48000}); return std::vector<uint8_t>(f.begin(), f.end()); }()},
        {packet_type::pcm, std::vector<uint8_t>(max_payload_size, 0x5A)},
        {0x8000 | packet_type::refusal, {}},
    };
    for (const AesSession* session : {static_cast<const AesSession*>(nullptr), static_cast<const AesSession*>(&*aes)}) {
        std::vector<uint8_t> wire;
        for (auto& [type, payload] : sent) append(wire, packet(type & 0x7FFF, payload, session));
        // Whole, and dribbled in 7-byte reads.
        EXPECT_EQ(receive_all(wire, session, SIZE_MAX), sent);
        EXPECT_EQ(receive_all(wire, session, 7), sent);
    }
    // Encrypted packets keep marker, length and trailer in clear and hide the rest.
    auto plain = packet(packet_type::password, bytes_of("OK"));
    auto sealed = packet(packet_type::password, bytes_of("OK"), &*aes);
    EXPECT_EQ(std::vector<uint8_t>(sealed.begin(), sealed.begin() + 4), std::vector<uint8_t>(plain.begin(), plain.begin() + 4));
    EXPECT_NE(sealed, plain);
    // The wrong session key costs the packet, not the stream.
    EXPECT_TRUE(receive_all(sealed, nullptr, SIZE_MAX).empty());

    auto np = parse_now_playing(bytes_of(now_playing_payload("Artist", "Title")));
    EXPECT_TRUE(np.has_title);
    EXPECT_EQ(np.artist + "|" + np.title, "Artist|Title");
    np = parse_now_playing(bytes_of(now_playing_payload("Station jingle", "")));
    EXPECT_FALSE(np.has_title);
    EXPECT_EQ(np.artist, "Station jingle");
    EXPECT_FALSE(parse_format(std::vector<uint8_t>(11)));
}

TEST(StlPacket, OnlyDamagedPacketsAreLostAndTheStreamResynchronises) {
    auto a = packet(packet_type::pcm, std::vector<uint8_t>(100, 0x11));
    auto b = packet(packet_type::aac, {0x42});  // 7 bytes of padding
    auto c = packet(packet_type::pcm, std::vector<uint8_t>(9, 0x22));

    std::vector<uint8_t> wire;
    append(wire, {0x00, 0x13, 0xFF, 0x7E});       // garbage
    append(wire, a);
    append(wire, {0xFF, 0xFF, 0x16, 0x00, 0x01});  // cut off: its "trailer" falls in b's padding
    append(wire, b);
    auto corrupt = a;
    corrupt[20] ^= 0x40;                           // CRC fails
    append(wire, corrupt);
    append(wire, {0xFF, 0xFF, 0x07, 0x00, 0xFF, 0xFF, 0x16, 0x00, 0x12});  // impossible length, bad trailer
    auto overlong = packet(packet_type::pcm, std::vector<uint8_t>(3, 0x33));
    overlong[10] = 40;                             // payload length past the region (CRC made to match below)
    std::vector<uint8_t> region(overlong.begin() + 4, overlong.end() - 2);
    std::memset(region.data(), 0, 4);
    uint32_t crc = crc32_mpeg2(region);
    for (int i = 0; i < 4; ++i) overlong[4 + i] = static_cast<uint8_t>(crc >> (8 * i));
    append(wire, overlong);
    append(wire, c);

    uint64_t dropped = 0;
    auto got = receive_all(wire, nullptr, 5, &dropped);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].second, std::vector<uint8_t>(100, 0x11));
    EXPECT_EQ(got[1], (std::pair<uint16_t, std::vector<uint8_t>>{packet_type::aac, {0x42}}));
    EXPECT_EQ(got[2].second, std::vector<uint8_t>(9, 0x22));
    EXPECT_GE(dropped, 3u);  // the truncated frame, the corrupt one, the overlong one

    // A trailing 0xFF survives a scan that found no marker.
    PacketReceiver r;
    auto put = [&](std::vector<uint8_t> bytes) {
        auto space = r.free_space();
        std::memcpy(space.data(), bytes.data(), bytes.size());
        r.commit(bytes.size());
    };
    put({0x01, 0x02, 0xFF});
    EXPECT_EQ(r.find_frame(), Frame::none);
    EXPECT_EQ(r.buffered(), 1u);
    put(std::vector<uint8_t>(c.begin() + 1, c.end()));
    ASSERT_EQ(r.find_frame(), Frame::long_packet);
    EXPECT_EQ(std::vector<uint8_t>(r.frame().begin(), r.frame().end()), c);

    // Memory stays fixed under a flood of markers claiming the largest length.
    PacketReceiver g;
    size_t capacity = g.capacity();
    std::vector<uint8_t> flood;
    for (int i = 0; i < 60000; ++i) append(flood, {0xFF, 0xFF, 0xF6, 0xFF, 0x01});
    MemoryStream fs(flood);
    EXPECT_EQ(g.receive(fs, 1000), ReceiveStatus::closed);
    EXPECT_EQ(g.capacity(), capacity);
    EXPECT_LE(g.buffered(), max_packet_size);
}
