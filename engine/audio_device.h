// The audio device layer: connects instances to sound cards.
//
// A device context owns one driver, a control thread that starts, stops and
// supervises it, and the driver's block callback, which converts between the
// driver's sample types and the engine's exchange buffers and wakes the engines.
// Two modes exist, chosen process-wide: one shared device for all instances, each
// on its own channel pair (`ASIOSingle`), or one device per instance
// (`ASIO2_Audio_Settings`).
//
// Supervision: the control thread waits for commands (quit, start, stop, pause,
// resume, reset) and once a second checks the driver. No block for a second, a
// reset request from the driver or a reset command (a device was attached) makes
// it stop and start the driver again. A driver that cannot be started leaves its
// instances on the built-in virtual device (silence in, output discarded) and is
// retried every second; the status says so.
//
// Threads:
// - the caller (the application's control thread): open, attach, detach, the
//   commands, status, close;
// - the context's control thread: driver start/stop, engine start/stop, fallback;
// - the driver's callback thread: buffer_switch. It never allocates, never waits:
//   it only converts, signals block ready and counts. Teardown does not take a
//   lock the callback could wait on; instead the control thread raises `stopping`
//   and waits until the callback that may be running has left (CallbackGate).
//
// A driver's stop and release run on a helper thread of their own, and the control
// thread waits for them at most two seconds (a JACK server that died under a
// running stream leaves PortAudio's stop waiting for minutes). A driver that does
// not return in time is abandoned: logged, counted, cut off from the context
// (DriverLink) and never touched again; the context carries on and the watchdog
// starts a new driver every second. Closing a context therefore never hangs.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/audio_driver.h"
#include "engine/device_settings.h"
#include "engine/virtual_device.h"

namespace torvalen {

class Instance;
class DeviceLayer;
class DriverLink;

inline constexpr uint32_t max_device_frame_size = 16384;

enum class DeviceMode { per_instance, shared };

// What the settings dialogs and the status pane show about a device.
struct DeviceStatus {
    std::string device;
    DeviceMode mode = DeviceMode::per_instance;
    uint32_t rate_Hz = 0;
    uint32_t frames = 0;
    bool running = false;     // the control thread's state (start sent, not stopped)
    bool paused = false;
    bool driver_running = false;  // the driver is started and calling back
    bool on_virtual = false;      // the driver failed: instances run on the virtual device
    DriverChannels channels;
    DriverBufferSizes buffer_sizes;
    DriverLatencies latencies;
    bool can_48000 = false;
    bool can_192000 = false;
    uint32_t input_type = 0;   // sample type of input channel 1 (sample_convert.h)
    uint32_t output_type = 0;  // sample type of output channel 1
    uint64_t blocks = 0;           // callbacks since the context opened
    uint64_t restarts = 0;         // watchdog restarts
    uint64_t engine_overruns = 0;  // blocks that found the engine still in the previous cycle
    uint64_t driver_xruns = 0;     // over- and underruns the driver reported
    uint64_t abandoned_drivers = 0;  // drivers that did not stop in time and were let go
    std::string last_error;    // why the last start failed (empty after a good start)
    std::string text;          // one line for the status pane
};

// Checks a device settings record before a context is opened for it. Returns an
// empty text when it can be used, else the reason. `per_instance` also requires
// the four channel numbers.
std::string check_device_settings(const DeviceSettings& settings, bool per_instance);

// Resolves a 1-based channel number against `count` channels: a number of 0 or
// beyond the count becomes `fallback` (1 for left, 2 for right), or 1 when only one
// channel exists. Returns the 0-based channel index.
uint32_t resolve_channel(uint32_t wanted, uint32_t count, uint32_t fallback);

// The latency read-out of the settings dialogs: "Input Latency 5.33 -  Output
// Latency 5.33 ms", and "Duplex buffer latency 5.33  ms".
std::string latency_text(const DriverLatencies& latencies, uint32_t rate_Hz);
std::string duplex_latency_text(uint32_t frames, uint32_t rate_Hz);

class DeviceContext final : private DriverClient {
public:
    ~DeviceContext();  // quit: stops the driver and the engines, ends the thread
    DeviceContext(const DeviceContext&) = delete;
    DeviceContext& operator=(const DeviceContext&) = delete;

    // ---- Commands; each waits for its acknowledgement ----
    void start();
    void stop();
    void pause();
    void resume();
    // Asks for a restart at the next watchdog check (within a second). Does not wait.
    void reset();

    // ---- Shared mode: the instances on this device ----
    // Puts the instance on its `ASIOSingle` channel pair; its engine runs at the
    // device's rate and block from the next block on. False when 8 are attached.
    bool attach(Instance& instance);
    void detach(Instance& instance);
    // Takes the instance's changed channel pair.
    void update_channels(Instance& instance);
    bool attached(const Instance& instance) const;

    const DeviceSettings& settings() const { return settings_; }
    DeviceMode mode() const { return mode_; }
    Instance* owner() const { return owner_; }  // per-instance mode
    DeviceStatus status() const;
    // Waits (bounded) until the driver calls back; for start-up and tests.
    bool wait_running(int timeout_ms) const;

private:
    friend class DeviceLayer;
    static constexpr unsigned max_slots = 8;

    enum Command : unsigned { cmd_quit, cmd_start, cmd_stop, cmd_pause, cmd_resume, cmd_reset, cmd_count };

