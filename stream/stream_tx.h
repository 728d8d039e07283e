// Stream TX: the module that feeds an instance's Internet streams. Per block it
// takes the selected bus (192 kHz buses decimated to 48 kHz), applies the level
// and the optional de-emphasis, meters it and hands it to its encoder thread
// through a lock-free ring; the encoder thread runs the two encoder slots.
//
// Threads and locks:
// - engine thread: process() takes no lock: parameters are atomics, the audio
//   goes into a single-producer ring, and a block that finds no room is dropped
//   (counted) rather than waited for.
// - encoder thread: drains the ring and encodes for both slots.
// - application control thread: settings, start/stop, the stream lists; a change
//   that concerns a running slot stops it and starts it again afterwards.
// - the Now Playing object's thread: the song text callback (quick: it stores the
//   text and wakes the slots).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "dsp/detectors.h"
#include "dsp/iir.h"
#include "dsp/rate_convert.h"
#include "engine/event.h"
#include "engine/module.h"
#include "measure/latest.h"
#include "params/control_set.h"
#include "params/preset_bar.h"
#include "stream/stream_slot.h"

namespace torvalen::stream {

inline constexpr unsigned slot_count = 2;
inline constexpr const char* stream_tx_key_name = "Stream_TX-v1.0.0";

// The values the control table "Stream TX" points into (offset table).
struct StreamTxBlock {
    uint32_t input_select = 4;  // bus 0..5
    uint32_t input_enable = 1;
    float gain = 1.0f;          // linear, shown as -10 ... 0 dB
    uint32_t de_emphasis = 0;   // 0 Off, 1 50us, 2 75us
};
enum StreamTxControl : uint32_t {
    stream_control_input_select = 2,
    stream_control_input_enable = 4,
    stream_control_level = 6,
    stream_control_de_emph = 8,
};
inline constexpr uint32_t stream_tx_record_count = 9;
std::span<const params::ControlRecord> stream_tx_controls();

// True peak L/R, peak envelope L/R, RMS L/R in dB.
using StreamTxMeters = std::array<float, 6>;

// The parameter page "Stream TX" as one value set.
struct StreamTxParams {
    uint32_t input_select = 4;  // "Proc"
    bool input_enable = true;
    float input_level_dB = 0.0f;  // -10 ... 0 in steps of 0.25
    uint32_t de_emphasis = 0;     // 0 Off, 1 50us, 2 75us
    bool operator==(const StreamTxParams&) const = default;
};

// The result of a command that the user may be refused ("Error" message boxes).
struct StreamResult {
    bool ok = true;
    std::string message;
    static StreamResult error(std::string text) { return {false, std::move(text)}; }
};

struct StreamTxOptions {
    NowPlayingModule* now_playing = nullptr;  // outlives the module
    bool allow_auto_start = true;
    bool start_preset_bar = true;  // false: no preset bar (benchmarks)
};

class StreamTx final : public BusModule, private params::ParameterCallbacks {
public:
    // Opens or creates "Stream_TX-v1.0.0" under the instance key, loads the
    // settings, starts the encoder thread and the slots' threads, and starts
    // streaming when "AutoStart" is set. Sets bit 0 of `error` on failure.
    static std::unique_ptr<StreamTx> create(const SettingsKey& instance_key, uint32_t& error,
                                            StreamTxOptions options = {});
    ~StreamTx() override;  // stops the slots and the encoder thread, saves
    StreamTx(const StreamTx&) = delete;
    StreamTx& operator=(const StreamTx&) = delete;

    // ---- Engine thread ----
    void process(const Buses& buses, bool tick) override;
    void clear_meters() override;

    // ---- Control thread ----
    void save_settings() override;
    void set_unlocked(bool unlocked) override;
    params::PresetBar* module_presets() override { return preset_bar_.get(); }
    params::ControlSet& controls() { return *controls_; }
    bool set_value(uint32_t index, float display);
    bool get_value(uint32_t index, float& display);

    StreamTxParams params() const;
    // Sets the page's values without the control set (no preset change is
    // marked); false when a value is out of range.
    bool set_params(const StreamTxParams& p);

