// MP3: our own frame parser finds whole frames between the tags; libmpg123 in feed
// mode decodes them to 16-bit stereo.
#include <mpg123.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

#include "player/file_decoder.h"
#include "player/media_buffer.h"

namespace torvalen::player {

namespace {

// The longest frame with a bit rate is MPEG-2.5 Layer II at 160 kb/s and 8 kHz:
// 2881 bytes; the next frame's 4-byte header is read with it.
constexpr uint32_t max_frame_bytes = 2881;
constexpr uint32_t input_max = max_frame_bytes + 4;
constexpr uint32_t output_max = 4608;  // one frame of 1152 stereo 16-bit samples

class Mp3Reader final : public FormatReader {
public:
    Mp3Reader(ByteSource& source, const Mp3Layout& layout)
        : source_(source), start_(layout.data_start), position_(layout.data_start), end_(layout.data_end),
          input_(input_max), output_(output_max) {}
    ~Mp3Reader() override {
        if (handle_) mpg123_delete(handle_);
    }

    bool open(ItemInfo& info) {
        static std::once_flag init;
        std::call_once(init, [] { mpg123_init(); });
        int error = 0;
        handle_ = mpg123_new(nullptr, &error);
        if (!handle_) return false;
        mpg123_param(handle_, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_FORCE_STEREO, 0);
        mpg123_format_none(handle_);
        const long* rates = nullptr;
        size_t count = 0;
        mpg123_rates(&rates, &count);
        for (size_t i = 0; i < count; ++i)
            mpg123_format(handle_, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
        if (mpg123_open_feed(handle_) != MPG123_OK) return false;
        // The first frame fixes the item's rate and channels; later frames of
        // another rate, version or layer are taken for noise and skipped.
        if (feed_frame() != Feed::fed) return false;
        info.source_rate = first_.rate;
        info.channels = first_.channels;
        info.bit_rate = static_cast<uint32_t>(bit_rate_);
        return true;
    }

    int64_t read(std::span<float> out) override {
        size_t written = 0;
        while (written < out.size()) {
            if (out_index_ < out_samples_) {
                const auto* s = reinterpret_cast<const int16_t*>(output_.data());
                const size_t n = std::min(out_samples_ - out_index_, out.size() - written);
                for (size_t i = 0; i < n; ++i) out[written + i] = static_cast<float>(int32_t{s[out_index_ + i]} * 65536);
                out_index_ += n;
                written += n;
                continue;
            }
            off_t frame_number = 0;
            unsigned char* audio = nullptr;
            size_t bytes = 0;
            const int rc = mpg123_decode_frame(handle_, &frame_number, &audio, &bytes);
            if (rc == MPG123_NEW_FORMAT) {
                long rate = 0;
                int channels = 0, encoding = 0;
                mpg123_getformat(handle_, &rate, &channels, &encoding);
                if (rate != static_cast<long>(first_.rate) || channels != 2 || encoding != MPG123_ENC_SIGNED_16)
                    return -1;
                continue;
            }
            if (rc == MPG123_OK) {
                if (bytes % 4 != 0 || !output_.SetLength(static_cast<uint32_t>(bytes))) return -1;
                if (bytes) std::memcpy(output_.data(), audio, bytes);
                out_samples_ = bytes / 2;
                out_index_ = 0;
                continue;
            }
            if (rc == MPG123_NEED_MORE) {
                const Feed f = feed_frame();
                if (f == Feed::error) return -1;
                if (f == Feed::ended) break;
                continue;
            }
            return -1;
        }
        return static_cast<int64_t>(written);
    }

    uint64_t length() override {
        if (info_frames_ > 0) {
            // Exact: the encoder's frame count less its delay and padding.
            const uint64_t samples = uint64_t{info_frames_} * first_.samples;
            const uint64_t trimmed = samples > uint64_t{delay_} + padding_ ? samples - delay_ - padding_ : 0;
            return mul_div(trimmed * 2, engine_rate, first_.rate);
        }
        if (bit_rate_ <= 0) return 0;
        const double frames = static_cast<double>(end_ - start_) * 8.0 * first_.rate / bit_rate_;
        return mul_div(static_cast<uint64_t>(frames), engine_rate, first_.rate) * 2;
    }

    void seek(uint64_t position, uint64_t total) override {
        // The frame that holds the asked sample, found by walking the frame headers
        // from the first audio frame (exact for constant and variable bit rates);
        // by proportion of the bytes when the headers do not chain.
        const uint64_t sample = mul_div(position, first_.rate, uint64_t{engine_rate} * 2) + delay_;
        const auto frame_start = walk_frames(sample / first_.samples);
        position_ = frame_start ? *frame_start : start_ + mul_div(end_ - start_, position, total);
        out_index_ = out_samples_ = 0;
        have_next_ = false;
        mpg123_open_feed(handle_);  // drops everything the decoder holds
    }

    uint32_t bit_rate() const override { return static_cast<uint32_t>(bit_rate_ + 0.5); }

private:
    enum class Feed { fed, ended, error };

    // Byte offset of audio frame `index` (0 = the first after any Info frame).
    std::optional<uint64_t> walk_frames(uint64_t index) {
        uint64_t at = audio_start_;
        uint8_t h[4];
        for (uint64_t i = 0; i < index; ++i) {
            if (!source_.read_exact(at, h)) return std::nullopt;
            const auto header = parse_mp3_header(h);
            if (!header || !same_stream(*header, first_)) return std::nullopt;
            at += header->length;
            if (at >= end_) return std::nullopt;
        }
        return at;
    }

    // A "Xing" or "Info" block in the first frame: the stream's frame count, and in
    // a LAME extension the encoder delay and padding (samples the decoder trims).
    void read_info_frame(const Mp3FrameHeader& h, std::span<const uint8_t> frame) {
        const size_t side = h.version == 3 ? (h.channels == 1 ? 17 : 32) : (h.channels == 1 ? 9 : 17);
        size_t at = 4 + side;
        if (frame.size() < at + 8) return;
        if (std::memcmp(&frame[at], "Xing", 4) != 0 && std::memcmp(&frame[at], "Info", 4) != 0) return;
        auto be32 = [&](size_t i) {
            return (uint32_t{frame[i]} << 24) | (uint32_t{frame[i + 1]} << 16) | (uint32_t{frame[i + 2]} << 8) | frame[i + 3];
        };
        const uint32_t flags = be32(at + 4);
        at += 8;
        uint32_t frames = 0;
        if (flags & 1) {
            if (frame.size() < at + 4) return;
            frames = be32(at);
            at += 4;
        }
        at += (flags & 2 ? 4 : 0) + (flags & 4 ? 100 : 0) + (flags & 8 ? 4 : 0);
        if (frames == 0) return;
        info_frames_ = frames;
        audio_start_ = position_ + h.length;
        // The extension starts with the encoder's name ("LAME3.100", "Lavc59.37").
        auto letter = [&](size_t i) { return (frame[i] >= 'A' && frame[i] <= 'Z') || (frame[i] >= 'a' && frame[i] <= 'z'); };
        if (frame.size() >= at + 24 && letter(at) && letter(at + 1) && letter(at + 2)) {
            delay_ = (uint32_t{frame[at + 21]} << 4) | (frame[at + 22] >> 4);
            padding_ = ((uint32_t{frame[at + 22]} & 0x0F) << 8) | frame[at + 23];
            // The decoder also holds back its own 529 samples, which LAME's figure excludes.
            delay_ += 529;
            padding_ = padding_ > 529 ? padding_ - 529 : 0;
        }
    }

    // The next valid frame header at or after position_ (moving position_ to it).
    bool resynchronise(Mp3FrameHeader& header) {
        uint8_t window[4096];
        while (position_ + 4 <= end_) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof window, end_ - position_));
            const int64_t got = source_.read_at(position_, std::span(window, want));
            if (got < 4) {
                position_ = end_;  // shorter than when opened, or unreadable
                return false;
            }
            for (size_t i = 0; i + 4 <= static_cast<size_t>(got); ++i) {
                const auto h = parse_mp3_header(window + i);
                if (h && (!have_first_ || same_stream(*h, first_))) {
                    position_ += i;
                    header = *h;
                    return true;
                }
            }
            position_ += static_cast<uint64_t>(got) - 3;
        }
        return false;
    }

