// The analyser's real FFT: a mixed-radix transform (factors 4, 2, 3 and any other
// prime) for every length from 1 to 65536, with its output in half-complex layout.
//
// Half-complex layout of a length-n spectrum X (X[j] = sum x[t] e^(-2 pi i j t / n)):
//   h[0] = X[0] (real), h[2j-1] = Re X[j], h[2j] = Im X[j] for j = 1 ... (n-1)/2,
//   and for even n h[n-1] = X[n/2] (real).
// The inverse takes that layout back and is unnormalised: inverse(forward(x)) = n x.
//
// An even length runs as a complex transform of n/2 points (even samples real, odd
// samples imaginary) followed by a split step; an odd length as a complex transform
// of n points. The complex transform is a Stockham autosort in split format (real
// and imaginary parts in separate arrays), so every pass reads and writes
// contiguous runs that map onto four-wide vectors.
//
// A RealFft holds only constant tables (factors, twiddles): build it once, off the
// engine thread, and share it between threads. Each caller brings its own work
// area of work_size() floats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace torvalen::measure {

class RealFft {
public:
    static constexpr uint32_t max_length = 65536;

    // Builds the factor and twiddle tables for length n (1 ... max_length; other
    // values give an unusable transform whose size() is 0).
    explicit RealFft(uint32_t n);

    uint32_t size() const { return n_; }
    // Floats of scratch that forward and inverse need.
    std::size_t work_size() const { return work_size_; }
    // Radices of the complex passes, in the order they run.
    std::span<const uint32_t> factors() const { return factors_; }

    // In place: n samples in, n half-complex values out. False (data untouched)
    // when a span is too short or the transform is unusable.
    bool forward(std::span<float> data, std::span<float> work) const;
    // In place: n half-complex values in, n times the samples out.
    bool inverse(std::span<float> data, std::span<float> work) const;

private:
    // One Stockham pass: `length` points of the current sub-transform, radix r,
    // stride s (product of the radices before it); twiddles e^(-2 pi i p t / length)
    // for t = 1 ... r-1 (rows), p = 0 ... length/r - 1 (columns).
    struct Pass {
        uint32_t radix;
        uint32_t length;
        uint32_t stride;
        std::size_t twiddle_at;  // first twiddle of the pass in twiddle_re_/twiddle_im_
        std::size_t root_at;     // e^(-2 pi i k / r), k = 0 ... r-1 (general radix only)
    };

    // Complex transform of m_ points, forward sign. (re, im) holds the input; the
    // result ends in (re, im) as well; (re2, im2) and `scratch` are work space.
    void complex_forward(float* re, float* im, float* re2, float* im2, float* scratch) const;
    void run_pass(const Pass& pass, const float* xr, const float* xi, float* yr, float* yi,
                  float* scratch) const;

    uint32_t n_ = 0;
    uint32_t m_ = 0;  // points of the complex transform
    std::size_t work_size_ = 0;
    std::vector<uint32_t> factors_;
    std::vector<Pass> passes_;
    std::vector<float> twiddle_re_, twiddle_im_;
    std::vector<float> root_re_, root_im_;
    // Split step of even lengths: e^(-2 pi i k / n), k = 0 ... n/4.
    std::vector<float> split_re_, split_im_;
};

}  // namespace torvalen::measure
