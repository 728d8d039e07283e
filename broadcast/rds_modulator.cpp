#include "broadcast/rds_modulator.h"

#include <samplerate.h>
#include <time.h>

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <cmath>
#include <numbers>

#include "engine/log.h"
#include "engine/realtime.h"

namespace torvalen::broadcast {

namespace {

constexpr double rds_bit_rate_Hz = 1187.5;
constexpr double tukey_taper = 0.5;

std::array<float, rds_shaping_taps> make_shaping_filter() {
    // h(t) = integral over |f| < 2/td of cos(pi f td / 4) e^(j 2 pi f t) df, in closed form.
    constexpr double td = 1.0 / rds_bit_rate_Hz;
    constexpr double f_max = 2.0 / td;
    constexpr double a = std::numbers::pi * td / 4.0;
    constexpr std::size_t n = rds_shaping_taps;
    std::array<double, n> h{};
    double sum = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double t = (static_cast<double>(k) - (n - 1) / 2.0) / rds_symbol_rate_Hz;
        const double b = 2.0 * std::numbers::pi * t;
        double v = std::sin((a - b) * f_max) / (a - b) + std::sin((a + b) * f_max) / (a + b);
        // Tukey window: flat in the middle, cosine tapers over the outer quarters.
        const double x = static_cast<double>(k) / (n - 1);
        const double edge = tukey_taper / 2.0;
        double w = 1.0;
        if (x < edge) w = 0.5 * (1.0 + std::cos(std::numbers::pi * (x / edge - 1.0)));
        else if (x > 1.0 - edge) w = 0.5 * (1.0 + std::cos(std::numbers::pi * ((x - 1.0) / edge + 1.0)));
        h[k] = v * w;
        sum += h[k];
    }
    std::array<float, n> taps{};
    for (std::size_t k = 0; k < n; ++k) taps[k] = static_cast<float>(h[k] / sum);
    return taps;
}

uint64_t thread_cpu_time_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

const std::array<float, rds_shaping_taps>& rds_shaping_filter() {
    static const std::array<float, rds_shaping_taps> taps = make_shaping_filter();
    return taps;
}

SampleRateConverter::SampleRateConverter(int converter_type) {
    int error = 0;
    state_ = src_new(converter_type, 1, &error);
}

SampleRateConverter::~SampleRateConverter() {
    if (state_) src_delete(state_);
}

bool SampleRateConverter::set_ratio(double ratio) { return src_set_ratio(state_, ratio) == 0; }

long SampleRateConverter::process(const float* in, long in_count, float* out, long out_capacity, double ratio) {
    SRC_DATA data{};
    data.data_in = in;
    data.input_frames = in_count;
    data.data_out = out;
    data.output_frames = out_capacity;
    data.src_ratio = ratio;
    data.end_of_input = 0;
    if (src_process(state_, &data) != 0) return 0;
    return data.output_frames_gen;
}

std::unique_ptr<RdsModulator> RdsModulator::create(RdsContent& content, uint32_t& error) {
    std::unique_ptr<RdsModulator> m(new RdsModulator(content));
    if (!m->converter_.valid()) {
        error |= 1u;
        return nullptr;
    }
    m->thread_ = std::thread([p = m.get()] { p->thread_main(); });
    return m;
}

RdsModulator::RdsModulator(RdsContent& content)
    : content_(content),
      scheduler_(content),
      taps_(rds_shaping_filter()),
      converted_(rds_bank_capacity, 0.0f),
      converter_(SRC_SINC_FASTEST) {
    for (auto& bank : banks_) bank = std::vector<std::atomic<float>>(rds_bank_capacity);
    // The ratio is fixed for the converter's life; setting it once avoids a ramp.
    if (converter_.valid()) converter_.set_ratio(rds_resample_ratio);
}

RdsModulator::~RdsModulator() {
    events_.signal(event_stop);
    if (thread_.joinable()) thread_.join();
    // Only a modulator that went on air reports.
    if (built_ != 0)
        log_event("RDS", "modulator stopped after " + std::to_string(built_) + " groups; " +
                             std::to_string(late_.load()) + " times the engine reached a bank not yet filled");
}

void RdsModulator::next_bank() {
    ++read_;
    current_ = static_cast<uint32_t>(read_ % rds_bank_count);
    pos_ = 0;
    reading_.store(read_, std::memory_order_seq_cst);
    // Group 1 is read before the thread had a chance to fill anything: it starts
    // as silence and is not late.
    if (written_.load(std::memory_order_seq_cst) < read_ && read_ > 1)
        late_.fetch_add(1, std::memory_order_relaxed);
    valid_ = counts_[current_].load(std::memory_order_acquire);
    length_ = valid_ != 0 ? valid_ : rds_output_per_group;
    requested_.fetch_add(1, std::memory_order_acq_rel);
    events_.signal(event_refill);
}

bool RdsModulator::wait_refills(int max_ms) const {
    for (int waited = 0; waited <= max_ms; ++waited) {
        if (done_.load(std::memory_order_acquire) >= requested_.load(std::memory_order_acquire)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

uint64_t RdsModulator::lead_samples() const {
    uint64_t lead = pos_ < valid_ ? valid_ - pos_ : 0;
    const uint64_t written = written_.load(std::memory_order_acquire);
    for (uint64_t g = read_ + 1; g <= written; ++g)
        lead += counts_[g % rds_bank_count].load(std::memory_order_acquire);
    return lead;
}

int RdsModulator::thread_priority() const {
    int policy = 0;
    sched_param param{};
    auto handle = const_cast<std::thread&>(thread_).native_handle();
    if (pthread_getschedparam(handle, &policy, &param) != 0) return 0;
    return policy == SCHED_FIFO || policy == SCHED_RR ? param.sched_priority : 0;
}

std::vector<RdsGroup> RdsModulator::recorded_groups() {
    std::lock_guard guard(record_lock_);
    return recorded_;
}

void RdsModulator::thread_main() {
    enable_flush_to_zero();
    // Below the engine, which must never wait for this thread, but above the
    // ordinary work of the machine, which must not delay the waveform the engine
    // is about to need.
    std::string why;
    if (realtime_wanted() && !make_thread_realtime(why, feeder_thread_priority))
        log_event("RDS", "modulator thread runs at normal priority (real-time refused: " + why + ")");
    for (;;) {
        const unsigned event = events_.wait_any((1u << event_stop) | (1u << event_refill));
        if (event == event_stop) return;
        const uint64_t requested = requested_.load(std::memory_order_acquire);
        fill_ahead();
        cpu_ns_.store(thread_cpu_time_ns(), std::memory_order_relaxed);
        done_.store(requested, std::memory_order_release);
    }
}

// Fills every bank after the one the engine reads. Groups the engine has already
// passed (the thread was held off too long) are not built: the next group goes
// into the first bank the engine has yet to reach.
void RdsModulator::fill_ahead() {
    uint64_t written = written_.load(std::memory_order_relaxed);
    for (;;) {
        const uint64_t reading = reading_.load(std::memory_order_seq_cst);
        if (written < reading) written = reading;
        if (written + 1 >= reading + rds_bank_count) return;
        fill(static_cast<uint32_t>((written + 1) % rds_bank_count));
        ++built_;
        written_.store(++written, std::memory_order_seq_cst);
    }
}

void RdsModulator::fill(uint32_t bank) {
    const RdsGroup group = scheduler_.next();
    if (recording_.load(std::memory_order_acquire)) {
        std::lock_guard guard(record_lock_);
        recorded_.push_back(group);
    }
    // Differential encoding, then one biphase symbol (an impulse pair half a bit
    // apart) per bit.
    const std::array<uint32_t, 4> blocks = encode_group(group);
    std::size_t s = 0;
    for (uint32_t block : blocks) {
        for (int bit = static_cast<int>(rds_block_bits) - 1; bit >= 0; --bit) {
            diff_bit_ ^= (block >> bit) & 1u;
            const float first = diff_bit_ ? rds_symbol_amplitude : -rds_symbol_amplitude;
            for (uint32_t i = 0; i < rds_samples_per_bit; ++i) symbols_[s + i] = 0.0f;
            symbols_[s] = first;
            symbols_[s + rds_samples_per_bit / 2] = -first;
            s += rds_samples_per_bit;
        }
    }
    // Shaping filter, newest sample times tap 0.
    for (float& x : symbols_) {
        history_[history_pos_] = history_[history_pos_ + rds_shaping_taps] = x;
        const float* w = history_.data() + history_pos_;
        float acc0 = 0.0f, acc1 = 0.0f;
        for (std::size_t k = 0; k < rds_shaping_taps; k += 2) {
            acc0 += taps_[k] * w[k];
            acc1 += taps_[k + 1] * w[k + 1];
        }
        x = acc0 + acc1;
        history_pos_ = history_pos_ == 0 ? rds_shaping_taps - 1 : history_pos_ - 1;
    }
    const long produced = converter_.process(symbols_.data(), rds_group_samples, converted_.data(),
                                             rds_bank_capacity, rds_resample_ratio);
    auto& target = banks_[bank];
    for (long i = 0; i < produced; ++i) target[i].store(converted_[i], std::memory_order_relaxed);
    counts_[bank].store(static_cast<uint32_t>(produced), std::memory_order_release);
}

}  // namespace torvalen::broadcast
