// The five-band split of the multiband section: "Lin Phase" (complementary linear-phase
// FIR splits) and the two IIR trees "Garde 3rd" and "Garde 5th" (odd-order Butterworth
// pairs with all-pass compensation). Every crossover takes one 48 kHz stereo frame and
// returns one sample per band and channel; the five bands always sum to the input
// through a flat-magnitude response (a pure delay for "Lin Phase", an all-pass for the
// Garde trees).
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

#include "dsp/fir.h"
#include "dsp/iir.h"
#include "dsp/rate_convert.h"

namespace torvalen::dsp {

// Bands, highest first: the order of every per-band parameter array.
inline constexpr int band_count = 5;
enum Band : int { band_h2 = 0, band_h1 = 1, band_m2 = 2, band_m1 = 3, band_b = 4 };

// Per-band values are kept in eight lanes (two 4-wide vectors); lanes 5-7 are padding
// and stay 0 in band samples.
inline constexpr std::size_t band_lanes = 8;

// One sample per band and channel.
struct BandFrame {
    std::array<float, band_lanes> l{}, r{};
};

// "Multiband Filter" list, in list order.
enum class CrossoverKind : int { lin_phase = 0, garde_3rd = 1, garde_5th = 2 };

// "Lin Phase": x -> LP21; H2 = delay10(x) - LP21. LP21 -> SF2 (the 27-tap prototype at
// stride 2); H1 = delay26(LP21) - SF2. SF2 -> SF8; M2 = delay104(SF2) - SF8. SF8 -> SF32;
// M1 = delay416(SF8) - SF32; B = SF32. H2, H1 and M2 are then delayed so that every band
// carries 556 frames, and the split telescopes: the bands sum to the input delayed 556.
// Split points (-6 dB): 7752, 3114, 778 and 195 Hz.
class LinPhaseCrossover {
public:
    static constexpr int latency_frames = 556;

    static constexpr std::size_t max_run = RunFir::max_run;

    LinPhaseCrossover();
    // One frame (a run of one).
    void process(float l, float r, BandFrame& bands);
    // A run of n <= max_run interleaved frames, the filters over the whole run; frame i
    // of band b is then band(b, 0)[i] (left) and band(b, 1)[i] (right).
    void process_run(const float* interleaved, std::size_t n);
    const float* band(int b, int channel) const { return out_[b][channel]; }

private:
    RunFir top_, sf2_, sf8_, sf32_;
    DelayLine input_delay_, top_delay_, sf2_delay_, sf8_delay_;  // the complements' alignment
    DelayLine h2_delay_, h1_delay_, m2_delay_;                   // up to 556 frames per band
    alignas(64) float out_[band_count][2][max_run] = {};
    alignas(64) float work_[4][2][max_run] = {};  // a run's input, top, s2 and s8
};

// "Garde 3rd" / "Garde 5th": a tree of Butterworth low/high-pass pairs of odd order at
// 6000, 2400, 600 and 150 Hz, taken from the top: H2 = HP(6000), H1 = HP(2400) of the
// rest, M2 = HP(600), M1 = HP(150), B = LP(150). Each pair is second-order sections from
// the prototype pole pairs plus a first-order section for the real pole. The 6000 Hz
// split runs 4x oversampled (designed for 192 kHz), so its two outputs are interpolated
// and folded back; every lower split works on the folded-back rest, so all five bands
// carry the same 29-frame rate-conversion delay.
//
// Compensation: the sum of a low/high pair of odd order is an all-pass A_f. A band above
// a split passes the all-pass of every lower split frequency it did not pass (H2: 2400,
// 600, 150 Hz; H1: 600, 150 Hz; M2: 150 Hz), and the bands then sum to the product of
// those all-passes. That sum is flat only if each compensation equals A_f exactly:
//  - third order: with the first-order high-pass taken as x - LP1 the pair sums to the
//    second-order all-pass (s^2 - s + 1)/(s^2 + s + 1), not to a first-order one. Taking
//    the first-order high-pass as LP1 - x (the high band with inverted polarity) makes
//    the pair sum exactly the first-order all-pass 2 LP1 - x, which compensates.
//  - fifth order: the pair sums to (s^2 - 1.618 s + 1)/(s^2 + 1.618 s + 1), a second-
//    order all-pass with Q = 0.618034. The resonator all-pass 2y - x is its negative, and
//    its bandwidth term tan(theta / 2Q) departs from the bilinear design as theta grows
//    (0.16 dB of error at 2400 Hz). The compensation is therefore x - 2y with the
//    resonator's bandwidth term matched to the bilinear design, K = sin(theta) / 2Q.
// Sections at 150 Hz are double, the others float.
template <int Order>
class GardeCrossover {
    static_assert(Order == 3 || Order == 5, "third or fifth order");

public:
    static constexpr int latency_frames = Order == 3 ? 130 : 154;  // reported figure
    static constexpr int pole_pairs = (Order - 1) / 2;

    GardeCrossover();
    void process(float l, float r, BandFrame& bands);

    // One low/high-pass pair at one split frequency.
    template <typename T>
    struct Split {
        Split() = default;
        Split(double fc_Hz, double fs_Hz);
        // In: (l, r). Out: low side in (l, r), high side in (hl, hr).
        void process(float& l, float& r, float& hl, float& hr);

        std::array<LowPass2<T>, pole_pairs> low;
        std::array<HighPass2<T>, pole_pairs> high;
        FirstOrderSection<T> low_real, high_real;
    };

    template <typename T>
    using Compensation = std::conditional_t<Order == 3, FirstOrderSection<T>, Resonator<T>>;

private:
    Split<float> split_6000_;  // at 192 kHz
    Split<float> split_2400_, split_600_;
    Split<double> split_150_;
    Interpolator up_;
    Decimator down_h2_, down_rest_;
    Compensation<float> h2_2400_, h2_600_, h1_600_;
    Compensation<double> h2_150_, h1_150_, m2_150_;
};

using Garde3rdCrossover = GardeCrossover<3>;
using Garde5thCrossover = GardeCrossover<5>;

// The second-order all-pass that a fifth-order Butterworth pair at f sums to, as a
// resonator record (Q = 0.618034, 48 kHz, bilinear bandwidth K = sin(theta) / 2Q). Its
// output 2y - x is the negative of that all-pass; the crossover takes x - 2y.
template <typename T>
Resonator<T> design_pair_sum_all_pass(double f_Hz);

}  // namespace torvalen::dsp
