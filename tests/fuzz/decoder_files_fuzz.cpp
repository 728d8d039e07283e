// libFuzzer target: the parsers the file player runs on untrusted files: WAV
// headers and samples, RIFF and ID3 tags, MP3 frame finding fed to libmpg123.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "player/file_decoder.h"

namespace {

using namespace torvalen::player;

bool valid_utf8(const std::optional<std::string>& s) {
    if (!s) return true;
    const auto bytes = std::span(reinterpret_cast<const uint8_t*>(s->data()), s->size());
    const auto again = tag_text(bytes);
    return again && *again == *s && !s->empty();
}

bool tags_ok(const ItemTags& t) { return valid_utf8(t.artist) && valid_utf8(t.title); }

// Reads up to a few blocks; every count must be even and within the request.
bool drain(FormatReader& reader, bool bounded) {
    std::vector<float> block(4096);
    for (int i = 0; i < 64; ++i) {
        const int64_t n = reader.read(block);
        if (n <= 0) return true;
        if (n % 2 != 0 || static_cast<size_t>(n) > block.size()) return false;
        if (bounded)
            for (int64_t k = 0; k < n; ++k)
                if (!(block[k] >= -2147483648.0f && block[k] <= 2147483648.0f)) return false;
    }
    reader.seek(1, 3);
    return reader.read(block) <= static_cast<int64_t>(block.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    MemorySource source(bytes);
    bool ok = tags_ok(parse_id3v2(bytes)) && tags_ok(parse_id3v1(bytes));

    if (const auto wav = scan_wav(source, true)) {
        ok = ok && wav->data_start <= wav->data_end && wav->data_end <= size && tags_ok(wav->tags) &&
             wav->tags.complete() == (wav->tags.artist || wav->tags.title);
        ItemInfo info;
        if (auto reader = open_wav(source, info)) ok = ok && drain(*reader, true);
    }
    const Mp3Layout mp3 = scan_mp3(source);
    ok = ok && mp3.data_start <= mp3.data_end && mp3.data_end <= size && tags_ok(mp3.tags);
    for (size_t i = 0; i + 4 <= size; ++i)
        if (const auto h = parse_mp3_header(data + i)) ok = ok && h->length >= 4 && h->length <= 2881;
    ItemInfo info;
    if (auto reader = open_mp3(source, info)) ok = ok && info.source_rate > 0 && drain(*reader, false);
    if (!ok) __builtin_trap();
    return 0;
}
