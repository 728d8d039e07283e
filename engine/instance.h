// An instance: one complete broadcast chain with its modules, six buses, exchange
// buffers, events and real-time engine thread.
//
// Threads:
// - control thread (the application's command thread): create, destroy, settings
//   changes, processor type change;
// - device thread: engine_start/engine_stop, the exchange buffers, signal_block_ready;
// - engine thread: one cycle per block ready (a freewheel device thread may run
//   the cycles itself instead, see take_cycles()).
// The buses and exchange buffers are touched by the device thread only between
// cycles (engine_start, the exchange before signal_block_ready) and by the engine
// thread only inside a cycle; the pause hand-shake keeps them apart.
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

#include "engine/buses.h"
#include "engine/device_settings.h"
#include "engine/event.h"
#include "engine/module.h"
#include "engine/settings_store.h"

namespace torvalen {

inline constexpr unsigned page_count = 8;
// Tab labels, numbered like the stored `Index`.
inline constexpr std::array<const char*, page_count> page_labels = {
    "Sound In", "Player", "STL RX", "Processor", "Sound Out", "STL TX", "Stream TX", "Analyser"};
inline constexpr uint32_t processor_page = 3;

class Instance {
public:
    // Builds an instance under `instances_root`, its modules through `factory`
    // (which must outlive the instance), and starts its idle engine thread.
    // Returns nullptr and sets `error` when anything fails; what was built is torn
    // down without deleting the stored settings.
    static std::unique_ptr<Instance> create(SettingsKey instances_root, std::string_view name,
                                            ModuleFactory& factory, std::string& error);

    // Destroys the instance. With `delete_settings` its whole settings tree goes
    // too; otherwise every module and the instance save their settings.
    static void destroy(std::unique_ptr<Instance> instance, bool delete_settings);

    // Same as destroy(..., false).
    ~Instance();

    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    const std::string& name() const { return name_; }
    // Takes the new name after the application renamed the key in place.
    void set_name(std::string name) { name_ = std::move(name); }
    SettingsKey key() const { return key_; }

    // ---- Engine operations, called by the device layer ----

    // Sizes and allocates the buses and exchange buffers for device rate `rate_Hz`
    // and `n` floats per block. Refuses (false) an unsupported rate, n = 0, an odd
    // n, or at 192 kHz a block that is not a whole number of 48 kHz frames.
    bool engine_start(uint32_t rate_Hz, uint32_t n);
    // Waits until the engine thread is outside a cycle, then frees the buses.
    // Safe to call when not started.
    void engine_stop();
    bool engine_started() const { return n_ != 0; }
    uint32_t block_floats() const { return n_; }
    uint32_t device_rate() const { return rate_; }

    // Device side of the exchange: write the block's input, read the previous
    // cycle's output, then signal block ready.
    std::span<float> input_exchange() { return {input_exchange_.data(), n_}; }
    std::span<const float> output_exchange() const { return {output_exchange_.data(), n_}; }
    // A block that finds the engine still in the cycle of the previous one counts
    // as an overrun: that block's output repeats the previous one.
    void signal_block_ready() {
        const uint64_t done = cycles_.load(std::memory_order_relaxed);
        if (signalled_ && done == cycles_at_signal_) overruns_.fetch_add(1, std::memory_order_relaxed);
        cycles_at_signal_ = done;
        signalled_ = true;
        engine_events_.signal(event_block_ready);
    }
    // For devices that run as fast as the engine (freewheel): waits for the end
    // of the cycle that the last block ready started.
    void wait_cycle_done() { device_events_.wait(event_cycle_done); }
    // Freewheel devices may instead run the cycles on their own thread, which
    // saves the two thread switches per block of signal_block_ready() and
    // wait_cycle_done(). take_cycles() waits until the engine thread is idle
    // between cycles (the pause hand-shake; it then waits untouched until a block
    // is signalled again) and gives the calling thread the engine thread's CPU
    // mask; run_cycle_here() then runs the cycle of the block just written.
    void take_cycles();
    void run_cycle_here() {
        if (n_ != 0) run_cycle();
    }

    // ---- Read-outs (any thread) ----

    // CPU load of the engine thread, 0 to 1, reported about every 2 s of audio.
    float cpu_load() const { return load_.load(std::memory_order_relaxed); }
    uint64_t cycles() const { return cycles_.load(std::memory_order_relaxed); }
    // Blocks whose device found the engine still busy with the previous block, over
    // the instance's life (every device it ran on).
    uint64_t overruns() const { return overruns_.load(std::memory_order_relaxed); }
    // The bus arrays as set by the last engine_start (for diagnostics and tests;
    // the contents belong to the engine thread while running).
    const Buses& buses() const { return buses_; }
    // Latency of the current processor in samples at 48 kHz (0 without one), and
    // its read-out in milliseconds with two decimals.
    uint32_t processor_latency_samples();
    std::string processor_latency_text();

