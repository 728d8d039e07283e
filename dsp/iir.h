// IIR sections: second-order high/low-pass from an analog prototype pole pair, first-
// order low/high/all-pass, and the resonator (band-pass, all-pass, peaking equaliser).
// Every section is stereo and works in place on one frame. T is the precision of
// coefficients and histories: double sections convert the float sample to double on
// entry and back to float on exit; float sections stay in float throughout.
#pragma once

#include <cmath>

namespace torvalen::dsp {

// Two values of T side by side (left, right) in one vector.
template <typename T>
struct StereoPair;
template <>
struct StereoPair<float> {
    using type = float __attribute__((vector_size(8)));
};
template <>
struct StereoPair<double> {
    using type = double __attribute__((vector_size(16)));
};

template <typename T>
struct SectionHistory {
    T x1{}, x2{}, y1{}, y2{};
};

// Second-order section with numerator b0 * (1, 2, 1) (low-pass) or b0 * (1, -2, 1)
// (high-pass) and denominator (1, a1, a2).
template <typename T, bool HighPass>
class SecondOrderSection {
public:
    SecondOrderSection() = default;
    SecondOrderSection(T b0, T a1, T a2) : b0_(b0), a1_(a1), a2_(a2) {}

    void set_coefficients(T b0, T a1, T a2) {
        b0_ = b0;
        a1_ = a1;
        a2_ = a2;
    }
    T b0() const { return b0_; }
    T a1() const { return a1_; }
    T a2() const { return a2_; }

    // True when both sections hold the same histories, lane for lane.
    bool same_state(const SecondOrderSection& o) const {
        const auto eq = (x1_ == o.x1_) & (x2_ == o.x2_) & (y1_ == o.y1_) & (y2_ == o.y2_);
        return eq[0] != 0 && eq[1] != 0;
    }

    // Both lanes' histories, for loops that run several sections side by side.
    using V2 = typename StereoPair<T>::type;
    SectionHistory<V2> history() const { return {x1_, x2_, y1_, y2_}; }
    void set_history(const SectionHistory<V2>& h) {
        x1_ = h.x1;
        x2_ = h.x2;
        y1_ = h.y1;
        y2_ = h.y2;
    }

    // Both channels side by side in one two-lane vector (each lane the same operations
    // in the same order as one channel alone).
    void process(float& l, float& r) {
        const StereoPair<float>::type y = process(StereoPair<float>::type{l, r});
        l = y[0];
        r = y[1];
    }
    StereoPair<float>::type process(StereoPair<float>::type in) {
        constexpr T two_sign = HighPass ? T(-2) : T(2);  // middle numerator tap
        const V2 x = __builtin_convertvector(in, V2);
        const V2 y = b0_ * (x + two_sign * x1_ + x2_) - a1_ * y1_ - a2_ * y2_;
        x2_ = x1_;
        x1_ = x;
        y2_ = y1_;
        y1_ = y;
        return __builtin_convertvector(y, StereoPair<float>::type);
    }

private:
    T b0_{}, a1_{}, a2_{};
    V2 x1_{}, x2_{}, y1_{}, y2_{};  // {left, right}
};

template <typename T>
using HighPass2 = SecondOrderSection<T, true>;

// Low-pass section that keeps its prototype pair so the cut-off can be redesigned.
template <typename T>
class LowPass2 : public SecondOrderSection<T, false> {
public:
    LowPass2() = default;
    LowPass2(double a, double b, double fc_Hz, double fs_Hz) : a_(a), b_(b) { set_cutoff(fc_Hz, fs_Hz); }

    // Redesign for a new cut-off; the histories are kept.
    void set_cutoff(double fc_Hz, double fs_Hz);

private:
    double a_ = 0, b_ = 0;
};

// High-pass design from the prototype pair (a, b): K = tan(pi fc / fs).
template <typename T>
HighPass2<T> design_high_pass2(double a, double b, double fc_Hz, double fs_Hz);

// Double high-pass for the 48 kHz chain, K = tan(fc * 2 pi / 96000) with that constant.
HighPass2<double> design_high_pass2_48k(double a, double b, double fc_Hz);

// First-order section: low-pass y = b (x + x1) - a y1; high-pass x - LP(x); all-pass
// 2 LP(x) - x. All three update the same history, so one record serves one use.
template <typename T>
class FirstOrderSection {
public:
    FirstOrderSection() = default;
    FirstOrderSection(T b, T a) : b_(b), a_(a) {}

