#include "dsp/processor_five.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "dsp/control_records.h"
#include "dsp/processor_one.h"
#include "dsp/rate_tables.h"
#include "dsp/simd_kernels.h"

namespace torvalen::dsp {

namespace {

namespace s = five_slot;
namespace one = one_slot;
using namespace records;

constexpr std::array<std::string_view, 2> agc_bands = {"MH", "B"};

constexpr auto make_table() {
    TableBuilder<processor_five_record_count> t;
    // The input page as in "Torvalen One".
    t.input_page();

    t.add(page("Bass Enhancer"));
    t.add(group("Bass Enhance"));
    t.add(list("Off\nOn\n", s::bass_on, 1, 0));
    t.add(list("Low Lat\nHigh Lat\n", s::bass_latency, 1, 0));
    t.add(timing("Timing", s::bass_timing, 5, 15, 12));
    t.add(db("Boost", s::bass_boost, 0, 20, 1, 15));

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
    t.add(db("Thresh (dB)", s::agc_gate, -80, -40, 1, -60));
    t.add(group("AGC Primary"));
    for (uint32_t k = 0; k < 2; ++k) t.add(timing(agc_bands[k], s::agc_primary + k, 10, 20, 14.5f));
    t.add(group("AGC Band Output (dB)"));
    for (uint32_t k = 0; k < 2; ++k) t.add(db(agc_bands[k], s::agc_output + k, -10, 10, 0.5f, 0));
    t.add(group("AGC Attack"));
    for (uint32_t k = 0; k < 2; ++k) t.add(timing(agc_bands[k], s::agc_attack + k, 10, 20, 16.5f));
    t.add(group("AGC Release"));
    for (uint32_t k = 0; k < 2; ++k) t.add(timing(agc_bands[k], s::agc_release + k, 10, 20, 16.5f));
    t.add(group("AGC Band Drives (dB)"));
    for (uint32_t k = 0; k < 2; ++k) t.add(db(agc_bands[k], s::agc_drive + k, -10, 10, 0.5f, 0));
    t.add(group("AGC Max Boost (dB)"));
    for (uint32_t k = 0; k < 2; ++k) t.add(db(agc_bands[k], s::agc_max_boost + k, 0, 20, 1, 15, 0, -20));
    t.add(group("AGC Link"));
    t.add(db("Bass", s::agc_link, -20, 0, 1, -10));

    t.add(page("Multiband Global"));
    t.add(group("Multiband Filter"));
    t.add(list("Lin Phase\nGarde 3rd\nGarde 5th\n", s::mb_filter, 2, 0));
    t.add(group("Multiband Latency"));
    t.add(list("Low\nHigh\n", s::mb_latency, 1, 1));

    const uint32_t c = s::compressor_offset;
    t.add(page("Compressor"));
    t.add(group("Comp Enable"));
    t.add(list("Off\nOn\n", one::comp_enable + c, 1, 0));
    t.band_timing("Comp RMS ntegrate", one::comp_rms + c, 5, 15, {11, 11, 11, 12, 12.5f});
    t.band_timing("Comp Plat Attack", one::comp_attack + c, 5, 15, each(8));
    t.band_timing("Comp Plat Release", one::comp_release + c, 10, 20, each(17));
    t.band_timing("Comp Plat Fast Release", one::comp_fast_release + c, 10, 20, each(14));
    t.band_db("Comp Fast Release Thresh (dB)", one::comp_fast_threshold + c, -20, 0, 0.5f, each(-10));
    t.band_db("Comp Drive (dB)", one::comp_drive + c, 0, 15, 0.5f, {8, 8, 8, 8, 10}, 0, -15);
    t.add(group("Comp Output"));
    t.add(db("Drive (dB)", one::comp_output + c, -10, 10, 0.5f, 3));

    t.add(page("Stereo Enhancer"));
    t.add(group("St Enh Enable"));
    t.add(list("Off\nOn\n", one::st_enable + c, 1, 0));
    t.band_db("St Enh Width", one::st_width + c, 0, 20, 1, {13, 10, 8, 0, 0});
    t.band_db("St Enh Max", one::st_max + c, 0, 20, 1, {15, 12, 10, 10, 10}, {"H2", "H1", "M2", "M", "B"});
    t.band_timing("St Enh Attack", one::st_attack + c, 0, 15, each(3));
    t.band_timing("St Enh Release", one::st_release + c, 10, 20, each(13));
    t.band_timing("St Enh Plat Rate", one::st_plat_rate + c, 10, 20, each(14.5f));

    t.add(page("Band Limiter"));
    t.add(group("MBL Expaner Enable"));
    t.add(list("Off\nOn\n", s::expander_enable, 1, 1));
    t.add(group("MBL Drive"));
    t.add(db("Drive (dB)", s::mbl_drive, -10, 10, 0.5f, 3.5f, -30, -10));
    t.add(group("MBL Platform Enable"));
    t.add(list("Off\nOn\n", s::platform_enable, 1, 1));
    t.band_db("MBL Band  Drives (dB)", s::mbl_band_drive, -10, 10, 0.5f, {0, 0, 0, 0, 2});
    t.band_db("MBL Band Bias (dB)", s::mbl_bias, -10, 10, 0.5f, {-3, -1, 0, 0, 2});
    t.band_timing("MBL Expander Attack", s::expander_attack, 0, 15, {6, 6, 6, 6, 9.5f});
    t.band_timing("MBL Expanfer Release", s::expander_release, 10, 20, {13, 13, 13.5f, 13.5f, 13.5f});
    t.band_timing("MBL Attack", s::mbl_attack, 0, 15, {6, 6, 6, 6, 9.5f});
    t.band_timing("MBL Release", s::mbl_release, 10, 20, each(13));
    t.band_timing("MBL Plat Attack", s::plat_attack, 10, 20, each(17));
    t.band_timing("MBL Plat Release", s::plat_release, 10, 20, each(16.5f));
    t.band_db("MBL Expander Thresh (dB)", s::expander_threshold, -50, -10, 1, each(-25));
    t.band_db("MBL Expander Depth (dB)r", s::expander_depth, -20, 0, 0.5f, each(-10));
    t.band_db("MBL Clip Thresh (dB)", s::mbl_clip, 0, 10, 0.5f, {0, 2, 5, 5, 0});

    t.add(page("Limiter"));
    t.add(group("Lim Drive"));
    t.add(db("Drive  (dB)", s::lim_drive, -10, 10, 0.5f, 4, -5, 15));
    t.add(group("Lim Timing"));
    t.add(timing("Attack", s::lim_attack, 0, 15, 6));
    t.add(timing("Release", s::lim_release, 10, 20, 13));
    t.add(timing("Plat Attack", s::lim_plat_attack, 10, 20, 17));
    t.add(timing("Plat Release", s::lim_plat_release, 10, 20, 16.5f));
    t.add(list("Plat Off\nPlat On\n", s::lim_plat, 1, 1));
    t.add(db("Clip Drive  (dB)", s::lim_clip_drive, -5, 5, 0.5f, 0, 5, -5));
    t.band_timing("Lim Clip Release", s::lim_clip_release, 0, 15, {7, 12, 12, 11, 8});

    t.output_pages(s::pre_emphasis, s::enable);
    return t;
}

constexpr auto built = make_table();
static_assert(built.size == processor_five_record_count, "the page holds 263 records");
static_assert(s::pre_emphasis + 11 == s::enable);
static_assert(one::st_plat_rate + 4 + s::compressor_offset == 115);

constexpr float agc_reference = 6795834.0f;      // T, -50 dB re full scale
constexpr float agc_closed_level = 67958336.0f;  // 10 T
constexpr float agc_makeup = 9.875001f;          // +19.9 dB
constexpr float gate_rate = 1.0f / 2048.0f;      // 2^-11
constexpr float processor_off_agc_meter_dB = -20.0f;
constexpr int primary_offset = -2;
constexpr int dynamics_offset = 4;
constexpr float eq_section_rate_Hz = 192000.0f;
constexpr int mh = 0, bass = 1;

const ProcessorIdentity five_identity{"Torvalen 5", "MBL5_Torvalen-v4.0.0", built.records, five_slot::count,
                                      processor_five_meter_count, five_slot::enable};

}  // namespace

std::span<const params::ControlRecord> processor_five_table() { return built.records; }
const ProcessorIdentity& processor_five_identity() { return five_identity; }

ProcessorFive::ProcessorFive() : ChainProcessor(five_identity) {}

std::unique_ptr<ProcessorFive> ProcessorFive::create(const SettingsKey& instance_key, uint32_t& error,
                                                   const std::filesystem::path& factory_presets) {
    std::unique_ptr<ProcessorFive> p;
    try {
        p.reset(new ProcessorFive());
    } catch (const std::bad_alloc&) {
        // Allocation failure at creation is reported through the error word.
        error |= 1u;
        return nullptr;
    }
    if (!p->build(instance_key, error, factory_presets)) return nullptr;
    return p;
}

void ProcessorFive::configure(const SlotView& v) {
    const SharedParams sp = decode_shared(v, s::bass_on, s::bass_timing, s::bass_boost, s::bass_latency,
                                          s::pre_emphasis);
    set_shared(sp);
    eq_.configure(sp.eq);

    AgcParams& a = agc_params_;
    a.enable = v.on(s::agc_enable);
    a.gate = v.factor(s::agc_gate);
    for (uint32_t k = 0; k < 2; ++k) {
        a.primary_rate[k] = rate_a(v.timing(s::agc_primary + k) + primary_offset);
        a.attack_rate[k] = rate_a(v.timing(s::agc_attack + k));
        a.release_rate[k] = rate_a(v.timing(s::agc_release + k));
        a.output[k] = v.factor(s::agc_output + k) * agc_makeup;
        a.drive[k] = v.factor(s::agc_drive + k);
        a.max_boost[k] = v.factor(s::agc_max_boost + k);
    }
    a.link = v.factor(s::agc_link);

    MultibandParams mp;
    mp.filter = static_cast<CrossoverKind>(std::min<uint32_t>(v.u(s::mb_filter), 2));
    mp.latency = v.on(s::mb_latency) ? MultibandLatency::high : MultibandLatency::low;
    decode_compressor_enhancer(v, s::compressor_offset, mp);
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
    for (uint32_t b = band_count; b < band_lanes; ++b) {  // padding lanes
        l.drive[b] = l.expander_attack[b] = l.expander_release[b] = l.attack[b] = l.plat_attack[b] = 0.0f;
        l.reference[b] = l.expander_level[b] = l.expander_floor[b] = l.clip[b] = 1.0f;
        l.release_rise[b] = l.plat_release_rise[b] = 1.0f;
    }
    for (uint32_t b = 0; b < band_count; ++b) {
        const float ref = mp.reference[b];
        l.drive[b] = v.factor(s::mbl_band_drive + b) * mbl_drive;
        l.reference[b] = ref;
        l.expander_level[b] = ref * v.factor(s::expander_threshold + b);
        l.expander_floor[b] = l.expander_level[b] * v.factor(s::expander_depth + b);
        l.clip[b] = ref * v.factor(s::mbl_clip + b);
        l.expander_attack[b] = rate_a(v.timing(s::expander_attack + b) + dynamics_offset);
        l.expander_release[b] = rate_a(v.timing(s::expander_release + b) + dynamics_offset);
        l.attack[b] = rate_a(v.timing(s::mbl_attack + b) + dynamics_offset);
        l.release_rise[b] = 1.0f + rate_a(v.timing(s::mbl_release + b) + dynamics_offset);
        l.plat_attack[b] = rate_a(v.timing(s::plat_attack + b) + dynamics_offset);
        l.plat_release_rise[b] = 1.0f + rate_a(v.timing(s::plat_release + b) + dynamics_offset);
    }
    l.expander = v.on(s::expander_enable);
    l.platform = v.on(s::platform_enable);
    l.clip_bands = sp.output.power_mode != static_cast<uint32_t>(PowerLimiterMode::clip_off);
    l.lim_drive = v.factor(s::lim_drive);
    l.clip_drive = v.factor(s::lim_clip_drive);
    l.lim_attack = rate_a(v.timing(s::lim_attack) + dynamics_offset);
    l.lim_release_rise = 1.0f + rate_a(v.timing(s::lim_release) + dynamics_offset);
    l.lim_plat_attack = rate_a(v.timing(s::lim_plat_attack) + dynamics_offset);
    l.lim_plat_release_rise = 1.0f + rate_a(v.timing(s::lim_plat_release) + dynamics_offset);
    l.lim_platform = v.on(s::lim_plat);
}

// Two-band AGC on the split bands at 48 kHz, "Input Level" included, over `frames`
// consecutive frames; the state stays in locals from frame to frame.
void ProcessorFive::agc(BandFrame* frames_bands, std::size_t frames) {
    const float input_level = shared().input_level;
    const AgcParams& a = agc_params_;
    if (!a.enable) {
        for (std::size_t i = 0; i < frames; ++i) {
            BandFrame& x = frames_bands[i];
            for (int b = 0; b < band_count; ++b) {
                x.l[b] *= input_level;
                x.r[b] *= input_level;
            }
        }
        agc_.gain = {1.0f, 1.0f};
        return;
    }
    const float gt = a.gate * agc_reference, gt2 = gt * gt;
    float gate_detector = agc_.gate_detector;
    bool gate_closed = agc_.gate_closed;
    float mean_square[2] = {agc_.mean_square[0], agc_.mean_square[1]};
    float envelope[2] = {agc_.envelope[0], agc_.envelope[1]};
    float gain[2] = {agc_.gain[0], agc_.gain[1]};
    for (std::size_t i = 0; i < frames; ++i) {
        BandFrame& x = frames_bands[i];
        for (int b = 0; b < band_count; ++b) {
            x.l[b] *= input_level;
            x.r[b] *= input_level;
        }
        float sl = 0, sr = 0;
        for (int b = 0; b < band_count; ++b) {
            sl += x.l[b];
            sr += x.r[b];
        }
        const float p = sl * sl + sr * sr;
        gate_detector += (p - gate_detector) * gate_rate;
        gate_detector = std::clamp(gate_detector, gt2 / 4.0f, 4.0f * gt2);
        if (gate_detector < gt2 / 2.0f)
            gate_closed = true;
        else if (gate_detector > 2.0f * gt2)
            gate_closed = false;

        float ml = 0, mr = 0;
        for (int b = band_h2; b <= band_m1; ++b) {
            x.l[b] *= a.drive[mh];
            x.r[b] *= a.drive[mh];
            ml += x.l[b];
            mr += x.r[b];
        }
        x.l[band_b] *= a.drive[bass];
        x.r[band_b] *= a.drive[bass];
        const float power[2] = {ml * ml + mr * mr, x.l[band_b] * x.l[band_b] + x.r[band_b] * x.r[band_b]};
        for (int k = 0; k < 2; ++k) {
            mean_square[k] += (power[k] - mean_square[k]) * a.primary_rate[k];
            const float level = gate_closed ? agc_closed_level
                                            : std::max(a.max_boost[k] * agc_closed_level, std::sqrt(mean_square[k]));
            float& e = envelope[k];
            if (level > e)
                e = std::min(e * (1.0f + a.attack_rate[k]), level);
            else
                e = std::max(e - e * a.release_rate[k], level);
            gain[k] = agc_reference / e;
        }
        // The bass envelope never falls more than the link amount below the MH envelope.
        envelope[bass] = std::max(envelope[bass], envelope[mh] * a.link);
        const float g_mh = gain[mh] * a.output[mh], g_b = gain[bass] * a.output[bass];
        for (int b = band_h2; b <= band_m1; ++b) {
            x.l[b] *= g_mh;
            x.r[b] *= g_mh;
        }
        x.l[band_b] *= g_b;
        x.r[band_b] *= g_b;
    }
    agc_.gate_detector = gate_detector;
    agc_.gate_closed = gate_closed;
    agc_.mean_square = {mean_square[0], mean_square[1]};
    agc_.envelope = {envelope[0], envelope[1]};
    agc_.gain = {gain[0], gain[1]};
}

// Band limiters (expander, smoothed peak gain, platform, per-channel clip) of `count`
// consecutive sub-samples in one kernel call, on the eight band lanes. The wideband
// limiter (smoothed gain, platform, per-channel clip) of a sub-sample reads only that
// sub-sample's band sums: it runs afterwards, over the group's sub-samples in one call.
void ProcessorFive::limit_bands(BandFrame* s, PendingGains* g, std::size_t count) {
    const LimiterParams& p = lim_;
    const BandLimitFiveArgs args{p.drive.data(),
                                 p.expander_level.data(),
                                 p.expander_attack.data(),
                                 p.expander_release.data(),
                                 p.expander_floor.data(),
                                 p.reference.data(),
                                 p.release_rise.data(),
                                 p.attack.data(),
                                 p.plat_release_rise.data(),
                                 p.plat_attack.data(),
                                 p.clip.data(),
                                 band_.expander.data(),
                                 band_.smooth.data(),
                                 band_.platform.data(),
                                 band_meter_.l.data(),
                                 band_meter_.r.data(),
                                 band_meter_.both.data(),
                                 band_meter_.platform.data(),
                                 p.lim_drive,
                                 p.expander,
                                 p.platform,
                                 p.clip_bands};
    constexpr std::size_t stride = sizeof(BandFrame) / sizeof(float);
    static_assert(sizeof(PendingGains) == sizeof(BandFrame));
    simd::kernels().band_limit_five(args, s[0].l.data(), g[0].l.data(), stride, count, band_sums_.data());
}

void ProcessorFive::wideband(std::size_t first, float* channel_gains, std::size_t count) {
    const LimiterParams& p = lim_;
    float G = wide_.smooth, P = wide_.platform;
    GainMinimum meter = wide_meter_;
    for (std::size_t i = 0; i < count; ++i) {
        const float asl = std::fabs(band_sums_[2 * (first + i)]), asr = std::fabs(band_sums_[2 * (first + i) + 1]);
        const float peak = std::max(asl, asr) * p.clip_drive;
        const float wanted = peak >= section_level ? section_level / peak : 1.0f;
        if (wanted >= G)
            G = std::min(G * p.lim_release_rise, wanted);
        else
            G += (wanted - G) * p.lim_attack;
        float plat = 1.0f;
        if (p.lim_platform) {
            if (G > P) {
                P = std::min(P * p.lim_plat_release_rise, G);
                G = std::min(G, P);
            } else {
                P = std::max(P - P * p.lim_plat_attack, G);
            }
            plat = P;
        }
        const float lambda = std::min(G, plat);
        float gl = lambda, gr = lambda;
        if (p.clip_bands) {
            if (asl >= section_level) gl = std::min(lambda, section_level / asl);
            if (asr >= section_level) gr = std::min(lambda, section_level / asr);
        }
        meter.l = std::min(meter.l, gl);
        meter.r = std::min(meter.r, gr);
        meter.both = std::min(meter.both, lambda);
        meter.platform = std::min(meter.platform, plat);
        channel_gains[2 * i] = gl;
        channel_gains[2 * i + 1] = gr;
    }
    wide_.smooth = G;
    wide_.platform = P;
    wide_meter_ = meter;
}

// Stage by stage over the whole block, as in "Torvalen One": the stages before the
// split, the multiband section with the two-band AGC and the limiters, then the output
// stage. The latency is that of the block's last frame.
int ProcessorFive::run(float* x, uint32_t frames) {
    const SharedParams& sp = shared();
    int front = 0, section = 0;
    // The band-limiting and pre-emphasis filters run over the whole block at once.
    int filters_latency = 0;
    // The input and output meters measure side by side once the block is through.
    const bool metering = level_meters(), paired = metering && frames <= InputStage::kept_capacity;
    input_.process_block(x, frames, sp.input, input_meter_, filters_latency, metering, paired);
    pre_emphasis_.process_block(x, frames, sp.emphasis_mode, sp.emphasis_time_constant, filters_latency);
    for (uint32_t i = 0; i < frames; ++i) {
        front = filters_latency;
        if (sp.eq_enable) eq_.process(x[2 * i], x[2 * i + 1], front);
    }
    // The two-band AGC works on the split bands of each group of frames, before they
    // are oversampled.
    LimiterCalls calls{[this](SubSampleBands* s, SubSampleGains* g, std::size_t m) {
                           limit_bands(s[0].data(), g[0].data(), oversampling * m);
                       },
                       [this](std::size_t q, float* g, std::size_t count) { wideband(q, g, count); },
                       [this](BandFrame* bands, std::size_t m) { agc(bands, m); }};
    multiband_.process_block(x, frames, calls, section);
    const int back = output_.process_block(x, frames, sp.output, metering && !paired);
    if (paired) measure_meters(input_, input_meter_, output_, x, frames);
    else if (metering) input_.flush_meter(input_meter_);
    return front + section + back;
}

void ProcessorFive::meters(float* v, bool enabled) {
    input_meter_.take_dB(v);
    for (int k = 0; k < 2; ++k) {
        const float g = gain_dB(agc_.gain[k == 0 ? bass : mh]);
        v[6 + k] = !enabled ? processor_off_agc_meter_dB : (agc_params_.enable && agc_.gate_closed ? -g : g);
    }
    const MultibandMeters m = multiband_.take_meters();
    for (int k = 0; k < band_count; ++k) {
        const int b = band_count - 1 - k;  // B first
        v[8 + k] = gain_dB(m.comp_gain[b]);
        v[13 + k] = gain_dB(m.width[b]);
        float* o = v + 18 + 6 * k;
        o[0] = gain_dB(band_meter_.l[b]);
        o[1] = gain_dB(band_meter_.r[b]);
        o[2] = o[3] = gain_dB(band_meter_.both[b]);
        o[4] = o[5] = gain_dB(band_meter_.platform[b]);
    }
    band_meter_.reset();
    v[48] = gain_dB(wide_meter_.l);
    v[49] = gain_dB(wide_meter_.r);
    v[50] = v[51] = gain_dB(wide_meter_.both);
    v[52] = v[53] = gain_dB(wide_meter_.platform);
    wide_meter_ = GainMinimum{};
    const float pl = output_.take_power_gain_min();
    v[54] = shared().output.power_mode != 0 ? gain_dB(pl) : 0.0f;
    output_.meter().take_dB(v + 55);
    const SharedParams& sp = shared();
    for (int i = 0; i < ParametricEq::bands; ++i) {
        v[61 + 4 * i] = sp.eq[i].frequency_Hz;
        v[62 + 4 * i] = sp.eq[i].q;
        v[63 + 4 * i] = sp.eq_enable ? sp.eq[i].gain_minus_one : 0.0f;
        v[64 + 4 * i] = eq_section_rate_Hz;
    }
}

void ProcessorFive::reset_meters() {
    multiband_.take_meters();
    band_meter_.reset();
    wide_meter_ = GainMinimum{};
    output_.take_power_gain_min();
    output_.meter().reset();
}

}  // namespace torvalen::dsp
