// STL TX: sends one of the instance's buses to a remote STL RX as 16-bit PCM, with
// the optional session security and password log-in, and reconnects on its own.
//
// Threads and locks:
// - engine thread: process() tries the module lock to refresh its copy of the
//   parameters, meters the block, then, while a stream is active, tries the encoder
//   lock and copies the block (with the input gain applied) into the two-slot
//   mailbox; a busy lock drops the block, nothing waits. With no stream active the
//   block is neither copied nor handed over, and the sender is not woken.
// - sender thread: takes the unsent mailbox blocks under the encoder lock, converts
//   them to 16-bit PCM with dither and sends them under the send-path lock.
// - control thread: the connect/disconnect state machine; runs connect attempts on
//   a connect thread and reads the link on a receive thread.
// - key-pair thread: binds the crypto library and keeps a fresh RSA key pair.
// - control thread of the application: settings, commands (which wait for the
//   link's control thread to acknowledge), status and meters.
#pragma once

#include <array>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "dsp/detectors.h"
#include "dsp/rate_convert.h"
#include "engine/module.h"
#include "measure/latest.h"
#include "params/control_set.h"
#include "params/preset_bar.h"
#include "stl/aac.h"
#include "stl/crypto.h"
#include "stl/handshake.h"
#include "stl/link_settings.h"

namespace torvalen::stl {

struct StlTxParams {
    uint32_t input_enable = 1;
    uint32_t input_select = 4;
    float gain = 1.0f;  // linear
};

enum StlTxControl : uint32_t { tx_control_input_enable = 2, tx_control_input_select = 4, tx_control_gain = 6 };
inline constexpr uint32_t tx_record_count = 7;
std::span<const params::ControlRecord> stl_tx_controls();

// True peak L/R, peak envelope L/R, RMS L/R in dB.
using StlTxMeters = std::array<float, 6>;

struct StlTxOptions {
    CryptoBinding* crypto = nullptr;  // nullptr: the process binding
    NowPlayingModule* now_playing = nullptr;
    bool start_preset_bar = true;
    // Time between key-pair renewals once the first key exists.
    std::chrono::milliseconds key_renewal{60000};
};

class StlTx final : public BusModule, private params::ParameterCallbacks {
public:
    static std::unique_ptr<StlTx> create(const SettingsKey& instance_key, uint32_t& error, StlTxOptions options = {});
    ~StlTx() override;
    StlTx(const StlTx&) = delete;
    StlTx& operator=(const StlTx&) = delete;

    // ---- Engine thread ----
    void process(const Buses& buses, bool tick) override;
    void clear_meters() override;

    // ---- Control thread ----
    void set_unlocked(bool unlocked) override;
    void save_settings() override;
    params::PresetBar* module_presets() override { return preset_bar_.get(); }
    params::ControlSet& controls() { return *controls_; }
    bool set_value(uint32_t index, float display);
    bool get_value(uint32_t index, float& display);

    TxSettings settings() const;
    // Takes new settings ("Apply"): a running link is stopped and started again.
    void apply_settings(const TxSettings& s);
    // Commands; both wait for the link's control thread to acknowledge.
    void connect();
    void disconnect();

    TxStatus status() const { return status_.load(); }
    bool connected() const { return state_.load() == State::connected; }
    bool encrypted() const { return encrypted_.load(); }
    std::vector<std::string> status_lines() const;
    uint32_t status_version() const { return status_changes_.load(std::memory_order_acquire); }
    bool take_meters(StlTxMeters& m) { return meters_.take(m); }

    // Counters for tests and the status pane; they count only blocks that came
    // while a stream was active.
    uint64_t blocks_queued() const { return blocks_queued_.load(); }
    // Blocks the engine could not hand over (the sender held the lock) and blocks
    // written over in the mailbox before the sender took them.
    uint64_t blocks_dropped() const { return blocks_dropped_.load(); }
    uint64_t blocks_overwritten() const { return blocks_overwritten_.load(); }
    uint64_t packets_sent() const { return packets_sent_.load(); }
    uint64_t logins() const { return logins_.load(); }
    bool has_key_pair() const;

private:
    enum class State { disconnected, connecting, connected };
    struct Link;
    struct Slot {
        std::vector<float> data;
        uint32_t count = 0;
        uint32_t rate = 0;
        uint64_t sequence = 0;
    };

    StlTx(const SettingsKey& key, const StlTxOptions& options);

    bool set_parameter(uint32_t index, float display) override { return set_value(index, display); }
    bool get_parameter(uint32_t index, float& display) override { return get_value(index, display); }

