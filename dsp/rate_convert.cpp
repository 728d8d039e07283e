#include "dsp/rate_convert.h"

#include <cstring>

#include "dsp/fir_tables.h"

namespace torvalen::dsp {

using fir_tables::rate_converter_prototype;

namespace {
// The interpolators' phase entries: p[4k ... 4k+3] twice per tap.
const float* interpolator_phases() {
    static const auto table = [] {
        std::array<float, rate_prototype_taps * 2> t{};
        for (std::size_t k = 0; k < rate_prototype_taps / oversampling; ++k)
            for (std::size_t i = 0; i < 2 * oversampling; ++i)
                t[2 * oversampling * k + i] = rate_converter_prototype[oversampling * k + i % oversampling];
        return t;
    }();
    return table.data();
}
}  // namespace

Interpolator::Interpolator() : phases_(interpolator_phases()) {}

Decimator::Decimator() {
    for (std::size_t j = 0; j < oversampling; ++j) h_new_[j] = rate_converter_prototype[oversampling - 1 - j];
    for (std::size_t m = oversampling; m < taps; ++m) h_[m - oversampling] = rate_converter_prototype[m];
}

BlockInterpolator::BlockInterpolator() {
    for (std::size_t j = 0; j < oversampling; ++j)
        for (std::size_t k = 0; k < branch; ++k) h_[j][k] = rate_converter_prototype[oversampling * k + j];
}

void BlockInterpolator::run(const float* interleaved, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        x_[0][history + i] = interleaved[2 * i];
        x_[1][history + i] = interleaved[2 * i + 1];
    }
    const simd::Kernels& kernels = simd::kernels();
    for (std::size_t c = 0; c < 2; ++c) {
        const float* x = x_[c];
        for (std::size_t j = 0; j < oversampling; ++j) {
            const float* h = h_[j];
            kernels.fir_block(&h, &x, 1, branch, 1, out_[c][j], n);
        }
        std::memmove(x_[c], x_[c] + n, history * sizeof(float));
    }
}

BlockDecimator::BlockDecimator() {
    for (std::size_t j = 0; j < oversampling; ++j)
        for (std::size_t k = 0; k < branch; ++k)
            q_[j][k] = 0.25f * rate_converter_prototype[oversampling * k + oversampling - 1 - j];
}

void BlockDecimator::run(float* interleaved, std::size_t n) {
    const float* h[oversampling];
    for (std::size_t j = 0; j < oversampling; ++j) h[j] = q_[j];
    const simd::Kernels& kernels = simd::kernels();
    for (std::size_t c = 0; c < 2; ++c) {
        const float* x[oversampling];
        for (std::size_t j = 0; j < oversampling; ++j) x[j] = u_[c][j];
        kernels.fir_block(h, x, oversampling, branch, 1, out_[c], n);
        for (std::size_t j = 0; j < oversampling; ++j)
            std::memmove(u_[c][j], u_[c][j] + n, history * sizeof(float));
    }
    for (std::size_t i = 0; i < n; ++i) {
        interleaved[2 * i] = out_[0][i];
        interleaved[2 * i + 1] = out_[1][i];
    }
}

SinglePhaseDecimator::SinglePhaseDecimator() {
    h0_ = rate_converter_prototype[3];
    for (std::size_t k = 1; k < branch; ++k) h_[k - 1] = rate_converter_prototype[3 + oversampling * k];
}

}  // namespace torvalen::dsp
