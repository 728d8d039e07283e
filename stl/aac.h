// AAC for the link through libavcodec: an AAC-LC encoder at 48 kHz that turns
// frames of 1024 16-bit samples per channel into ADTS frames, and a decoder that
// finds ADTS frames in a byte stream and decodes them (AAC-LC and HE-AAC).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace torvalen {
struct AvcodecLibrary;
}

namespace torvalen::stl {

inline constexpr uint32_t aac_frame_samples = 1024;  // per channel

class AacEncoder {
public:
    // AAC-LC, 48 kHz, 1 or 2 channels, bit rate in bit/s. Empty when the codec
    // cannot be opened with these settings.
    static std::unique_ptr<AacEncoder> open(uint32_t channels, uint32_t bit_rate);
    ~AacEncoder();
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    uint32_t channels() const { return channels_; }
    // Encodes one frame (aac_frame_samples x channels interleaved samples) and
    // appends whatever ADTS frames the codec hands out (it keeps about one frame
    // back). False on a codec error.
    bool encode(std::span<const int16_t> frame, std::vector<uint8_t>& out);

private:
    AacEncoder() = default;
    bool drain(std::vector<uint8_t>& out);
    const AvcodecLibrary* av_ = nullptr;
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    uint32_t channels_ = 2;
    uint32_t rate_index_ = 3;  // 48 kHz in the ADTS table
};

class AacDecoder {
public:
    static std::unique_ptr<AacDecoder> open();
    ~AacDecoder();
    AacDecoder(const AacDecoder&) = delete;
    AacDecoder& operator=(const AacDecoder&) = delete;

    // Decodes the whole ADTS frames in `data`. Appends stereo frames at 16-bit scale (-32768 ... 32767,
    // mono duplicated) to `stereo` and notes each frame's samples per channel and
    // rate. A codec error abandons the rest of `data`; false then.
    bool decode(std::span<const uint8_t> data, std::vector<float>& stereo, uint32_t& frame_samples,
                uint32_t& rate_Hz);

private:
    AacDecoder() = default;
    const AvcodecLibrary* av_ = nullptr;
    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
};

}  // namespace torvalen::stl
