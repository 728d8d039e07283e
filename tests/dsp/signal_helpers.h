// Signal measurements shared by the dsp tests: a sine through a stereo frame processor,
// amplitude and phase fitted over whole samples after the filter has settled.
#pragma once

#include <cmath>
#include <complex>
#include <numbers>
#include <span>

namespace torvalen::dsp::test {

struct Measured {
    double gain;       // output amplitude / input amplitude (left channel)
    double gain_dB;
    double phase_rad;  // output phase minus input phase
};

// Runs `settle` frames of a sine, then fits the next `measure` frames. `process(l, r)`
// works in place; the right channel carries the same sine scaled by 0.5 and is checked
// to behave identically.
template <typename Process>
Measured measure_sine(Process&& process, double f_Hz, double fs_Hz, int settle, int measure,
                      double amplitude = 1.0e8) {
    const double w = 2.0 * std::numbers::pi * f_Hz / fs_Hz;
    std::complex<double> acc{};
    for (int n = 0; n < settle + measure; ++n) {
        float l = static_cast<float>(amplitude * std::sin(w * n));
        float r = 0.5f * l;
        process(l, r);
        if (n >= settle) acc += static_cast<double>(l) * std::polar(1.0, -w * n);
    }
    // For x = A sin(wn), the fit of y = G A sin(wn + p) gives acc = N G A e^{i(p - pi/2)} / 2.
    const double g = 2.0 * std::abs(acc) / (measure * amplitude);
    const double p = std::arg(acc) + std::numbers::pi / 2;
    return {g, 20.0 * std::log10(g), std::remainder(p, 2 * std::numbers::pi)};
}

// Magnitude in dB of a FIR table at f (its DFT).
inline double table_response_dB(std::span<const float> h, double f_Hz, double fs_Hz) {
    std::complex<double> s{};
    const double w = 2.0 * std::numbers::pi * f_Hz / fs_Hz;
    for (std::size_t k = 0; k < h.size(); ++k) s += static_cast<double>(h[k]) * std::polar(1.0, -w * k);
    return 20.0 * std::log10(std::abs(s) + 1e-300);
}

inline double dB(double x) { return 20.0 * std::log10(x); }

}  // namespace torvalen::dsp::test
