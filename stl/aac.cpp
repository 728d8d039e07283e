#include "stl/aac.h"

#include <algorithm>

#include "engine/avcodec_library.h"

namespace torvalen::stl {

namespace {

// The 7-byte ADTS header (MPEG-4, no CRC) of an AAC-LC frame of `payload` bytes.
void put_adts_header(std::vector<uint8_t>& out, size_t payload, uint32_t rate_index, uint32_t channels) {
    const size_t length = payload + 7;
    const uint8_t profile = 1;  // AAC-LC: object type 2, minus one
    out.push_back(0xFF);
    out.push_back(0xF1);
    out.push_back(static_cast<uint8_t>(profile << 6 | rate_index << 2 | (channels >> 2 & 1)));
    out.push_back(static_cast<uint8_t>((channels & 3) << 6 | (length >> 11 & 3)));
    out.push_back(static_cast<uint8_t>(length >> 3 & 0xFF));
    out.push_back(static_cast<uint8_t>((length & 7) << 5 | 0x1F));
    out.push_back(0xFC);
}

}  // namespace

std::unique_ptr<AacEncoder> AacEncoder::open(uint32_t channels, uint32_t bit_rate) {
    const AvcodecLibrary* av = avcodec_library();
    const AVCodec* codec = av ? av->avcodec_find_encoder(AV_CODEC_ID_AAC) : nullptr;
    if (!codec || (channels != 1 && channels != 2)) return nullptr;
    std::unique_ptr<AacEncoder> e(new AacEncoder);
    e->av_ = av;
    e->channels_ = channels;
    e->ctx_ = av->avcodec_alloc_context3(codec);
    e->frame_ = av->av_frame_alloc();
    e->packet_ = av->av_packet_alloc();
    if (!e->ctx_ || !e->frame_ || !e->packet_) return nullptr;
    e->ctx_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    e->ctx_->sample_rate = 48000;
    av->av_channel_layout_default(&e->ctx_->ch_layout, static_cast<int>(channels));
    e->ctx_->bit_rate = bit_rate;
    e->ctx_->profile = FF_PROFILE_AAC_LOW;
    if (av->avcodec_open2(e->ctx_, codec, nullptr) < 0 || e->ctx_->frame_size != int(aac_frame_samples)) return nullptr;
    e->frame_->format = AV_SAMPLE_FMT_FLTP;
    e->frame_->nb_samples = aac_frame_samples;
    e->frame_->sample_rate = 48000;
    if (av->av_channel_layout_copy(&e->frame_->ch_layout, &e->ctx_->ch_layout) < 0 || av->av_frame_get_buffer(e->frame_, 0) < 0)
        return nullptr;
    return e;
}

AacEncoder::~AacEncoder() {
    if (!av_) return;
    av_->av_packet_free(&packet_);
    av_->av_frame_free(&frame_);
    av_->avcodec_free_context(&ctx_);
}

bool AacEncoder::encode(std::span<const int16_t> samples, std::vector<uint8_t>& out) {
    if (samples.size() != size_t(aac_frame_samples) * channels_ || av_->av_frame_make_writable(frame_) < 0) return false;
    for (uint32_t c = 0; c < channels_; ++c) {
        float* plane = reinterpret_cast<float*>(frame_->data[c]);
        for (uint32_t i = 0; i < aac_frame_samples; ++i) plane[i] = samples[i * channels_ + c] * (1.0f / 32768.0f);
    }
    if (av_->avcodec_send_frame(ctx_, frame_) < 0) return false;
    return drain(out);
}

bool AacEncoder::drain(std::vector<uint8_t>& out) {
    for (;;) {
        const int r = av_->avcodec_receive_packet(ctx_, packet_);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) return false;
        put_adts_header(out, static_cast<size_t>(packet_->size), rate_index_, channels_);
        out.insert(out.end(), packet_->data, packet_->data + packet_->size);
        av_->av_packet_unref(packet_);
    }
}

std::unique_ptr<AacDecoder> AacDecoder::open() {
    const AvcodecLibrary* av = avcodec_library();
    const AVCodec* codec = av ? av->avcodec_find_decoder(AV_CODEC_ID_AAC) : nullptr;
    if (!codec) return nullptr;
    std::unique_ptr<AacDecoder> d(new AacDecoder);
    d->av_ = av;
    d->ctx_ = av->avcodec_alloc_context3(codec);
    d->frame_ = av->av_frame_alloc();
    d->packet_ = av->av_packet_alloc();
    if (!d->ctx_ || !d->frame_ || !d->packet_) return nullptr;
    if (av->avcodec_open2(d->ctx_, codec, nullptr) < 0) return nullptr;
    return d;
}

AacDecoder::~AacDecoder() {
    if (!av_) return;
    av_->av_packet_free(&packet_);
    av_->av_frame_free(&frame_);
    av_->avcodec_free_context(&ctx_);
}

bool AacDecoder::decode(std::span<const uint8_t> data, std::vector<float>& stereo, uint32_t& frame_samples,
                        uint32_t& rate_Hz) {
    // Each packet holds whole ADTS frames; the decoder takes one frame at a time,
    // header included.
    const uint8_t* p = data.data();
    size_t left = data.size();
    while (left >= 7) {
        if (p[0] != 0xFF || (p[1] & 0xF6) != 0xF0) return false;
        const size_t length = size_t(p[3] & 3) << 11 | size_t(p[4]) << 3 | size_t(p[5]) >> 5;
        if (length < 7 || length > left) return false;
        uint8_t* frame_data = const_cast<uint8_t*>(p);
        const int frame_size = static_cast<int>(length);
        p += length;
        left -= length;
        packet_->data = frame_data;
        packet_->size = frame_size;
        if (av_->avcodec_send_packet(ctx_, packet_) < 0) return false;
        for (;;) {
            const int r = av_->avcodec_receive_frame(ctx_, frame_);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            if (r < 0) return false;
            const int channels = frame_->ch_layout.nb_channels;
            const int n = frame_->nb_samples;
            if (frame_->format == AV_SAMPLE_FMT_FLTP && channels >= 1) {
                const float* l = reinterpret_cast<const float*>(frame_->extended_data[0]);
                const float* r2 = reinterpret_cast<const float*>(frame_->extended_data[channels > 1 ? 1 : 0]);
                for (int i = 0; i < n; ++i) {
                    stereo.push_back(std::clamp(l[i] * 32768.0f, -32768.0f, 32767.0f));
                    stereo.push_back(std::clamp(r2[i] * 32768.0f, -32768.0f, 32767.0f));
                }
                frame_samples = static_cast<uint32_t>(n);
                rate_Hz = static_cast<uint32_t>(frame_->sample_rate);
            }
            av_->av_frame_unref(frame_);
        }
    }
    return true;
}

}  // namespace torvalen::stl
