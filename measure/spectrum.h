// The analyser's arithmetic: frame lengths, Hann windows, bin levels with their
// scaling, the held spectrum, and the reductions that turn a frame into a compact
// one for display (one value per display column).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "measure/fft.h"

namespace torvalen::measure {

inline constexpr uint32_t min_frame_length = 4096;
inline constexpr uint32_t max_frame_length = 65536;
inline constexpr float held_floor_dB = -200.0f;   // held spectrum after a clear
inline constexpr float level_floor = 1.0e-15f;    // smallest scaled magnitude shown
inline constexpr float full_scale_inverse = 4.656613e-10f;  // 2^-31

// Frame length for "FFT Length" index 0 ... 2 (Short 4096, Medium 8192, Long 16384)
// on a bus at rate_Hz: four times that at 192 kHz. 0 when the rate is neither 48000
// nor 192000.
uint32_t frame_length(uint32_t fft_length_index, uint32_t rate_Hz);

// The FFT tables of the five frame lengths (4096 ... 65536); constant once built, so
// the analysis threads and the generators' workers share them.
class FrameFfts {
public:
    FrameFfts();
    // nullptr for any length that is not a frame length.
    const RealFft* get(uint32_t n) const;
    // Work floats enough for any of them.
    std::size_t work_size() const;

private:
    std::array<std::unique_ptr<RealFft>, 5> ffts_;
};

// The tables every analyser of the program uses, built on first use (a few
// milliseconds and most of a megabyte that eight instances need not repeat).
const FrameFfts& frame_ffts();

// Hann window 0.5 (1 - cos(2 pi n / (N - 1))) of a frame length; empty for other
// lengths. Computed once per program on first use.
std::span<const float> hann_window(uint32_t n);

// Magnitude factor: 3.92/N windowed, 2/N otherwise (a full-scale sine on a bin
// reads 1, 0 dB).
float spectrum_scale(uint32_t n, bool windowed);

// Levels in dB of bins 0 ... N/2 of a half-complex spectrum: 20 log10(max(|X| c,
// 1e-15)). The DC and Nyquist bins are real and one-sided: they use their
// magnitude and half the factor, so a full-scale DC offset reads 0 dB too.
void bin_levels(std::span<const float> half_complex, float scale, std::span<float> levels_dB);

// Fall of the held spectrum per frame: about 117 dB per second, i.e. 10 dB per
// 4096 samples at 48 kHz and 2.5 dB per 4096 samples at 192 kHz.
float hold_decay_dB(uint32_t n, uint32_t rate_Hz);

// H <- max(H - decay, L) per bin.
void update_held(std::span<float> held, std::span<const float> levels, float decay_dB);

// Reduces bin levels (bin k at k * bin_Hz) onto `columns` columns spaced
// logarithmically from f_lo to f_hi: a column takes the loudest bin inside it, or
// where no bin falls inside, the level interpolated at its centre.
void reduce_spectrum(std::span<const float> levels_dB, double bin_Hz, double f_lo, double f_hi,
                     std::span<float> columns);

// Reduces samples onto columns: the lowest and highest sample in each.
void reduce_wave(std::span<const float> samples, std::span<float> low, std::span<float> high);

}  // namespace torvalen::measure
