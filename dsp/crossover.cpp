#include "dsp/crossover.h"

#include <cmath>
#include <numbers>

#include "dsp/fir_tables.h"

namespace torvalen::dsp {

namespace {
constexpr double chain_rate_Hz = 48000.0;
constexpr double oversampled_rate_Hz = 192000.0;
constexpr double split_6000_Hz = 6000.0, split_2400_Hz = 2400.0, split_600_Hz = 600.0, split_150_Hz = 150.0;

// Prototype pole pairs (a, b) of the odd-order Butterworth pairs; the real pole is the
// first-order section.
struct PolePair {
    double a, b;
};
constexpr PolePair third_order_pairs[] = {{0.5, 0.8666}};
constexpr PolePair fifth_order_pairs[] = {{0.809, 0.5878}, {0.309, 0.9511}};

// Lin Phase alignment delays (frames): the complement of each split is its input delayed
// by the split filter's own delay (LP21: 10; SFs: 13 * stride), and the bands are padded
// to the total of 10 + 26 + 104 + 416 = 556.
constexpr std::size_t top_delay_frames = 10;
constexpr std::size_t sf2_delay_frames = 26, sf8_delay_frames = 104, sf32_delay_frames = 416;
constexpr std::size_t h2_pad_frames = 546, h1_pad_frames = 520, m2_pad_frames = 416;
static_assert(top_delay_frames + h2_pad_frames == LinPhaseCrossover::latency_frames);
static_assert(top_delay_frames + sf2_delay_frames + h1_pad_frames == LinPhaseCrossover::latency_frames);
static_assert(top_delay_frames + sf2_delay_frames + sf8_delay_frames + m2_pad_frames ==
              LinPhaseCrossover::latency_frames);
static_assert(top_delay_frames + sf2_delay_frames + sf8_delay_frames + sf32_delay_frames ==
              LinPhaseCrossover::latency_frames);

template <typename T>
void compensate(FirstOrderSection<T>& s, float& l, float& r) {
    s.all_pass(l, r);
}

template <typename T>
void compensate(Resonator<T>& s, float& l, float& r) {
    s.all_pass(l, r);  // 2y - x, the negative of the pair's sum
    l = -l;
    r = -r;
}

template <typename T>
FirstOrderSection<T> make_compensation(FirstOrderSection<T>*, double f_Hz) {
    return design_first_order<T>(f_Hz, chain_rate_Hz);
}

template <typename T>
Resonator<T> make_compensation(Resonator<T>*, double f_Hz) {
    return design_pair_sum_all_pass<T>(f_Hz);
}
}  // namespace

// --- Lin Phase ----------------------------------------------------------------------------

LinPhaseCrossover::LinPhaseCrossover()
    : top_(fir_tables::lin_phase_top_21, 1),
      sf2_(fir_tables::lin_phase_prototype_27, 2),
      sf8_(fir_tables::lin_phase_prototype_27, 8),
      sf32_(fir_tables::lin_phase_prototype_27, 32),
      input_delay_(top_delay_frames),
      top_delay_(sf2_delay_frames),
      sf2_delay_(sf8_delay_frames),
      sf8_delay_(sf32_delay_frames),
      h2_delay_(h2_pad_frames),
      h1_delay_(h1_pad_frames),
      m2_delay_(m2_pad_frames) {}

void LinPhaseCrossover::process(float l, float r, BandFrame& bands) {
    const float x[2] = {l, r};
    process_run(x, 1);
    for (int b = 0; b < band_count; ++b) {
        bands.l[b] = out_[b][0][0];
        bands.r[b] = out_[b][1][0];
    }
}

// The split filters run over the whole run, each on the previous one's output (top =
// LP21(x), s2 = SF2(top), s8 = SF8(s2), s32 = SF32(s8)); then frame by frame each
// complement is its split's input, delayed by the split's own delay, minus the split's
// output, and the bands are padded to the same total delay.
void LinPhaseCrossover::process_run(const float* x, std::size_t n) {
    float (&in)[2][max_run] = work_[0];
    float (&top)[2][max_run] = work_[1];
    float (&s2)[2][max_run] = work_[2];
    float (&s8)[2][max_run] = work_[3];
    for (std::size_t i = 0; i < n; ++i) {
        in[0][i] = x[2 * i];
        in[1][i] = x[2 * i + 1];
    }
    float (&h2)[2][max_run] = out_[band_h2];
    float (&h1)[2][max_run] = out_[band_h1];
    float (&m2)[2][max_run] = out_[band_m2];
    float (&m1)[2][max_run] = out_[band_m1];
    float (&s32)[2][max_run] = out_[band_b];
    top_.run(in[0], in[1], top[0], top[1], n);
    sf2_.run(top[0], top[1], s2[0], s2[1], n);
    sf8_.run(s2[0], s2[1], s8[0], s8[1], n);
    sf32_.run(s8[0], s8[1], s32[0], s32[1], n);
    // Frame i of a complement: the split's input, aligned, minus its output, then padded.
    const auto complement = [](std::size_t i, const float (&input)[2][max_run], const float (&output)[2][max_run],
                               DelayLine& align, DelayLine* pad, float (&band)[2][max_run]) {
        float l = input[0][i], r = input[1][i];
        align.process(l, r);
        l -= output[0][i];
        r -= output[1][i];
        if (pad) pad->process(l, r);
        band[0][i] = l;
        band[1][i] = r;
    };
    for (std::size_t i = 0; i < n; ++i) {
        complement(i, in, top, input_delay_, &h2_delay_, h2);
        complement(i, top, s2, top_delay_, &h1_delay_, h1);
        complement(i, s2, s8, sf2_delay_, &m2_delay_, m2);
        complement(i, s8, s32, sf8_delay_, nullptr, m1);
    }
}

// --- Garde trees --------------------------------------------------------------------------

template <typename T>
Resonator<T> design_pair_sum_all_pass(double f_Hz) {
    constexpr double half_over_q = 0.80901699;  // 1 / (2 Q), Q = 0.618034
    const double theta = 2.0 * std::numbers::pi * f_Hz / chain_rate_Hz;
    const auto c = resonator_coefficients(theta, std::sin(theta) * half_over_q);
    return Resonator<T>(static_cast<T>(c.alpha), static_cast<T>(c.beta), static_cast<T>(c.gamma));
}

template <int Order>
template <typename T>
GardeCrossover<Order>::Split<T>::Split(double fc_Hz, double fs_Hz)
    : low_real(design_first_order<T>(fc_Hz, fs_Hz)), high_real(low_real) {
    const auto& pairs = Order == 3 ? third_order_pairs : fifth_order_pairs;
    for (int k = 0; k < pole_pairs; ++k) {
        low[k] = LowPass2<T>(pairs[k].a, pairs[k].b, fc_Hz, fs_Hz);
        high[k] = design_high_pass2<T>(pairs[k].a, pairs[k].b, fc_Hz, fs_Hz);
    }
}

template <int Order>
template <typename T>
void GardeCrossover<Order>::Split<T>::process(float& l, float& r, float& hl, float& hr) {
    hl = l;
    hr = r;
    for (auto& s : low) s.process(l, r);
    low_real.low_pass(l, r);
    for (auto& s : high) s.process(hl, hr);
    high_real.high_pass(hl, hr);
    if constexpr (Order == 3) {  // LP1 - x: the pair then sums to the first-order all-pass
        hl = -hl;
        hr = -hr;
    }
}

template <int Order>
GardeCrossover<Order>::GardeCrossover()
    : split_6000_(split_6000_Hz, oversampled_rate_Hz),
      split_2400_(split_2400_Hz, chain_rate_Hz),
      split_600_(split_600_Hz, chain_rate_Hz),
      split_150_(split_150_Hz, chain_rate_Hz),
      h2_2400_(make_compensation(static_cast<Compensation<float>*>(nullptr), split_2400_Hz)),
      h2_600_(make_compensation(static_cast<Compensation<float>*>(nullptr), split_600_Hz)),
      h1_600_(h2_600_),
      h2_150_(make_compensation(static_cast<Compensation<double>*>(nullptr), split_150_Hz)),
      h1_150_(h2_150_),
      m2_150_(h2_150_) {}

template <int Order>
void GardeCrossover<Order>::process(float l, float r, BandFrame& bands) {
    SubSamples rest = up_.process(l, r);
    SubSamples high;
    for (int j = 0; j < oversampling; ++j) split_6000_.process(rest.l[j], rest.r[j], high.l[j], high.r[j]);
    float h2l, h2r, xl, xr;
    down_h2_.process(high, h2l, h2r);
    down_rest_.process(rest, xl, xr);

    float h1l, h1r, m2l, m2r, m1l, m1r;
    split_2400_.process(xl, xr, h1l, h1r);
    split_600_.process(xl, xr, m2l, m2r);
    split_150_.process(xl, xr, m1l, m1r);

    compensate(h2_2400_, h2l, h2r);
    compensate(h2_600_, h2l, h2r);
    compensate(h2_150_, h2l, h2r);
    compensate(h1_600_, h1l, h1r);
    compensate(h1_150_, h1l, h1r);
    compensate(m2_150_, m2l, m2r);

    bands.l[band_h2] = h2l;
    bands.r[band_h2] = h2r;
    bands.l[band_h1] = h1l;
    bands.r[band_h1] = h1r;
    bands.l[band_m2] = m2l;
    bands.r[band_m2] = m2r;
    bands.l[band_m1] = m1l;
    bands.r[band_m1] = m1r;
    bands.l[band_b] = xl;
    bands.r[band_b] = xr;
}

template Resonator<float> design_pair_sum_all_pass<float>(double);
template Resonator<double> design_pair_sum_all_pass<double>(double);
template class GardeCrossover<3>;
template class GardeCrossover<5>;
// The splits on their own (the tests take them apart).
template struct GardeCrossover<3>::Split<float>;
template struct GardeCrossover<3>::Split<double>;
template struct GardeCrossover<5>::Split<float>;
template struct GardeCrossover<5>::Split<double>;

}  // namespace torvalen::dsp
