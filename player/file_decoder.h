// One sound file (WAV, Ogg Vorbis, MP3 or FLAC) as a stream of engine samples:
// interleaved stereo floats at 48000 Hz, full scale ±2^31. Also the item's length,
// seeking, and the tags-only read the playlist windows use.
//
// A decoder is used by one thread at a time (a deck's loading thread, then the
// deck's own thread); it has no locks. None of this may run on the engine thread:
// it reads files and allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "player/tags.h"

struct SRC_STATE_tag;

namespace torvalen::player {

enum class DecoderKind : uint32_t { wav = 1, ogg = 2, mp3 = 3, flac = 4 };
// "Wav", "Ogg", "Mp3" or "Flac".
std::string_view kind_name(DecoderKind kind);

inline constexpr uint32_t engine_rate = 48000;

// What OpenDecoder reports about the item. Artist and title are both set or both
// empty (they must come from the same tag).
struct ItemInfo {
    std::optional<std::string> artist;
    std::optional<std::string> title;
    uint32_t source_rate = 0;
    uint32_t channels = 0;
    uint32_t bit_rate = 0;  // bits per second, for display
    DecoderKind kind = DecoderKind::wav;
    std::string_view kind_name;
};

// Reads one kind of file at its own rate; implemented per kind.
class FormatReader {
public:
    virtual ~FormatReader() = default;
    // Writes up to out.size() interleaved stereo floats (an even count) at the source
    // rate: the number written, 0 at the end of the item, -1 on a decoding error.
    virtual int64_t read(std::span<float> out) = 0;
    // Item length in interleaved floats at 48 kHz (an estimate for MP3).
    virtual uint64_t length() = 0;
    // Moves to `position` of `total` (48 kHz floats, total > 0).
    virtual void seek(uint64_t position, uint64_t total) = 0;
    // Display bit rate in bits per second (a running estimate for Ogg and MP3).
    virtual uint32_t bit_rate() const = 0;
};

struct BlockResult {
    int result = 0;    // 1 delivered, 0 the item has ended, -1 decoding error
    size_t count = 0;  // floats delivered (even)
};


class FileDecoder {
public:
    ~FileDecoder();
    FileDecoder(const FileDecoder&) = delete;
    FileDecoder& operator=(const FileDecoder&) = delete;

    DecoderKind kind() const { return kind_; }
    uint32_t source_rate() const { return source_rate_; }
    uint32_t bit_rate() const { return reader_->bit_rate(); }

private:
    FileDecoder() = default;
    friend std::unique_ptr<FileDecoder> OpenDecoder(const std::filesystem::path&, ItemInfo&);
    friend BlockResult ReadBlock(FileDecoder&, std::span<float>);
    friend uint64_t GetLength(FileDecoder&);
    friend uint64_t SeekDecoder(FileDecoder&, uint64_t, uint64_t);

    DecoderKind kind_ = DecoderKind::wav;
    std::unique_ptr<ByteSource> source_;
    std::unique_ptr<FormatReader> reader_;
    SRC_STATE_tag* resampler_ = nullptr;  // libsamplerate's converter
    std::unique_ptr<float[]> pending_;  // source-rate samples not yet resampled
    size_t pending_capacity_ = 0;
    size_t leftover_ = 0;               // floats at the front of pending_
    uint32_t source_rate_ = 0;
    bool source_ended_ = false;
    bool finished_ = false;
};

// Opens the file at `path` (bytes as the file system gives them). The kind comes
// from the text after the last '.', any case: "wav", "ogg", "mp3", "flac".
// Nothing (and `info` cleared) when the file cannot be read, is not of its kind or
// is a format we do not play.
std::unique_ptr<FileDecoder> OpenDecoder(const std::filesystem::path& path, ItemInfo& info);

// Fills `out` (an even size) with engine samples. 1 with a full block; after
// resampling, 1 whenever anything was delivered. 0 when the item has ended: the
// floats delivered (possibly none) are the last. -1 on a decoding error, count 0.
BlockResult ReadBlock(FileDecoder& decoder, std::span<float> out);

// Item length in interleaved floats at 48 kHz.
uint64_t GetLength(FileDecoder& decoder);

// Moves to `position` (units of GetLength) as a proportion of `total` (0: the
// length); resets the resampler. Returns the position.
uint64_t SeekDecoder(FileDecoder& decoder, uint64_t position, uint64_t total);

// Closes the file and frees everything the decoder holds.
inline void CloseDecoder(std::unique_ptr<FileDecoder>& decoder) { decoder.reset(); }

// Artist and title of a file, both, or nothing.
std::optional<ItemTags> ReadFileTags(const std::filesystem::path& path);

// Text of a path for display: its bytes when they are valid UTF-8, otherwise
// with each stray byte shown as the ISO-8859-1 character of that value.
std::string display_path(const std::filesystem::path& path);

// a × b / c with a 128-bit intermediate, rounded to nearest; 0 when c is 0,
// the largest value when the result does not fit.
inline uint64_t mul_div(uint64_t a, uint64_t b, uint64_t c) {
    if (c == 0) return 0;
    const unsigned __int128 r = (static_cast<unsigned __int128>(a) * b + c / 2) / c;
    return r > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(r);
}

// Per-kind readers over an open source; nothing when the source is not of the kind.
std::unique_ptr<FormatReader> open_wav(ByteSource& source, ItemInfo& info);
std::unique_ptr<FormatReader> open_ogg(ByteSource& source, ItemInfo& info);
std::unique_ptr<FormatReader> open_mp3(ByteSource& source, ItemInfo& info);
std::unique_ptr<FormatReader> open_flac(ByteSource& source, ItemInfo& info);
std::optional<ItemTags> read_ogg_tags(ByteSource& source);
std::optional<ItemTags> read_flac_tags(ByteSource& source);

}  // namespace torvalen::player
