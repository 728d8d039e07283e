// The test-signal generator that fills bus 3 (192 kHz) on every engine cycle.
//
// A worker thread synthesises one buffer at a time whose length follows the
// analyser's frame length, so every tone has a whole number of cycles per buffer;
// the engine plays the buffers in turn (a double buffer), gates the burst and
// applies level and mode. A buffer of a waveform that repeats exactly is
// synthesised only when its settings change: a refill that would give the same
// samples keeps the buffer as it is or copies the other one (the noises are new
// every buffer).
//
// Threads: play() runs on the engine thread; the worker synthesises into the
// buffer that is not playing; the exchange lock guards the active index, which
// buffer the worker is filling, and the settings the worker copies. The engine
// only ever tries the lock: when it is busy the playing buffer is simply repeated,
// which keeps the signal periodic.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "dsp/zeroed_buffer.h"
#include "engine/event.h"
#include "measure/analyser_settings.h"
#include "measure/spectrum.h"

namespace torvalen::measure {

inline constexpr double generator_rate_Hz = 192000.0;

// Buffer length: the analyser's frame length for its "FFT Length" and analysed
// rate (0 when that rate is neither 48000 nor 192000).
inline uint32_t generator_length(uint32_t fft_length_index, uint32_t analysed_rate_Hz) {
    return frame_length(fft_length_index, analysed_rate_Hz);
}

// Cycles per buffer of a tone: floor(N f / 192000 + 0.5), at least 1, at most N/2.
uint32_t tone_index(uint32_t n, float f_Hz);
// The second tone of "Two Tone": as tone_index, kept within 1 ... N/2 - 1.
uint32_t second_tone_index(uint32_t n, float f_Hz);

// The minimal-standard multiplicative congruential generator (16807 u mod 2^31 - 1,
// Schrage's method) with its stored state masked by 123459876.
class MinimalStandard {
public:
    // Next u in 1 ... 2^31 - 2.
    uint32_t next() {
        constexpr int32_t a = 16807, m = 2147483647, q = 127773, r = 2836;
        constexpr uint32_t mask = 123459876;
        auto u = static_cast<int32_t>(state_ ^ mask);
        const int32_t hi = u / q;
        u = a * (u - hi * q) - r * hi;
        if (u < 0) u += m;
        state_ = static_cast<uint32_t>(u) ^ mask;
        return static_cast<uint32_t>(u);
    }
    uint32_t state() const { return state_; }

private:
    uint32_t state_ = 0;
};

// Kellett's refined pink filter at int32 scale: seven one-pole stages over the
// uniform u (0 ... 2^31), coefficients a quarter of Kellett's, offsets centring u.
class PinkFilter {
public:
    float step(uint32_t u);

private:
    float b_[7] = {};
};

// State the worker keeps from one buffer to the next.
struct SynthesisState {
    MinimalStandard noise;
    PinkFilter pink;
};

// What a buffer of a waveform that repeats exactly (every one but the two noises)
// depends on: equal identities mean equal samples. `valid` is false for the noises,
// whose every buffer is new.
struct BufferIdentity {
    bool valid = false;
    uint32_t waveform = 0;
    uint32_t n = 0;
    uint32_t k = 0;   // tone index (sine, burst, square, two tone)
    uint32_t k2 = 0;  // second tone index (two tone)
    bool operator==(const BufferIdentity&) const = default;
};
BufferIdentity buffer_identity(const AnalyserSettings& settings, uint32_t n);

// Writes one buffer of `n` samples (int32 scale) for the generator settings into
// out[0 ... n). The square wave runs through `fft` (length n) with `work`.
void synthesise(const AnalyserSettings& settings, uint32_t n, SynthesisState& state,
                const RealFft& fft, std::span<float> work, std::span<float> out);

// The burst's gate, run per frame on the sample read from the buffer.
class BurstGate {
public:
    enum State : uint32_t { off = 0, waiting_to_start = 1, on = 2, waiting_to_stop = 3 };

    // The gated sample. The counter advances by one every frame, in every state,
    // so a cycle lasts P frames plus the wait for a rising zero crossing, and the
    // burst is on for D frames plus the wait for the next one.
    float step(float x, uint32_t period, uint32_t on_length) {
        float y = x;
        switch (state_) {
            case off:
                y = 0.0f;
                if (counter_ >= period) {
                    counter_ = 0;
                    state_ = waiting_to_start;
                }
                break;
            case waiting_to_start:
                if (x >= 0.0f && previous_ < 0.0f) state_ = on;
                else y = 0.0f;
                break;
            case on:
                if (counter_ >= on_length) state_ = waiting_to_stop;
                break;
            case waiting_to_stop:
                if (x >= 0.0f && previous_ < 0.0f) {
                    y = 0.0f;
                    state_ = off;
                }
                break;
        }
        previous_ = x;
        ++counter_;
        return y;
    }
    State state() const { return state_; }

private:
    State state_ = off;
    uint32_t counter_ = 0;
    float previous_ = 0.0f;
};

class SignalGenerator {
public:
    // `settings` and `exchange_lock` belong to the Analyser module; the page writes
    // the settings holding the lock. Starts the worker.
    SignalGenerator(const AnalyserSettings& settings, std::mutex& exchange_lock, const FrameFfts& ffts);
    ~SignalGenerator();  // stops the worker
    SignalGenerator(const SignalGenerator&) = delete;
    SignalGenerator& operator=(const SignalGenerator&) = delete;

    // Engine thread: writes bus3.size()/2 stereo frames. Does nothing below 2 floats.
    void play(std::span<float> bus3);

    // Engine thread (the analyser's per-block call): the rate of the bus the
    // analyser reads, which sets the buffer length.
    void set_analysed_rate(uint32_t rate_Hz) { analysed_rate_.store(rate_Hz, std::memory_order_relaxed); }

    // Blocks until no refill is pending (for tests and orderly hand-overs).
    void wait_idle() const;
    // Buffers synthesised so far.
    uint64_t refills() const { return refills_.load(std::memory_order_acquire); }

private:
    struct Buffer {
        dsp::ZeroedBuffer<float> samples;
        uint32_t length = 0;  // written by the worker while the buffer is not active
        // What the samples hold: written by the worker while filling, read by the
        // engine under the exchange lock when the buffer is not being filled.
        BufferIdentity identity;
    };
    // Playback settings, refreshed by play() when the exchange lock is free.
    struct Playback {
        uint32_t waveform = 0;
        float gain = 0.0f;
        uint32_t mode = 0;
        uint32_t period = 0;
        uint32_t on_length = 0;
    };

    void worker_main();
    void buffer_ended();
    void request_refill();

    enum Event : unsigned { event_quit = 0, event_refill = 1 };
    static constexpr int none = -1;

    const AnalyserSettings& settings_;
    std::mutex& exchange_lock_;
    const FrameFfts& ffts_;

    std::array<Buffer, 2> buffers_;
    int active_ = 0;        // under the exchange lock (the engine toggles it)
    int filling_ = none;    // under the exchange lock (the worker sets it)
    uint32_t position_ = 0; // engine thread
    Playback playback_;     // engine thread
    BurstGate burst_;       // engine thread

    std::atomic<uint32_t> analysed_rate_{0};
    std::atomic<bool> refill_pending_{false};
    std::atomic<uint64_t> refills_{0};

    SynthesisState synthesis_;     // worker thread
    dsp::ZeroedBuffer<float> fft_work_;  // worker thread
    EventGroup events_;
    std::thread worker_;
};

}  // namespace torvalen::measure
