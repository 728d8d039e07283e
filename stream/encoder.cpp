#include "stream/encoder.h"

#include <samplerate.h>

#include <algorithm>
#include <cstring>

namespace torvalen::stream {

const std::vector<uint32_t> vorbis_bitrates = {32000, 48000, 56000, 64000, 72000, 128000, 192000, 256000};
const std::vector<uint32_t> vorbis_rates = {32000, 44100, 48000};
const std::vector<uint32_t> opus_bitrates = {32000, 48000, 64000, 96000, 128000, 192000};
const std::vector<uint32_t> opus_rates = {44100, 48000};
const std::vector<uint32_t> mp3_bitrates = {8000,  16000, 18000, 20000,  24000,  32000,  40000,
                                            48000, 56000, 64000, 80000,  96000,  112000, 128000,
                                            160000, 192000, 224000, 256000, 320000};
const std::vector<uint32_t> mp3_rates = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
const std::vector<uint32_t> aac_bitrates = {32000, 48000, 64000, 96000, 128000};
const std::vector<uint32_t> aac_rates = {44100, 48000};

namespace {

void put32(std::vector<std::byte>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>((v >> (8 * i)) & 0xFF));
}
void put64(std::vector<std::byte>& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v));
    put32(out, static_cast<uint32_t>(v >> 32));
}
uint32_t get32(std::span<const std::byte> in, std::size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(in[at + i]) << (8 * i);
    return v;
}
uint64_t get64(std::span<const std::byte> in, std::size_t at) {
    return get32(in, at) | (static_cast<uint64_t>(get32(in, at + 4)) << 32);
}

std::string mono_stereo(uint32_t channels, const char* mono, const char* stereo) {
    return channels == 1 ? mono : stereo;
}

}  // namespace

std::vector<std::byte> pack(const VorbisSettings& s) {
    std::vector<std::byte> out;
    for (uint32_t v : {s.max_bitrate, s.min_bitrate, s.bitrate, s.rate, s.channels, s.spare}) put32(out, v);
    return out;
}
std::vector<std::byte> pack(const OpusSettings& s) {
    std::vector<std::byte> out;
    for (uint32_t v : {s.bitrate, s.rate, s.channels, s.vbr}) put32(out, v);
    return out;
}
std::vector<std::byte> pack(const Mp3Settings& s) {
    std::vector<std::byte> out;
    for (uint32_t v : {s.bitrate, s.rate, s.channels}) put32(out, v);
    return out;
}
std::vector<std::byte> pack(const AacSettings& s) {
    std::vector<std::byte> out;
    for (uint32_t v : {s.rate, s.bitrate, s.channels, s.reserved}) put32(out, v);
    put64(out, s.vbr);
    put64(out, s.sbr_ps);
    return out;
}
bool unpack(std::span<const std::byte> in, VorbisSettings& s) {
    if (in.size() != 24) return false;
    s = {get32(in, 0), get32(in, 4), get32(in, 8), get32(in, 12), get32(in, 16), get32(in, 20)};
    return true;
}
bool unpack(std::span<const std::byte> in, OpusSettings& s) {
    if (in.size() != 16) return false;
    s = {get32(in, 0), get32(in, 4), get32(in, 8), get32(in, 12)};
    return true;
}
bool unpack(std::span<const std::byte> in, Mp3Settings& s) {
    if (in.size() != 12) return false;
    s = {get32(in, 0), get32(in, 4), get32(in, 8)};
    return true;
}
bool unpack(std::span<const std::byte> in, AacSettings& s) {
    if (in.size() != 32) return false;
    s = {get32(in, 0), get32(in, 4), get32(in, 8), get32(in, 12), get64(in, 16), get64(in, 24)};
    return true;
}

void settle_vorbis(VorbisSettings& s, bool vbr) {
    if (!vbr) {
        s.min_bitrate = s.max_bitrate = s.bitrate;
    } else if (s.min_bitrate > s.max_bitrate) {
        s.min_bitrate = s.max_bitrate = s.bitrate;
    } else {
        s.bitrate = std::clamp(s.bitrate, s.min_bitrate, s.max_bitrate);
    }
}

void settle_aac(AacSettings& s) {
    if (s.bitrate >= 128000) {
        s.vbr = s.sbr_ps = 0;
    } else if (s.vbr && s.sbr_ps) {
        s.vbr = 0;  // the later choice wins in the window; here SBR+PS is kept
    }
}