    StationSettings station() const { return station_.settings(); }
    StreamResult set_station(const StationSettings& s);

    void start_streaming();
    void stop_streaming();
    bool streaming() const { return streaming_; }

    // The encoder slots' settings (type, blocks, enable) and stream lists.
    EncoderSettings encoder_settings(unsigned slot) const;
    bool slot_enabled(unsigned slot) const;
    StreamResult set_encoder(unsigned slot, const EncoderSettings& settings, bool enabled);
    std::vector<ServerSettings> servers(unsigned slot) const;
    // New stream at the head of the list, with the default connection values.
    StreamResult add_stream(unsigned slot, const std::string& name);
    StreamResult rename_stream(unsigned slot, unsigned index, const std::string& name);
    StreamResult delete_stream(unsigned slot, unsigned index);
    StreamResult set_server(unsigned slot, unsigned index, const ServerSettings& settings);

    // The song text as the Now Playing object hands it on (nothing: none).
    void set_song(std::optional<std::string> song);

    // The status window's lines.
    std::vector<std::string> status_lines() const;
    // Per stream: connection and metadata status codes (for the API and tests).
    struct StreamState {
        std::string name;
        bool enabled;
        uint32_t status, metadata_status;
        uint64_t dropped_bytes;  // not taken by the server in time
    };
    std::vector<StreamState> stream_states(unsigned slot) const;
    uint32_t open_type(unsigned slot) const { return slots_[slot]->open_type(); }

    // True peaks (dB, left and right) published on the last tick.
    std::array<float, 2> meters() const;
    // The six level values of the last tick not yet taken (the meter panel's).
    bool take_meters(StreamTxMeters& m) { return meters_.take(m); }
    // Blocks dropped because the encoder thread was behind.
    uint64_t dropped_blocks() const { return dropped_.load(std::memory_order_relaxed); }

private:
    explicit StreamTx(const SettingsKey& key, const StreamTxOptions& options);
    bool set_parameter(uint32_t index, float display) override { return set_value(index, display); }
    bool get_parameter(uint32_t index, float& display) override { return get_value(index, display); }
    void publish_params();  // module lock held: the block's values to the engine's atomics
    void load();
    void encoder_main();
    // Runs `change` with `slot` stopped, restarting it afterwards if it was running.
    template <typename F>
    StreamResult with_slot_stopped(unsigned slot, F&& change);

    SettingsKey key_;
    StreamTxOptions options_;
    StationState station_;
    std::array<std::unique_ptr<StreamSlot>, slot_count> slots_;
    std::atomic<bool> streaming_{false};
    uint64_t subscription_ = 0;
    // Guards the slots' stream lists and settings against readers on other threads
    // (status lists); changes happen on the control thread with the slot stopped.
    mutable std::mutex lists_lock_;

    // Module lock: the control table's values.
    mutable std::mutex lock_;
    StreamTxBlock block_;
    std::unique_ptr<params::ControlSet> controls_;
    std::unique_ptr<params::PresetBar> preset_bar_;

    // Parameters as the engine reads them (published from block_).
    std::atomic<uint32_t> input_select_{4};
    std::atomic<bool> input_enable_{true};
    std::atomic<float> gain_{1.0f};
    std::atomic<uint32_t> de_emphasis_{0};

    // Engine thread state.
    dsp::Decimator decimator_;
    dsp::FirstOrderSection<float> de_emph_50_, de_emph_75_;
    dsp::LevelDetector level_{48000.0};
    std::array<float, 6> held_{};
    measure::Latest<StreamTxMeters> meters_;
    std::atomic<float> meter_l_{-186.0f}, meter_r_{-186.0f};
    std::atomic<uint64_t> dropped_{0};

    // The ring from the engine to the encoder thread (interleaved 48 kHz frames).
    static constexpr std::size_t ring_floats = 1u << 17;  // about 1.4 s
    std::vector<float> ring_;
    std::atomic<std::size_t> write_{0}, read_{0};
    std::vector<float> scratch_;  // engine thread: one block at 48 kHz

    EventGroup events_;
    enum : unsigned { event_stop = 0, event_block = 1 };
    std::thread encoder_thread_;
};

}  // namespace torvalen::stream
