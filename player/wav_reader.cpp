// WAV: 16/24/32-bit integer or 32-bit float PCM, mono or stereo, read straight from
// the data chunk.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "player/file_decoder.h"

namespace torvalen::player {

namespace {

class WavReader final : public FormatReader {
public:
    WavReader(ByteSource& source, const WavLayout& layout)
        : source_(source), layout_(layout), position_(layout.data_start), bytes_(64 * 1024) {}

    int64_t read(std::span<float> out) override {
        const WaveFormat& f = layout_.format;
        const size_t sample_bytes = f.bits / 8;
        const bool mono = f.channels == 1;
        const size_t frames_wanted = out.size() / 2;
        size_t written = 0;
        while (written / 2 < frames_wanted && position_ < layout_.data_end) {
            const size_t frames_room = std::min<size_t>(frames_wanted - written / 2, bytes_.size() / f.block_align);
            const size_t bytes = static_cast<size_t>(
                std::min<uint64_t>(frames_room * f.block_align, layout_.data_end - position_));
            const int64_t got = source_.read_at(position_, std::span(bytes_.data(), bytes));
            if (got < 0) return -1;
            const size_t frames = static_cast<size_t>(got) / f.block_align;
            if (frames == 0) {  // the file is shorter than it was when opened
                position_ = layout_.data_end;
                break;
            }
            position_ += frames * f.block_align;
            const uint8_t* p = bytes_.data();
            for (size_t i = 0; i < frames * f.channels; ++i, p += sample_bytes) {
                const float v = convert(p);
                out[written++] = v;
                if (mono) out[written++] = v;
            }
        }
        return static_cast<int64_t>(written);
    }

    uint64_t length() override {
        const uint64_t frames = (layout_.data_end - layout_.data_start) / layout_.format.block_align;
        return mul_div(frames * 2, engine_rate, layout_.format.rate);
    }

    void seek(uint64_t position, uint64_t total) override {
        const uint64_t span = layout_.data_end - layout_.data_start;
        const uint64_t align = layout_.format.block_align;
        uint64_t offset = mul_div(span, position, total);
        offset = (offset + align - 1) / align * align;
        position_ = layout_.data_start + std::min(offset, span);
    }

    uint32_t bit_rate() const override { return layout_.format.bytes_per_second * 8; }

private:
    float convert(const uint8_t* p) const {
        switch (layout_.kind) {
            case WavSampleKind::int16: {
                const int16_t v = static_cast<int16_t>(p[0] | (p[1] << 8));
                return static_cast<float>(int32_t{v} * 65536);
            }
            case WavSampleKind::int24: {
                const uint32_t u = (uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24);
                return static_cast<float>(static_cast<int32_t>(u));
            }
            case WavSampleKind::int32: {
                const uint32_t u = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
                return static_cast<float>(static_cast<int32_t>(u));
            }
            case WavSampleKind::float32: {
                float v;
                std::memcpy(&v, p, 4);
                if (!std::isfinite(v)) return 0.0f;
                return std::clamp(v, -1.0f, 1.0f) * 2147483648.0f;
            }
        }
        return 0.0f;
    }

    ByteSource& source_;
    WavLayout layout_;
    uint64_t position_;
    std::vector<uint8_t> bytes_;
};

}  // namespace

std::unique_ptr<FormatReader> open_wav(ByteSource& source, ItemInfo& info) {
    auto layout = scan_wav(source, true);
    if (!layout) return nullptr;
    info.artist = layout->tags.artist;
    info.title = layout->tags.title;
    info.source_rate = layout->format.rate;
    info.channels = layout->format.channels;
    info.bit_rate = layout->format.bytes_per_second * 8;
    return std::make_unique<WavReader>(source, *layout);
}

}  // namespace torvalen::player