    void set_status(TxStatus s);
    void sender_main();
    void key_main();
    void control_main();
    void receive_main(Link* link);
    void start_attempt();
    void stop_attempt();                 // stops and joins a running attempt
    void close_link(bool send_close);    // ends the link: socket, receive thread, encoder
    void do_disconnect();
    void command(bool& flag);
    bool send_block(const float* data, uint32_t count, uint32_t rate);
    bool send_aac(const float* data, uint32_t count, uint32_t rate);
    bool aac_put(float l, float r);
    bool send_now_playing_locked();
    void link_broken();
    std::string current_now_playing() const;

    SettingsKey key_;
    CryptoBinding& crypto_;
    NowPlayingModule* now_playing_;
    uint64_t np_subscription_ = 0;
    std::chrono::milliseconds key_renewal_;

    // Module lock: parameters and settings.
    mutable std::mutex lock_;
    StlTxParams params_;
    TxSettings settings_;
    StlTxParams engine_;  // engine thread's copy

    // Engine thread metering.
    dsp::LevelDetector level_48_{48000.0}, level_192_{192000.0};
    std::array<float, 6> held_{};
    measure::Latest<StlTxMeters> meters_;

    // Encoder lock: the mailbox and whether a stream is active.
    std::mutex encoder_lock_;
    std::array<Slot, 2> slots_;
    unsigned last_filled_ = 1;
    uint64_t next_sequence_ = 1;
    uint64_t sent_sequence_ = 0;
    bool stream_active_ = false;
    // stream_active_ as the engine reads it without the lock: written together with
    // stream_active_ (under the encoder lock), so a block the engine hands over
    // after seeing it set finds the stream active, and one it skips after seeing
    // it clear would have been discarded by the sender anyway.
    std::atomic<bool> engine_streaming_{false};

    // Send path (sender thread and control thread): the link's connection and the
    // sender's converter state.
    std::mutex send_lock_;
    Link* sending_link_ = nullptr;
    TxSettings stream_settings_;
    std::vector<float> block_;
    std::vector<int16_t> pcm_;
    dsp::Decimator decimator_;
    dsp::Interpolator interpolator_;
    uint32_t dither_bits_ = 0, dither_left_ = 0, random_state_ = 0x9E3779B9u;
    std::unique_ptr<AacEncoder> aac_;
    std::vector<int16_t> aac_in_;
    size_t aac_fill_ = 0;
    std::vector<uint8_t> aac_out_;
    uint64_t rate_frames_ = 0, rate_bits_ = 0;
    std::atomic<uint64_t> bit_rate_{0};

    // Now-playing text as the Now Playing module last gave it.
    mutable std::mutex np_lock_;
    std::optional<torvalen::NowPlayingText> np_text_;
    std::atomic<bool> np_dirty_{false};

    // Key pairs.
    mutable std::mutex key_lock_;
    std::shared_ptr<RsaKeyPair> key_pair_;

    // Control thread state.
    std::mutex control_lock_;
    std::condition_variable control_cv_;
    bool quit_ = false, connect_cmd_ = false, disconnect_cmd_ = false, broken_ = false, attempt_done_ = false;
    uint64_t commands_ = 0, acks_ = 0;
    std::unique_ptr<Link> link_;         // the connected link (control thread)
    std::unique_ptr<Link> attempt_;      // a running connect attempt
    std::thread attempt_thread_;
    std::atomic<bool> attempt_stop_{false};
    std::thread receive_thread_;
    std::atomic<State> state_{State::disconnected};
    std::atomic<TxStatus> status_{TxStatus::disconnected};
    std::atomic<bool> encrypted_{false};
    std::atomic<uint32_t> status_changes_{0};

    // Sender wake-up (block ready, now-playing change, quit): a futex word the
    // engine can set and notify without a lock.
    std::atomic<uint32_t> wake_{0};
    std::atomic<bool> stop_workers_{false};
    bool key_wanted_ = false;  // under key_wait_lock_: the first connect asks for keys
    std::mutex key_wait_lock_;
    std::condition_variable key_wait_cv_;

    std::atomic<uint64_t> blocks_queued_{0}, blocks_dropped_{0}, blocks_overwritten_{0}, packets_sent_{0}, logins_{0};

    std::unique_ptr<params::ControlSet> controls_;
    std::unique_ptr<params::PresetBar> preset_bar_;
    std::thread sender_thread_, key_thread_, control_thread_;
};

}  // namespace torvalen::stl
