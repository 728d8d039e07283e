// Look-ahead gain applicators: the zero-crossing synchronised half-cycle gain hold and
// the block-minimum smoother.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/iir.h"

namespace torvalen::dsp {

enum class HoldKind { min, max };

// Half-cycle gain hold with a look-ahead of L samples. Every half-cycle of the input
// (the run of samples between two sign changes) receives one gain, the minimum (or,
// for HoldKind::max, the maximum) requested over that half-cycle, applied from its
// first sample L samples later; the applied gain changes only at zero crossings of the
// delayed signal.
//
// A half-cycle longer than the ring (very low frequencies or DC) would see its slot
// consumed by the cursor while it is still open; requests after that would be lost and
// the signal would pass with the stale gain. Such requests open a fresh slot at the
// cursor instead, so they still take effect L samples later.
template <HoldKind Kind>
class HalfCycleGainHold {
public:
    HalfCycleGainHold() = default;
    explicit HalfCycleGainHold(std::size_t length) : ring_(length == 0 ? 1 : length) {}

    std::size_t length() const { return ring_.size(); }
    int delay_samples() const { return static_cast<int>(ring_.size()); }

    // In place: (l, r) become the frame of L calls earlier times the held gains.
    void process(float& l, float& r, float gain_l, float gain_r) {
        State st = state();
        Entry& e = ring_[st.cursor];
        l = step(st, 0, e, l, gain_l);
        r = step(st, 1, e, r, gain_r);
        st.cursor = st.cursor + 1 == ring_.size() ? 0 : st.cursor + 1;
        set_state(st);
    }

    // n calls of process() on l[i], r[i] with gains gain_l[i], gain_r[i], in place; the
    // state stays in registers over the run.
    void process_run(float* l, float* r, const float* gain_l, const float* gain_r, std::size_t n) {
        State st = state();
        for (std::size_t i = 0; i < n; ++i) {
            Entry& e = ring_[st.cursor];
            l[i] = step(st, 0, e, l[i], gain_l[i]);
            r[i] = step(st, 1, e, r[i], gain_r[i]);
            st.cursor = st.cursor + 1 == ring_.size() ? 0 : st.cursor + 1;
        }
        set_state(st);
    }

    float applied_gain(int ch) const { return applied_[ch]; }

private:
    static constexpr float empty = -1.0f;  // gain slot holds no request
    struct Entry {
        float gain[2] = {empty, empty};
        float sample[2] = {0.0f, 0.0f};
    };
    // The open half-cycle's request so far stays here (empty: none open), not in its
    // slot: the slot is written once, when the half-cycle closes, so the running minimum
    // is no store and reload on every call.
    struct State {
        float applied[2], previous[2], open_gain[2];
        std::size_t open[2], cursor;
    };
    State state() const {
        return {{applied_[0], applied_[1]}, {previous_[0], previous_[1]}, {open_gain_[0], open_gain_[1]},
                {open_[0], open_[1]}, cursor_};
    }
    void set_state(const State& st) {
        for (int ch = 0; ch < 2; ++ch) {
            applied_[ch] = st.applied[ch];
            previous_[ch] = st.previous[ch];
            open_gain_[ch] = st.open_gain[ch];
            open_[ch] = st.open[ch];
        }
        cursor_ = st.cursor;
    }

    // Selects rather than branches where the compiler can keep them so: zero crossings of
    // programme material fall at random, and branches on them are often mispredicted.
    float step(State& st, int ch, Entry& e, float x, float g) {
        // The open half-cycle's slot under the cursor (a half-cycle longer than the ring)
        // is consumed with the request so far, and a fresh one opens below.
        const bool consumed = st.open[ch] == st.cursor && st.open_gain[ch] >= 0.0f;
        const float slot = consumed ? st.open_gain[ch] : e.gain[ch];
        float open = consumed ? empty : st.open_gain[ch];
        st.applied[ch] = slot >= 0.0f ? slot : st.applied[ch];  // a held gain starts here
        e.gain[ch] = empty;
        const bool same_half_cycle = (x >= 0.0f) == (st.previous[ch] >= 0.0f);
        const bool extend = same_half_cycle && open >= 0.0f;
        // A zero crossing, or the open slot already consumed: the closed half-cycle's
        // request goes to its slot (nowhere when none was open), a fresh one opens.
        float* closed = !extend && open >= 0.0f ? &ring_[st.open[ch]].gain[ch] : &spare_;
        *closed = open;
        const float kept = Kind == HoldKind::min ? (g < open ? g : open) : (g > open ? g : open);
        st.open_gain[ch] = extend ? kept : g;
        st.open[ch] = extend ? st.open[ch] : st.cursor;
        st.previous[ch] = x;
        const float out = e.sample[ch] * st.applied[ch];
        e.sample[ch] = x;
        return out;
    }

