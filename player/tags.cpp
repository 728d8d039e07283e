#include "player/tags.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace torvalen::player {

namespace {

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Length of the valid UTF-8 sequence at p (0 when it is not one).
size_t utf8_sequence(const uint8_t* p, size_t left) {
    const uint8_t b = p[0];
    if (b < 0x80) return 1;
    size_t n;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) n = 2, cp = b & 0x1F;
    else if (b >= 0xE0 && b <= 0xEF) n = 3, cp = b & 0x0F;
    else if (b >= 0xF0 && b <= 0xF4) n = 4, cp = b & 0x07;
    else return 0;
    if (left < n) return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return n;
}

uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
uint32_t le32(const uint8_t* p) {
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
// Four bytes of seven bits each; nothing when a top bit is set.
std::optional<uint32_t> synchsafe(const uint8_t* p) {
    if ((p[0] | p[1] | p[2] | p[3]) & 0x80) return std::nullopt;
    return (uint32_t{p[0]} << 21) | (uint32_t{p[1]} << 14) | (uint32_t{p[2]} << 7) | p[3];
}

// Undoes unsynchronisation: every 0xFF 0x00 pair is read as 0xFF.
std::vector<uint8_t> resynchronise(std::span<const uint8_t> in) {
    std::vector<uint8_t> out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        out.push_back(in[i]);
        if (in[i] == 0xFF && i + 1 < in.size() && in[i + 1] == 0x00) ++i;
    }
    return out;
}

// The first value of an ID3v2 text frame's content (encoding byte first).
std::optional<std::string> id3_text_frame(std::span<const uint8_t> content) {
    if (content.empty()) return std::nullopt;
    const uint8_t encoding = content[0];
    auto text = content.subspan(1);
    if (encoding == 0 || encoding == 3) {
        const auto end = std::find(text.begin(), text.end(), uint8_t{0});
        text = text.first(static_cast<size_t>(end - text.begin()));
        return encoding == 0 ? latin1_text(text) : tag_text(text);
    }
    if (encoding == 1 || encoding == 2) {
        bool big_endian = encoding == 2;
        if (encoding == 1 && text.size() >= 2) {
            if (text[0] == 0xFE && text[1] == 0xFF) big_endian = true, text = text.subspan(2);
            else if (text[0] == 0xFF && text[1] == 0xFE) big_endian = false, text = text.subspan(2);
        }
        size_t units = 0;
        while (units * 2 + 1 < text.size() && (text[units * 2] | text[units * 2 + 1]) != 0) ++units;
        return utf16_text(text.first(units * 2), big_endian);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> latin1_text(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    std::string out;
    for (uint8_t b : bytes) append_utf8(out, b);
    return out;
}

std::optional<std::string> tag_text(std::span<const uint8_t> bytes) {
    if (bytes.empty()) return std::nullopt;
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const size_t n = utf8_sequence(bytes.data() + i, bytes.size() - i);
        if (n == 0) {
            append_utf8(out, bytes[i]);
            ++i;
        } else {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), n);
            i += n;
        }
    }
    return out;
}

std::optional<std::string> utf16_text(std::span<const uint8_t> bytes, bool big_endian) {
    std::string out;
    const size_t units = bytes.size() / 2;
    auto unit = [&](size_t i) -> uint32_t {
        const uint8_t a = bytes[2 * i], b = bytes[2 * i + 1];
        return big_endian ? (uint32_t{a} << 8 | b) : (uint32_t{b} << 8 | a);
    };
    for (size_t i = 0; i < units; ++i) {
        uint32_t cp = unit(i);
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        append_utf8(out, cp);
    }
    if (out.empty()) return std::nullopt;
    return out;
}

ItemTags parse_id3v1(std::span<const uint8_t> block) {
    ItemTags tags;
    if (block.size() < 128 || std::memcmp(block.data(), "TAG", 3) != 0) return tags;
    auto field = [&](size_t offset) {
        auto f = block.subspan(offset, 30);
        if (f[29] == 0) f = f.first(static_cast<size_t>(std::find(f.begin(), f.end(), uint8_t{0}) - f.begin()));
        return tag_text(f);
    };
    tags.title = field(3);
    tags.artist = field(33);
    return tags;
}

