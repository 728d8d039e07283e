#include "measure/analyser.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "engine/log.h"
#include "engine/realtime.h"

namespace torvalen::measure {

namespace {

constexpr unsigned last_bus = bus_count - 1;

// Takes the three locks in the page's order and releases them in the same order.
class PageLocks {
public:
    PageLocks(std::mutex& window, std::mutex& analysis, std::mutex& exchange)
        : window_(window), analysis_(analysis), exchange_(exchange) {
        window_.lock();
        analysis_.lock();
        exchange_.lock();
    }
    ~PageLocks() {
        window_.unlock();
        analysis_.unlock();
        exchange_.unlock();
    }
    PageLocks(const PageLocks&) = delete;
    PageLocks& operator=(const PageLocks&) = delete;

private:
    std::mutex& window_;
    std::mutex& analysis_;
    std::mutex& exchange_;
};

float meter_dB(float value) { return 20.0f * std::log10(value * full_scale_inverse); }

}  // namespace

std::unique_ptr<Analyser> Analyser::create(const SettingsKey& instance_key, uint32_t& error) {
    const auto key = instance_key.create(analyser_key_name);
    if (!key) {
        error |= 1u;
        return nullptr;
    }
    std::unique_ptr<Analyser> analyser;
    try {
        analyser.reset(new Analyser(*key));
    } catch (const std::bad_alloc&) {
        // Allocation failure at creation is reported through the error word.
        error |= 1u;
        return nullptr;
    }
    // The settings block already holds the defaults; the bar then loads the
    // current preset (and any unsaved working copy) over them.
    std::string why;
    analyser->controls_ = params::ControlSet::create(analyser_controls(), *analyser, "Analyser", false, why);
    if (!analyser->controls_) {
        log_event("Analyser", "control table refused: " + why);
        error |= 1u;
        return nullptr;
    }
    params::PresetBarOptions options;
    options.version = analyser_key_name;
    analyser->bar_ = std::make_unique<params::PresetBar>(*analyser->controls_, *key, std::move(options));
    return analyser;
}

void Analyser::set_unlocked(bool unlocked) {
    unlocked_.store(unlocked, std::memory_order_relaxed);
    if (bar_) bar_->set_enabled(unlocked);
}

Analyser::Analyser(const SettingsKey& key)
    : key_(key), settings_(default_analyser_settings()), display_(read_display_settings(key)) {
    engine_settings_ = settings_;
    for (Capture& c : captures_)
        for (auto& channel : c.samples) channel = dsp::ZeroedBuffer<float>(max_frame_length);
    holders_.fill(1.0f);
    for (int ch = 0; ch < 2; ++ch) {
        frame_[ch] = dsp::ZeroedBuffer<float>(max_frame_length);
        held_[ch].assign(max_frame_length / 2 + 1, held_floor_dB);
        wave_[ch] = dsp::ZeroedBuffer<float>(4 * static_cast<std::size_t>(max_frame_length));
    }
    work_ = dsp::ZeroedBuffer<float>(ffts_.work_size());
    levels_ = dsp::ZeroedBuffer<float>(max_frame_length / 2 + 1);
    frames_ = std::make_unique<Latest<AnalyserFrame>>();
    generator_ = std::make_unique<SignalGenerator>(settings_, exchange_lock_, ffts_);
    analysis_thread_ = std::thread([this] { analysis_main(); });
}

Analyser::~Analyser() {
    bar_.reset();
    events_.signal(event_quit);
    if (analysis_thread_.joinable()) analysis_thread_.join();
    generator_.reset();
    save_settings();
}

void Analyser::save_settings() {
    DisplaySettings d;
    {
        std::lock_guard lock(window_lock_);
        d = display_;
    }
    write_display_settings(key_, d);
}

// ---- Engine thread ----

void Analyser::generate(std::span<float> bus3) { generator_->play(bus3); }

void Analyser::process(const Buses& buses, bool tick) {
    if (window_lock_.try_lock()) {
        engine_settings_ = settings_;
        window_lock_.unlock();
    }
    const AnalyserSettings& s = engine_settings_;
    const unsigned bus = std::min(s.input_select, last_bus);
    const uint32_t rate = buses.rate[bus];
    const float* x = buses.data[bus];
    const uint32_t count = buses.count[bus];
    generator_->set_analysed_rate(rate);
    if (!shown_.load(std::memory_order_relaxed)) return;
    const uint32_t n = frame_length(s.fft_length, rate);
    Capture& c = captures_[capture_active_];

    if (s.input_enable == 0) {
        c.length = n;
        c.fill = 0;
        c.rate_Hz = rate;
        c.bus = bus;
        if (!capture_cleared_) {
            // Once per switch-off: the analysis thread clears the held spectrum.
            capture_cleared_ = true;
            events_.signal(event_clear);
        }
        return;
    }
    capture_cleared_ = false;
    if (x == nullptr || n == 0) return;

    const std::size_t frames = count / 2;
    dsp::LevelDetector& meter = rate == 192000 ? meter_192_ : meter_48_;
    meter.fold(x, 2 * frames, holders_);

    // A change of bus, rate or frame length restarts the capture.
    if (c.bus != bus || c.rate_Hz != rate || c.length != n) {
        c.bus = bus;
        c.rate_Hz = rate;
        c.length = n;
        c.fill = 0;
    }
    if (frames <= n) {
        for (std::size_t f = 0; f < frames; ++f) {
            Capture& active = captures_[capture_active_];
            active.samples[0][active.fill] = x[2 * f] * full_scale_inverse;
            active.samples[1][active.fill] = x[2 * f + 1] * full_scale_inverse;
            if (++active.fill == active.length) finish_capture();
        }
    }

    if (tick) {
        AnalyserMeters& out = meters_.back();
        for (int i = 0; i < 6; ++i) {
            out[i] = meter_dB(holders_[i]);
            holders_[i] = 1.0f;
        }
        meters_.publish();
    }
}

// The active buffer is full: hand it to the analysis thread and capture into the
// other one, or, when the analysis thread is copying right now, drop this frame.
void Analyser::finish_capture() {
    Capture& full = captures_[capture_active_];
    if (!analysis_lock_.try_lock()) {
        full.fill = 0;
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    capture_active_ ^= 1;
    Capture& next = captures_[capture_active_];
    next.bus = full.bus;
    next.rate_Hz = full.rate_Hz;
    next.length = full.length;
    next.fill = 0;
    analysis_lock_.unlock();
    events_.signal(event_analysis);
}

void Analyser::clear_meters() {
    holders_.fill(1.0f);
    AnalyserMeters& out = meters_.back();
    out.fill(meter_dB(1.0f));
    meters_.publish();
}

// ---- Control thread ----

bool Analyser::set_value(uint32_t index, float display) {
    if (index >= analyser_record_count) return false;
    PageLocks locks(window_lock_, analysis_lock_, exchange_lock_);
    return set_analyser_control(settings_, index, display);
}

bool Analyser::get_value(uint32_t index, float& display) {
    display = 0.0f;
    if (index >= analyser_record_count) return false;
    PageLocks locks(window_lock_, analysis_lock_, exchange_lock_);
    return get_analyser_control(settings_, index, display);
}

AnalyserSettings Analyser::settings() {
    std::lock_guard lock(window_lock_);
    return settings_;
}

DisplaySettings Analyser::display() {
    std::lock_guard lock(window_lock_);
    return display_;
}

void Analyser::set_display(const DisplaySettings& display) {
    std::lock_guard lock(window_lock_);
    display_ = display;
    if (display_.mode > 1) display_.mode = static_cast<uint32_t>(DisplayMode::spectrum);
}

void Analyser::set_view(const FrameView& view) {
    std::lock_guard lock(window_lock_);
    view_ = view;
    view_.columns = std::clamp<uint32_t>(view.columns, 1, AnalyserFrame::max_columns);
}

void Analyser::wait_analyses(uint64_t count) const {
    for (uint64_t seen = analyses_.load(std::memory_order_acquire); seen < count;
         seen = analyses_.load(std::memory_order_acquire))
        analyses_.wait(seen, std::memory_order_acquire);
}

void Analyser::wait_clears(uint64_t count) const {
    for (uint64_t seen = clears_.load(std::memory_order_acquire); seen < count;
         seen = clears_.load(std::memory_order_acquire))
        clears_.wait(seen, std::memory_order_acquire);
}

std::vector<float> Analyser::held_spectrum(int channel) {
    std::lock_guard lock(results_lock_);
    const std::size_t bins = held_length_ == 0 ? 0 : held_length_ / 2 + 1;
    return {held_[channel & 1].begin(), held_[channel & 1].begin() + static_cast<std::ptrdiff_t>(bins)};
}

std::vector<float> Analyser::waveform(int channel) {
    std::lock_guard lock(results_lock_);
    return {wave_[channel & 1].begin(), wave_[channel & 1].begin() + wave_length_};
}

// ---- Analysis thread ----

void Analyser::analysis_main() {
    enable_flush_to_zero();
    const uint32_t mask = (1u << event_quit) | (1u << event_analysis) | (1u << event_clear);
    for (;;) {
        const unsigned event = events_.wait_any(mask);
        if (event == event_quit) return;
        AnalyserSettings s;
        DisplaySettings d;
        FrameView v;
        {
            std::lock_guard lock(window_lock_);
            s = settings_;
            d = display_;
            v = view_;
        }
        if (event == event_clear) {
            clear_analysis();
        } else {
            uint32_t n = 0, rate = 0;
            {
                std::lock_guard lock(analysis_lock_);
                const Capture& c = captures_[capture_active_ ^ 1];
                if (c.fill == c.length && ffts_.get(c.length) != nullptr) {
                    n = c.length;
                    rate = c.rate_Hz;
                    for (int ch = 0; ch < 2; ++ch)
                        std::copy_n(c.samples[ch].begin(), n, frame_[ch].begin());
                }
            }
            if (n != 0) analyse(n, rate, s, d);
        }
        publish(s, d, v);
        std::atomic<uint64_t>& count = event == event_clear ? clears_ : analyses_;
        count.fetch_add(1, std::memory_order_release);
        count.notify_all();
    }
}

void Analyser::analyse(uint32_t n, uint32_t rate, const AnalyserSettings& s, const DisplaySettings& d) {
    const RealFft& fft = *ffts_.get(n);
    if (d.mode == static_cast<uint32_t>(DisplayMode::spectrum)) {
        const bool windowed = s.fft_window != 0;
        const std::span<const float> window = hann_window(n);
        const float scale = spectrum_scale(n, windowed);
        const std::size_t bins = n / 2 + 1;
        std::lock_guard lock(results_lock_);
        if (n != held_length_ || rate != held_rate_) {
            // A new frame length starts a new held spectrum.
            for (auto& h : held_) std::fill(h.begin(), h.end(), held_floor_dB);
            held_length_ = n;
            held_rate_ = rate;
        }
        for (int ch = 0; ch < 2; ++ch) {
            const std::span<float> x(frame_[ch].data(), n);
            if (windowed)
                for (uint32_t i = 0; i < n; ++i) x[i] *= window[i];
            fft.forward(x, work_);
            bin_levels(x, scale, std::span(levels_).first(bins));
            dc_dB_[ch] = levels_[0];
            update_held(std::span(held_[ch]).first(bins), std::span(levels_).first(bins), hold_decay_dB(n, rate));
        }
        return;
    }
    std::lock_guard lock(results_lock_);
    if (n != held_length_ || rate != held_rate_) {
        for (auto& h : held_) std::fill(h.begin(), h.end(), held_floor_dB);
        held_length_ = n;
        held_rate_ = rate;
    }
    for (uint32_t i = 0; i < n; ++i) {
        const dsp::SubSamples sub = interpolator_.process(frame_[0][i], frame_[1][i]);
        for (int j = 0; j < dsp::oversampling; ++j) {
            wave_[0][4 * i + j] = sub.l[j];
            wave_[1][4 * i + j] = sub.r[j];
        }
    }
    wave_length_ = 4 * n;
}

void Analyser::clear_analysis() {
    std::lock_guard lock(results_lock_);
    for (auto& h : held_) std::fill(h.begin(), h.end(), held_floor_dB);
    for (auto& w : wave_) std::fill_n(w.begin(), wave_length_, 0.0f);  // nothing beyond is read
    dc_dB_.fill(held_floor_dB);
    interpolator_ = dsp::Interpolator();
}

void Analyser::publish(const AnalyserSettings& s, const DisplaySettings& d, const FrameView& v) {
    AnalyserFrame& f = frames_->back();
    std::lock_guard lock(results_lock_);
    f.sequence = ++sequence_;
    f.display_mode = d.mode;
    f.channels = s.channels;
    f.rate_Hz = held_rate_;
    f.length = held_length_;
    f.columns = std::clamp<uint32_t>(v.columns, 1, AnalyserFrame::max_columns);
    f.dc_dB = dc_dB_;
    const double nyquist = 0.5 * held_rate_;
    f.low_Hz = v.low_Hz;
    f.high_Hz = static_cast<float>(v.high_Hz > 0.0f ? std::min<double>(v.high_Hz, nyquist) : nyquist);
    for (int ch = 0; ch < 2; ++ch) {
        const std::span<float> high = std::span(f.high[ch]).first(f.columns);
        const std::span<float> low = std::span(f.low[ch]).first(f.columns);
        if (d.mode == static_cast<uint32_t>(DisplayMode::spectrum)) {
            const std::size_t bins = held_length_ == 0 ? 0 : held_length_ / 2 + 1;
            const double bin_Hz = held_length_ == 0 ? 0.0 : static_cast<double>(held_rate_) / held_length_;
            reduce_spectrum(std::span(held_[ch]).first(bins), bin_Hz, f.low_Hz, f.high_Hz, high);
            std::fill(low.begin(), low.end(), held_floor_dB);
        } else {
            reduce_wave(std::span(wave_[ch]).first(wave_length_), low, high);
        }
    }
    frames_->publish();
}

}  // namespace torvalen::measure
