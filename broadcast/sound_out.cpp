#include "broadcast/sound_out.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/rate_tables.h"

namespace torvalen::broadcast {

namespace {

constexpr float output_gain = 0.75f;      // the output stage's fixed headroom
constexpr float rds_level_factor = 0.71f;
constexpr float deviation_scale = 3.4924597e-10f;  // 0.75 / 2^31
constexpr float scale_31 = 2147483648.0f;
constexpr float held_level_reset = 1.0f;  // -186.6 dB
constexpr float held_loudness_reset = -100.0f;

float dB(float level) { return static_cast<float>(dsp::level_dBFS(level)); }

}  // namespace

struct SoundOut::Block {
    bool mpx = false;
    bool stereo = true;
    uint32_t setup = 0;
    float sub = 1.0f;
    bool power = false;
    float drive = 1.0f, target = mpx_power_reference, release = 0.0f;
    float pilot = 0.0f, phase_cos = 1.0f, phase_sin = 0.0f;
    bool rds = false;
    float rds_k = 0.0f;
    uint32_t right_mode = 0;
    uint32_t delay = 0;
    float gain_l = output_gain, gain_r = output_gain;
    bool swap = false, invert_l = false, invert_r = false;
};

std::unique_ptr<SoundOut> SoundOut::create(const SettingsKey& instance_key, uint32_t& error, SoundOutOptions options) {
    const std::optional<SettingsKey> key = instance_key.create(sound_out_key_name);
    if (!key) {
        error |= 1u;
        return nullptr;
    }
    std::unique_ptr<SoundOut> module(new SoundOut(*key, options));
    module->content_.load(*key);
    module->content_.now_playing_source = options.now_playing;
    module->modulator_ = RdsModulator::create(module->content_, error);
    if (!module->modulator_) {
        error |= 1u;
        return nullptr;
    }
    std::string why;
    module->controls_ = params::ControlSet::create(sound_out_controls(), *module, "Sound Out", true, why);
    if (!module->controls_) {
        error |= 1u;
        return nullptr;
    }
    if (options.start_preset_bar) {
        params::PresetBarOptions bar;
        bar.version = sound_out_key_name;
        module->preset_bar_ = std::make_unique<params::PresetBar>(*module->controls_, *key, bar);
    }
    bool autostart;
    {
        std::lock_guard guard(module->content_.lock);
        autostart = module->content_.ta_autostart != 0;
    }
    if (autostart) module->start_ta_service();
    return module;
}

SoundOut::SoundOut(const SettingsKey& key, const SoundOutOptions& options)
    : key_(key),
      params_(default_sound_out_params()),
      engine_(params_),
      carriers_(carrier_runs()),
      power_meter_(power_meter_cutoff_Hz, mpx_rate_Hz),
      content_(options.clock),
      ta_(content_.ta) {
    reset_held();
}

SoundOut::~SoundOut() {
    ta_.stop();
    modulator_.reset();
    preset_bar_.reset();
    content_.save(key_);
}

bool SoundOut::start_ta_service(bool loopback_only) {
    TaServiceOptions o;
    {
        std::lock_guard guard(content_.lock);
        o.port = static_cast<uint16_t>(content_.ta_port);
        o.timeout_ms = std::max<uint32_t>(content_.ta_timeout_ms, 1);
    }
    o.loopback_only = loopback_only;
    return ta_.start(o);
}

void SoundOut::set_unlocked(bool unlocked) {
    if (controls_) controls_->set_enabled(unlocked);
    if (preset_bar_) preset_bar_->set_enabled(unlocked);
}

void SoundOut::save_settings() {
    if (preset_bar_) {
        preset_bar_->sync_working_copy();
        preset_bar_->save_settings();
    }
    content_.save(key_);
}

bool SoundOut::set_value(uint32_t index, float display) {
    std::lock_guard guard(lock_);
    SoundOutParams next = params_;
    const bool changed = set_sound_out_control(next, index, display);
    // The delay's storage is made the first time it is switched on, before the
    // engine can copy the switch (it copies under this lock, which it only tries).
    if (next.delay_on != 0 && !delay_.allocated() && !delay_.allocate()) return false;
    params_ = next;
    if (changed && (index == control_input_mode || index == control_rds_enable))
        status_changes_.fetch_add(1, std::memory_order_release);
    return changed;
}

bool SoundOut::get_value(uint32_t index, float& display) {
    std::lock_guard guard(lock_);
    return get_sound_out_control(params_, index, display);
}

SoundOutParams SoundOut::params() {
    std::lock_guard guard(lock_);
    return params_;
}

std::vector<std::string> SoundOut::status_lines() {
    const SoundOutParams p = params();
    return content_.status_lines(p.input_mode != 0, p.rds_enable != 0,
                                 last_rate_.load(std::memory_order_acquire) == mpx_rate_Hz);
}

bool SoundOut::multiplex_on_air() {
    return params().input_mode != 0 && last_rate_.load(std::memory_order_acquire) == mpx_rate_Hz;
}

uint32_t SoundOut::status_version() const {
    return status_changes_.load(std::memory_order_acquire) + content_.status_version.load(std::memory_order_acquire);
}

void SoundOut::reset_held() {
    held_in_.fill(held_level_reset);
    held_out_.fill(held_level_reset);
    held_loudness_ = held_loudness_reset;
    held_mpx_square_ = 0.0f;
    held_deviation_ = {0.0f, 0.0f};
    power_.reset_smallest();
}

void SoundOut::clear_meters() { reset_held(); }

void SoundOut::publish_meters() {
    SoundOutMeters& m = meters_.back();
    for (int i = 0; i < 6; ++i) {
        m[i] = dB(held_in_[i]);
        m[12 + i] = dB(held_out_[i]);
    }
    m[6] = m[7] = held_loudness_;
    m[8] = 20.0f * std::log10(power_.smallest());
    m[9] = dB(PowerAverage::level(held_mpx_square_));
    m[10] = held_deviation_[0];
    m[11] = held_deviation_[1];
    meters_.publish();
    reset_held();
}

void SoundOut::output_stage(float& l, float& r, const Block& b) {
    float ol = b.gain_l * l, or_ = b.gain_r * r;
    if (b.swap) std::swap(ol, or_);
    if (b.invert_l) ol = -ol;
    if (b.invert_r) or_ = -or_;
    l = ol;
    r = or_;
}

void SoundOut::stage_48k(float l, float r, float* out, const Block& b) {
    in_48_.push(l, r, held_in_);
    held_loudness_ = std::max(held_loudness_, loudness_48_.process(l, r));
    output_stage(l, r, b);
    out_48_.push(l, r, held_out_);
    out[0] = l;
    out[1] = r;
}

void SoundOut::mpx_run(const float* l, const float* r, std::size_t n, float* out, const Block& b) {
    held_loudness_ = std::max(held_loudness_, loudness_192_.process_run(l, r, n));
    const uint32_t k = carrier_index_;  // carriers_ entries k ... k + n - 1 belong to this run
    carrier_index_ = static_cast<uint32_t>((carrier_index_ + n) % carrier_period);
    std::array<float, mpx_run_frames> left, right;
    if (b.mpx) {
        // Sum and difference on the 38 kHz sub-carrier, the composite c; four frames
        // per vector (the same operations per lane as one frame at a time), the last
        // n mod 4 frames one by one.
        using dsp::simd::f4;
        using dsp::simd::load;
        using dsp::simd::splat;
        using dsp::simd::store;
        std::array<float, mpx_run_frames> c, pilot, rds, square;
        const bool no_right = b.setup == static_cast<uint32_t>(MpxSetup::left_only);
        const bool no_left = b.setup == static_cast<uint32_t>(MpxSetup::right_only);
        const std::size_t vn = n & ~std::size_t{3};
        const float* sub_sin = carriers_.sub_sin.data() + k;
        const float* pilot_sin = carriers_.pilot_sin.data() + k;
        const float* pilot_cos = carriers_.pilot_cos.data() + k;
        const float* rds_sin = carriers_.rds_sin.data() + k;
        const f4 sum_gain = splat(2.0f - b.sub), sub_gain = splat(b.sub), half = splat(0.5f);
        for (std::size_t i = 0; i < vn; i += 4) {
            const f4 li = no_left ? f4{} : load(l + i), ri = no_right ? f4{} : load(r + i);
            const f4 sv = b.stereo ? (li - ri) * load(sub_sin + i) * half : f4{};
            store(c.data() + i, sum_gain * (li + ri) * half + sub_gain * sv);
        }
        for (std::size_t i = vn; i < n; ++i) {
            const float li = no_left ? 0.0f : l[i], ri = no_right ? 0.0f : r[i];
            const float sv = b.stereo ? (li - ri) * sub_sin[i] * 0.5f : 0.0f;
            c[i] = (2.0f - b.sub) * (li + ri) * 0.5f + b.sub * sv;
        }
        if (b.power) {
            for (std::size_t i = 0; i < n; ++i) c[i] *= b.drive;
            power_.process_run(c.data(), n, b.target, b.release);
        }
        std::fill_n(pilot.begin(), n, 0.0f);
        if (b.stereo) {
            const f4 amp = splat(b.pilot), ps = splat(b.phase_sin), pc = splat(b.phase_cos), fs = splat(scale_31);
            const f4 rest = splat(1.0f - b.pilot);
            for (std::size_t i = 0; i < vn; i += 4) {
                store(pilot.data() + i, amp * (load(pilot_cos + i) * ps + load(pilot_sin + i) * pc) * fs);
                store(c.data() + i, rest * load(c.data() + i));
            }
            for (std::size_t i = vn; i < n; ++i) {
                pilot[i] = b.pilot * (pilot_cos[i] * b.phase_sin + pilot_sin[i] * b.phase_cos) * scale_31;
                c[i] = (1.0f - b.pilot) * c[i];
            }
        }
        std::fill_n(rds.begin(), n, 0.0f);
        if (b.rds) {
            modulator_->next_samples(rds.data(), n);
            const f4 fs = splat(scale_31), amp = splat(b.rds_k), rest = splat(1.0f - b.rds_k);
            for (std::size_t i = 0; i < vn; i += 4) {
                store(rds.data() + i, load(rds.data() + i) * load(rds_sin + i) * fs * amp);
                store(c.data() + i, rest * load(c.data() + i));
            }
            for (std::size_t i = vn; i < n; ++i) {
                rds[i] = rds[i] * rds_sin[i] * scale_31 * b.rds_k;
                c[i] = (1.0f - b.rds_k) * c[i];
            }
        }
        const f4 floor = splat(dsp::squared_level_floor);
        for (std::size_t i = 0; i < vn; i += 4) {
            const f4 mpx = load(c.data() + i) + load(pilot.data() + i) + load(rds.data() + i);
            store(left.data() + i, mpx);
            store(square.data() + i, dsp::simd::max(mpx * mpx, floor));
        }
        for (std::size_t i = vn; i < n; ++i) {
            const float mpx = c[i] + pilot[i] + rds[i];
            left[i] = mpx;
            square[i] = std::max(mpx * mpx, dsp::squared_level_floor);
        }
        compliance_.add_samples(left.data(), n);
        power_meter_.mean_square_run(square.data(), n);
        float held = held_mpx_square_;
        for (std::size_t i = 0; i < n; ++i) held = std::max(held, square[i]);
        held_mpx_square_ = held;
        switch (static_cast<RightMode>(b.right_mode)) {
            case RightMode::mpx_mpx: right = left; break;
            case RightMode::mpx_pilot: right = pilot; break;
            case RightMode::mpx_mute: right.fill(0.0f); break;
            case RightMode::mute_mpx:
                right = left;
                left.fill(0.0f);
                break;
            case RightMode::diff:
                for (std::size_t i = 0; i < n; ++i) right[i] = -left[i];
                break;
        }
        if (b.delay > 0) delay_.process_run(left.data(), right.data(), n, b.delay);
    } else {
        std::copy(l, l + n, left.begin());
        std::copy(r, r + n, right.begin());
    }
    for (std::size_t i = 0; i < n;) {
        i += deviation_.add(left.data() + i, right.data() + i, n - i);
        if (deviation_.full()) hold_deviation(b.mpx);
    }
    // The output stage as output_stage does it, without a branch per frame: each output
    // takes its source channel's product with that channel's gain, negated if inverted.
    const float* from_l = b.swap ? right.data() : left.data();
    const float* from_r = b.swap ? left.data() : right.data();
    const float gain_l = b.swap ? b.gain_r : b.gain_l, gain_r = b.swap ? b.gain_l : b.gain_r;
    const float sign_l = b.invert_l ? -1.0f : 1.0f, sign_r = b.invert_r ? -1.0f : 1.0f;
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = sign_l * (gain_l * from_l[i]);
        out[2 * i + 1] = sign_r * (gain_r * from_r[i]);
    }
    // The input and output meters side by side (the run's input is still in l and r).
    dsp::LevelDetector::push_pair(in_192_, l, r, held_in_, out_192_, out, held_out_, n);
}