    Feed feed_frame() {
        Mp3FrameHeader header;
        bool discontinuity = false;
        if (have_next_) {
            header = next_;
        } else {
            const uint64_t before = position_;
            if (!resynchronise(header)) return Feed::ended;
            discontinuity = have_first_ && position_ != before;
        }
        have_next_ = false;
        if (position_ + header.length > end_) {
            position_ = end_;
            return Feed::ended;
        }
        const bool with_next = position_ + header.length + 4 <= end_;
        const uint32_t piece = header.length + (with_next ? 4 : 0);
        const int64_t got = source_.read_at(position_, std::span(input_.data(), piece));
        if (got < 0) return Feed::error;
        if (got < header.length) {  // the file was cut short
            position_ = end_;
            return Feed::ended;
        }
        input_.SetLength(header.length);
        if (with_next && got == piece) {
            if (const auto next = parse_mp3_header(input_.data() + header.length); next && same_stream(*next, header)) {
                next_ = *next;
                have_next_ = true;
            }
        }
        if (discontinuity) mpg123_open_feed(handle_);
        const double frame_bits = static_cast<double>(header.rate) * header.length * 8.0 / header.samples;
        if (!have_first_) {
            audio_start_ = position_;
            read_info_frame(header, input_.GetBufferAndLength());
            first_ = header;
            have_first_ = true;
            bit_rate_ = frame_bits;
        } else {
            bit_rate_ += (frame_bits - bit_rate_) * 0.0005;
        }
        position_ += header.length;
        const auto bytes = input_.GetBufferAndLength();
        if (mpg123_feed(handle_, bytes.data(), bytes.size()) != MPG123_OK) return Feed::error;
        return Feed::fed;
    }

    ByteSource& source_;
    mpg123_handle* handle_ = nullptr;
    uint64_t start_, position_, end_;
    CMediaBuffer input_;
    CMediaBuffer output_;
    size_t out_samples_ = 0;  // 16-bit samples in output_
    size_t out_index_ = 0;
    Mp3FrameHeader first_;
    bool have_first_ = false;
    Mp3FrameHeader next_;
    bool have_next_ = false;
    double bit_rate_ = 0;
    uint64_t audio_start_ = 0;  // the first frame that carries audio
    uint32_t info_frames_ = 0;  // from an Info frame; 0 when there is none
    uint32_t delay_ = 0;        // samples before the first real sample
    uint32_t padding_ = 0;      // samples after the last one
};

}  // namespace

std::unique_ptr<FormatReader> open_mp3(ByteSource& source, ItemInfo& info) {
    const Mp3Layout layout = scan_mp3(source);
    auto reader = std::make_unique<Mp3Reader>(source, layout);
    if (!reader->open(info)) return nullptr;
    info.artist = layout.tags.artist;
    info.title = layout.tags.title;
    return reader;
}

}  // namespace torvalen::player
