#include "measure/signal_generator.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/realtime.h"

namespace torvalen::measure {

namespace {

constexpr double full_scale = 2147483648.0;  // 2^31
constexpr double half_scale = 1073741824.0;  // 2^30

// sin(2 pi n k / N) with n k reduced modulo N first, so the buffer holds exactly k
// cycles and its end meets its start without a phase step.
double cycle_sine(uint64_t n, uint64_t k, uint64_t length) {
    return std::sin(2.0 * std::numbers::pi * static_cast<double>((n * k) % length) / static_cast<double>(length));
}

}  // namespace

uint32_t tone_index(uint32_t n, float f_Hz) {
    // N f / 192000 + 0.5 in single precision (1/192000 = 5.2083333e-06).
    const float x = static_cast<float>(n) * 5.2083333e-06f * f_Hz + 0.5f;
    uint32_t k = x > 0.0f ? static_cast<uint32_t>(std::min(x, 4.0e9f)) : 0;
    if (k == 0) k = 1;
    if (k >= n / 2) k = n / 2;
    return k;
}

uint32_t second_tone_index(uint32_t n, float f_Hz) {
    return std::clamp<uint32_t>(tone_index(n, f_Hz), 1, n / 2 - 1);
}

float PinkFilter::step(uint32_t u) {
    const float w = static_cast<float>(u);
    b_[0] = 0.99886f * b_[0] + 0.013879475f * w - 14902973.0f;
    b_[1] = 0.99332f * b_[1] + 0.018768976f * w - 20153034.0f;
    b_[2] = 0.969f * b_[2] + 0.038463f * w - 41299332.0f;
    b_[3] = 0.8665f * b_[3] + 0.0776214f * w - 83345340.0f;
    b_[4] = 0.55f * b_[4] + 0.13323805f * w - 143063260.0f;
    b_[5] = -0.7616f * b_[5] - (0.0042245f * w - 4536022.5f);
    const float s = b_[0] + b_[1] + b_[2] + b_[3] + b_[4] + b_[5] + b_[6] + (0.13405f * w - 143935090.0f);
    b_[6] = 0.0289815f * w - 31118648.0f;  // enters the sum one sample late
    return s;
}

BufferIdentity buffer_identity(const AnalyserSettings& settings, uint32_t n) {
    BufferIdentity id;
    id.waveform = settings.waveform;
    id.n = n;
    switch (static_cast<Waveform>(settings.waveform)) {
        case Waveform::white_noise:
        case Waveform::pink_noise:
            return id;  // not valid: every buffer is new
        case Waveform::sine:
        case Waveform::burst:
        case Waveform::square:
            id.k = tone_index(n, settings.main_Hz);
            break;
        case Waveform::two_tone:
            id.k = tone_index(n, settings.main_Hz);
            id.k2 = second_tone_index(n, settings.secondary_Hz);
            break;
        case Waveform::pulse:
        case Waveform::off:
        default:
            break;
    }
    id.valid = n != 0;
    return id;
}

void synthesise(const AnalyserSettings& settings, uint32_t n, SynthesisState& state, const RealFft& fft,
                std::span<float> work, std::span<float> out) {
    if (n == 0 || out.size() < n) return;
    const auto samples = out.first(n);
    const uint32_t k = tone_index(n, settings.main_Hz);
    switch (static_cast<Waveform>(settings.waveform)) {
        case Waveform::sine:
        case Waveform::burst:
            for (uint32_t i = 0; i < n; ++i) samples[i] = static_cast<float>(cycle_sine(i, k, n) * full_scale);
            break;
        case Waveform::square: {
            // 1/h in the imaginary part of the odd harmonics below Nyquist; the
            // unnormalised inverse gives -2 sum (1/h) sin(2 pi h k n / N).
            std::fill(samples.begin(), samples.end(), 0.0f);
            for (uint64_t h = 1; h * k < n / 2; h += 2) samples[2 * h * k] = static_cast<float>(1.0 / static_cast<double>(h));
            fft.inverse(samples, work);
            for (float& s : samples) s *= static_cast<float>(half_scale);
            break;
        }
        case Waveform::pulse:
            std::fill(samples.begin(), samples.end(), 0.0f);
            samples[n / 2] = static_cast<float>(full_scale);
            break;
        case Waveform::white_noise:
            for (float& s : samples) s = static_cast<float>(2.0 * state.noise.next() - full_scale);
            break;
        case Waveform::two_tone: {
            const uint32_t k2 = second_tone_index(n, settings.secondary_Hz);
            for (uint32_t i = 0; i < n; ++i)
                samples[i] = static_cast<float>((cycle_sine(i, k, n) + cycle_sine(i, k2, n)) * half_scale);
            break;
        }
        case Waveform::pink_noise:
            for (float& s : samples) s = state.pink.step(state.noise.next());
            break;
        case Waveform::off:
        default:
            std::fill(samples.begin(), samples.end(), 0.0f);
            break;
    }
}

SignalGenerator::SignalGenerator(const AnalyserSettings& settings, std::mutex& exchange_lock,
                                 const FrameFfts& ffts)
    : settings_(settings), exchange_lock_(exchange_lock), ffts_(ffts) {
    for (Buffer& b : buffers_) b.samples = dsp::ZeroedBuffer<float>(max_frame_length);
    fft_work_ = dsp::ZeroedBuffer<float>(ffts.work_size());
    worker_ = std::thread([this] { worker_main(); });
}

SignalGenerator::~SignalGenerator() {
    events_.signal(event_quit);
    if (worker_.joinable()) worker_.join();
}

void SignalGenerator::play(std::span<float> bus) {
    if (bus.size() < 2) return;
    if (exchange_lock_.try_lock()) {
        playback_.waveform = settings_.waveform;
        playback_.gain = coarse_level_gain(settings_.coarse_level) * settings_.level;
        playback_.mode = settings_.mode;
        playback_.period = burst_period_samples(settings_.burst_period);
        playback_.on_length = burst_on_samples(playback_.period, settings_.burst_duty);
        exchange_lock_.unlock();
    }
    const bool burst = playback_.waveform == static_cast<uint32_t>(Waveform::burst);
    bool asked_while_empty = false;
    const std::size_t frames = bus.size() / 2;
    for (std::size_t f = 0; f < frames; ++f) {
        const Buffer& b = buffers_[active_];
        float x = 0.0f;
        if (position_ < b.length) {
            x = b.samples[position_++];
            if (position_ >= b.length) buffer_ended();
        } else if (!asked_while_empty) {
            // Nothing synthesised yet (or the rate is unsupported): ask once per block.
            asked_while_empty = true;
            buffer_ended();
        }
        if (burst) x = burst_.step(x, playback_.period, playback_.on_length);
        x *= playback_.gain;
        float left = x, right = x;
        switch (static_cast<OutputMode>(playback_.mode)) {
            case OutputMode::left: right = 0.0f; break;
            case OutputMode::right: left = 0.0f; break;
            case OutputMode::inverted: right = -x; break;
            case OutputMode::both:
            default: break;
        }
        bus[2 * f] = left;
        bus[2 * f + 1] = right;
    }
}

// The playing buffer is used up: move to the other one when the worker has filled
// it and ask for a refill of the one just left; otherwise play this one again.
// A buffer left that already holds what a refill would make (a repeating waveform
// whose settings have not changed) is not refilled: the worker is not woken.
void SignalGenerator::buffer_ended() {
    position_ = 0;
    if (!exchange_lock_.try_lock()) return;
    const int other = 1 - active_;
    const bool ready = filling_ != other && buffers_[other].length > 0;
    if (ready) active_ = other;
    const bool empty = buffers_[active_].length == 0;
    bool current = false;
    if (ready && !empty) {
        const Buffer& left = buffers_[1 - active_];  // not being filled: read under the lock
        const uint32_t n = generator_length(settings_.fft_length, analysed_rate_.load(std::memory_order_relaxed));
        current = left.identity.valid && left.identity == buffer_identity(settings_, n);
    }
    exchange_lock_.unlock();
    if ((ready || empty) && !current) request_refill();
}

void SignalGenerator::request_refill() {
    if (!refill_pending_.exchange(true, std::memory_order_acq_rel)) events_.signal(event_refill);
}

void SignalGenerator::wait_idle() const {
    while (refill_pending_.load(std::memory_order_acquire)) refill_pending_.wait(true, std::memory_order_acquire);
}

void SignalGenerator::worker_main() {
    enable_flush_to_zero();
    for (;;) {
        if (events_.wait_any((1u << event_quit) | (1u << event_refill)) == event_quit) return;
        AnalyserSettings settings;
        int target;
        {
            std::lock_guard lock(exchange_lock_);
            settings = settings_;
            target = 1 - active_;
            filling_ = target;
        }
        const uint32_t n = generator_length(settings.fft_length, analysed_rate_.load(std::memory_order_relaxed));
        const RealFft* fft = ffts_.get(n);
        if (fft != nullptr) {
            Buffer& b = buffers_[target];
            const Buffer& other = buffers_[1 - target];
            const BufferIdentity id = buffer_identity(settings, n);
            if (id.valid && b.identity == id) {
                // Already holds these samples.
            } else if (id.valid && other.identity == id) {
                // The other buffer (playing, so only read) holds them.
                std::copy_n(other.samples.begin(), n, b.samples.begin());
            } else {
                synthesise(settings, n, synthesis_, *fft, fft_work_, b.samples);
            }
            b.identity = id;
            b.length = n;
            refills_.fetch_add(1, std::memory_order_release);
        }
        {
            std::lock_guard lock(exchange_lock_);
            filling_ = none;
        }
        refill_pending_.store(false, std::memory_order_release);
        refill_pending_.notify_all();
    }
}

}  // namespace torvalen::measure
