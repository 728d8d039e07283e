#include "dsp/iir.h"

#include <numbers>

namespace torvalen::dsp {

namespace {
template <typename T>
void high_pass_from_k(HighPass2<T>& s, T a, T b, T k) {
    const T S = a * a + b * b;
    const T D = k * k + T(2) * a * k + S;
    s.set_coefficients(S / D, (T(2) * k * k - T(2) * S) / D, (k * k - T(2) * a * k + S) / D);
}
}  // namespace

template <typename T>
void LowPass2<T>::set_cutoff(double fc_Hz, double fs_Hz) {
    const T a = static_cast<T>(a_), b = static_cast<T>(b_);
    const T k = std::tan(static_cast<T>(std::numbers::pi * fc_Hz / fs_Hz));
    const T S = a * a + b * b;
    const T D = S * k * k + T(2) * a * k + T(1);
    this->set_coefficients(S * k * k / D, (T(2) * S * k * k - T(2)) / D, (S * k * k - T(2) * a * k + T(1)) / D);
}

template <typename T>
HighPass2<T> design_high_pass2(double a, double b, double fc_Hz, double fs_Hz) {
    HighPass2<T> s;
    high_pass_from_k<T>(s, static_cast<T>(a), static_cast<T>(b),
                        std::tan(static_cast<T>(std::numbers::pi * fc_Hz / fs_Hz)));
    return s;
}

HighPass2<double> design_high_pass2_48k(double a, double b, double fc_Hz) {
    constexpr double rad_per_Hz_48k_half = 6.544984695e-5;  // pi / 48000
    HighPass2<double> s;
    high_pass_from_k<double>(s, a, b, std::tan(fc_Hz * rad_per_Hz_48k_half));
    return s;
}

template <typename T>
FirstOrderSection<T> design_first_order(double fc_Hz, double fs_Hz) {
    const T k = std::tan(static_cast<T>(std::numbers::pi * fc_Hz / fs_Hz));
    return FirstOrderSection<T>(k / (T(1) + k), (k - T(1)) / (k + T(1)));
}

ResonatorCoefficients resonator_coefficients(double theta, double k) {
    const double beta = 0.5 * (1.0 - k) / (1.0 + k);
    return {(0.5 - beta) * 0.5, beta, (0.5 + beta) * std::cos(theta)};
}

Resonator<double> design_resonator_48k(double f_Hz, double q) {
    constexpr double rad_per_Hz_48k = 1.308996939e-4;  // 2 pi / 48000
    const double theta = f_Hz * rad_per_Hz_48k;
    const auto c = resonator_coefficients(theta, std::tan(theta / (2.0 * q)));
    return Resonator<double>(c.alpha, c.beta, c.gamma);
}

Resonator<float> design_all_pass_q0618(double f_Hz) {
    constexpr float rad_per_Hz_48k = 1.308996939e-4f;  // 2 pi / 48000
    constexpr float half_over_q = 0.80900004f;          // 1 / (2 * 0.618034)
    const float theta = static_cast<float>(f_Hz) * rad_per_Hz_48k;
    const float k = std::tan(half_over_q * theta);
    const float beta = 0.5f * (1.0f - k) / (1.0f + k);
    return Resonator<float>((0.5f - beta) * 0.5f, beta, (0.5f + beta) * std::cos(theta));
}

void redesign_peaking_192k(Resonator<double>& section, float f_Hz, float q) {
    constexpr float rad_per_Hz_192k = 3.2724925e-5f;  // 2 pi / 192000
    const float theta = f_Hz * rad_per_Hz_192k;
    const float k = std::tan(theta / (2.0f * q));
    const float beta = 0.5f * (1.0f - k) / (1.0f + k);
    section.set_coefficients((0.5f - beta) * 0.5f, beta, (0.5f + beta) * std::cos(theta));
}

Resonator<double> design_peaking_192k(float f_Hz, float q) {
    Resonator<double> s;
    redesign_peaking_192k(s, f_Hz, q);
    return s;
}

template class LowPass2<float>;
template class LowPass2<double>;
template HighPass2<float> design_high_pass2<float>(double, double, double, double);
template HighPass2<double> design_high_pass2<double>(double, double, double, double);
template FirstOrderSection<float> design_first_order<float>(double, double);
template FirstOrderSection<double> design_first_order<double>(double, double);

}  // namespace torvalen::dsp