    // ---- Settings (control thread). Refused while the instance is locked. ----

    bool unlocked() const { return unlocked_.load(std::memory_order_acquire); }
    // Locks or unlocks the instance and every module's controls.
    void set_unlocked(bool unlocked);
    // Tells every module whether its meters can be seen (see Module::set_meters_shown).
    void set_meters_shown(bool shown);

    ProcessorType processor_type() const { return static_cast<ProcessorType>(proc_type_.load()); }
    // Replaces the processor by a new one of `type` (also when it is the current
    // type, which recreates it). The engine keeps running; bus 4 is simply not
    // rewritten while no processor is in place.
    bool change_processor_type(ProcessorType type);

    uint32_t page_index() const { return index_; }
    bool select_page(uint32_t index);

    // `AffinityMain`, read back from the engine thread; setting applies it at once.
    uint64_t affinity() const;
    bool set_affinity(uint64_t mask);

    ChannelMap channel_map() const { return channel_map_; }
    bool set_channel_map(const ChannelMap& map);
    const DeviceSettings& device_settings() const { return device_settings_; }
    bool set_device_settings(const DeviceSettings& settings);

    // Writes the instance values (`Affinity`, `Index`, `ProcType`, `ASIOSingle`,
    // `ASIO2_Audio_Settings`) in one transaction.
    bool save_values();

    // Module slots (control thread; the processor slot under the processor lock).
    SoundInModule* sound_in() { return sound_in_.get(); }
    BusModule* sound_out() { return sound_out_.get(); }
    PlayerModule* player() { return player_.get(); }
    StlRxModule* stl_rx() { return stl_rx_.get(); }
    BusModule* stl_tx() { return stl_tx_.get(); }
    BusModule* stream_tx() { return stream_tx_.get(); }
    AnalyserModule* analyser() { return analyser_.get(); }
    NowPlayingModule* now_playing() { return now_playing_.get(); }
    ProcessorModule* processor();

private:
    Instance(SettingsKey instances_root, std::string_view name, ModuleFactory& factory);

    bool build(std::string& error);
    void load_values();
    void teardown(bool delete_settings);
    void free_buffers();
    void clear_meters();
    void for_each_module(void (*fn)(Module&));

    void engine_main();
    void run_cycle();

    enum EngineEvent : unsigned { event_pause_request = 0, event_quit = 1, event_block_ready = 2 };
    enum DeviceEvent : unsigned { event_pause_ack = 0, event_cycle_done = 1 };

    SettingsKey instances_root_;
    std::string name_;
    SettingsKey key_;
    ModuleFactory& factory_;
    std::atomic<bool> unlocked_{false};

    // Module slots; any may be null.
    std::unique_ptr<ProcessorModule> proc_five_;
    std::unique_ptr<ProcessorModule> proc_one_;
    std::unique_ptr<SoundInModule> sound_in_;
    std::unique_ptr<PlayerModule> player_;
    std::unique_ptr<BusModule> stl_tx_;
    std::unique_ptr<StlRxModule> stl_rx_;
    std::unique_ptr<BusModule> sound_out_;
    std::unique_ptr<BusModule> stream_tx_;
    std::unique_ptr<AnalyserModule> analyser_;
    std::unique_ptr<NowPlayingModule> now_playing_;

    uint32_t index_ = processor_page;
    bool values_loaded_ = false;  // false until the stored values were read
    bool torn_down_ = false;

    // Buses and exchange buffers: allocated by engine_start, freed by engine_stop.
    std::vector<float> bus_storage_;
    Buses buses_;
    std::vector<float> input_exchange_;
    std::vector<float> output_exchange_;
    uint32_t n_ = 0;
    uint32_t rate_ = 0;

    // CPU-load state (engine thread).
    float tick_accumulator_s_ = 0.0f;
    uint64_t last_report_time_ = 0;
    int64_t busy_time_ = 0;
    uint32_t tick_counter_ = 0;
    std::atomic<float> load_{0.0f};
    std::atomic<uint64_t> cycles_{0};
    std::atomic<uint64_t> overruns_{0};
    // Device thread: whether a block was signalled since engine_start, and the
    // cycle count at that signal.
    bool signalled_ = false;
    uint64_t cycles_at_signal_ = 0;

    std::atomic<uint32_t> proc_type_{processor_one};
    std::atomic<uint64_t> affinity_main_{~0ull};
    ChannelMap channel_map_;
    DeviceSettings device_settings_;

    EventGroup engine_events_;
    EventGroup device_events_;
    // Guards the processor slots. The engine only tries it: a type change in
    // progress makes it skip the processor for that block instead of waiting.
    std::mutex processor_lock_;
    std::thread engine_thread_;
};

}  // namespace torvalen
