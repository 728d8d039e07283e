// MP3 through LAME: 16-bit samples in, MPEG audio frames out, at a constant bit
// rate. The probe asks LAME whether a combination initialises unchanged.
#include <lame/lame.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "stream/encoder.h"

namespace torvalen::stream {

namespace {

constexpr float to_16 = 1.5259022e-5f;      // full scale lands just above 32767
constexpr float mean_to_16 = 7.629511e-6f;  // (left + right) / 2 at the same scale

int16_t to_sample(float v) {
    // Truncated toward zero, then clamped.
    const float t = std::trunc(v);
    return static_cast<int16_t>(std::clamp(t, -32767.0f, 32767.0f));
}

lame_t configure(uint32_t bitrate, uint32_t rate, uint32_t channels) {
    lame_t lame = lame_init();
    if (!lame) return nullptr;
    lame_set_in_samplerate(lame, static_cast<int>(rate));
    lame_set_out_samplerate(lame, static_cast<int>(rate));
    lame_set_num_channels(lame, channels == 1 ? 1 : 2);
    lame_set_mode(lame, channels == 1 ? MONO : JOINT_STEREO);
    lame_set_VBR(lame, vbr_off);
    lame_set_brate(lame, static_cast<int>(bitrate / 1000));
    lame_set_quality(lame, 5);
    lame_set_bWriteVbrTag(lame, 0);
    if (lame_init_params(lame) < 0 || lame_get_brate(lame) != static_cast<int>(bitrate / 1000) ||
        lame_get_out_samplerate(lame) != static_cast<int>(rate)) {
        lame_close(lame);
        return nullptr;
    }
    return lame;
}

class Mp3Encoder final : public Encoder {
public:
    explicit Mp3Encoder(lame_t lame, uint32_t channels) : lame_(lame), channels_(channels == 1 ? 1 : 2) {}
    ~Mp3Encoder() override { lame_close(lame_); }

    void encode(std::span<const float> stereo, const PieceSink& sink) override {
        const std::size_t frames = stereo.size() / 2;
        if (frames == 0) return;
        if (pcm_.size() < frames * channels_) pcm_.resize(frames * channels_);
        // LAME's own bound for its output: 1.25 x samples + 7200 bytes.
        const std::size_t room = frames * 5 / 4 + 7200;
        if (out_.size() < room) out_.resize(room);
        int n = 0;
        if (channels_ == 2) {
            for (std::size_t i = 0; i < 2 * frames; ++i) pcm_[i] = to_sample(stereo[i] * to_16);
            n = lame_encode_buffer_interleaved(lame_, pcm_.data(), static_cast<int>(frames), out_.data(),
                                               static_cast<int>(out_.size()));
        } else {
            for (std::size_t i = 0; i < frames; ++i)
                pcm_[i] = to_sample((stereo[2 * i] + stereo[2 * i + 1]) * mean_to_16);
            n = lame_encode_buffer(lame_, pcm_.data(), pcm_.data(), static_cast<int>(frames), out_.data(),
                                   static_cast<int>(out_.size()));
        }
        if (n > 0) sink(std::span<const uint8_t>(out_.data(), static_cast<std::size_t>(n)));
    }

private:
    lame_t lame_;
    uint32_t channels_;
    std::vector<short> pcm_;
    std::vector<unsigned char> out_;
};

}  // namespace

bool probe_mp3(uint32_t bitrate, uint32_t rate, uint32_t channels) {
    lame_t lame = configure(bitrate, rate, channels);
    if (!lame) return false;
    lame_close(lame);
    return true;
}

std::unique_ptr<Encoder> open_mp3(const Mp3Settings& s) {
    lame_t lame = configure(s.bitrate, s.rate, s.channels);
    if (!lame) return nullptr;
    return std::make_unique<Mp3Encoder>(lame, s.channels);
}

}  // namespace torvalen::stream
