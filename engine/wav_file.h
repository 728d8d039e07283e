// WAV files for the virtual device: a streaming reader (PCM 8/16/24/32-bit, float
// 32/64-bit, mono or more channels) and a 32-bit float stereo writer. Samples are
// exchanged at the engine's scale (full scale 2^31).
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace torvalen {

class WavReader {
public:
    // Opens and checks the file. nullptr with a one-line reason in `error` when it
    // cannot be read or is not a WAV file this reader understands.
    static std::unique_ptr<WavReader> open(const std::filesystem::path& file, std::string& error);
    ~WavReader();
    WavReader(const WavReader&) = delete;
    WavReader& operator=(const WavReader&) = delete;

    uint32_t sample_rate() const { return rate_; }
    uint32_t channels() const { return channels_; }
    uint64_t frames() const { return frames_; }

    // Reads up to out.size()/2 frames as interleaved stereo (a mono file feeds
    // both sides; files with more channels give their first two). Returns the
    // number of frames read: fewer at the end of the data.
    size_t read(std::span<float> out);
    // Back to the first frame.
    bool rewind();

private:
    WavReader() = default;
    std::FILE* file_ = nullptr;
    uint32_t rate_ = 0;
    uint32_t channels_ = 0;
    uint32_t bytes_per_sample_ = 0;
    bool is_float_ = false;
    uint64_t frames_ = 0;
    uint64_t data_offset_ = 0;
    uint64_t position_ = 0;  // frames read since the data start
    std::unique_ptr<uint8_t[]> raw_;
    size_t raw_frames_ = 0;
};

class WavWriter {
public:
    static std::unique_ptr<WavWriter> create(const std::filesystem::path& file, uint32_t rate_Hz,
                                             std::string& error);
    ~WavWriter();  // finishes the header
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Appends interleaved stereo samples at engine scale.
    bool write(std::span<const float> stereo);
    // Writes the final sizes into the header and closes the file.
    bool close();
    uint64_t frames() const { return frames_; }

private:
    WavWriter() = default;
    bool write_header();
    std::FILE* file_ = nullptr;
    uint32_t rate_ = 0;
    uint64_t frames_ = 0;
    std::unique_ptr<float[]> scratch_;
    size_t scratch_size_ = 0;
};

}  // namespace torvalen
