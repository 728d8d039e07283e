// The Analyser module: captures any bus on the engine thread, analyses it on its
// own thread (held spectrum or 4x interpolated waveform) and hands the interface
// compact frames; it also owns the signal generator that fills bus 3.
//
// Threads and locks (always taken in this order: window, analysis, exchange):
// - control thread: set_value/get_value take all three around the table rule;
//   display and view setters take the window lock;
// - engine thread: generate() and process(). They only ever try a lock: the window
//   lock to refresh their copy of the settings (else the last copy stays), the
//   analysis lock to hand a full capture buffer over (else that frame is dropped
//   and counted), the exchange lock to switch generator buffers;
// - analysis thread: copies a full capture buffer under the analysis lock, then
//   transforms and reduces without any lock held;
// - generator worker: see SignalGenerator;
// - interface thread: take_frame() and take_meters(), lock-free.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "dsp/detectors.h"
#include "dsp/rate_convert.h"
#include "dsp/zeroed_buffer.h"
#include "params/control_set.h"
#include "params/preset_bar.h"
#include "engine/event.h"
#include "engine/module.h"
#include "measure/analyser_settings.h"
#include "measure/latest.h"
#include "measure/signal_generator.h"
#include "measure/spectrum.h"

namespace torvalen::measure {

// What the interface asks a frame to cover.
struct FrameView {
    uint32_t columns = 512;   // display columns, 1 ... AnalyserFrame::max_columns
    float low_Hz = 10.0f;     // spectrum axis, logarithmic
    float high_Hz = 0.0f;     // 0: half the analysed rate
};

// One compact frame for the interface.
struct AnalyserFrame {
    static constexpr uint32_t max_columns = 1024;
    uint64_t sequence = 0;
    uint32_t display_mode = 0;  // DisplayMode of the frame
    uint32_t channels = 0;      // ChannelView: which channels to draw
    uint32_t rate_Hz = 0;       // of the analysed bus
    uint32_t length = 0;        // frame length N
    uint32_t columns = 0;
    float low_Hz = 0.0f, high_Hz = 0.0f;  // spectrum axis of the columns
    std::array<float, 2> dc_dB{held_floor_dB, held_floor_dB};  // last frame's DC level
    // Spectrum: held level in dB per column. Waveform: highest sample per column
    // (full scale 1) of the 4x interpolated frame.
    std::array<std::array<float, max_columns>, 2> high{};
    // Waveform: lowest sample per column.
    std::array<std::array<float, max_columns>, 2> low{};
};

// The six meter values: true peak L/R, peak envelope L/R, RMS L/R, in dBFS.
using AnalyserMeters = std::array<float, 6>;

class Analyser final : public AnalyserModule, private params::ParameterCallbacks {
public:
    // Opens or creates "Analyser-v1.0.0" under the instance key, reads the display
    // settings, builds the tables and starts both threads. Sets bit 0 of `error`
    // and returns nullptr when the key or memory cannot be had.
    static std::unique_ptr<Analyser> create(const SettingsKey& instance_key, uint32_t& error);
    ~Analyser() override;  // stops both threads, saves the display settings

    Analyser(const Analyser&) = delete;
    Analyser& operator=(const Analyser&) = delete;

    // ---- Engine thread ----
    void generate(std::span<float> bus3) override;
    void process(const Buses& buses, bool tick) override;
    void clear_meters() override;
    // Not shown (offline work): nothing is captured, measured or analysed; the
    // generator plays on.
    void set_meters_shown(bool shown) override { shown_.store(shown, std::memory_order_relaxed); }

    // ---- Control thread ----
    // Unlocking enables the page's controls and the preset bar.
    void set_unlocked(bool unlocked) override;
    bool unlocked() const { return unlocked_.load(std::memory_order_relaxed); }
    void save_settings() override;

    // The page callbacks: false for an index >= 26 or a record without a value;
    // set returns true when the stored value changed.
    bool set_value(uint32_t index, float display);
    bool get_value(uint32_t index, float& display);
    AnalyserSettings settings();

    // The page's controls (every widget and default command goes through them)
    // and the preset bar in "Analyser-v1.0.0".
    params::ControlSet& controls() { return *controls_; }
    params::PresetBar& preset_bar() { return *bar_; }
    params::PresetBar* module_presets() override { return bar_.get(); }