std::optional<Id3v2Header> parse_id3v2_header(std::span<const uint8_t> ten, bool footer) {
    if (ten.size() < 10 || std::memcmp(ten.data(), footer ? "3DI" : "ID3", 3) != 0) return std::nullopt;
    if (ten[3] > 4 || ten[4] == 0xFF) return std::nullopt;
    const auto size = synchsafe(ten.data() + 6);
    if (!size) return std::nullopt;
    Id3v2Header h;
    h.major = ten[3];
    h.flags = ten[5];
    h.body_size = *size;
    h.tag_size = uint64_t{*size} + 10 + ((h.flags & 0x10) ? 10 : 0);
    return h;
}

ItemTags parse_id3v2(std::span<const uint8_t> tag) {
    ItemTags tags;
    const auto header = parse_id3v2_header(tag);
    if (!header) return tags;
    auto body = tag.subspan(10, std::min<size_t>(header->body_size, tag.size() - 10));
    const bool v4 = header->major >= 4;
    const bool v2 = header->major == 2;

    // Version 2.3 and earlier unsynchronise the whole tag, frame headers included;
    // version 2.4 marks it per frame (the tag flag then applies to every frame).
    std::vector<uint8_t> whole;
    if (!v4 && (header->flags & 0x80)) {
        whole = resynchronise(body);
        body = whole;
    }
    if (header->flags & 0x40 && !v2) {
        if (body.size() <= 4) return tags;
        const uint64_t ext = v4 ? synchsafe(body.data()).value_or(UINT32_MAX) : uint64_t{be32(body.data())} + 4;
        if (ext > body.size()) return tags;
        body = body.subspan(static_cast<size_t>(ext));
    }

    const size_t frame_header = v2 ? 6 : 10;
    size_t pos = 0;
    while (body.size() - pos >= std::max<size_t>(5, frame_header) && body[pos] != 0) {
        const uint8_t* h = body.data() + pos;
        uint64_t size;
        uint8_t flags = 0;
        if (v2) {
            size = (uint32_t{h[3]} << 16) | (uint32_t{h[4]} << 8) | h[5];
        } else if (v4) {
            const auto s = synchsafe(h + 4);
            if (!s) break;
            size = *s;
            flags = h[9];
        } else {
            size = be32(h + 4);
        }
        if (size > body.size() - pos - frame_header) break;
        auto content = body.subspan(pos + frame_header, static_cast<size_t>(size));
        pos += frame_header + static_cast<size_t>(size);

        const std::string_view id(reinterpret_cast<const char*>(h), v2 ? 3 : 4);
        const bool is_title = id == "TIT2" || id == "TT2";
        const bool is_artist = id == "TPE1" || id == "TP1";
        if (!is_title && !is_artist) continue;
        // Compressed (0x08) or encrypted (0x04) version-4 frames, and the version-3
        // equivalents (0x80, 0x40), are not text we can read.
        if ((v4 && (flags & 0x0C)) || (!v4 && !v2 && (h[9] & 0xC0))) continue;
        std::vector<uint8_t> plain;
        if (v4) {
            if (flags & 0x01) {
                if (content.size() < 4) continue;
                content = content.subspan(4);
            }
            if ((flags & 0x02) || (header->flags & 0x80)) {
                plain = resynchronise(content);
                content = plain;
            }
        }
        auto text = id3_text_frame(content);
        if (!text) continue;
        if (is_title && !tags.title) tags.title = std::move(text);
        if (is_artist && !tags.artist) tags.artist = std::move(text);
    }
    return tags;
}

ItemTags read_id3v2(ByteSource& source, uint64_t offset, const Id3v2Header& header) {
    const uint64_t available = source.size() > offset ? source.size() - offset : 0;
    const uint64_t want = std::min<uint64_t>({uint64_t{header.body_size} + 10, available, id3v2_read_limit});
    if (want < 10) return {};
    std::vector<uint8_t> bytes(static_cast<size_t>(want));
    const int64_t got = source.read_at(offset, bytes);
    if (got < 10) return {};
    bytes.resize(static_cast<size_t>(got));
    return parse_id3v2(bytes);
}

