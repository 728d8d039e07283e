// Opus in Ogg through libopusenc (pull mode: the pages are taken as they fill).
#include <opus/opusenc.h>

#include <algorithm>
#include <vector>

#include "stream/encoder.h"

namespace torvalen::stream {

namespace {

constexpr float to_unit = 4.656613e-10f;  // 2^-31
constexpr float mean_to_unit = 2.3283064e-10f;  // 2^-32: (left + right) / 2

class OpusEncoder final : public Encoder {
public:
    ~OpusEncoder() override {
        if (encoder_) ope_encoder_destroy(encoder_);
        if (comments_) ope_comments_destroy(comments_);
    }

    bool open(const OpusSettings& s, const std::string* title) {
        channels_ = s.channels == 1 ? 1 : 2;
        comments_ = ope_comments_create();
        if (!comments_) return false;
        if (title && !title->empty() && ope_comments_add(comments_, "TITLE", title->c_str()) != OPE_OK) return false;
        int error = 0;
        encoder_ = ope_encoder_create_pull(comments_, static_cast<opus_int32>(s.rate), channels_, 0, &error);
        if (!encoder_ || error != OPE_OK) return false;
        if (ope_encoder_ctl(encoder_, OPUS_SET_BITRATE(static_cast<opus_int32>(s.bitrate))) != OPE_OK) return false;
        if (ope_encoder_ctl(encoder_, OPUS_SET_APPLICATION(OPUS_APPLICATION_AUDIO)) != OPE_OK) return false;
        if (s.vbr) {
            if (ope_encoder_ctl(encoder_, OPUS_SET_VBR(1)) != OPE_OK) return false;
        } else if (ope_encoder_ctl(encoder_, OPUS_SET_VBR(0)) != OPE_OK) {
            return false;
        }
        return true;
    }

    void encode(std::span<const float> stereo, const PieceSink& sink) override {
        const std::size_t frames = stereo.size() / 2;
        if (frames > 0) {
            if (pcm_.size() < frames * channels_) pcm_.resize(frames * channels_);
            if (channels_ == 2) {
                for (std::size_t i = 0; i < 2 * frames; ++i) pcm_[i] = std::clamp(stereo[i] * to_unit, -1.0f, 1.0f);
            } else {
                for (std::size_t i = 0; i < frames; ++i)
                    pcm_[i] = std::clamp((stereo[2 * i] + stereo[2 * i + 1]) * mean_to_unit, -1.0f, 1.0f);
            }
            ope_encoder_write_float(encoder_, pcm_.data(), static_cast<int>(frames));
        }
        unsigned char* page = nullptr;
        opus_int32 length = 0;
        while (ope_encoder_get_page(encoder_, &page, &length, 0) == 1)
            sink(std::span<const uint8_t>(page, static_cast<std::size_t>(length)));
    }

private:
    OggOpusComments* comments_ = nullptr;
    OggOpusEnc* encoder_ = nullptr;
    int channels_ = 2;
    std::vector<float> pcm_;
};

}  // namespace

std::unique_ptr<Encoder> open_opus(const OpusSettings& s, const std::string* title) {
    auto e = std::make_unique<OpusEncoder>();
    if (!e->open(s, title)) return nullptr;
    return e;
}

}  // namespace torvalen::stream
