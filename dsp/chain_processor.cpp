#include "dsp/chain_processor.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>
#include <string>

#include "engine/log.h"

namespace torvalen::dsp {

uint32_t SlotView::u(uint32_t slot) const { return std::bit_cast<uint32_t>(s_[slot]); }

params::FilterBand SlotView::band(uint32_t slot) const {
    params::FilterBand b;
    b.frequency_Hz = s_[slot];
    b.q = s_[slot + 1];
    b.gain_minus_one = s_[slot + 2];
    b.k1 = s_[slot + 3];
    b.k2 = s_[slot + 4];
    b.k3 = s_[slot + 5];
    return b;
}

SharedParams decode_shared(const SlotView& v, uint32_t bass_on, uint32_t bass_timing, uint32_t bass_boost,
                           uint32_t bass_latency, uint32_t output_first) {
    using namespace common_slot;
    SharedParams p;
    p.source.input_select = v.u(input_select);
    p.source.failsafe_on = v.on(failsafe);
    p.source.failsafe_threshold = v.factor(failsafe_threshold);

    InputParams& in = p.input;
    in.fine_l = v.factor(fine_l);
    in.fine_r = v.factor(fine_r);
    in.swap = v.on(swap);
    in.invert_l = v.on(invert_l);
    in.invert_r = v.on(invert_r);
    in.mono = v.on(mono);
    in.high_pass = v.u(hpf);
    in.low_pass = v.u(lpf);
    in.bass_enhance = v.on(bass_on);
    in.bass.timing_index = v.timing(bass_timing);
    in.bass.boost = v.factor(bass_boost);
    in.bass.high_latency = v.on(bass_latency);
    p.input_level = v.factor(input_level);

    p.eq_enable = v.on(eq_enable);
    for (uint32_t i = 0; i < ParametricEq::bands; ++i) p.eq[i] = v.band(eq_first_band + band_slots * i);

    // From "Pre Emphasis" on, both tables share one order.
    const uint32_t o = output_first;
    p.emphasis_time_constant = v.u(o);
    p.emphasis_mode = v.u(o + 1);
    OutputParams& out = p.output;
    out.low_pass = in.low_pass;
    out.de_emphasis = v.u(o + 2);
    out.power_mode = v.u(o + 3);
    out.power_drive = v.factor(o + 4);
    out.power_level = v.u(o + 5);
    out.custom_level = v.on(o + 6);
    out.level = v.factor(o + 7);
    out.fine = v.factor(o + 8);
    out.release_index = v.timing(o + 9);
    out.delay_on = v.on(o + 10);
    p.enabled = v.on(o + 11);
    return p;
}

ChainProcessor::ChainProcessor(const ProcessorIdentity& identity)
    : identity_(identity), slots_(identity.slot_count, 0.0f), engine_slots_(identity.slot_count, 0.0f) {}

ChainProcessor::~ChainProcessor() {
    // The bar writes an unsaved working copy and its settings; it calls back into the
    // control set, so it goes first.
    bar_.reset();
    controls_.reset();
}

bool ChainProcessor::build(const SettingsKey& instance_key, uint32_t& error,
                           const std::filesystem::path& factory_presets) {
    const auto key = instance_key.create(identity_.key_name);
    if (!key) {
        error |= 1u;
        return false;
    }
    {
        std::lock_guard lock(lock_);
        if (!params::copy_template_table(table_, identity_.table, std::as_writable_bytes(std::span(slots_)))) {
            log_event(identity_.module_name, "control table could not be bound to its value slots");
            error |= 1u;
            return false;
        }
        changed_ = true;
    }
    std::string why;
    controls_ = params::ControlSet::create(table_, *this, std::string(identity_.module_name), false, why);
    if (!controls_) {
        log_event(identity_.module_name, "control table refused: " + why);
        error |= 1u;
        return false;
    }
    params::PresetBarOptions options;
    options.version = std::string(identity_.key_name);
    options.dayparts_offered = true;
    options.factory_folder = factory_presets;
    bar_ = std::make_unique<params::PresetBar>(*controls_, *key, std::move(options));
    return true;
}

bool ChainProcessor::set_parameter(uint32_t index, float display) {
    std::lock_guard lock(lock_);
    const bool changed = params::set_by_rule(table_, params::TableStyle::relocated,
                                             std::as_writable_bytes(std::span(slots_)), index, display);
    if (changed) changed_ = true;
    return changed;
}

bool ChainProcessor::get_parameter(uint32_t index, float& display) {
    std::lock_guard lock(lock_);
    return params::get_by_rule(table_, params::TableStyle::relocated, std::as_bytes(std::span(slots_)), index,
                               display);
}

bool ChainProcessor::set_value(uint32_t index, float display) {
    return controls_ ? controls_->set(index, display) : set_parameter(index, display);
}

bool ChainProcessor::get_value(uint32_t index, float& display) { return get_parameter(index, display); }

std::vector<float> ChainProcessor::slots() {
    std::lock_guard lock(lock_);
    return slots_;
}

void ChainProcessor::set_unlocked(bool unlocked) {
    if (bar_) bar_->set_enabled(unlocked);
}

void ChainProcessor::save_settings() {
    if (!bar_) return;
    bar_->sync_working_copy();
    bar_->save_settings();
}

void ChainProcessor::clear_meters() { clear_request_.store(true, std::memory_order_release); }

void ChainProcessor::process(const Buses& buses, bool tick) {
    bool fresh = false;
    if (lock_.try_lock()) {
        if (changed_) {
            std::copy(slots_.begin(), slots_.end(), engine_slots_.begin());
            changed_ = false;
            fresh = true;
        }
        lock_.unlock();
    }
    if (fresh || !have_slots_) {
        if (!fresh && !have_slots_) return;  // never had parameters yet: leave bus 4 alone
        configure(SlotView(engine_slots_));
        have_slots_ = true;
    }
    if (clear_request_.exchange(false, std::memory_order_acq_rel)) {
        input_meter_.reset();
        reset_meters();
    }

    source_.fill(buses, shared_.source, hand_off_);
    float* bus4 = buses.data[bus_proc];
    const uint32_t frames = bus4 ? buses.count[bus_proc] / 2 : 0;
    if (!shared_.enabled) {
        latency_.store(0, std::memory_order_relaxed);
    } else if (frames > 0) {
        latency_.store(static_cast<uint32_t>(run(bus4, frames)), std::memory_order_relaxed);
    }
    if (tick) {
        ProcessorMeters& m = meters_.back();
        m.count = identity_.meter_count;
        meters(m.value.data(), shared_.enabled);
        meters_.publish();
    }
}

}  // namespace torvalen::dsp