    DisplaySettings display();
    void set_display(const DisplaySettings& display);
    void set_view(const FrameView& view);

    // ---- Interface thread (one reader) ----
    bool take_frame(AnalyserFrame& frame) { return frames_->take(frame); }
    bool take_meters(AnalyserMeters& meters) { return meters_.take(meters); }

    // ---- Read-outs for diagnostics and tests ----
    uint64_t analyses() const { return analyses_.load(std::memory_order_acquire); }
    // Blocks until at least `count` frames have been analysed.
    void wait_analyses(uint64_t count) const;
    // Clears handled so far, and a wait for them.
    uint64_t clears() const { return clears_.load(std::memory_order_acquire); }
    void wait_clears(uint64_t count) const;
    uint64_t dropped_frames() const { return dropped_.load(std::memory_order_relaxed); }
    // The held spectrum of a channel (bins 0 ... N/2) and the interpolated
    // waveform, as of the last analysis.
    std::vector<float> held_spectrum(int channel);
    std::vector<float> waveform(int channel);
    SignalGenerator& generator() { return *generator_; }

private:
    explicit Analyser(const SettingsKey& key);
    bool set_parameter(uint32_t index, float display) override { return set_value(index, display); }
    bool get_parameter(uint32_t index, float& display) override { return get_value(index, display); }

    struct Capture {
        std::array<dsp::ZeroedBuffer<float>, 2> samples;  // L, R at full scale 1
        uint32_t length = 0;  // frame length N
        uint32_t fill = 0;
        uint32_t rate_Hz = 0;
        uint32_t bus = 0;
    };

    void finish_capture();
    void analysis_main();
    void analyse(uint32_t n, uint32_t rate_Hz, const AnalyserSettings& s, const DisplaySettings& d);
    void clear_analysis();
    void publish(const AnalyserSettings& s, const DisplaySettings& d, const FrameView& v);

    enum Event : unsigned { event_quit = 0, event_analysis = 1, event_clear = 2 };

    SettingsKey key_;
    std::atomic<bool> unlocked_{false};
    std::atomic<bool> shown_{true};

    std::mutex window_lock_;
    std::mutex analysis_lock_;
    std::mutex exchange_lock_;
    AnalyserSettings settings_;  // written under all three locks
    DisplaySettings display_;    // window lock
    FrameView view_;             // window lock

    const FrameFfts& ffts_ = frame_ffts();

    // Engine thread.
    AnalyserSettings engine_settings_;
    std::array<Capture, 2> captures_;
    int capture_active_ = 0;  // toggled by the engine under the analysis lock
    bool capture_cleared_ = false;
    dsp::LevelDetector meter_48_{48000.0};
    dsp::LevelDetector meter_192_{192000.0};
    AnalyserMeters holders_{};
    Latest<AnalyserMeters> meters_;
    std::atomic<uint64_t> dropped_{0};

    // Analysis thread (results_lock_ guards held_, wave_ and their lengths for the
    // test read-outs; nothing on the engine thread takes it).
    std::mutex results_lock_;
    std::array<dsp::ZeroedBuffer<float>, 2> frame_;
    dsp::ZeroedBuffer<float> work_;
    dsp::ZeroedBuffer<float> levels_;
    std::array<std::vector<float>, 2> held_;
    std::array<dsp::ZeroedBuffer<float>, 2> wave_;
    std::array<float, 2> dc_dB_{held_floor_dB, held_floor_dB};
    uint32_t held_length_ = 0, held_rate_ = 0, wave_length_ = 0;
    dsp::Interpolator interpolator_;
    uint64_t sequence_ = 0;
    std::unique_ptr<Latest<AnalyserFrame>> frames_;
    std::atomic<uint64_t> analyses_{0};
    std::atomic<uint64_t> clears_{0};

    EventGroup events_;
    std::unique_ptr<SignalGenerator> generator_;
    std::thread analysis_thread_;

    // Control thread. The bar goes first at destruction: it may still read values.
    std::unique_ptr<params::ControlSet> controls_;
    std::unique_ptr<params::PresetBar> bar_;
};

}  // namespace torvalen::measure
