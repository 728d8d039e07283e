// AAC-LC through libavcodec's encoder, framed as ADTS by us (the encoder gives raw
// access units). HE-AAC (SBR + PS) is not available: such a slot goes out as
// AAC-LC, which the status shows.
#include <algorithm>
#include <vector>

#include "engine/avcodec_library.h"
#include "stream/encoder.h"

namespace torvalen::stream {

namespace {

constexpr float to_unit = 4.656613e-10f;  // 2^-31, as the float encoder wants

int sampling_index(uint32_t rate) {
    static constexpr uint32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                         22050, 16000, 12000, 11025, 8000,  7350};
    for (int i = 0; i < 13; ++i)
        if (rates[i] == rate) return i;
    return -1;
}

class AacEncoder final : public Encoder {
public:
    ~AacEncoder() override {
        if (!av_) return;
        av_->av_packet_free(&packet_);
        av_->av_frame_free(&frame_);
        av_->avcodec_free_context(&context_);
    }

    bool open(const AacSettings& s) {
        channels_ = s.channels == 1 ? 1 : 2;
        rate_index_ = sampling_index(s.rate);
        if (rate_index_ < 0) return false;
        av_ = avcodec_library();
        if (!av_) return false;
        const AVCodec* codec = av_->avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!codec) return false;
        context_ = av_->avcodec_alloc_context3(codec);
        if (!context_) return false;
        context_->sample_rate = static_cast<int>(s.rate);
        context_->sample_fmt = AV_SAMPLE_FMT_FLTP;
        context_->bit_rate = s.bitrate;
        context_->profile = FF_PROFILE_AAC_LOW;
        av_->av_channel_layout_default(&context_->ch_layout, channels_);
        // libavcodec's "fast" quantiser search costs a third of the CPU of its default
        // ("twoloop"), and its authors find it sounds at least as good from 32 kb/s
        // per channel up; the lower rates keep the default, which does better there.
        AVDictionary* options = nullptr;
        if (s.bitrate / static_cast<uint32_t>(channels_) >= 32000) av_->av_dict_set(&options, "aac_coder", "fast", 0);
        const int opened = av_->avcodec_open2(context_, codec, &options);
        av_->av_dict_free(&options);
        if (opened < 0) return false;
        frame_size_ = context_->frame_size > 0 ? context_->frame_size : 1024;
        frame_ = av_->av_frame_alloc();
        packet_ = av_->av_packet_alloc();
        if (!frame_ || !packet_) return false;
        frame_->nb_samples = frame_size_;
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->sample_rate = context_->sample_rate;
        if (av_->av_channel_layout_copy(&frame_->ch_layout, &context_->ch_layout) < 0) return false;
        if (av_->av_frame_get_buffer(frame_, 0) < 0) return false;
        return true;
    }

    void encode(std::span<const float> stereo, const PieceSink& sink) override {
        // Samples wait until a whole encoder frame is there; the rest stays for the
        // next block. A mono stream carries the left channel.
        const std::size_t frames = stereo.size() / 2;
        for (std::size_t i = 0; i < frames; ++i) {
            waiting_.push_back(std::clamp(stereo[2 * i] * to_unit, -1.0f, 1.0f));
            waiting_.push_back(std::clamp(stereo[2 * i + 1] * to_unit, -1.0f, 1.0f));
        }
        std::size_t used = 0;
        const std::size_t need = 2 * static_cast<std::size_t>(frame_size_);
        while (waiting_.size() - used >= need) {
            if (av_->av_frame_make_writable(frame_) < 0) break;
            auto* left = reinterpret_cast<float*>(frame_->data[0]);
            auto* right = channels_ == 2 ? reinterpret_cast<float*>(frame_->data[1]) : nullptr;
            for (int i = 0; i < frame_size_; ++i) {
                left[i] = waiting_[used + 2 * i];
                if (right) right[i] = waiting_[used + 2 * i + 1];
            }
            frame_->pts = pts_;
            pts_ += frame_size_;
            used += need;
            if (av_->avcodec_send_frame(context_, frame_) < 0) break;  // an encoding error stops the block
            while (av_->avcodec_receive_packet(context_, packet_) == 0) {
                send_adts(packet_->data, static_cast<std::size_t>(packet_->size), sink);
                av_->av_packet_unref(packet_);
            }
        }
        waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(used));
    }

private:
    void send_adts(const uint8_t* data, std::size_t size, const PieceSink& sink) {
        const std::size_t length = size + 7;
        if (length > 0x1FFF) return;
        adts_.resize(length);
        uint8_t* h = adts_.data();
        h[0] = 0xFF;
        h[1] = 0xF1;  // MPEG-4, layer 0, no CRC
        h[2] = static_cast<uint8_t>((1 << 6) | (rate_index_ << 2) | (channels_ >> 2));  // profile LC
        h[3] = static_cast<uint8_t>(((channels_ & 3) << 6) | (length >> 11));
        h[4] = static_cast<uint8_t>((length >> 3) & 0xFF);
        h[5] = static_cast<uint8_t>(((length & 7) << 5) | 0x1F);
        h[6] = 0xFC;
        std::copy_n(data, size, h + 7);
        sink(std::span<const uint8_t>(adts_.data(), length));
    }

    const AvcodecLibrary* av_ = nullptr;
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    int channels_ = 2;
    int rate_index_ = 0;
    int frame_size_ = 1024;
    int64_t pts_ = 0;
    std::vector<float> waiting_;
    std::vector<uint8_t> adts_;
};

}  // namespace

std::unique_ptr<Encoder> open_aac(const AacSettings& s) {
    auto e = std::make_unique<AacEncoder>();
    if (!e->open(s)) return nullptr;
    return e;
}

}  // namespace torvalen::stream
