// A buffer of zeros of fixed size whose memory is only touched where it is used.
// A std::vector writes every element when it is made; calloc hands large blocks
// over as fresh zero pages from the kernel, so a buffer sized for the largest
// setting costs only what the current setting uses (a module made for a short
// offline render, or an instance that never shows its analyser, saves milliseconds
// of page faults).
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace torvalen::dsp {

template <typename T>
class ZeroedBuffer {
    static_assert(std::is_trivial_v<T>, "the elements are all-zero bytes");

public:
    ZeroedBuffer() = default;
    // Throws std::bad_alloc, as a vector would.
    explicit ZeroedBuffer(std::size_t size) : data_(static_cast<T*>(std::calloc(size, sizeof(T)))), size_(size) {
        if (size > 0 && !data_) throw std::bad_alloc();
    }
    ~ZeroedBuffer() { std::free(data_); }
    ZeroedBuffer(ZeroedBuffer&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    ZeroedBuffer& operator=(ZeroedBuffer&& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        return *this;
    }
    ZeroedBuffer(const ZeroedBuffer&) = delete;
    ZeroedBuffer& operator=(const ZeroedBuffer&) = delete;

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    operator std::span<T>() { return {data_, size_}; }
    operator std::span<const T>() const { return {data_, size_}; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace torvalen::dsp
