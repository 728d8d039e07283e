#include "engine/wav_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "engine/buses.h"

namespace torvalen {

namespace {
constexpr uint16_t format_pcm = 1;
constexpr uint16_t format_float = 3;
constexpr uint16_t format_extensible = 0xFFFE;
constexpr size_t read_chunk_frames = 4096;
constexpr float to_engine_scale = 2147483648.0f;       // 2^31
constexpr float from_engine_scale = 1.0f / 2147483648.0f;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void put16(uint8_t* p, uint16_t v) { p[0] = v & 0xFF; p[1] = v >> 8; }
void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (v >> (8 * i)) & 0xFF;
}

// One sample at engine scale.
float decode(const uint8_t* p, uint32_t bytes, bool is_float) {
    if (is_float) {
        if (bytes == 4) {
            float f;
            std::memcpy(&f, p, 4);
            return f * to_engine_scale;
        }
        double d;
        std::memcpy(&d, p, 8);
        return static_cast<float>(d * 2147483648.0);
    }
    switch (bytes) {
        case 1: return static_cast<float>(static_cast<int>(p[0]) - 128) * 16777216.0f;  // 2^24
        case 2: return static_cast<float>(static_cast<int16_t>(le16(p))) * 65536.0f;     // 2^16
        case 3: {
            int32_t v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 |
                                             static_cast<uint32_t>(p[1]) << 16 |
                                             static_cast<uint32_t>(p[2]) << 24);
            return static_cast<float>(v);
        }
        default: return static_cast<float>(static_cast<int32_t>(le32(p)));
    }
}
}  // namespace

