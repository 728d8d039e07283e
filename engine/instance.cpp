#include "engine/instance.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <new>

#include "engine/log.h"
#include "engine/realtime.h"
#include "engine/text.h"

namespace torvalen {

namespace {
// Block duration per float of bus 4 (48 kHz stereo): 1/96000 s, at single precision.
constexpr float seconds_per_bus4_float = 1.0f / 96000.0f;
// Meters publish at most once per this much audio.
constexpr float meter_tick_period_s = 0.04f;
// Load is reported every 50 ticks, about every 2 s of audio.
constexpr uint32_t ticks_per_load_report = 50;

uint64_t mask_of(const cpu_set_t& set) {
    uint64_t mask = 0;
    for (int cpu = 0; cpu < 64; ++cpu)
        if (CPU_ISSET(cpu, &set)) mask |= 1ull << cpu;
    return mask;
}
}  // namespace

Instance::Instance(SettingsKey instances_root, std::string_view name, ModuleFactory& factory)
    : instances_root_(instances_root), name_(name), factory_(factory) {}

std::unique_ptr<Instance> Instance::create(SettingsKey instances_root, std::string_view name,
                                           ModuleFactory& factory, std::string& error) {
    std::unique_ptr<Instance> instance(new (std::nothrow) Instance(instances_root, name, factory));
    if (!instance) {
        error = "out of memory";
        return nullptr;
    }
    if (!instance->build(error)) {
        instance->teardown(false);
        return nullptr;
    }
    return instance;
}

bool Instance::build(std::string& error) {
    auto key = instances_root_.create(name_);
    if (!key) {
        error = "cannot create the settings key of instance \"" + name_ + "\"";
        return false;
    }
    key_ = *key;

    uint32_t error_word = 0;
    auto failed = [&](const char* what) {
        if ((error_word & 1u) == 0) return false;
        error = std::string("cannot create module ") + what;
        return true;
    };
    now_playing_ = factory_.create_now_playing(*this, key_, error_word);
    if (failed("Now Playing")) return false;
    sound_in_ = factory_.create_sound_in(*this, key_, error_word);
    if (failed("Sound In")) return false;
    player_ = factory_.create_player(*this, key_, error_word);
    if (failed("Player")) return false;
    stl_rx_ = factory_.create_stl_rx(*this, key_, error_word);
    if (failed("STL RX")) return false;
    sound_out_ = factory_.create_sound_out(*this, key_, error_word);
    if (failed("Sound Out")) return false;
    stream_tx_ = factory_.create_stream_tx(*this, key_, error_word);
    if (failed("Stream TX")) return false;
    stl_tx_ = factory_.create_stl_tx(*this, key_, error_word);
    if (failed("STL TX")) return false;
    analyser_ = factory_.create_analyser(*this, key_, error_word);
    if (failed("Analyser")) return false;

    if (now_playing_ && now_playing_->auto_start()) now_playing_->start_listener();

    load_values();
    device_settings_.load_instance_device(key_);

    auto processor = factory_.create_processor(processor_type(), *this, key_, error_word);
    if (failed("Processor")) return false;
    (processor_type() == processor_five ? proc_five_ : proc_one_) = std::move(processor);

    try {
        engine_thread_ = std::thread([this] { engine_main(); });
    } catch (const std::system_error& e) {
        error = std::string("cannot start the engine thread: ") + e.what();
        return false;
    }
    log_event(name_, "instance created");
    return true;
}

void Instance::load_values() {
    uint64_t affinity = ~0ull;  // every CPU
    if (auto key = key_.open("Affinity")) key->read_qword("AffinityMain", affinity);
    affinity_main_ = affinity;

    uint32_t type = processor_one;
    key_.read_dword_in("ProcType", type);
    proc_type_ = type >= 2 ? processor_one : type;

    uint32_t index = processor_page;
    key_.read_dword_in("Index", index);
    // A stored page that does not exist shows the Processor page, as a fresh instance does.
    index_ = index < page_count ? index : processor_page;

    channel_map_.load(key_);
    values_loaded_ = true;
}

bool Instance::save_values() {
    if (!key_.valid() || !values_loaded_) return false;
    SettingsStore* store = key_.store();
    if (!store) return false;
    SettingsStore::Transaction transaction(*store);
    auto affinity_key = key_.create("Affinity");
    bool ok = affinity_key && affinity_key->write_qword("AffinityMain", affinity_main_.load()) &&
              key_.write_dword_in("Index", index_) &&
              key_.write_dword_in("ProcType", proc_type_.load()) && channel_map_.save(key_) &&
              device_settings_.save_instance_device(key_);
    return ok && transaction.commit();
}

void Instance::destroy(std::unique_ptr<Instance> instance, bool delete_settings) {
    if (instance) instance->teardown(delete_settings);
}

Instance::~Instance() { teardown(false); }

void Instance::teardown(bool delete_settings) {
    if (torn_down_) return;
    torn_down_ = true;

    if (engine_thread_.joinable()) {
        engine_events_.signal(event_quit);
        engine_thread_.join();
    }
    free_buffers();

    auto drop = [delete_settings](auto& slot) {
        if (!slot) return;
        if (delete_settings) slot->prepare_delete();
        slot.reset();
    };
    drop(analyser_);
    drop(stl_tx_);
    drop(stream_tx_);
    drop(sound_out_);
    {
        std::lock_guard lock(processor_lock_);
        drop(proc_five_);
        drop(proc_one_);
    }
    drop(stl_rx_);
    drop(player_);
    drop(sound_in_);
    drop(now_playing_);

    if (!key_.valid()) return;
    if (delete_settings) {
        if (!instances_root_.delete_subkey_tree(name_))
            log_event(name_, "could not delete the instance's settings");
        else
            log_event(name_, "instance closed and its settings deleted");
    } else {
        if (values_loaded_ && !save_values()) log_event(name_, "could not save the instance values");
        log_event(name_, "instance destroyed");
    }
}

void Instance::free_buffers() {
    bus_storage_ = {};
    input_exchange_ = {};
    output_exchange_ = {};
    buses_ = Buses{};
    n_ = 0;
    rate_ = 0;
}

void Instance::for_each_module(void (*fn)(Module&)) {
    Module* modules[] = {sound_in_.get(), player_.get(), stl_rx_.get(), sound_out_.get(),
                         stream_tx_.get(), stl_tx_.get(), analyser_.get(), now_playing_.get()};
    for (Module* m : modules)
        if (m) fn(*m);
    std::lock_guard lock(processor_lock_);
    if (proc_five_) fn(*proc_five_);
    if (proc_one_) fn(*proc_one_);
}

void Instance::clear_meters() {
    for_each_module([](Module& m) { m.clear_meters(); });
}

bool Instance::engine_start(uint32_t rate_Hz, uint32_t n) {
    if (!is_device_rate(rate_Hz) || n == 0 || n % 2 != 0) return false;
    // At 192 kHz every 48 kHz bus must hold whole frames: n/4 floats, even.
    if (rate_Hz == mpx_rate_Hz && n % 8 != 0) return false;

    Buses buses;
    buses.rate = {rate_Hz, player_ ? chain_rate_Hz : 0u, stl_rx_ ? mpx_rate_Hz : 0u,
                  mpx_rate_Hz, chain_rate_Hz, rate_Hz};
    size_t total = 0;
    for (unsigned b = 0; b < bus_count; ++b) {
        buses.count[b] = bus_float_count(rate_Hz, n, buses.rate[b]);
        total += buses.count[b];
    }
    try {
        bus_storage_.assign(total, 0.0f);
        input_exchange_.assign(n, 0.0f);
        output_exchange_.assign(n, 0.0f);
    } catch (const std::bad_alloc&) {
        free_buffers();
        return false;
    }
    float* p = bus_storage_.data();
    for (unsigned b = 0; b < bus_count; ++b) {
        buses.data[b] = p;
        p += buses.count[b];
    }
    buses_ = buses;
    n_ = n;
    rate_ = rate_Hz;
    signalled_ = false;
    clear_meters();
    return true;
}

void Instance::engine_stop() {
    if (engine_thread_.joinable()) {
        engine_events_.signal(event_pause_request);
        device_events_.wait(event_pause_ack);
    }
    // A block signalled but not yet run belongs to the device that is going away.
    engine_events_.reset(event_block_ready);
    free_buffers();
    clear_meters();
}

namespace {

void apply_thread_affinity(uint64_t wanted) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const uint64_t mask = wanted & process_affinity();
    for (int cpu = 0; cpu < 64; ++cpu)
        if (mask & (1ull << cpu)) CPU_SET(cpu, &set);
    if (mask) pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

}  // namespace

void Instance::take_cycles() {
    if (engine_thread_.joinable()) {
        engine_events_.signal(event_pause_request);
        device_events_.wait(event_pause_ack);
    }
    apply_thread_affinity(affinity_main_.load());
}

void Instance::engine_main() {
    enable_flush_to_zero();
    tick_accumulator_s_ = 0.0f;
    load_ = 0.0f;
    // A set_affinity() while this thread starts may apply its mask before this
    // does: apply again until the mask applied is the one stored.
    for (uint64_t wanted = affinity_main_.load();; ) {
        apply_thread_affinity(wanted);
        const uint64_t now = affinity_main_.load();
        if (now == wanted) break;
        wanted = now;
    }
    std::string why;
    if (realtime_wanted() && !make_thread_realtime(why))
        log_event(name_, "engine thread runs at normal priority (real-time refused: " + why + ")");

    constexpr uint32_t wait_mask =
        (1u << event_pause_request) | (1u << event_quit) | (1u << event_block_ready);
    for (;;) {
        switch (engine_events_.wait_any(wait_mask)) {
            case event_pause_request:
                device_events_.signal(event_pause_ack);
                break;
            case event_quit:
                return;
            case event_block_ready:
                if (n_ != 0) run_cycle();
                device_events_.signal(event_cycle_done);
                break;
        }
    }
}

void Instance::run_cycle() {
    const Buses& b = buses_;
    std::copy_n(input_exchange_.data(), n_, b.data[bus_sound_in]);

    const uint64_t t0 = monotonic_time_100ns();
    bool tick = false;
    tick_accumulator_s_ += static_cast<float>(b.count[bus_proc]) * seconds_per_bus4_float;
    if (tick_accumulator_s_ >= meter_tick_period_s) {
        tick_accumulator_s_ = 0.0f;
        tick = true;
    }

    if (sound_in_) sound_in_->measure(b.bus(bus_sound_in), b.rate[bus_sound_in], tick);
    if (stl_rx_) stl_rx_->fill(b.bus(bus_stl_rx), tick);
    if (player_) {
        if (player_->play_on())
            player_->mix(b.bus(bus_player));
        else
            std::fill_n(b.data[bus_player], b.count[bus_player], 0.0f);
    }
    if (analyser_) analyser_->generate(b.bus(bus_sig_gen));

    if (processor_lock_.try_lock()) {
        ProcessorModule* proc =
            proc_type_.load(std::memory_order_relaxed) == processor_five ? proc_five_.get()
                                                                         : proc_one_.get();
        if (proc) proc->process(b, tick);
        processor_lock_.unlock();
    }

    if (sound_out_) sound_out_->process(b, tick);
    if (stream_tx_) stream_tx_->process(b, tick);
    if (analyser_) analyser_->process(b, tick);
    if (stl_tx_) stl_tx_->process(b, tick);

    const uint64_t t1 = monotonic_time_100ns();
    busy_time_ += static_cast<int64_t>(t1 - t0);
    if (tick && ++tick_counter_ == ticks_per_load_report) {
        tick_counter_ = 0;
        const uint64_t window = t1 - last_report_time_;
        float load = window ? static_cast<float>(static_cast<double>(busy_time_) / static_cast<double>(window))
                            : 1.0f;
        load_.store(std::clamp(load, 0.0f, 1.0f), std::memory_order_relaxed);
        last_report_time_ = t1;
        busy_time_ = 0;
    }

    std::copy_n(b.data[bus_sound_out], n_, output_exchange_.data());
    cycles_.fetch_add(1, std::memory_order_relaxed);
}

void Instance::set_unlocked(bool unlocked) {
    unlocked_.store(unlocked, std::memory_order_release);
    if (unlocked)
        for_each_module([](Module& m) { m.set_unlocked(true); });
    else
        for_each_module([](Module& m) { m.set_unlocked(false); });
}

void Instance::set_meters_shown(bool shown) {
    if (shown)
        for_each_module([](Module& m) { m.set_meters_shown(true); });
    else
        for_each_module([](Module& m) { m.set_meters_shown(false); });
}

ProcessorModule* Instance::processor() {
    std::lock_guard lock(processor_lock_);
    return processor_type() == processor_five ? proc_five_.get() : proc_one_.get();
}

bool Instance::change_processor_type(ProcessorType type) {
    if (!unlocked() || type > processor_one) return false;
    std::unique_ptr<ProcessorModule> old_five, old_one;
    {
        std::lock_guard lock(processor_lock_);
        old_five = std::move(proc_five_);
        old_one = std::move(proc_one_);
        proc_type_ = processor_five;
    }
    // Destroying saves the old processor's settings; creating reads the new one's.
    // Neither runs under the lock, so the engine never waits for them.
    old_five.reset();
    old_one.reset();
    uint32_t error_word = 0;
    auto created = factory_.create_processor(type, *this, key_, error_word);
    if (error_word & 1u) created.reset();
    if (created && unlocked()) created->set_unlocked(true);
    {
        std::lock_guard lock(processor_lock_);
        (type == processor_five ? proc_five_ : proc_one_) = std::move(created);
        proc_type_ = type;
    }
    save_values();
    log_event(name_, type == processor_five ? "processor type set to Torvalen 5"
                                            : "processor type set to Torvalen One");
    return (error_word & 1u) == 0;
}

uint32_t Instance::processor_latency_samples() {
    std::lock_guard lock(processor_lock_);
    ProcessorModule* proc = processor_type() == processor_five ? proc_five_.get() : proc_one_.get();
    return proc ? proc->latency_samples() : 0;
}

std::string Instance::processor_latency_text() {
    // Hundredths of a millisecond: floor(100000 * samples / 48000).
    const uint64_t hundredths = 100000ull * processor_latency_samples() / chain_rate_Hz;
    return text::build("ud2 s", {static_cast<uint32_t>(hundredths), " ms"}).value_or("");
}

bool Instance::select_page(uint32_t index) {
    if (index >= page_count) return false;
    index_ = index;
    save_values();
    return true;
}

uint64_t Instance::affinity() const {
    if (!engine_thread_.joinable()) return affinity_main_.load();
    cpu_set_t set;
    CPU_ZERO(&set);
    auto handle = const_cast<std::thread&>(engine_thread_).native_handle();
    if (pthread_getaffinity_np(handle, sizeof set, &set) != 0) return affinity_main_.load();
    return mask_of(set);
}

bool Instance::set_affinity(uint64_t mask) {
    if (!unlocked()) return false;
    const uint64_t usable = mask & process_affinity();
    if (usable == 0) return false;
    affinity_main_ = mask;
    if (engine_thread_.joinable()) {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int cpu = 0; cpu < 64; ++cpu)
            if (usable & (1ull << cpu)) CPU_SET(cpu, &set);
        pthread_setaffinity_np(engine_thread_.native_handle(), sizeof set, &set);
    }
    return save_values();
}

bool Instance::set_channel_map(const ChannelMap& map) {
    if (!unlocked()) return false;
    if (map.l_in == 0 || map.r_in == 0 || map.l_out == 0 || map.r_out == 0) return false;
    channel_map_ = map;
    return save_values();
}

bool Instance::set_device_settings(const DeviceSettings& settings) {
    if (!unlocked()) return false;
    device_settings_ = settings;
    return save_values();
}

}  // namespace torvalen
