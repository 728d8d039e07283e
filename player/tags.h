// What the decoders read from a file before its audio: artist and title tags (ID3v1,
// ID3v2, RIFF LIST/INFO, Vorbis comments), the layout of WAV and MP3 files and MP3
// frame headers. Pure functions over bytes or a ByteSource, so the fuzz target and
// the tests reach them without any codec library.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "player/byte_source.h"

namespace torvalen::player {

struct ItemTags {
    std::optional<std::string> artist;
    std::optional<std::string> title;
    bool complete() const { return artist && title; }
};

// Tag text as UTF-8: valid UTF-8 is kept, any byte that is not part of a valid
// sequence is taken as ISO-8859-1. Empty text is absent.
std::optional<std::string> tag_text(std::span<const uint8_t> bytes);
// Text known to be ISO-8859-1, converted to UTF-8.
std::optional<std::string> latin1_text(std::span<const uint8_t> bytes);
// UTF-16 (little- or big-endian) to UTF-8; unpaired surrogates become U+FFFD.
std::optional<std::string> utf16_text(std::span<const uint8_t> bytes, bool big_endian);

// A 128-byte ID3v1 block ("TAG", title at 3, artist at 33, 30 bytes each).
ItemTags parse_id3v1(std::span<const uint8_t> block);

struct Id3v2Header {
    uint8_t major = 0;
    uint8_t flags = 0;
    uint32_t body_size = 0;  // bytes after the 10-byte header, footer excluded
    uint64_t tag_size = 0;   // header + body + footer
};
// The ten bytes that start an ID3v2 tag ("ID3"), or end one (footer "3DI").
std::optional<Id3v2Header> parse_id3v2_header(std::span<const uint8_t> ten, bool footer = false);
// A whole tag held in memory, header included; a tag cut short is read as far as it goes.
ItemTags parse_id3v2(std::span<const uint8_t> tag);
// Largest part of an ID3v2 tag that is read into memory: text frames come first in
// practice, and a picture frame may claim megabytes.
inline constexpr uint32_t id3v2_read_limit = 1u << 20;
// Reads the tag at `offset` (bounded by the source and the limit above) and parses it.
ItemTags read_id3v2(ByteSource& source, uint64_t offset, const Id3v2Header& header);

// --- WAV ---
enum class WavSampleKind : uint32_t { int16 = 0, int24 = 1, int32 = 2, float32 = 3 };
struct WaveFormat {
    uint16_t format_tag = 0;
    uint16_t channels = 0;
    uint32_t rate = 0;
    uint32_t bytes_per_second = 0;
    uint16_t block_align = 0;
    uint16_t bits = 0;
    uint16_t extra_size = 0;
};
struct WavLayout {
    WaveFormat format;
    WavSampleKind kind = WavSampleKind::int16;
    uint64_t data_start = 0;
    uint64_t data_end = 0;  // whole frames only, never past the file's end
    ItemTags tags;          // both or neither
};
// Reads the RIFF header, the format, the tags and (when `need_data`) the data chunk.
std::optional<WavLayout> scan_wav(ByteSource& source, bool need_data);

// --- MP3 ---
struct Mp3Layout {
    uint64_t data_start = 0;
    uint64_t data_end = 0;
    ItemTags tags;  // both or neither
};
Mp3Layout scan_mp3(ByteSource& source);

struct Mp3FrameHeader {
    uint32_t rate = 0;
    uint32_t channels = 0;
    uint32_t samples = 0;   // per frame and channel
    uint32_t bit_rate = 0;  // bits per second
    uint32_t length = 0;    // bytes, header and CRC included
    uint8_t version = 0;    // the header's version bits: 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    uint8_t layer = 0;      // 1, 2 or 3
};
std::optional<Mp3FrameHeader> parse_mp3_header(const uint8_t* h);
// Another frame of the same stream: same version, layer and rate.
bool same_stream(const Mp3FrameHeader& a, const Mp3FrameHeader& b);

}  // namespace torvalen::player
