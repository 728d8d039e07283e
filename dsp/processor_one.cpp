#include "dsp/processor_one.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "dsp/control_records.h"
#include "dsp/rate_tables.h"
#include "dsp/simd.h"

namespace torvalen::dsp {

namespace {

namespace s = one_slot;
using namespace records;

constexpr auto make_table() {
    TableBuilder<processor_one_record_count> t;
    // Input, in page order.
    t.input_page();

    t.add(page("Bass Enhancer"));
    t.add(group("Bass Enhance"));
    t.add(list("Off\nOn\n", s::bass_on, 1, 0));
    t.add(timing("Timing", s::bass_timing, 5, 15, 12));
    t.add(db("Boost", s::bass_boost, 0, 20, 1, 15));
    t.add(list("Low Lat\nHigh Lat\n", s::bass_latency, 1, 0));

    t.add(page("Para EQ"));
    t.add(group("Para EQ Enable"));
    t.add(list("Off\nOn\n", common_slot::eq_enable, 1, 0));
    t.eq_band("EQ 1", 16, 1, "Amp  (dB)");
    t.eq_band("EQ 2", 22, 3, "Amp (dB)");
    t.eq_band("EQ 3", 28, 3, "Amp (dB)");
    t.eq_band("EQ 4", 34, 3, "Amp (dB)");

    t.add(page("AGC"));
    t.add(group("AGC Enable"));
    t.add(list("Off\nOn\n", s::agc_enable, 1, 1));
    t.add(group("AGC Gate Thresh"));
    t.add(db("Thresh (dB)", s::agc_gate, -60, -20, 1, -30));
    t.add(group("AGC Timing"));
    t.add(timing("Primary", s::agc_primary, 5, 15, 12));
    t.add(timing("Attack", s::agc_attack, 10, 20, 17));
    t.add(timing("Release", s::agc_release, 10, 20, 17));
    t.add(timing("Fast Release", s::agc_fast_release, 10, 20, 15));
    t.add(group("AGC Fast Threshold (dB)"));
    t.add(db("Attack", s::agc_fast_attack, 0, 20, 0.5f, 15, 0, -20));
    t.add(db("Release", s::agc_fast_release_threshold, -20, 0, 0.5f, -15));
    t.add(group("AGC Max Boost (dB)"));
    t.add(db("B", s::agc_max_boost, 0, 20, 1, 15, 20, 0));

    t.add(page("Multiband Global"));
    t.add(group("Multiband Filter"));
    t.add(list("Lin Phase\nGarde 3rd\nGarde 5th\n", s::mb_filter, 2, 0));
    t.add(group("Multiband Latency"));
    t.add(list("Low\nHigh\n", s::mb_latency, 1, 1));

    t.add(page("Compressor"));
    t.add(group("Comp Enable"));
    t.add(list("Off\nOn\n", s::comp_enable, 1, 0));
    t.band_timing("Comp RMS ntegrate", s::comp_rms, 5, 15, {11, 11, 11, 12, 12.5f});
    t.band_timing("Comp Plat Attack", s::comp_attack, 5, 20, each(12));
    t.band_timing("Comp Plat Release", s::comp_release, 10, 20, each(17));
    t.band_timing("Comp Plat Fast Release", s::comp_fast_release, 10, 20, each(14));
    t.band_db("Comp Fast Release Thresh (dB)", s::comp_fast_threshold, -20, 0, 0.5f, each(-10));
    t.band_db("Comp Drive (dB)", s::comp_drive, 0, 15, 0.5f, {8, 8, 8, 8, 10}, 0, -15);
    t.add(group("Comp Output"));
    t.add(db("Drive (dB)", s::comp_output, -10, 10, 0.5f, 3));

    t.add(page("Stereo Enhancer"));
    t.add(group("St Enh Enable"));
    t.add(list("Off\nOn\n", s::st_enable, 1, 0));
    t.band_db("St Enh Width", s::st_width, 0, 20, 1, {13, 10, 8, 0, 0});
    t.band_db("St Enh Max", s::st_max, 0, 20, 1, {15, 12, 10, 10, 10}, {"H2", "H1", "M2", "M", "B"});
    t.band_timing("St Enh Attack", s::st_attack, 0, 15, each(3));
    t.band_timing("St Enh Release", s::st_release, 10, 20, each(13));
    t.band_timing("St Enh Plat Rate", s::st_plat_rate, 10, 20, each(14.5f));

    t.add(page("Band Limite"));
    t.add(group("MBL Drive"));
    t.add(db("Drive (dB)", s::mbl_drive, -10, 10, 0.5f, 3.5f, -25, -5));
    t.band_db("MBL Band  Drives (dB)", s::mbl_band_drive, -10, 10, 0.5f, {0, 0, 0, 0, 2});
    t.band_db("MBL Band Bias (dB)", s::mbl_bias, -10, 10, 0.5f, {-3, -1, 0, 0, 2});
    t.band_timing("MBL Attack", s::mbl_attack, 0, 15, {6, 6, 6, 6, 9.5f});
    t.band_timing("MBL Release", s::mbl_release, 10, 20, each(14.5f));
    t.band_timing("MBL Fast Release", s::mbl_fast_release, 10, 20, each(13));
    t.band_db("MBL Fast  Thresh (dB)", s::mbl_fast_threshold, -20, 0, 0.5f, each(-10));
    t.band_db("MBL Clip Thresh (dB)", s::mbl_clip, 0, 10, 0.5f, {0, 2, 5, 5, 0});

    t.add(page("Limiter"));
    t.add(group("Lim Drive"));
    t.add(db("Drive  (dB)", s::lim_drive, -10, 10, 0.5f, 4, -5, 15));
    t.add(group("Lim Timing"));
    t.add(timing("Attack", s::lim_attack, 0, 15, 6));
    t.add(timing("Release", s::lim_release, 10, 20, 14));
    t.add(timing("Fast Release", s::lim_fast_release, 10, 20, 13));
    t.add(db("Fast Release Threash", s::lim_fast_threshold, -20, 0, 0.5f, -10));
    t.add(db("Clip Drive  (dB)", s::lim_clip_drive, -5, 5, 0.5f, 0, 5, -5));
    t.band_timing("Lim Clip Release", s::lim_clip_release, 0, 15, {7, 12, 12, 11, 8});

    t.output_pages(s::pre_emphasis, s::enable);
    return t;
}

static_assert(sizeof(PendingGains) == 2 * band_lanes * sizeof(float), "left lanes, then right lanes");

constexpr auto built = make_table();
static_assert(built.size == processor_one_record_count, "the page holds 224 records");
static_assert(s::pre_emphasis + 11 == s::enable);

constexpr float agc_reference = 6795834.0f;  // T, -50 dB re full scale in sqrt(L^2 + R^2)
constexpr float agc_closed_level = 67958336.0f;  // 10 T: the level assumed while the gate is closed
constexpr float agc_makeup = 9.875001f;          // +19.9 dB: AGC output level 2^26
constexpr float gate_rate = 1.0f / 2048.0f;       // 2^-11
constexpr float agc_off_meter_gain = 0.1f;
constexpr float processor_off_agc_meter_dB = 20.0f;
constexpr int primary_offset = -2;
constexpr int dynamics_offset = 4;  // band and wideband limiter rates: A[n + 4]
constexpr float eq_section_rate_Hz = 192000.0f;

const ProcessorIdentity one_identity{"Torvalen One", "Torvalen One-v1.0.0", built.records, one_slot::count,
                                 processor_one_meter_count, one_slot::enable};

}  // namespace

std::span<const params::ControlRecord> processor_one_table() { return built.records; }
const ProcessorIdentity& processor_one_identity() { return one_identity; }

void decode_compressor_enhancer(const SlotView& v, uint32_t offset, MultibandParams& p) {
    p.comp_enable = v.on(s::comp_enable + offset);
    p.st_enh_enable = v.on(s::st_enable + offset);
    p.comp_output = v.factor(s::comp_output + offset);
    for (uint32_t b = 0; b < band_count; ++b) {
        CompressorBandParams& c = p.comp[b];
        c.rms_index = v.timing(s::comp_rms + offset + b);
        c.attack_index = v.timing(s::comp_attack + offset + b);
        c.release_index = v.timing(s::comp_release + offset + b);
        c.fast_release_index = v.timing(s::comp_fast_release + offset + b);
        c.fast_threshold = v.factor(s::comp_fast_threshold + offset + b);
        c.drive = v.factor(s::comp_drive + offset + b);
        EnhancerBandParams& e = p.st_enh[b];
        e.width = v.factor(s::st_width + offset + b);
        e.max_width = v.factor(s::st_max + offset + b);
        e.attack_index = v.timing(s::st_attack + offset + b);
        e.release_index = v.timing(s::st_release + offset + b);
        e.plat_rate_index = v.timing(s::st_plat_rate + offset + b);
    }
}

ProcessorOne::ProcessorOne() : ChainProcessor(one_identity) {}

std::unique_ptr<ProcessorOne> ProcessorOne::create(const SettingsKey& instance_key, uint32_t& error,
                                                   const std::filesystem::path& factory_presets) {
    std::unique_ptr<ProcessorOne> p;
    try {
        p.reset(new ProcessorOne());
    } catch (const std::bad_alloc&) {
        // Allocation failure at creation is reported through the error word.
        error |= 1u;
        return nullptr;
    }
    if (!p->build(instance_key, error, factory_presets)) return nullptr;
    return p;
}

void ProcessorOne::configure(const SlotView& v) {
    const SharedParams sp = decode_shared(v, s::bass_on, s::bass_timing, s::bass_boost, s::bass_latency,
                                          s::pre_emphasis);
    set_shared(sp);
    eq_.configure(sp.eq);

    AgcParams& a = agc_params_;
    a.enable = v.on(s::agc_enable);
    a.gate = v.factor(s::agc_gate);
    a.primary_rate = rate_a(v.timing(s::agc_primary) + primary_offset);
    a.attack_rate = rate_a(v.timing(s::agc_attack));
    a.release_rate = rate_a(v.timing(s::agc_release));
    a.fast_release_rate = rate_a(v.timing(s::agc_fast_release));
    a.fast_attack = v.factor(s::agc_fast_attack);
    a.fast_release = v.factor(s::agc_fast_release_threshold);
    a.max_boost = v.factor(s::agc_max_boost);

    MultibandParams mp;
    mp.filter = static_cast<CrossoverKind>(std::min<uint32_t>(v.u(s::mb_filter), 2));
    mp.latency = v.on(s::mb_latency) ? MultibandLatency::high : MultibandLatency::low;
    decode_compressor_enhancer(v, 0, mp);
    std::array<float, band_count> bias{};
    for (uint32_t b = 0; b < band_count; ++b) {
        bias[b] = v.factor(s::mbl_bias + b);
        mp.clip_release_index[b] = v.timing(s::lim_clip_release + b);
    }
    mp.reference = band_references(bias);
    mp.hf_clip = sp.emphasis_mode != static_cast<uint32_t>(EmphasisMode::off);
    multiband_.configure(mp);

    LimiterParams& l = lim_;
    const float mbl_drive = v.factor(s::mbl_drive);
    l.drive.fill(0.0f);
    l.attack.fill(0.0f);
    l.release.fill(0.0f);
    l.fast_release.fill(0.0f);
    l.fast_threshold.fill(1.0f);
    l.reference.fill(1.0f);
    l.clip.fill(1.0f);
    l.fast_floor.fill(1.0f);
    for (uint32_t b = 0; b < band_count; ++b) {
        l.drive[b] = v.factor(s::mbl_band_drive + b) * mbl_drive;
        l.attack[b] = rate_a(v.timing(s::mbl_attack + b) + dynamics_offset);
        l.release[b] = rate_a(v.timing(s::mbl_release + b) + dynamics_offset);
        l.fast_release[b] = rate_a(v.timing(s::mbl_fast_release + b) + dynamics_offset);
        l.fast_threshold[b] = v.factor(s::mbl_fast_threshold + b);
        l.reference[b] = mp.reference[b];
        l.clip[b] = mp.reference[b] * v.factor(s::mbl_clip + b);
        l.fast_floor[b] = l.fast_threshold[b] * l.reference[b];
    }
    l.lim_drive = v.factor(s::lim_drive);
    l.clip_drive = v.factor(s::lim_clip_drive);
    l.lim_attack = rate_a(v.timing(s::lim_attack) + dynamics_offset);
    l.lim_release = rate_a(v.timing(s::lim_release) + dynamics_offset);
    l.lim_fast_release = rate_a(v.timing(s::lim_fast_release) + dynamics_offset);
    l.lim_fast_threshold = v.factor(s::lim_fast_threshold);
    clip_wide_ = sp.output.power_mode != static_cast<uint32_t>(PowerLimiterMode::clip_off);
}

void ProcessorOne::agc(float& l, float& r) {
    const AgcParams& a = agc_params_;
    AgcState& st = agc_;
    if (!a.enable) {
        st.gain = agc_off_meter_gain;
        return;
    }
    const float p = l * l + r * r;
    const float gt = a.gate * agc_reference;
    const float gt2 = gt * gt;
    st.gate_detector += (p - st.gate_detector) * gate_rate;
    st.gate_detector = std::clamp(st.gate_detector, gt2 / 4.0f, 4.0f * gt2);
    if (st.gate_detector > 2.0f * gt2)
        st.gate_closed = false;
    else if (st.gate_detector < gt2 / 2.0f)
        st.gate_closed = true;

    st.mean_square += (p - st.mean_square) * a.primary_rate;
    const float floor_level = a.fast_release * a.max_boost * agc_reference;
    st.mean_square = std::max(st.mean_square, floor_level * floor_level);
    const float level = st.gate_closed ? agc_closed_level : std::sqrt(st.mean_square);

    float& e = st.envelope;
    if (level < e * a.fast_release) st.fast = true;
    if (level * a.fast_attack > e) {
        e = level * a.fast_attack;
        st.fast = false;
    } else if (level > e) {
        e = std::min(e * (1.0f + a.attack_rate), level);
        st.fast = false;
    } else {
        e = std::max(e - e * (st.fast ? a.fast_release_rate : a.release_rate), level);
    }
    e = std::max(e, a.max_boost * agc_reference);
    st.gain = e >= agc_reference ? agc_reference / e : 1.0f;
    const float g = st.gain * agc_makeup;
    l *= g;
    r *= g;
}

// Band limiter then wideband limiter of a frame's four sub-samples: scales the band
// samples by their drives and sets the pending gains. Per band:
//   x <- x * drive; pi = max|x|; envelope e rises toward pi at the attack rate, falls at
//   the fast-release rate (never below pi), floored at phi * ref; platform P follows e
//   up at once and falls at the (fast) release rate, floored at ref; h = ref / P; each
//   channel's gain is h, or less where |x| passes the band's clip level.
// The wideband limiter of a sub-sample reads only that sub-sample's band sums, so the
// band limiter runs on all the group's sub-samples first, in one kernel call; the
// wideband limiter then runs over them in one call of its own.
void ProcessorOne::limit_bands(SubSampleBands* s, SubSampleGains* g, std::size_t frames) {
    const BandLimitArgs args{lim_.drive.data(),    lim_.attack.data(),         lim_.release.data(),
                                   lim_.fast_release.data(), lim_.fast_threshold.data(), lim_.reference.data(),
                                   lim_.clip.data(),     lim_.fast_floor.data(),     band_.envelope.data(),
                                   band_.platform.data(), band_.fast.data(),          band_meter_.l.data(),
                                   band_meter_.r.data(), band_meter_.both.data(),    lim_.lim_drive};
    constexpr std::size_t stride = sizeof(BandFrame) / sizeof(float);
    simd::kernels().band_limit(args, s[0][0].l.data(), g[0][0].l.data(), stride, oversampling * frames,
                               band_sums_.data());
}

// The wideband limiter on the band sum: envelope E and platform Q as in the band
// limiter, around the section level 2^25; Lambda = 2^25 / Q, and unless the power
// limiter runs "On (Clip Off)" each channel's gain also brings its sum back to 2^25.
// Sub-samples first ... first + count - 1 of the group; writes each one's {left, right}
// gains, which the section applies to all its band gains. The state stays in registers
// over the run.
void ProcessorOne::wideband(std::size_t first, float* channel_gains, std::size_t count) {
    const LimiterParams& p = lim_;
    float envelope = wide_.envelope, platform = wide_.platform;
    bool fast = wide_.fast;
    GainMinimum meter = wide_meter_;
    const float floor = section_level * p.lim_fast_threshold;
    for (std::size_t i = 0; i < count; ++i) {
        const float asl = std::fabs(band_sums_[2 * (first + i)]), asr = std::fabs(band_sums_[2 * (first + i) + 1]);
        const float peak = std::max(asl, asr) * p.clip_drive;
        if (peak > envelope)
            envelope += (peak - envelope) * p.lim_attack;
        else
            envelope = std::max(envelope - envelope * p.lim_fast_release, peak);
        envelope = std::max(envelope, floor);
        if (envelope < p.lim_fast_threshold * platform) fast = true;
        if (envelope > platform) {
            platform = envelope;
            fast = false;
        } else {
            platform -= platform * (fast ? p.lim_fast_release : p.lim_release);
        }
        platform = std::max(platform, section_level);
        const float lambda = section_level / platform;
        float gl = lambda, gr = lambda;
        if (clip_wide_) {
            if (asl >= section_level) gl = std::min(lambda, section_level / asl);
            if (asr >= section_level) gr = std::min(lambda, section_level / asr);
        }
        meter.fold(gl, gr, lambda);
        channel_gains[2 * i] = gl;
        channel_gains[2 * i + 1] = gr;
    }
    wide_.envelope = envelope;
    wide_.platform = platform;
    wide_.fast = fast;
    wide_meter_ = meter;
}

// The chain runs stage by stage over the whole block: the stages before the multiband
// section, the section, then the output stage. No stage feeds an earlier one, so this is
// the same arithmetic as taking each frame through the whole chain, but each stage's
// recursions (filters, envelopes) overlap from frame to frame instead of waiting for
// the rest of the chain between frames. The latency is that of the block's last frame.
int ProcessorOne::run(float* x, uint32_t frames) {
    const SharedParams& sp = shared();
    int front = 0, section = 0;
    // The band-limiting and pre-emphasis filters run over the whole block at once.
    int filters_latency = 0;
    // The input and output meters measure side by side once the block is through.
    const bool metering = level_meters(), paired = metering && frames <= InputStage::kept_capacity;
    input_.process_block(x, frames, sp.input, input_meter_, filters_latency, metering, paired);
    for (uint32_t i = 0; i < frames; ++i) {
        float l = x[2 * i] * sp.input_level, r = x[2 * i + 1] * sp.input_level;
        agc(l, r);
        x[2 * i] = l;
        x[2 * i + 1] = r;
    }
    pre_emphasis_.process_block(x, frames, sp.emphasis_mode, sp.emphasis_time_constant, filters_latency);
    for (uint32_t i = 0; i < frames; ++i) {
        front = filters_latency;
        if (sp.eq_enable) eq_.process(x[2 * i], x[2 * i + 1], front);
    }
    LimiterCalls limiters{[this](SubSampleBands* s, SubSampleGains* g, std::size_t m) { limit_bands(s, g, m); },
                          [this](std::size_t q, float* g, std::size_t count) { wideband(q, g, count); }};
    multiband_.process_block(x, frames, limiters, section);
    const int back = output_.process_block(x, frames, sp.output, metering && !paired);
    if (paired) measure_meters(input_, input_meter_, output_, x, frames);
    else if (metering) input_.flush_meter(input_meter_);
    return front + section + back;
}

void ProcessorOne::meters(float* v, bool enabled) {
    input_meter_.take_dB(v);
    if (!enabled) {
        v[6] = processor_off_agc_meter_dB;
    } else {
        const float g = gain_dB(agc_.gain);
        // The gate state travels in the sign (the AGC off evaluates no gate).
        v[6] = agc_params_.enable && agc_.gate_closed ? -g : g;
    }
    const MultibandMeters m = multiband_.take_meters();
    for (int k = 0; k < band_count; ++k) {
        const int b = band_count - 1 - k;  // B first
        v[7 + k] = gain_dB(m.comp_gain[b]);
        v[12 + k] = gain_dB(m.width[b]);
        float* o = v + 17 + 6 * k;
        o[0] = gain_dB(band_meter_.l[b]);
        o[1] = gain_dB(band_meter_.r[b]);
        o[2] = o[3] = gain_dB(band_meter_.both[b]);
        o[4] = o[5] = 0.0f;
    }
    band_meter_.reset();
    v[47] = gain_dB(wide_meter_.l);
    v[48] = gain_dB(wide_meter_.r);
    v[49] = v[50] = gain_dB(wide_meter_.both);
    v[51] = v[52] = 0.0f;
    wide_meter_ = GainMinimum{};
    const float pl = output_.take_power_gain_min();
    v[53] = shared().output.power_mode != 0 ? gain_dB(pl) : 0.0f;
    output_.meter().take_dB(v + 54);
    const SharedParams& sp = shared();
    for (int i = 0; i < ParametricEq::bands; ++i) {
        v[60 + 4 * i] = sp.eq[i].frequency_Hz;
        v[61 + 4 * i] = sp.eq[i].q;
        v[62 + 4 * i] = sp.eq_enable ? sp.eq[i].gain_minus_one : 0.0f;
        v[63 + 4 * i] = eq_section_rate_Hz;
    }
}

void ProcessorOne::reset_meters() {
    multiband_.take_meters();
    band_meter_.reset();
    wide_meter_ = GainMinimum{};
    output_.take_power_gain_min();
    output_.meter().reset();
}

}  // namespace torvalen::dsp