    // One attached instance. `instance` is what the callback sees; the rest is
    // written by the control side only while the slot is not published or the
    // driver is not running.
    struct Slot {
        std::atomic<Instance*> instance{nullptr};
        Instance* owner = nullptr;
        ChannelMap wanted;
        uint32_t in_l = 0, in_r = 1, out_l = 0, out_r = 1;  // 0-based, resolved
        bool engine_ok = false;
        std::unique_ptr<VirtualDevice> fallback;
        // Callback thread only: the engine's cycle count at the previous block.
        uint64_t last_cycles = 0;
        bool signalled = false;
    };

    // Marks the callback's presence: odd while a callback runs.
    class CallbackGate {
    public:
        void enter() { seq_.fetch_add(1, std::memory_order_seq_cst); }
        void leave() { seq_.fetch_add(1, std::memory_order_release); }
        // Returns once the callback that may be running now has left.
        void quiesce() const;

    private:
        std::atomic<uint64_t> seq_{0};
    };

    DeviceContext(DeviceLayer& layer, DeviceMode mode, const DeviceSettings& settings,
                  Instance* owner);
    bool launch(std::string& error);

    // Command mailbox.
    uint64_t post(Command command);
    void wait_ack(Command command, uint64_t ticket);
    void send(Command command);

    void control_main();
    void watchdog();
    void start_or_fall_back();
    bool start_driver(std::string& error);
    void stop_driver();
    // Stops, disposes and releases a driver within a bounded wait; false when it
    // was abandoned instead.
    bool retire(std::unique_ptr<AudioDriver> driver, std::unique_ptr<DriverLink> link);
    void start_fallback(Slot& slot);
    void stop_fallbacks();
    void resolve_slot(Slot& slot) const;
    bool start_engine(Slot& slot);
    void set_error(const std::string& error);

    // DriverClient
    void buffer_switch(const DriverBlock& block) override;
    long driver_message(int32_t selector, long value) override;

    DeviceLayer& layer_;
    const DeviceMode mode_;
    const DeviceSettings settings_;
    Instance* const owner_;

    // Mailbox (any thread).
    mutable std::mutex mailbox_mutex_;
    std::condition_variable mailbox_cv_;
    uint32_t pending_ = 0;
    std::array<uint64_t, cmd_count> issued_{};
    std::array<uint64_t, cmd_count> serving_{};
    std::array<uint64_t, cmd_count> done_{};

    // Control side: held by the control thread while it handles a command or a
    // watchdog check, and by attach/detach.
    mutable std::mutex ops_mutex_;
    bool state_running_ = false;
    std::unique_ptr<AudioDriver> driver_;
    std::unique_ptr<DriverLink> link_;  // what driver_ calls back
    bool driver_running_ = false;
    bool abandon_logged_ = false;
    DriverChannels channels_;
    uint32_t frames_ = 0;
    std::array<Slot, max_slots> slots_;

    // Shared with the callback.
    std::vector<uint32_t> input_types_;   // sized at create_buffers, read by the callback
    std::vector<uint32_t> output_types_;
    std::vector<size_t> output_bytes_;
    std::atomic<bool> stopping_{true};
    std::atomic<bool> callback_seen_{false};
    std::atomic<bool> awaiting_first_{false};
    std::atomic<bool> first_callback_{false};
    std::atomic<bool> reset_requested_{false};
    std::atomic<bool> paused_{false};
    bool output_ready_ = false;
    CallbackGate gate_;

    // Read-outs.
    std::atomic<uint64_t> blocks_{0};
    std::atomic<uint64_t> restarts_{0};
    std::atomic<uint64_t> overruns_{0};
    std::atomic<uint64_t> xruns_{0};
    std::atomic<uint64_t> abandoned_{0};
    mutable std::mutex status_mutex_;
    DeviceStatus status_;  // under status_mutex_

    std::thread thread_;
};

// The process-wide device layer: the driver system, the list of open contexts and
// the device-change notification.
class DeviceLayer {
public:
    explicit DeviceLayer(DriverSystem& drivers);
    ~DeviceLayer();
    DeviceLayer(const DeviceLayer&) = delete;
    DeviceLayer& operator=(const DeviceLayer&) = delete;

    DriverSystem& drivers() { return drivers_; }

    // Per-instance mode. Refused (nullptr, `error` says why) for an empty device
    // name, a rate other than 48000 or 192000, a frame size of 0, too large, or not
    // a multiple of 4 at 192000, a channel number of 0, or a device that another
    // instance already uses. Otherwise starts the control thread, sends start and
    // waits for its acknowledgement (a missing device is not a refusal: the
    // instance then runs on the virtual device and the driver is retried).
    std::unique_ptr<DeviceContext> open_device(const DeviceSettings& settings, Instance& instance,
                                               std::string& error);
    // Shared mode: the one device of all instances; attach instances afterwards.
    std::unique_ptr<DeviceContext> open_shared(const DeviceSettings& settings, std::string& error);

    // A device was attached to the machine: every context restarts within a second
    // (ignored once shutdown began).
    void device_added();
    void begin_shutdown() { shutting_down_.store(true); }
    bool shutting_down() const { return shutting_down_.load(); }

private:
    friend class DeviceContext;
    std::unique_ptr<DeviceContext> open(DeviceMode mode, const DeviceSettings& settings,
                                        Instance* instance, std::string& error);
    void remove(DeviceContext* context);

    DriverSystem& drivers_;
    std::atomic<bool> shutting_down_{false};
    std::mutex list_mutex_;
    std::vector<DeviceContext*> contexts_;  // under list_mutex_
};

}  // namespace torvalen