std::unique_ptr<WavReader> WavReader::open(const std::filesystem::path& path, std::string& error) {
    std::unique_ptr<WavReader> r(new (std::nothrow) WavReader());
    if (!r) {
        error = "out of memory";
        return nullptr;
    }
    r->file_ = std::fopen(path.c_str(), "rb");
    if (!r->file_) {
        error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    uint8_t riff[12];
    if (std::fread(riff, 1, 12, r->file_) != 12 || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0) {
        error = path.string() + " is not a WAV file";
        return nullptr;
    }
    bool have_format = false;
    uint16_t format = 0, channels = 0, bits = 0, block_align = 0;
    uint64_t offset = 12;
    for (;;) {
        uint8_t header[8];
        if (std::fread(header, 1, 8, r->file_) != 8) {
            error = path.string() + ": no audio data found";
            return nullptr;
        }
        const uint32_t size = le32(header + 4);
        offset += 8;
        if (std::memcmp(header, "fmt ", 4) == 0) {
            uint8_t fmt[40] = {};
            if (size < 16 || std::fread(fmt, 1, std::min<uint32_t>(size, 40), r->file_) !=
                                 std::min<uint32_t>(size, 40)) {
                error = path.string() + ": damaged format chunk";
                return nullptr;
            }
            format = le16(fmt);
            channels = le16(fmt + 2);
            r->rate_ = le32(fmt + 4);
            block_align = le16(fmt + 12);
            bits = le16(fmt + 14);
            if (format == format_extensible && size >= 40) format = le16(fmt + 24);
            have_format = true;
        } else if (std::memcmp(header, "data", 4) == 0) {
            if (!have_format) {
                error = path.string() + ": audio data before the format chunk";
                return nullptr;
            }
            r->data_offset_ = offset;
            // A header written by a recorder that was cut off may claim more data than
            // the file holds: trust the file size.
            std::fseek(r->file_, 0, SEEK_END);
            const long end = std::ftell(r->file_);
            uint64_t available = end > 0 && static_cast<uint64_t>(end) > offset ? end - offset : 0;
            uint64_t bytes = size == 0xFFFFFFFFu ? available : std::min<uint64_t>(size, available);
            r->bytes_per_sample_ = bits / 8;
            r->channels_ = channels;
            r->is_float_ = format == format_float;
            const bool pcm_ok = format == format_pcm && bits % 8 == 0 && bits >= 8 && bits <= 32;
            const bool float_ok = format == format_float && (bits == 32 || bits == 64);
            if (!(pcm_ok || float_ok) || channels == 0 ||
                block_align != channels * r->bytes_per_sample_) {
                error = path.string() + ": unsupported sample format (" + std::to_string(bits) +
                        "-bit, format " + std::to_string(format) + ")";
                return nullptr;
            }
            r->frames_ = bytes / block_align;
            break;
        }
        // Chunks are padded to an even size.
        offset += size + (size & 1u);
        if (std::fseek(r->file_, static_cast<long>(offset), SEEK_SET) != 0) {
            error = path.string() + ": damaged chunk list";
            return nullptr;
        }
    }
    r->raw_frames_ = read_chunk_frames;
    r->raw_.reset(new (std::nothrow) uint8_t[read_chunk_frames * block_align]);
    if (!r->raw_ || !r->rewind()) {
        error = path.string() + ": cannot read the audio data";
        return nullptr;
    }
    return r;
}

WavReader::~WavReader() {
    if (file_) std::fclose(file_);
}

bool WavReader::rewind() {
    position_ = 0;
    return std::fseek(file_, static_cast<long>(data_offset_), SEEK_SET) == 0;
}

size_t WavReader::read(std::span<float> out) {
    const size_t block = static_cast<size_t>(channels_) * bytes_per_sample_;
    size_t wanted = out.size() / 2;
    size_t done = 0;
    while (done < wanted && position_ < frames_) {
        size_t n = std::min<size_t>({wanted - done, raw_frames_, static_cast<size_t>(frames_ - position_)});
        n = std::fread(raw_.get(), block, n, file_);
        if (n == 0) break;
        for (size_t f = 0; f < n; ++f) {
            const uint8_t* frame = raw_.get() + f * block;
            const float left = decode(frame, bytes_per_sample_, is_float_);
            const float right =
                channels_ > 1 ? decode(frame + bytes_per_sample_, bytes_per_sample_, is_float_) : left;
            out[2 * (done + f)] = left;
            out[2 * (done + f) + 1] = right;
        }
        done += n;
        position_ += n;
    }
    return done;
}

std::unique_ptr<WavWriter> WavWriter::create(const std::filesystem::path& path, uint32_t rate_Hz,
                                             std::string& error) {
    std::unique_ptr<WavWriter> w(new (std::nothrow) WavWriter());
    if (!w) {
        error = "out of memory";
        return nullptr;
    }
    w->file_ = std::fopen(path.c_str(), "wb");
    if (!w->file_) {
        error = "cannot create " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    w->rate_ = rate_Hz;
    if (!w->write_header()) {
        error = "cannot write " + path.string();
        return nullptr;
    }
    return w;
}

WavWriter::~WavWriter() { close(); }

bool WavWriter::write_header() {
    // RIFF, a float format chunk (18 bytes), a fact chunk and the data header.
    uint8_t h[58] = {};
    const uint64_t data_bytes64 = frames_ * 8;
    const uint32_t data_bytes = data_bytes64 > 0xFFFFFFF0u ? 0xFFFFFFF0u : static_cast<uint32_t>(data_bytes64);
    std::memcpy(h, "RIFF", 4);
    put32(h + 4, 50 + data_bytes);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(h + 16, 18);
    put16(h + 20, format_float);
    put16(h + 22, 2);
    put32(h + 24, rate_);
    put32(h + 28, rate_ * 8);
    put16(h + 32, 8);
    put16(h + 34, 32);
    put16(h + 36, 0);
    std::memcpy(h + 38, "fact", 4);
    put32(h + 42, 4);
    put32(h + 46, static_cast<uint32_t>(frames_));
    std::memcpy(h + 50, "data", 4);
    put32(h + 54, data_bytes);
    return std::fseek(file_, 0, SEEK_SET) == 0 && std::fwrite(h, 1, sizeof h, file_) == sizeof h &&
           std::fseek(file_, 0, SEEK_END) == 0;
}

bool WavWriter::write(std::span<const float> stereo) {
    if (!file_) return false;
    if (stereo.empty()) return true;
    if (scratch_size_ < stereo.size()) {
        scratch_.reset(new (std::nothrow) float[stereo.size()]);
        scratch_size_ = scratch_ ? stereo.size() : 0;
        if (!scratch_) return false;
    }
    for (size_t i = 0; i < stereo.size(); ++i) scratch_[i] = stereo[i] * from_engine_scale;
    if (std::fwrite(scratch_.get(), sizeof(float), stereo.size(), file_) != stereo.size()) return false;
    frames_ += stereo.size() / 2;
    return true;
}

bool WavWriter::close() {
    if (!file_) return true;
    bool ok = write_header();
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
}

}  // namespace torvalen