    std::vector<Entry> ring_ = std::vector<Entry>(1);
    float applied_[2] = {1.0f, 1.0f};
    float previous_[2] = {0.0f, 0.0f};
    float open_gain_[2] = {empty, empty};
    std::size_t open_[2] = {0, 0};
    std::size_t cursor_ = 0;
    float spare_ = 0.0f;  // where a store that closes nothing goes
};

using HalfCycleGainHoldMin = HalfCycleGainHold<HoldKind::min>;
using HalfCycleGainHoldMax = HalfCycleGainHold<HoldKind::max>;

// Block-minimum look-ahead smoother: the smallest gain requested over the last 128
// calls, smoothed by three float low-pass sections, multiplies the audio of 128 calls
// earlier, so the gain is fully down before the peak that asked for it arrives.
class BlockMinSmoother {
public:
    static constexpr std::size_t slots = 128;
    static constexpr int delay_samples = static_cast<int>(slots);

    // `shortcuts` off does the full work on every call (tests compare the two).
    explicit BlockMinSmoother(bool shortcuts = true);
    void process(float& l, float& r, float gain_l, float gain_r) {
        // Most calls: the window asked for 1 throughout and the cycle is replayed (see
        // below); cycling_ is only ever set with the window full of ones.
        if (cycling_ && gain_l == 1.0f && gain_r == 1.0f) {
            ++call_;
            const std::size_t k = cycle_pos_;
            cycle_pos_ = k + 1 == period_ ? 0 : k + 1;
            delay(l, r, cycle_[2 * k], cycle_[2 * k + 1]);
            return;
        }
        process_full(l, r, gain_l, gain_r);
    }

private:
    void process_full(float& l, float& r, float gain_l, float gain_r);
    // The audio of `slots` calls earlier, times the gains.
    void delay(float& l, float& r, float gain_l, float gain_r) {
        float* frame = &audio_[2 * audio_pos_];
        const float dl = frame[0], dr = frame[1];
        frame[0] = l;
        frame[1] = r;
        if (++audio_pos_ == slots) audio_pos_ = 0;
        l = dl * gain_l;
        r = dr * gain_r;
    }

    // The minimum over the ring of 128 one-call slots: the requests of the last 127 calls
    // (slots not yet written hold 1) and the fresh slot, which imposes nothing. Kept as a
    // sliding-window minimum (a queue of increasing values with their call numbers), so
    // each call costs O(1) instead of a pass over the ring; the result is the same.
    class WindowMin {
    public:
        WindowMin();
        float push(float v, uint64_t call);
        // The window as it stands after calls that all asked for 1, the last one `call`.
        void reset_to_ones(uint64_t call);

    private:
        static constexpr std::size_t capacity = 2 * slots;  // power of two, > window
        std::array<float, capacity> value_{};
        std::array<uint64_t, capacity> call_{};
        std::size_t head_ = 0, size_ = 0;
    };

    WindowMin min_l_, min_r_;
    uint64_t call_ = 0;
    std::array<LowPass2<float>, 3> smooth_;

    // While every request in the window is 1 (most of the time: a safety clipper rarely
    // acts) the minima are 1 without the windows. The sections, fed 1, settle into a
    // short cycle of float roundings (48 calls long, within a millionth of their DC
    // gain) rather than a fixed value: once their state is seen to repeat, the cycle's
    // outputs are replayed instead of computed, and the state is rebuilt from the
    // cycle's start when a request below 1 arrives. The results are the full work's.
    static constexpr std::size_t max_cycle = 256;
    using Sections = std::array<LowPass2<float>, 3>;
    bool shortcuts_;
    std::size_t ones_ = 0;         // consecutive calls that asked for 1 on both channels
    bool windows_behind_ = false;  // the windows missed calls that asked for 1
    bool snapshot_valid_ = false, cycling_ = false;
    Sections snapshot_;            // the sections' state after call snapshot_call_
    uint64_t snapshot_call_ = 0;
    std::size_t period_ = 0, cycle_pos_ = 0;
    std::array<float, 2 * max_cycle> cycle_{};  // outputs of the calls after the snapshot
    std::array<float, 2 * slots> audio_{};
    std::size_t audio_pos_ = 0;
};

}  // namespace torvalen::dsp