StreamFormat EncoderSettings::format() const {
    switch (type) {
        case encoder_vorbis: return {type, vorbis.bitrate, vorbis.rate, vorbis.channels == 1 ? 1u : 2u};
        case encoder_opus: return {type, opus.bitrate, opus.rate, opus.channels == 1 ? 1u : 2u};
        case encoder_mp3: return {type, mp3.bitrate, mp3.rate, mp3.channels == 1 ? 1u : 2u};
        case encoder_aac: return {type, aac.bitrate, aac.rate, aac.channels == 1 ? 1u : 2u};
        default: return {type, 0, 48000, 2};
    }
}

std::string EncoderSettings::describe() const {
    switch (type) {
        case encoder_vorbis:
            return "Ogg/Vorbis " + std::to_string(vorbis.bitrate / 1000) +
                   mono_stereo(vorbis.channels, "kB/s Mono  ", "kB/s Stereo  ") + std::to_string(vorbis.rate) + "Hz";
        case encoder_opus:
            return "Opus " + std::to_string(opus.bitrate / 1000) +
                   mono_stereo(opus.channels, "kB/s Mono  ", "kB/s Stereo  ") + std::to_string(opus.rate) + "Hz";
        case encoder_mp3:
            return "MP3 " + std::to_string(mp3.bitrate / 1000) +
                   mono_stereo(mp3.channels, "kB/s Mono ", "kB/s Stereo ") + std::to_string(mp3.rate) + "Hz";
        case encoder_aac: {
            std::string d = "AAC " + std::to_string(aac.bitrate / 1000) +
                            mono_stereo(aac.channels, " kB/s Mono ", " kB/s Stereo  ") + std::to_string(aac.rate);
            if (aac.sbr_ps) return d + (aac.vbr ? "Hz SBR  PS VBR" : "Hz SBR  PS CBR");
            return d + (aac.vbr ? "Hz VBR" : "Hz CBR");
        }
        default: return {};
    }
}

std::unique_ptr<SlotEncoder> SlotEncoder::open(const EncoderSettings& settings, const std::string* title) {
    std::unique_ptr<SlotEncoder> e(new SlotEncoder);
    e->type_ = settings.type;
    switch (settings.type) {
        case encoder_vorbis: e->codec_ = open_vorbis(settings.vorbis, title); break;
        case encoder_opus: e->codec_ = open_opus(settings.opus, title); break;
        case encoder_mp3: e->codec_ = open_mp3(settings.mp3); break;
        case encoder_aac: e->codec_ = open_aac(settings.aac); break;
        default: return nullptr;
    }
    if (!e->codec_) return nullptr;
    e->rate_ = settings.format().rate_Hz;
    if (e->rate_ != 48000) {
        int error = 0;
        e->resampler_ = src_new(SRC_SINC_FASTEST, 2, &error);
        if (!e->resampler_) return nullptr;
    }
    return e;
}

SlotEncoder::~SlotEncoder() {
    if (resampler_) src_delete(static_cast<SRC_STATE*>(resampler_));
}

void SlotEncoder::encode(std::span<const float> block48k, const PieceSink& sink) {
    if (rate_ == 48000) {
        codec_->encode(block48k, sink);
        return;
    }
    // About block x rate/48000 frames come out; the room is a little larger so
    // that the whole block is always taken in (none of it is lost between blocks).
    const std::size_t in_frames = block48k.size() / 2;
    const std::size_t out_frames = static_cast<std::size_t>(uint64_t(in_frames) * rate_ / 48000) + 64;
    if (resampled_.size() < 2 * out_frames) resampled_.resize(2 * out_frames);
    const double ratio = double(rate_) / 48000.0;
    auto* state = static_cast<SRC_STATE*>(resampler_);
    src_set_ratio(state, ratio);
    SRC_DATA d{};
    d.data_in = block48k.data();
    d.input_frames = static_cast<long>(in_frames);
    d.data_out = resampled_.data();
    d.output_frames = static_cast<long>(out_frames);
    d.src_ratio = ratio;
    d.end_of_input = 0;
    if (src_process(state, &d) != 0) return;
    codec_->encode(std::span<const float>(resampled_.data(), static_cast<std::size_t>(d.output_frames_gen) * 2), sink);
}

}  // namespace torvalen::stream