// ---------------------------------------------------------------- WAV

namespace {

// Looks for a chunk by identifier from the first chunk on; gives the offset of its
// data and its size (clipped to the end of the source).
std::optional<std::pair<uint64_t, uint32_t>> find_chunk(ByteSource& source, const char* id) {
    const uint64_t size = source.size();
    if (size < 20) return std::nullopt;
    uint64_t offset = 12;
    while (offset + 8 <= size) {
        uint8_t h[8];
        if (!source.read_exact(offset, h)) return std::nullopt;
        const uint32_t chunk_size = le32(h + 4);
        if (std::memcmp(h, id, 4) == 0) {
            const uint64_t left = size - offset - 8;
            return std::pair{offset + 8, static_cast<uint32_t>(std::min<uint64_t>(chunk_size, left))};
        }
        // Chunks are word aligned: an odd-sized chunk is followed by a pad byte.
        offset += uint64_t{8} + chunk_size + (chunk_size & 1);
    }
    return std::nullopt;
}

ItemTags list_info_tags(ByteSource& source, uint64_t start, uint32_t size) {
    ItemTags tags;
    uint8_t kind[4];
    if (size < 4 || !source.read_exact(start, kind) || std::memcmp(kind, "INFO", 4) != 0) return tags;
    const uint64_t end = start + size;
    uint64_t pos = start + 4;
    while (pos + 8 <= end) {
        uint8_t h[8];
        if (!source.read_exact(pos, h)) break;
        const uint32_t len = le32(h + 4);
        if (len > end - pos - 8) break;
        const bool title = std::memcmp(h, "INAM", 4) == 0, artist = std::memcmp(h, "IART", 4) == 0;
        if ((title || artist) && len <= 65536) {
            std::vector<uint8_t> text(len);
            if (!source.read_exact(pos + 8, text)) break;
            text.resize(static_cast<size_t>(std::find(text.begin(), text.end(), uint8_t{0}) - text.begin()));
            (title ? tags.title : tags.artist) = tag_text(text);
        }
        pos += uint64_t{8} + len + (len & 1);
    }
    return tags;
}

}  // namespace

std::optional<WavLayout> scan_wav(ByteSource& source, bool need_data) {
    uint8_t riff[12];
    if (!source.read_exact(0, riff) || std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0)
        return std::nullopt;
    const auto fmt = find_chunk(source, "fmt ");
    if (!fmt || (fmt->second != 16 && fmt->second != 18)) return std::nullopt;
    uint8_t f[18] = {};
    if (!source.read_exact(fmt->first, std::span(f, fmt->second))) return std::nullopt;
    WavLayout layout;
    WaveFormat& w = layout.format;
    w.format_tag = le16(f);
    w.channels = le16(f + 2);
    w.rate = le32(f + 4);
    w.bytes_per_second = le32(f + 8);
    w.block_align = le16(f + 12);
    w.bits = le16(f + 14);
    w.extra_size = fmt->second == 18 ? le16(f + 16) : 0;

    if (w.format_tag == 1 && w.bits == 16) layout.kind = WavSampleKind::int16;
    else if (w.format_tag == 1 && w.bits == 24) layout.kind = WavSampleKind::int24;
    else if (w.format_tag == 1 && w.bits == 32) layout.kind = WavSampleKind::int32;
    else if (w.format_tag == 3 && w.bits == 32) layout.kind = WavSampleKind::float32;
    else return std::nullopt;
    if (w.channels != 1 && w.channels != 2) return std::nullopt;
    if (w.rate != 32000 && w.rate != 44100 && w.rate != 48000 && w.rate != 96000) return std::nullopt;
    if (w.block_align != w.channels * (w.bits / 8) || w.bytes_per_second != w.rate * w.block_align)
        return std::nullopt;

    ItemTags id3;
    if (const auto chunk = find_chunk(source, "id3 ")) {
        if (chunk->second == 128) {
            uint8_t block[128];
            if (source.read_exact(chunk->first, block) && std::memcmp(block, "TAG", 3) == 0) id3 = parse_id3v1(block);
        }
        if (!id3.complete()) {
            uint8_t ten[10];
            SubSource tag(source, chunk->first, chunk->second);
            if (tag.read_exact(0, ten))
                if (const auto h = parse_id3v2_header(ten)) id3 = read_id3v2(tag, 0, *h);
        }
    }
    if (id3.complete()) {
        layout.tags = std::move(id3);
    } else if (const auto list = find_chunk(source, "LIST")) {
        ItemTags info = list_info_tags(source, list->first, list->second);
        if (info.complete()) layout.tags = std::move(info);
    }

    if (need_data) {
        const auto data = find_chunk(source, "data");
        if (!data) return std::nullopt;
        layout.data_start = data->first;
        // Clipped to the file by find_chunk; a partial last frame is not played.
        layout.data_end = data->first + data->second - data->second % w.block_align;
    }
    return layout;
}

