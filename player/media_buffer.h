// A fixed-size byte block with a current length: the hand-over buffers between the
// MP3 frame reader and the decoder (whole frames in, one decoded frame out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace torvalen::player {

class CMediaBuffer {
public:
    explicit CMediaBuffer(uint32_t max_length)
        : data_(std::make_unique<uint8_t[]>(max_length)), max_length_(max_length) {}

    // False (length unchanged) above the maximum.
    bool SetLength(uint32_t length) {
        if (length > max_length_) return false;
        length_ = length;
        return true;
    }
    uint32_t GetMaxLength() const { return max_length_; }
    uint32_t GetLength() const { return length_; }
    uint8_t* data() { return data_.get(); }
    std::span<const uint8_t> GetBufferAndLength() const { return {data_.get(), length_}; }

private:
    std::unique_ptr<uint8_t[]> data_;
    uint32_t max_length_;
    uint32_t length_ = 0;
};

}  // namespace torvalen::player
