// Stream encoders: one slot turns the 48 kHz programme into Ogg Vorbis, Opus in
// Ogg, MP3 (LAME) or AAC-LC in ADTS (libavcodec), resampled with libsamplerate to
// the slot's rate. Every produced piece (an Ogg page, MP3 or ADTS frames) goes to
// the caller's sink.
//
// Used on one thread at a time: opened and closed by the slot's control thread
// under the slot's lock, fed by the encoder thread under a try-lock of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "stream/icecast_client.h"

namespace torvalen::stream {

// The settings blocks, each kept for its type ("Vorbis_Settings" and so on).
struct VorbisSettings {
    uint32_t max_bitrate = 128000, min_bitrate = 128000, bitrate = 128000, rate = 48000, channels = 2, spare = 0;
    bool operator==(const VorbisSettings&) const = default;
};
struct OpusSettings {
    uint32_t bitrate = 64000, rate = 44100, channels = 2, vbr = 0;
    bool operator==(const OpusSettings&) const = default;
};
struct Mp3Settings {
    uint32_t bitrate = 128000, rate = 48000, channels = 2;
    bool operator==(const Mp3Settings&) const = default;
};
struct AacSettings {
    uint32_t rate = 44100, bitrate = 64000, channels = 2, reserved = 0;
    uint64_t vbr = 0, sbr_ps = 0;
    bool operator==(const AacSettings&) const = default;
};

struct EncoderSettings {
    uint32_t type = encoder_vorbis;
    VorbisSettings vorbis;
    OpusSettings opus;
    Mp3Settings mp3;
    AacSettings aac;
    bool operator==(const EncoderSettings&) const = default;

    // Rate, channels and bit rate of the chosen type, as the server is told.
    StreamFormat format() const;
    // The one-line description shown in the Streams window.
    std::string describe() const;
};

// The raw little-endian settings blocks (24, 16, 12 and 32 bytes).
std::vector<std::byte> pack(const VorbisSettings&);
std::vector<std::byte> pack(const OpusSettings&);
std::vector<std::byte> pack(const Mp3Settings&);
std::vector<std::byte> pack(const AacSettings&);
bool unpack(std::span<const std::byte>, VorbisSettings&);
bool unpack(std::span<const std::byte>, OpusSettings&);
bool unpack(std::span<const std::byte>, Mp3Settings&);
bool unpack(std::span<const std::byte>, AacSettings&);

// The value lists of the settings windows.
extern const std::vector<uint32_t> vorbis_bitrates, vorbis_rates, opus_bitrates, opus_rates, mp3_bitrates,
    mp3_rates, aac_bitrates, aac_rates;

// Brings a Vorbis block inside its rules: with CBR minimum and maximum equal the
// bit rate; with VBR a minimum above the maximum makes both the bit rate, else
// the bit rate is brought inside minimum...maximum.
void settle_vorbis(VorbisSettings& s, bool vbr);
// AAC: below 128000 bit/s only one of SBR+PS and VBR; from 128000 neither.
void settle_aac(AacSettings& s);

// True when LAME initialises with exactly this bit rate, rate and channel count.
bool probe_mp3(uint32_t bitrate, uint32_t rate, uint32_t channels);

using PieceSink = std::function<void(std::span<const uint8_t>)>;

// One codec at the slot's rate: takes interleaved stereo float frames at the
// engine's scale (full scale 2^31) and hands on what it produces.
class Encoder {
public:
    virtual ~Encoder() = default;
    virtual void encode(std::span<const float> stereo, const PieceSink& sink) = 0;
};

// Each returns nothing when the library refuses the settings. `title` is the
// station name for the stream's tags (nullptr: none).
std::unique_ptr<Encoder> open_vorbis(const VorbisSettings& s, const std::string* title);
std::unique_ptr<Encoder> open_opus(const OpusSettings& s, const std::string* title);
std::unique_ptr<Encoder> open_mp3(const Mp3Settings& s);
std::unique_ptr<Encoder> open_aac(const AacSettings& s);

// A slot's encoder: the resampler from 48 kHz and the codec of the chosen type.
class SlotEncoder {
public:
    // Nothing when the type is unknown or its codec does not open.
    static std::unique_ptr<SlotEncoder> open(const EncoderSettings& settings, const std::string* title);
    ~SlotEncoder();
    SlotEncoder(const SlotEncoder&) = delete;
    SlotEncoder& operator=(const SlotEncoder&) = delete;

    // One 48 kHz block (interleaved stereo floats).
    void encode(std::span<const float> block48k, const PieceSink& sink);
    uint32_t type() const { return type_; }

private:
    SlotEncoder() = default;

    uint32_t type_ = 0;
    uint32_t rate_ = 48000;
    void* resampler_ = nullptr;  // SRC_STATE
    std::vector<float> resampled_;
    std::unique_ptr<Encoder> codec_;
};

}  // namespace torvalen::stream
