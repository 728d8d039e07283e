#include "dsp/chain_stages.h"

#include <algorithm>
#include <cmath>

#include "dsp/fir_tables.h"
#include "dsp/rate_tables.h"

namespace torvalen::dsp {

namespace {
constexpr float balance_trim = 0.794304f;  // -2 dB: the balance controls reach +2 dB
constexpr double chain_Hz = 48000.0;
// Sixth-order 0.5 dB-ripple Chebyshev high-pass pairs of "HPF".
constexpr double hpf_pairs[3][2] = {{0.2784, 0.2596}, {0.2037, 0.7091}, {0.07459, 0.9687}};
constexpr float inverse_2_62 = 2.16840434e-19f;  // 2^-62: (L^2 + R^2) in full-scale units
constexpr float failsafe_rate_48k = 1.0f / 4096.0f;    // 2^-12
constexpr float failsafe_rate_192k = 1.0f / 32768.0f;  // 2^-15
constexpr float output_scale = 64.0f;                   // 2^25 -> 2^31
constexpr float full_scale_f = 2147483648.0f;
// Standard power-limiter targets in full-scale units: -23 dBFS, -18 dBFS, and BS.412's.
constexpr float target_r128_23 = 152030208.0f;
constexpr float target_r128_18 = 270352096.0f;
constexpr float target_bs412 = 544029120.0f;
constexpr float power_gain_floor = 0.01f;
// De-emphasis: bilinear first-order low-passes at 3183.1 Hz (50 us) and 2122.1 Hz (75 us).
constexpr float de_50_b = 0.17450468f, de_50_a = -0.65099061f;
constexpr float de_75_b = 0.12264116f, de_75_a = -0.75471765f;

float clean(float x) {
    if (!std::isfinite(x)) return 0.0f;
    return std::clamp(x, -input_clamp, input_clamp);
}
}  // namespace

float gain_dB(float gain) { return 20.0f * std::log10(gain); }

// ---- Source ----

void SourceStage::detect(const float* x, uint32_t count, uint32_t rate_Hz, float threshold) {
    const float th2 = threshold * threshold;
    const float lo = th2 / 16.0f, hi = 16.0f * th2;
    const float r = rate_Hz == mpx_rate_Hz ? failsafe_rate_192k : failsafe_rate_48k;
    for (uint32_t i = 0; i + 1 < count; i += 2) {
        const float l = clean(x[i]), rr = clean(x[i + 1]);
        ms_ += ((l * l + rr * rr) * inverse_2_62 - ms_) * r;
        ms_ = std::clamp(ms_, lo, hi);
        if (ms_ < th2 / 4.0f)  // 6 dB below the threshold
            active_ = true;
        else if (ms_ > 4.0f * th2)  // 6 dB above
            active_ = false;
    }
}

void SourceStage::fill(const Buses& buses, const SourceParams& p, FailsafeHandOff& hand_off) {
    unsigned source = std::min<uint32_t>(p.input_select, bus_sig_gen);
    if (p.failsafe_on && source != bus_player) {
        detect(buses.data[source], buses.data[source] ? buses.count[source] : 0, buses.rate[source],
               p.failsafe_threshold);
    } else {
        // Switching the failsafe off (or selecting the Player) ends a failsafe period;
        // otherwise the Player would stand in for good.
        active_ = false;
    }
    if (active_) {
        source = bus_player;
        if (!engaged_) {
            engaged_ = true;
            if (FailsafePlayer* player = hand_off.player.load(std::memory_order_acquire)) player->failsafe_start();
            hand_off.failsafe.store(1, std::memory_order_release);
        }
    } else if (engaged_) {
        engaged_ = false;
        if (FailsafePlayer* player = hand_off.player.load(std::memory_order_acquire)) player->failsafe_stop();
        hand_off.failsafe.store(0, std::memory_order_release);
    }

    float* out = buses.data[bus_proc];
    const uint32_t out_count = out ? buses.count[bus_proc] : 0;
    const float* in = buses.data[source];
    const uint32_t rate = in ? buses.rate[source] : 0;
    const uint32_t in_count = in ? buses.count[source] : 0;
    if (rate == chain_rate_Hz) {
        const uint32_t n = std::min(in_count, out_count);
        for (uint32_t i = 0; i < n; ++i) out[i] = clean(in[i]);
        std::fill(out + n, out + out_count, 0.0f);
    } else if (rate == mpx_rate_Hz) {
        uint32_t i = 0;
        for (; i + 1 < out_count && 4 * (i + 2) <= in_count; i += 2) {
            SubSamples s;
            for (int j = 0; j < oversampling; ++j) {
                s.l[j] = clean(in[4 * i + 2 * j]);
                s.r[j] = clean(in[4 * i + 2 * j + 1]);
            }
            down_.process(s, out[i], out[i + 1]);
        }
        std::fill(out + i, out + out_count, 0.0f);
    } else {
        // No usable source (its producer is absent): the chain runs on silence, so bus 4
        // carries the chain's decay and then silence rather than a stale block.
        std::fill(out, out + out_count, 0.0f);
    }
}

// ---- Input stage ----

InputStage::InputStage()
    : level_(chain_Hz),
      kept_l_(kept_capacity),
      kept_r_(kept_capacity),
      fm_(fir_tables::fm_band_limit_53),
      hd_(fir_tables::hd_band_limit_101) {
    for (int k = 0; k < 3; ++k) {
        hp20_[k] = design_high_pass2_48k(hpf_pairs[k][0], hpf_pairs[k][1], 20.0);
        hp50_[k] = design_high_pass2_48k(hpf_pairs[k][0], hpf_pairs[k][1], 50.0);
        hp80_[k] = design_high_pass2<float>(hpf_pairs[k][0], hpf_pairs[k][1], 80.0, chain_Hz);
        hp200_[k] = design_high_pass2<float>(hpf_pairs[k][0], hpf_pairs[k][1], 200.0, chain_Hz);
    }
}

void InputStage::process(float& l, float& r, const InputParams& p, LevelHolders& meter, int& latency) {
    float x[2] = {l, r};
    process_block(x, 1, p, meter, latency);
    l = x[0];
    r = x[1];
}

void InputStage::process_block(float* x, uint32_t frames, const InputParams& p, LevelHolders& meter, int& latency,
                               bool measure, bool keep) {
    keep = keep && frames <= kept_capacity;
    measure = measure && !keep;
    for (uint32_t i = 0; i < frames; ++i) {
        float& l = x[2 * i];
        float& r = x[2 * i + 1];
        l *= p.fine_l * balance_trim;
        r *= p.fine_r * balance_trim;
        if (p.swap) std::swap(l, r);
        if (p.invert_l) l = -l;
        if (p.invert_r) r = -r;
        if (measure) level_.push(l, r, meter.value);
        if (keep) {
            kept_l_[i] = l;
            kept_r_[i] = r;
        }
    }
    if (p.low_pass == static_cast<uint32_t>(BandLimit::hd)) {
        hd_.process_block(x, frames);
        latency += Fir<101>::delay_frames;
    } else {
        fm_.process_block(x, frames);
        latency += Fir<53>::delay_frames;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        float& l = x[2 * i];
        float& r = x[2 * i + 1];
        switch (static_cast<HighPassCorner>(p.high_pass)) {
            case HighPassCorner::hz20:
                for (auto& s : hp20_) s.process(l, r);
                break;
            case HighPassCorner::hz50:
                for (auto& s : hp50_) s.process(l, r);
                break;
            case HighPassCorner::hz80:
                for (auto& s : hp80_) s.process(l, r);
                break;
            default:
                for (auto& s : hp200_) s.process(l, r);
                break;
        }
        if (p.mono) l = r = (l + r) * 0.5f;
        if (p.bass_enhance) bass_.process(l, r, p.bass);
    }
}

// ---- Pre-emphasis and equaliser ----

PreEmphasis::PreEmphasis()
    : pure_50_(fir_tables::pre_emphasis_pure_50us_11),
      pure_75_(fir_tables::pre_emphasis_pure_75us_13),
      boost_25_(fir_tables::pre_emphasis_boost_25us_31),
      boost_50_(fir_tables::pre_emphasis_boost_50us_33),
      boost_75_(fir_tables::pre_emphasis_boost_75us_37) {}

void PreEmphasis::process(float& l, float& r, uint32_t mode, uint32_t time_constant, int& latency) {
    float x[2] = {l, r};
    process_block(x, 1, mode, time_constant, latency);
    l = x[0];
    r = x[1];
}

void PreEmphasis::process_block(float* x, uint32_t frames, uint32_t mode, uint32_t time_constant, int& latency) {
    // Latencies as the chain counts them for each filter.
    if (mode == static_cast<uint32_t>(EmphasisMode::pure)) {
        if (time_constant == 1) {
            pure_50_.process_block(x, frames);
            latency += 3;
        } else if (time_constant == 2) {
            pure_75_.process_block(x, frames);
            latency += 4;
        }
        // "Pure" 25 us has no filter here: the high-frequency clipper carries it.
    } else if (mode == static_cast<uint32_t>(EmphasisMode::boost)) {
        if (time_constant == 0) {
            boost_25_.process_block(x, frames);
            latency += 15;
        } else if (time_constant == 1) {
            boost_50_.process_block(x, frames);
            latency += 16;
        } else {
            boost_75_.process_block(x, frames);
            latency += 18;
        }
    }
}

ParametricEq::ParametricEq() { gain_.fill(1.0); }

void ParametricEq::configure(const std::array<params::FilterBand, bands>& b) {
    for (int i = 0; i < bands; ++i) {
        sections_[i].set_coefficients(b[i].k1, b[i].k2, b[i].k3);
        gain_[i] = 1.0 + static_cast<double>(b[i].gain_minus_one);
    }
}

void ParametricEq::process(float& l, float& r, int& latency) {
    SubSamples s = up_.process(l, r);
    for (int j = 0; j < oversampling; ++j)
        for (int i = 0; i < bands; ++i) sections_[i].peaking(s.l[j], s.r[j], gain_[i]);
    down_.process(s, l, r);
    latency += latency_frames;
}

// ---- Output stage ----

float power_target(const OutputParams& p) {
    if (p.custom_level) return p.level * p.fine * full_scale_f;
    switch (static_cast<PowerLevel>(p.power_level)) {
        case PowerLevel::r128_23: return target_r128_23 * p.fine;
        case PowerLevel::r128_18: return target_r128_18 * p.fine;
        default: return target_bs412 * p.fine;
    }
}

OutputStage::OutputStage()
    : fm_(fir_tables::fm_band_limit_53),
      am_8k_(fir_tables::am_8k_101),
      hd_(fir_tables::hd_band_limit_101),
      am_5k_(fir_tables::am_5k_211),
      de_50_(de_50_b, de_50_a),
      de_75_(de_75_b, de_75_a),
      level_(chain_Hz) {}

float OutputStage::take_power_gain_min() {
    const float g = gain_min_;
    gain_min_ = 1.0f;
    return g;
}

// The safety clipper's 192 kHz part for frame i of the run, after the run's
// interpolation; the run's decimation follows.
void OutputStage::safety_clip(std::size_t i) {
    SubSamples s = up_.at(i);
    for (int j = 0; j < oversampling; ++j) {
        const float al = std::fabs(s.l[j]), ar = std::fabs(s.r[j]);
        const float gl = al >= full_scale_f ? full_scale_f / al : 1.0f;
        const float gr = ar >= full_scale_f ? full_scale_f / ar : 1.0f;
        smoother_.process(s.l[j], s.r[j], gl, gr);
    }
    down_.put(i, s);
}

int OutputStage::process_block(float* x, uint32_t frames, const OutputParams& p, bool measure) {
    const int latency = run(x, frames, p, measure);
    if (measure) flush_meter();
    return latency;
}

void OutputStage::process(float& l, float& r, const OutputParams& p, int& latency) {
    float x[2] = {l, r};
    latency += run(x, 1, p, true);
    l = x[0];
    r = x[1];
}

// The stages over a block: the scaling, the band-limiting filter over the whole block,
// then in runs of frames the safety clipper (its interpolation and decimation over the
// run at once) and what follows it frame by frame. Returns the latency of the last frame.
int OutputStage::run(float* x, uint32_t frames, const OutputParams& p, bool measure) {
    for (uint32_t i = 0; i < frames; ++i) scale(x[2 * i], x[2 * i + 1], p);
    int latency = 0;
    switch (static_cast<BandLimit>(p.low_pass)) {
        case BandLimit::fm:
            fm_.process_block(x, frames);
            latency = Fir<53>::delay_frames;
            break;
        case BandLimit::am_8k:
            am_8k_.process_block(x, frames);
            latency = Fir<101>::delay_frames;
            break;
        case BandLimit::am_5k:
            am_5k_.process_block(x, frames);
            latency = Fir<211>::delay_frames;
            break;
        default:
            hd_.process_block(x, frames);
            latency = Fir<101>::delay_frames;
            break;
    }
    int finished = 0;
    for (uint32_t start = 0; start < frames; start += BlockDecimator::max_run) {
        const std::size_t n = std::min<std::size_t>(BlockDecimator::max_run, frames - start);
        float* f = x + 2 * start;
        up_.run(f, n);
        for (std::size_t i = 0; i < n; ++i) safety_clip(i);
        down_.run(f, n);
        for (std::size_t i = 0; i < n; ++i) {
            finished = 0;
            finish(f[2 * i], f[2 * i + 1], p, finished, measure);
        }
    }
    return frames > 0 ? latency + safety_clipper_latency_frames + finished : 0;
}

// The power limiter's drive toward its target, and the section's level to full scale.
void OutputStage::scale(float& l, float& r, const OutputParams& p) {
    if (static_cast<PowerLimiterMode>(p.power_mode) != PowerLimiterMode::off) {
        const float pre = power_target(p) / full_scale_f * p.power_drive;
        l *= pre;
        r *= pre;
    }
    l *= output_scale;
    r *= output_scale;
}

// After the safety clipper: power limiter, de-emphasis, meter.
void OutputStage::finish(float& l, float& r, const OutputParams& p, int& latency, bool measure) {
    const auto mode = static_cast<PowerLimiterMode>(p.power_mode);
    const bool limiting = mode != PowerLimiterMode::off;
    if (limiting) {
        const float target = power_target(p);
        PowerDetector& detector =
            static_cast<PowerLevel>(p.power_level) == PowerLevel::bs412 ? power_ : loudness_;
        const float level = detector.process(l, r, target, p.delay_on, latency);
        const float wanted = level >= target ? target / level : 1.0f;
        const float rate = rate_b(p.release_index);
        if (wanted > smoothed_) {
            smoothed_ = std::min({smoothed_ * (1.0f + rate), 1.0f, wanted});
        } else {
            smoothed_ -= smoothed_ * rate;
            smoothed_ = std::max({smoothed_, wanted, power_gain_floor});
        }
        const float applied = std::min(smoothed_, wanted);
        l *= applied;
        r *= applied;
        gain_min_ = std::min(gain_min_, applied);
    }
    if (p.de_emphasis == 1)
        de_50_.low_pass(l, r);
    else if (p.de_emphasis == 2)
        de_75_.low_pass(l, r);
    // The safety clipper's smoothed gain can trail a dense run of peaks by a fraction of
    // a dB, and its decimator rings; the output never leaves digital full scale.
    l = std::clamp(l, -full_scale_f, full_scale_f);
    r = std::clamp(r, -full_scale_f, full_scale_f);
    if (measure) level_.push(l, r, meter_.value);
}

void measure_meters(InputStage& in, LevelHolders& in_meter, OutputStage& out_stage, const float* out,
                    uint32_t frames) {
    frames = std::min(frames, InputStage::kept_capacity);
    LevelDetector::push_pair(in.level_, in.kept_l_.data(), in.kept_r_.data(), in_meter.value, out_stage.level_, out,
                             out_stage.meter_.value, frames);
    LevelDetector::flush_pair(in.level_, in_meter.value, out_stage.level_, out_stage.meter_.value);
}

}  // namespace torvalen::dsp