// Deviation of each output channel: the true peak (4x interpolated) of its frames.
void SoundOut::hold_deviation(bool mpx) {
    const std::size_t n = deviation_.measure();
    float dl = 0.0f, dr = 0.0f;
    for (std::size_t i = 0; i < n; ++i) {
        dl = std::max(dl, deviation_.peak_l(i));
        dr = std::max(dr, deviation_.peak_r(i));
    }
    held_deviation_[0] = std::max(held_deviation_[0], dl * deviation_scale);
    held_deviation_[1] = std::max(held_deviation_[1], dr * deviation_scale);
    if (mpx) compliance_.add_deviation(std::max(dl, dr) * deviation_scale);
}

void SoundOut::process(const Buses& buses, bool tick) {
    const uint32_t rate_out = buses.rate[bus_sound_out];
    if (rate_out != last_rate_.load(std::memory_order_relaxed)) {
        last_rate_.store(rate_out, std::memory_order_release);
        status_changes_.fetch_add(1, std::memory_order_release);
    }
    if (lock_.try_lock()) {  // else keep the last copy for this block
        engine_ = params_;
        lock_.unlock();
    }
    const SoundOutParams& p = engine_;
    float* out = buses.data[bus_sound_out];
    const uint32_t count_out = buses.count[bus_sound_out];
    if (out == nullptr || count_out == 0) return;
    const bool building_mpx = p.input_enable != 0 && p.input_mode != 0 && rate_out != chain_rate_Hz;
    compliance_.begin_block(building_mpx && p.stereo != 0 ? p.pilot_amp : 0.0f, building_mpx && p.rds_enable != 0);
    const uint32_t select = std::min<uint32_t>(p.input_select, bus_proc);
    const float* in = buses.data[select];
    const uint32_t count_in = buses.count[select];
    // A bus without a producer (rate 0) is sized and silent like a 48 kHz bus.
    const uint32_t rate_in = buses.rate[select] == 0 ? chain_rate_Hz : buses.rate[select];
    uint32_t written = 0;

    if (p.input_enable != 0 && in != nullptr) {
        Block b;
        b.mpx = p.input_mode != 0;
        b.stereo = p.stereo != 0;
        b.setup = p.mpx_setup;
        b.sub = p.sub_amp;
        b.power = p.power_on != 0;
        b.drive = p.drive;
        b.target = p.level * mpx_power_reference;
        b.release = dsp::rate_b(static_cast<int>(p.release_index));
        b.pilot = p.pilot_amp;
        b.phase_cos = p.pilot_phase[0];
        b.phase_sin = p.pilot_phase[1];
        b.rds = p.rds_enable != 0;
        b.rds_k = rds_amp_levels[std::min<uint32_t>(p.rds_amp, 8)] * rds_level_factor;
        b.right_mode = std::min<uint32_t>(p.right_mode, 4);
        b.delay = p.delay_on != 0 ? std::min(p.delay_samples, VariableDelay::capacity_samples) : 0;
        const float g = output_gain * p.output_level;
        b.gain_l = g * p.l_fine;
        b.gain_r = g * p.r_fine;
        b.swap = p.swap != 0;
        b.invert_l = p.invert_l != 0;
        b.invert_r = p.invert_r != 0;

        const bool out_48k = rate_out == chain_rate_Hz;
        const bool in_48k = rate_in == chain_rate_Hz;
        if (in_48k && out_48k) {
            const uint32_t n = std::min(count_in, count_out) & ~1u;
            if (meters_shown_.load(std::memory_order_relaxed)) {
                for (uint32_t i = 0; i < n; i += 2) stage_48k(in[i], in[i + 1], out + i, b);
            } else {
                for (uint32_t i = 0; i < n; i += 2) {
                    float l = in[i], r = in[i + 1];
                    output_stage(l, r, b);
                    out[i] = l;
                    out[i + 1] = r;
                }
            }
            written = n;
        } else if (in_48k) {
            // Runs of mpx_run_frames / 4 input frames, up-sampled into one run.
            const uint32_t frames = std::min(count_in / 2, count_out / 8);
            constexpr uint32_t run_in = mpx_run_frames / dsp::oversampling;
            std::array<float, mpx_run_frames> l, r;
            for (uint32_t f = 0; f < frames; f += run_in) {
                const uint32_t m = std::min(frames - f, run_in);
                upsampler_.process_run(in + 2 * f, m, l.data(), r.data());
                mpx_run(l.data(), r.data(), dsp::oversampling * m, out + written, b);
                written += 2 * dsp::oversampling * m;
            }
        } else if (out_48k) {
            if (count_in >= 8) {
                const uint32_t frames = std::min(count_in / 8, count_out / 2);
                for (uint32_t f = 0; f < frames; ++f) {
                    dsp::SubSamples s;
                    for (int j = 0; j < dsp::oversampling; ++j) {
                        s.l[j] = in[8 * f + 2 * j];
                        s.r[j] = in[8 * f + 2 * j + 1];
                    }
                    float l, r;
                    decimator_.process(s, l, r);
                    stage_48k(l, r, out + 2 * f, b);
                }
                written = 2 * frames;
            }
        } else {
            const uint32_t frames = std::min(count_in, count_out) / 2;
            std::array<float, mpx_run_frames> l, r;
            for (uint32_t f = 0; f < frames; f += mpx_run_frames) {
                const uint32_t m = std::min(frames - f, mpx_run_frames);
                for (uint32_t g = 0; g < m; ++g) {
                    l[g] = in[2 * (f + g)];
                    r[g] = in[2 * (f + g) + 1];
                }
                mpx_run(l.data(), r.data(), m, out + 2 * f, b);
            }
            written = 2 * frames;
        }
        if (deviation_.size() != 0) hold_deviation(b.mpx);
    }
    if (written < count_out) std::memset(out + written, 0, (count_out - written) * sizeof(float));
    in_48_.flush(held_in_);
    out_48_.flush(held_out_);
    dsp::LevelDetector::flush_pair(in_192_, held_in_, out_192_, held_out_);
    if (tick) publish_meters();
}

}  // namespace torvalen::broadcast
