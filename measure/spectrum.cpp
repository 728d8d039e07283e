#include "measure/spectrum.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace torvalen::measure {

namespace {

// 0 for 4096 ... 4 for 65536; -1 for any other length.
int frame_slot(uint32_t n) {
    for (int slot = 0; slot < 5; ++slot)
        if (n == (min_frame_length << slot)) return slot;
    return -1;
}

}  // namespace

uint32_t frame_length(uint32_t fft_length_index, uint32_t rate_Hz) {
    static constexpr std::array<uint32_t, 3> bases = {4096, 8192, 16384};
    const uint32_t base = bases[std::min<uint32_t>(fft_length_index, 2)];
    if (rate_Hz == 192000) return 4 * base;
    if (rate_Hz == 48000) return base;
    return 0;
}

FrameFfts::FrameFfts() {
    for (int slot = 0; slot < 5; ++slot) ffts_[slot] = std::make_unique<RealFft>(min_frame_length << slot);
}

const RealFft* FrameFfts::get(uint32_t n) const {
    const int slot = frame_slot(n);
    return slot < 0 ? nullptr : ffts_[slot].get();
}

std::size_t FrameFfts::work_size() const { return ffts_[4]->work_size(); }

const FrameFfts& frame_ffts() {
    static const FrameFfts tables;
    return tables;
}

std::span<const float> hann_window(uint32_t n) {
    static const std::array<std::vector<float>, 5> tables = [] {
        std::array<std::vector<float>, 5> t;
        for (int slot = 0; slot < 5; ++slot) {
            const uint32_t length = min_frame_length << slot;
            t[slot].resize(length);
            for (uint32_t i = 0; i < length; ++i)
                t[slot][i] = static_cast<float>(0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * i / (length - 1))));
        }
        return t;
    }();
    const int slot = frame_slot(n);
    if (slot < 0) return {};
    return tables[slot];
}

float spectrum_scale(uint32_t n, bool windowed) {
    return (windowed ? 3.92f : 2.0f) / static_cast<float>(n);
}

void bin_levels(std::span<const float> h, float scale, std::span<float> levels) {
    const std::size_t n = h.size();
    if (n < 2 || levels.size() < n / 2 + 1) return;
    auto db = [](float magnitude) { return 20.0f * std::log10(std::max(magnitude, level_floor)); };
    levels[0] = db(std::fabs(h[0]) * 0.5f * scale);
    for (std::size_t k = 1; 2 * k < n; ++k) levels[k] = db(std::hypot(h[2 * k - 1], h[2 * k]) * scale);
    if (n % 2 == 0) levels[n / 2] = db(std::fabs(h[n - 1]) * 0.5f * scale);
}

float hold_decay_dB(uint32_t n, uint32_t rate_Hz) {
    const float per_4096 = rate_Hz == 192000 ? 2.5f : 10.0f;
    return per_4096 * static_cast<float>(n) / 4096.0f;
}

void update_held(std::span<float> held, std::span<const float> levels, float decay_dB) {
    const std::size_t count = std::min(held.size(), levels.size());
    for (std::size_t k = 0; k < count; ++k) held[k] = std::max(held[k] - decay_dB, levels[k]);
}

void reduce_spectrum(std::span<const float> levels, double bin_Hz, double f_lo, double f_hi,
                     std::span<float> columns) {
    const std::size_t count = columns.size();
    if (count == 0 || levels.empty() || !(bin_Hz > 0.0) || !(f_lo > 0.0) || !(f_hi > f_lo)) {
        std::fill(columns.begin(), columns.end(), held_floor_dB);
        return;
    }
    const double last = static_cast<double>(levels.size() - 1);
    const double ratio = std::log(f_hi / f_lo) / static_cast<double>(count);
    for (std::size_t c = 0; c < count; ++c) {
        const double a = f_lo * std::exp(ratio * static_cast<double>(c)) / bin_Hz;
        const double b = f_lo * std::exp(ratio * static_cast<double>(c + 1)) / bin_Hz;
        const auto first = static_cast<std::size_t>(std::ceil(a));
        const auto end = static_cast<std::size_t>(std::min(std::floor(b), last)) + 1;  // bins in [a, b]
        if (first < end && static_cast<double>(first) <= last) {
            columns[c] = *std::max_element(levels.begin() + static_cast<std::ptrdiff_t>(first),
                                           levels.begin() + static_cast<std::ptrdiff_t>(end));
            continue;
        }
        const double centre = std::min(std::sqrt(a * b), last);
        const auto below = static_cast<std::size_t>(std::floor(centre));
        const std::size_t above = std::min(below + 1, levels.size() - 1);
        const double t = centre - static_cast<double>(below);
        columns[c] = static_cast<float>((1.0 - t) * levels[below] + t * levels[above]);
    }
}

void reduce_wave(std::span<const float> samples, std::span<float> low, std::span<float> high) {
    const std::size_t count = std::min(low.size(), high.size());
    if (count == 0) return;
    if (samples.empty()) {
        std::fill(low.begin(), low.begin() + static_cast<std::ptrdiff_t>(count), 0.0f);
        std::fill(high.begin(), high.begin() + static_cast<std::ptrdiff_t>(count), 0.0f);
        return;
    }
    const std::size_t n = samples.size();
    for (std::size_t c = 0; c < count; ++c) {
        const std::size_t first = c * n / count;
        const std::size_t end = std::max((c + 1) * n / count, first + 1);
        const auto [lo, hi] = std::minmax_element(samples.begin() + static_cast<std::ptrdiff_t>(first),
                                                  samples.begin() + static_cast<std::ptrdiff_t>(std::min(end, n)));
        low[c] = *lo;
        high[c] = *hi;
    }
}

}  // namespace torvalen::measure