// ---------------------------------------------------------------- MP3

Mp3Layout scan_mp3(ByteSource& source) {
    Mp3Layout layout;
    const uint64_t size = source.size();
    layout.data_end = size;

    ItemTags v1;
    bool has_v1 = false;
    if (size >= 128) {
        uint8_t block[128];
        if (source.read_exact(size - 128, block) && std::memcmp(block, "TAG", 3) == 0) {
            has_v1 = true;
            v1 = parse_id3v1(block);
            layout.data_end = size - 128;
        }
    }

    ItemTags v2;
    uint8_t ten[10];
    std::optional<Id3v2Header> leading;
    if (source.read_exact(0, ten)) leading = parse_id3v2_header(ten);
    if (leading) {
        v2 = read_id3v2(source, 0, *leading);
        layout.data_start = std::min<uint64_t>(leading->tag_size, layout.data_end);
    } else if (layout.data_end >= 10 && source.read_exact(layout.data_end - 10, ten)) {
        if (const auto footer = parse_id3v2_header(ten, true); footer && footer->tag_size <= layout.data_end) {
            const uint64_t start = layout.data_end - footer->tag_size;
            v2 = read_id3v2(source, start, *footer);
            layout.data_end = start;
        }
    }
    (void)has_v1;
    if (v2.complete()) layout.tags = std::move(v2);
    else if (v1.complete()) layout.tags = std::move(v1);
    return layout;
}

std::optional<Mp3FrameHeader> parse_mp3_header(const uint8_t* h) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return std::nullopt;
    const uint8_t version = (h[1] >> 3) & 3, layer_bits = (h[1] >> 1) & 3;
    const uint8_t bit_index = h[2] >> 4, rate_index = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
    if (version == 1 || layer_bits == 0 || bit_index == 15 || rate_index == 3) return std::nullopt;
    static constexpr uint16_t kbits[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static constexpr uint32_t rates[3] = {44100, 48000, 32000};
    Mp3FrameHeader f;
    f.version = version;
    f.layer = static_cast<uint8_t>(4 - layer_bits);
    const bool mpeg1 = version == 3;
    f.bit_rate = kbits[mpeg1 ? 0 : 1][f.layer - 1][bit_index] * 1000u;
    f.rate = rates[rate_index] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    f.samples = f.layer == 1 ? 384 : (f.layer == 2 || mpeg1) ? 1152 : 576;
    f.channels = (h[3] >> 6) == 3 ? 1 : 2;
    if (f.bit_rate == 0 || f.rate == 0) return std::nullopt;
    // Layer I counts in four-byte slots.
    if (f.layer == 1) f.length = (12 * f.bit_rate / f.rate + padding) * 4;
    else f.length = static_cast<uint32_t>(uint64_t{f.samples} / 8 * f.bit_rate / f.rate) + padding;
    if (f.length < 4) return std::nullopt;
    return f;
}

bool same_stream(const Mp3FrameHeader& a, const Mp3FrameHeader& b) {
    return a.version == b.version && a.layer == b.layer && a.rate == b.rate;
}

}  // namespace torvalen::player