    T b() const { return b_; }
    T a() const { return a_; }

    void low_pass(float& l, float& r) {
        l = static_cast<float>(step(static_cast<T>(l), 0));
        r = static_cast<float>(step(static_cast<T>(r), 1));
    }
    void high_pass(float& l, float& r) {
        const T xl = l, xr = r;
        l = static_cast<float>(xl - step(xl, 0));
        r = static_cast<float>(xr - step(xr, 1));
    }
    void all_pass(float& l, float& r) {
        const T xl = l, xr = r;
        l = static_cast<float>(T(2) * step(xl, 0) - xl);
        r = static_cast<float>(T(2) * step(xr, 1) - xr);
    }

private:
    T step(T x, int ch) {
        const T y = b_ * (x + x1_[ch]) - a_ * y1_[ch];
        x1_[ch] = x;
        y1_[ch] = y;
        return y;
    }

    T b_{}, a_{};
    T x1_[2]{}, y1_[2]{};
};

// First-order low-pass design: K = tan(pi fc / fs), b = K / (1 + K), a = (K - 1) / (K + 1).
template <typename T>
FirstOrderSection<T> design_first_order(double fc_Hz, double fs_Hz);

// Resonator: band-pass with unity gain at its centre, all-pass (2 y - x) and peaking
// equaliser (x + (g - 1) y), all from the same recursion
//   y = 2 (alpha (x - x2) + gamma y1 - beta y2).
template <typename T>
class Resonator {
public:
    Resonator() = default;
    Resonator(T alpha, T beta, T gamma) { set_coefficients(alpha, beta, gamma); }

    void set_coefficients(T alpha, T beta, T gamma) {
        alpha_ = alpha;
        beta_ = beta;
        gamma_ = gamma;
    }
    T alpha() const { return alpha_; }
    T beta() const { return beta_; }
    T gamma() const { return gamma_; }

    void band_pass(float& l, float& r) {
        l = static_cast<float>(step(static_cast<T>(l), h_[0]));
        r = static_cast<float>(step(static_cast<T>(r), h_[1]));
    }
    void all_pass(float& l, float& r) {
        const T xl = l, xr = r;
        l = static_cast<float>(T(2) * step(xl, h_[0]) - xl);
        r = static_cast<float>(T(2) * step(xr, h_[1]) - xr);
    }
    void peaking(float& l, float& r, T gain) {
        const T xl = l, xr = r;
        l = static_cast<float>(xl + (gain - T(1)) * step(xl, h_[0]));
        r = static_cast<float>(xr + (gain - T(1)) * step(xr, h_[1]));
    }
    // Band-pass of one channel value with its own history, for band banks that keep
    // the band outputs (u_i) rather than a filtered frame.
    T band_pass_channel(T x, int ch) { return step(x, h_[ch]); }

private:
    T step(T x, SectionHistory<T>& h) const {
        const T y = T(2) * (alpha_ * (x - h.x2) + gamma_ * h.y1 - beta_ * h.y2);
        h.x2 = h.x1;
        h.x1 = x;
        h.y2 = h.y1;
        h.y1 = y;
        return y;
    }

    T alpha_{}, beta_{}, gamma_{};
    SectionHistory<T> h_[2]{};
};

// Resonator coefficients for centre theta (radians per sample) and K = tan(theta/(2Q)).
struct ResonatorCoefficients {
    double alpha, beta, gamma;
};
ResonatorCoefficients resonator_coefficients(double theta, double k);

// Double resonator at 48 kHz: theta = f * 2 pi / 48000.
Resonator<double> design_resonator_48k(double f_Hz, double q);
// Float all-pass resonator at 48 kHz with Q = 0.618034: K = tan(0.80900004 theta).
Resonator<float> design_all_pass_q0618(double f_Hz);
// Peaking section of the 4x oversampled equaliser: theta = f * 2 pi / 192000, designed
// in float, run in double.
Resonator<double> design_peaking_192k(float f_Hz, float q);
void redesign_peaking_192k(Resonator<double>& section, float f_Hz, float q);

}  // namespace torvalen::dsp
