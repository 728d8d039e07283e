#include "engine/audio_device.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "engine/buses.h"
#include "engine/instance.h"
#include "engine/log.h"
#include "engine/realtime.h"
#include "engine/sample_convert.h"
#include "engine/text.h"

namespace torvalen {

namespace {

using Clock = std::chrono::steady_clock;
// The watchdog looks at every context once per second.
constexpr auto watchdog_period = std::chrono::milliseconds(1000);
// How long a start waits for the driver's first block.
constexpr auto first_callback_wait = std::chrono::milliseconds(500);
// Bound on waiting for a command's acknowledgement; a driver that hangs the
// control thread longer is logged instead of hanging the caller.
constexpr auto ack_wait = std::chrono::seconds(15);
// How long the control thread waits for a driver to stop and be released before it
// abandons it.
constexpr auto driver_stop_wait = std::chrono::seconds(2);

// Driver messages whose support we confirm when the driver asks.
constexpr int32_t supported_selectors[] = {
    driver_engine_version,    driver_reset_request,      driver_buffer_size_change,
    driver_resync_request,    driver_latencies_changed,  driver_supports_time_info,
    driver_supports_time_code, driver_supports_input_monitor, driver_overload};
// The engine version we report to drivers.
constexpr long host_engine_version = 2;

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

}  // namespace

long answer_driver_message(int32_t selector, long value, bool& reset_requested) {
    switch (selector) {
        case driver_selector_supported:
            return std::find(std::begin(supported_selectors), std::end(supported_selectors),
                             static_cast<int32_t>(value)) != std::end(supported_selectors)
                       ? 1
                       : 0;
        case driver_engine_version:
            return host_engine_version;
        case driver_reset_request:
            reset_requested = true;
            return 1;
        case driver_resync_request:
        case driver_latencies_changed:
        case driver_supports_time_info:
            return 1;
        default:
            return 0;
    }
}

std::string check_device_settings(const DeviceSettings& s, bool per_instance) {
    if (s.device.empty()) return "no device name is set";
    if (!is_device_rate(s.sample_rate)) {
        return "the sample rate must be 48000 or 192000, not " + std::to_string(s.sample_rate);
    }
    if (s.frame_size == 0 || s.frame_size > max_device_frame_size) {
        return "the frame size must be 1 to " + std::to_string(max_device_frame_size) +
               " frames, not " + std::to_string(s.frame_size);
    }
    if (s.sample_rate == mpx_rate_Hz && s.frame_size % 4 != 0) {
        return "at 192000 Hz the frame size must be a multiple of 4 (" +
               std::to_string(s.frame_size) + " is not)";
    }
    if (per_instance && (s.input_l == 0 || s.input_r == 0 || s.output_l == 0 || s.output_r == 0))
        return "every channel number must be 1 or more";
    return {};
}

uint32_t resolve_channel(uint32_t wanted, uint32_t count, uint32_t fallback) {
    if (count <= 1) return 0;
    if (wanted == 0 || wanted > count) wanted = fallback;
    return wanted - 1;
}

std::string latency_text(const DriverLatencies& latencies, uint32_t rate_Hz) {
    if (rate_Hz == 0) return {};
    const auto hundredths = [rate_Hz](uint32_t samples) {
        return static_cast<uint32_t>(100000ull * samples / rate_Hz);
    };
    return text::build("s ud2 s ud2 s", {"Input Latency ", hundredths(latencies.input),
                                         " -  Output Latency ", hundredths(latencies.output), " ms"})
        .value_or("");
}

std::string duplex_latency_text(uint32_t frames, uint32_t rate_Hz) {
    if (rate_Hz == 0) return {};
    const auto hundredths = static_cast<uint32_t>(100000ull * frames / rate_Hz);
    return text::build("s ud2  s", {"Duplex buffer latency ", hundredths, " ms"}).value_or("");
}

// ---------------------------------------------------------------------------
// DriverLink

// The client a driver is given: forwards to the context until cut. A driver that
// had to be abandoned keeps its link for good (both are leaked), so a callback it
// makes later finds nobody instead of a context that may be gone.
class DriverLink final : public DriverClient {
public:
    explicit DriverLink(DriverClient& target) : target_(&target) {}

    void buffer_switch(const DriverBlock& block) override {
        busy_.fetch_add(1, std::memory_order_seq_cst);
        if (DriverClient* target = target_.load(std::memory_order_seq_cst))
            target->buffer_switch(block);
        busy_.fetch_sub(1, std::memory_order_release);
    }
    long driver_message(int32_t selector, long value) override {
        busy_.fetch_add(1, std::memory_order_seq_cst);
        long answer = 0;
        if (DriverClient* target = target_.load(std::memory_order_seq_cst))
            answer = target->driver_message(selector, value);
        busy_.fetch_sub(1, std::memory_order_release);
        return answer;
    }
    // Returns once no call reaches the context any more (control thread).
    void cut() {
        target_.store(nullptr, std::memory_order_seq_cst);
        while (busy_.load(std::memory_order_seq_cst) != 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

private:
    std::atomic<DriverClient*> target_;
    std::atomic<uint32_t> busy_{0};
};

// ---------------------------------------------------------------------------
// DeviceLayer

DeviceLayer::DeviceLayer(DriverSystem& drivers) : drivers_(drivers) {}

DeviceLayer::~DeviceLayer() { begin_shutdown(); }

std::unique_ptr<DeviceContext> DeviceLayer::open_device(const DeviceSettings& settings,
                                                        Instance& instance, std::string& error) {
    return open(DeviceMode::per_instance, settings, &instance, error);
}

std::unique_ptr<DeviceContext> DeviceLayer::open_shared(const DeviceSettings& settings,
                                                        std::string& error) {
    return open(DeviceMode::shared, settings, nullptr, error);
}

std::unique_ptr<DeviceContext> DeviceLayer::open(DeviceMode mode, const DeviceSettings& settings,
                                                 Instance* instance, std::string& error) {
    error = check_device_settings(settings, mode == DeviceMode::per_instance);
    if (!error.empty()) return nullptr;
    std::unique_ptr<DeviceContext> context(new DeviceContext(*this, mode, settings, instance));
    {
        std::lock_guard lock(list_mutex_);
        for (DeviceContext* other : contexts_) {
            if (other->settings_.device == settings.device) {
                error = "the device " + quoted(settings.device) + " is already in use by " +
                        (other->owner_ ? "instance " + quoted(other->owner_->name())
                                       : std::string("the shared device"));
                return nullptr;
            }
        }
        contexts_.push_back(context.get());
    }
    if (!context->launch(error)) return nullptr;  // the destructor takes it off the list
    context->start();
    return context;
}

void DeviceLayer::remove(DeviceContext* context) {
    std::lock_guard lock(list_mutex_);
    std::erase(contexts_, context);
}

void DeviceLayer::device_added() {
    if (shutting_down()) return;
    drivers_.rescan();
    std::lock_guard lock(list_mutex_);
    for (DeviceContext* context : contexts_) context->reset();
    log_event("device", "a sound device was attached: restarting " +
                            std::to_string(contexts_.size()) + " device(s)");
}

// ---------------------------------------------------------------------------
// DeviceContext: set-up, commands

DeviceContext::DeviceContext(DeviceLayer& layer, DeviceMode mode, const DeviceSettings& settings,
                             Instance* owner)
    : layer_(layer), mode_(mode), settings_(settings), owner_(owner) {
    frames_ = settings.frame_size;
    if (owner) {
        Slot& slot = slots_[0];
        slot.owner = owner;
        slot.wanted = {settings.input_l, settings.input_r, settings.output_l, settings.output_r};
    }
    status_.device = settings.device;
    status_.mode = mode;
    status_.rate_Hz = settings.sample_rate;
    status_.frames = settings.frame_size;
}

bool DeviceContext::launch(std::string& error) {
    try {
        thread_ = std::thread([this] { control_main(); });
    } catch (const std::system_error& e) {
        error = std::string("cannot start the device control thread: ") + e.what();
        return false;
    }
    return true;
}

DeviceContext::~DeviceContext() {
    if (thread_.joinable()) {
        send(cmd_quit);
        thread_.join();
    }
    layer_.remove(this);
}

uint64_t DeviceContext::post(Command command) {
    std::lock_guard lock(mailbox_mutex_);
    pending_ |= 1u << command;
    const uint64_t ticket = ++issued_[command];
    mailbox_cv_.notify_all();
    return ticket;
}

void DeviceContext::wait_ack(Command command, uint64_t ticket) {
    std::unique_lock lock(mailbox_mutex_);
    if (!mailbox_cv_.wait_for(lock, ack_wait, [&] { return done_[command] >= ticket; }))
        log_event(settings_.device, "the device control thread did not answer in time");
}

void DeviceContext::send(Command command) { wait_ack(command, post(command)); }

void DeviceContext::start() { send(cmd_start); }
void DeviceContext::stop() { send(cmd_stop); }
void DeviceContext::pause() { send(cmd_pause); }
void DeviceContext::resume() { send(cmd_resume); }
void DeviceContext::reset() { post(cmd_reset); }

bool DeviceContext::wait_running(int timeout_ms) const {
    const auto until = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (status().driver_running && first_callback_.load()) return true;
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

DeviceStatus DeviceContext::status() const {
    std::lock_guard lock(status_mutex_);
    DeviceStatus s = status_;
    s.paused = paused_.load();
    s.blocks = blocks_.load();
    s.restarts = restarts_.load();
    s.engine_overruns = overruns_.load();
    s.driver_xruns = xruns_.load();
    s.abandoned_drivers = abandoned_.load();
    const std::string where = quoted(settings_.device) + " at " + std::to_string(settings_.sample_rate) +
                              " Hz, " + std::to_string(settings_.frame_size) + " frames";
    if (!s.running)
        s.text = where + ": stopped";
    else if (s.on_virtual)
        s.text = quoted(settings_.device) +
                 " is not running (" + s.last_error +
                 "): on the virtual device, retrying every second";
    else if (s.paused)
        s.text = where + ": paused";
    else if (s.driver_running)
        s.text = where + ": running";
    else
        s.text = where + ": starting";
    return s;
}

void DeviceContext::set_error(const std::string& error) {
    bool changed;
    {
        std::lock_guard lock(status_mutex_);
        changed = status_.last_error != error;
        status_.last_error = error;
    }
    // Retries every second would repeat the same line: log changes only.
    if (changed && !error.empty())
        log_event(settings_.device, "device not started: " + error);
}

// ---------------------------------------------------------------------------
// Shared mode: attach and detach

bool DeviceContext::attach(Instance& instance) {
    std::lock_guard ops(ops_mutex_);
    Slot* free_slot = nullptr;
    for (Slot& slot : slots_) {
        if (slot.owner == &instance) return true;
        if (!slot.owner && !free_slot) free_slot = &slot;
    }
    if (!free_slot) return false;
    Slot& slot = *free_slot;
    slot.owner = &instance;
    slot.wanted = instance.channel_map();
    if (driver_running_) {
        resolve_slot(slot);
        if (start_engine(slot)) {
            slot.signalled = false;
            slot.instance.store(&instance, std::memory_order_seq_cst);
        }
    } else if (state_running_) {
        start_fallback(slot);
    }
    log_event(instance.name(), "attached to the shared device " + quoted(settings_.device));
    return true;
}

void DeviceContext::detach(Instance& instance) {
    std::lock_guard ops(ops_mutex_);
    for (Slot& slot : slots_) {
        if (slot.owner != &instance) continue;
        slot.instance.store(nullptr, std::memory_order_seq_cst);
        gate_.quiesce();
        if (slot.fallback) slot.fallback.reset();  // stops the engine
        if (slot.engine_ok) instance.engine_stop();
        slot.engine_ok = false;
        slot.owner = nullptr;
        log_event(instance.name(), "detached from the shared device " + quoted(settings_.device));
    }
}

void DeviceContext::update_channels(Instance& instance) {
    std::lock_guard ops(ops_mutex_);
    for (Slot& slot : slots_) {
        if (slot.owner != &instance) continue;
        Instance* published = slot.instance.exchange(nullptr, std::memory_order_seq_cst);
        gate_.quiesce();
        slot.wanted = instance.channel_map();
        resolve_slot(slot);
        if (published) slot.instance.store(published, std::memory_order_seq_cst);
    }
}

bool DeviceContext::attached(const Instance& instance) const {
    std::lock_guard ops(ops_mutex_);
    return std::any_of(slots_.begin(), slots_.end(),
                       [&](const Slot& s) { return s.owner == &instance; });
}

// ---------------------------------------------------------------------------
// The control thread

void DeviceContext::control_main() {
    auto next_check = Clock::now() + watchdog_period;
    for (;;) {
        Command command = cmd_count;
        {
            std::unique_lock lock(mailbox_mutex_);
            mailbox_cv_.wait_until(lock, next_check, [&] { return pending_ != 0; });
            if (pending_ != 0) {
                command = static_cast<Command>(__builtin_ctz(pending_));
                pending_ &= ~(1u << command);
                serving_[command] = issued_[command];
            }
        }
        if (command == cmd_count) {
            watchdog();
            next_check += watchdog_period;
            if (next_check < Clock::now()) next_check = Clock::now() + watchdog_period;
            continue;
        }
        {
            std::lock_guard ops(ops_mutex_);
            switch (command) {
                case cmd_start:
                    if (!state_running_) {
                        state_running_ = true;
                        start_or_fall_back();
                    }
                    break;
                case cmd_stop:
                case cmd_quit:
                    stop_driver();
                    stop_fallbacks();
                    state_running_ = false;
                    break;
                case cmd_pause:
                    paused_ = true;
                    break;
                case cmd_resume:
                    paused_ = false;
                    break;
                case cmd_reset:
                    reset_requested_ = true;
                    break;
                case cmd_count:
                    break;
            }
            std::lock_guard lock(status_mutex_);
            status_.running = state_running_;
        }
        {
            std::lock_guard lock(mailbox_mutex_);
            done_[command] = serving_[command];
            mailbox_cv_.notify_all();
        }
        if (command == cmd_quit) return;
    }
}

void DeviceContext::watchdog() {
    std::lock_guard ops(ops_mutex_);
    if (!state_running_ || paused_.load()) return;
    const bool seen = callback_seen_.exchange(false);
    if (reset_requested_.load() || !seen) {
        if (driver_running_ || reset_requested_.load()) {
            restarts_.fetch_add(1);
            log_event(settings_.device, reset_requested_.load()
                                            ? "restarting the device (reset requested)"
                                            : "restarting the device (no block for a second)");
        }
        stop_driver();
        start_or_fall_back();
    }
}

void DeviceContext::start_or_fall_back() {
    std::string error;
    if (start_driver(error)) {
        reset_requested_ = false;
        set_error({});
        log_event(settings_.device, "device running at " + std::to_string(settings_.sample_rate) +
                                        " Hz, " + std::to_string(settings_.frame_size) + " frames");
        return;
    }
    set_error(error);
    for (Slot& slot : slots_)
        if (slot.owner && !slot.fallback) start_fallback(slot);
    std::lock_guard lock(status_mutex_);
    status_.on_virtual = true;
}

void DeviceContext::start_fallback(Slot& slot) {
    VirtualDeviceConfig config;
    config.sample_rate_Hz = settings_.sample_rate;
    config.frame_size = settings_.frame_size;
    std::string error;
    auto device = VirtualDevice::open(config, error);
    if (device && device->start(*slot.owner, error)) {
        slot.fallback = std::move(device);
    } else {
        log_event(slot.owner->name(), "the virtual device did not start either: " + error);
    }
}

void DeviceContext::stop_fallbacks() {
    for (Slot& slot : slots_) slot.fallback.reset();  // each stops its engine
    std::lock_guard lock(status_mutex_);
    status_.on_virtual = false;
}

void DeviceContext::resolve_slot(Slot& slot) const {
    const ChannelMap& w = slot.wanted;
    slot.in_l = resolve_channel(w.l_in, channels_.inputs, 1);
    slot.in_r = resolve_channel(w.r_in, channels_.inputs, 2);
    slot.out_l = resolve_channel(w.l_out, channels_.outputs, 1);
    slot.out_r = resolve_channel(w.r_out, channels_.outputs, 2);
}

bool DeviceContext::start_engine(Slot& slot) {
    slot.owner->engine_stop();
    slot.engine_ok = slot.owner->engine_start(settings_.sample_rate, 2 * settings_.frame_size);
    if (!slot.engine_ok)
        log_event(slot.owner->name(), "the engine refused " + std::to_string(settings_.sample_rate) +
                                          " Hz with " + std::to_string(settings_.frame_size) +
                                          " frames");
    return slot.engine_ok;
}

bool DeviceContext::start_driver(std::string& error) {
    const uint32_t rate = settings_.sample_rate;
    const uint32_t frames = settings_.frame_size;
    if (rate == mpx_rate_Hz && frames % 4 != 0) {
        error = "at 192000 Hz the frame size must be a multiple of 4";
        return false;
    }
    std::unique_ptr<AudioDriver> driver = layer_.drivers().create(settings_.device);
    if (!driver) {
        error = "the device is not attached";
        return false;
    }
    if (!driver->init(error)) return false;
    const DriverBufferSizes sizes = driver->buffer_sizes();
    const DriverChannels channels = driver->channels();
    if (channels.inputs == 0 && channels.outputs == 0) {
        error = "the device has neither inputs nor outputs";
        return false;
    }
    channels_ = channels;
    for (Slot& slot : slots_)
        if (slot.owner) resolve_slot(slot);

    const bool can48 = driver->can_sample_rate(chain_rate_Hz);
    const bool can192 = driver->can_sample_rate(mpx_rate_Hz);
    if (!driver->set_sample_rate(rate)) {
        error = "the device cannot run at " + std::to_string(rate) + " Hz";
        return false;
    }
    output_ready_ = driver->output_ready_supported();

    // The callback reads these; it is not running yet.
    try {
        input_types_.assign(channels.inputs, 0);
        output_types_.assign(channels.outputs, 0);
        output_bytes_.assign(channels.outputs, 0);
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return false;
    }
    std::unique_ptr<DriverLink> link;
    try {
        link = std::make_unique<DriverLink>(static_cast<DriverClient&>(*this));
    } catch (const std::bad_alloc&) {
        error = "out of memory";
        return false;
    }
    stopping_.store(false, std::memory_order_seq_cst);
    if (!driver->create_buffers(frames, *link, error)) {
        stopping_.store(true);
        retire(std::move(driver), std::move(link));
        return false;
    }
    for (uint32_t c = 0; c < channels.inputs; ++c) input_types_[c] = driver->input_type(c);
    for (uint32_t c = 0; c < channels.outputs; ++c) {
        output_types_[c] = driver->output_type(c);
        output_bytes_[c] = sample_bytes(output_types_[c]);
    }
    frames_ = frames;

    // The instances leave the virtual device and start at the driver's rate and block.
    stop_fallbacks();
    bool any_engine = false;
    for (Slot& slot : slots_) {
        if (!slot.owner) continue;
        if (start_engine(slot)) any_engine = true;
    }
    if (mode_ == DeviceMode::per_instance && !any_engine) {
        error = "the engine refused the device's rate and block";
        stopping_.store(true);
        retire(std::move(driver), std::move(link));
        return false;
    }
    for (Slot& slot : slots_) {
        if (!slot.owner || !slot.engine_ok) continue;
        slot.signalled = false;
        slot.instance.store(slot.owner, std::memory_order_seq_cst);
    }

    first_callback_.store(false);
    awaiting_first_.store(true);
    driver_ = std::move(driver);
    link_ = std::move(link);
    if (!driver_->start(error)) {
        stop_driver();
        return false;
    }
    driver_running_ = true;
    const auto until = Clock::now() + first_callback_wait;
    while (!first_callback_.load() && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::lock_guard lock(status_mutex_);
    status_.driver_running = true;
    status_.on_virtual = false;
    status_.channels = channels;
    status_.buffer_sizes = sizes;
    status_.latencies = driver_->latencies();
    status_.can_48000 = can48;
    status_.can_192000 = can192;
    status_.input_type = channels.inputs ? input_types_[0] : 0;
    status_.output_type = channels.outputs ? output_types_[0] : 0;
    return true;
}

void DeviceContext::stop_driver() {
    stopping_.store(true, std::memory_order_seq_cst);
    gate_.quiesce();
    if (link_) link_->cut();
    for (Slot& slot : slots_) slot.instance.store(nullptr, std::memory_order_seq_cst);
    if (driver_) retire(std::move(driver_), std::move(link_));
    link_.reset();
    for (Slot& slot : slots_) {
        if (slot.owner && slot.engine_ok) slot.owner->engine_stop();
        slot.engine_ok = false;
    }
    driver_running_ = false;
    awaiting_first_ = false;
    callback_seen_ = false;
    std::lock_guard lock(status_mutex_);
    status_.driver_running = false;
}

bool DeviceContext::retire(std::unique_ptr<AudioDriver> driver, std::unique_ptr<DriverLink> link) {
    if (!driver) return true;
    if (link) link->cut();
    struct Retirement {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        bool abandoned = false;
    };
    auto state = std::make_shared<Retirement>();
    // The helper owns the driver and its link from here on; once abandoned it leaves
    // both alone (leaked) when its call finally returns.
    AudioDriver* d = driver.release();
    DriverLink* l = link.release();
    auto work = [state, d, l] {
        d->stop();
        d->dispose_buffers();
        {
            std::lock_guard lock(state->mutex);
            if (state->abandoned) return;
        }
        delete d;  // release
        delete l;
        std::lock_guard lock(state->mutex);
        state->done = true;
        state->done_cv.notify_all();
    };
    try {
        std::thread(work).detach();
    } catch (const std::system_error&) {
        work();  // no thread to spare: stop it here, unbounded
        return true;
    }
    std::unique_lock lock(state->mutex);
    if (state->done_cv.wait_for(lock, driver_stop_wait, [&] { return state->done; })) return true;
    state->abandoned = true;
    lock.unlock();
    abandoned_.fetch_add(1);
    if (!abandon_logged_) {
        abandon_logged_ = true;
        log_event(settings_.device,
                  "the driver did not stop within " +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(driver_stop_wait).count()) +
                      " s: abandoned (left alone from now on); a new one is started every second");
    }
    return false;
}

void DeviceContext::CallbackGate::quiesce() const {
    const uint64_t seen = seq_.load(std::memory_order_seq_cst);
    if ((seen & 1) == 0) return;
    while (seq_.load(std::memory_order_acquire) == seen)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
}

// ---------------------------------------------------------------------------
// The callback (driver thread, real time)

void DeviceContext::buffer_switch(const DriverBlock& block) {
    gate_.enter();
    const size_t outputs = std::min<size_t>(block.outputs.size(), output_bytes_.size());
    // Every output starts silent: channels no instance uses stay quiet.
    for (size_t c = 0; c < block.outputs.size(); ++c) {
        const size_t bytes = c < outputs ? output_bytes_[c] : 0;
        if (bytes) std::memset(block.outputs[c], 0, bytes * block.frames);
    }
    if (stopping_.load(std::memory_order_seq_cst) || block.frames != frames_) {
        gate_.leave();
        return;
    }
    thread_local bool flush_set = false;
    if (!flush_set) {
        enable_flush_to_zero();
        flush_set = true;
    }
    callback_seen_.store(true, std::memory_order_relaxed);
    if (awaiting_first_.load(std::memory_order_relaxed)) {
        awaiting_first_.store(false, std::memory_order_relaxed);
        first_callback_.store(true, std::memory_order_release);
    }
    blocks_.fetch_add(1, std::memory_order_relaxed);
    if (block.xrun) xruns_.fetch_add(1, std::memory_order_relaxed);

    const uint32_t frames = block.frames;
    const size_t inputs = std::min<size_t>(block.inputs.size(), input_types_.size());
    for (Slot& slot : slots_) {
        Instance* instance = slot.instance.load(std::memory_order_seq_cst);
        if (!instance) continue;
        // Engines run at the device's block (the control thread sees to that).
        if (instance->block_floats() != 2 * frames) continue;
        // The engine should have finished the previous block by now; when it has
        // not, this block's output is the one it already gave (one block repeats).
        const uint64_t cycles = instance->cycles();
        if (slot.signalled && cycles == slot.last_cycles)
            overruns_.fetch_add(1, std::memory_order_relaxed);
        slot.last_cycles = cycles;

        std::span<float> in = instance->input_exchange();
        if (inputs == 0 || slot.in_l >= inputs || slot.in_r >= inputs) {
            std::fill(in.begin(), in.end(), 0.0f);
        } else {
            device_to_engine(input_types_[slot.in_l], block.inputs[slot.in_l], frames, in.data(), 2);
            device_to_engine(input_types_[slot.in_r], block.inputs[slot.in_r], frames, in.data() + 1, 2);
        }
        if (outputs > 0 && slot.out_l < outputs && slot.out_r < outputs) {
            std::span<const float> out = instance->output_exchange();
            if (slot.out_l == slot.out_r) {
                engine_mono_to_device(output_types_[slot.out_l], out.data(), frames,
                                      block.outputs[slot.out_l]);
            } else {
                engine_to_device(output_types_[slot.out_l], out.data(), 2, frames,
                                 block.outputs[slot.out_l]);
                engine_to_device(output_types_[slot.out_r], out.data() + 1, 2, frames,
                                 block.outputs[slot.out_r]);
            }
        }
        instance->signal_block_ready();
        slot.signalled = true;
    }
    if (output_ready_ && driver_) driver_->output_ready();
    gate_.leave();
}

long DeviceContext::driver_message(int32_t selector, long value) {
    bool reset = false;
    const long answer = answer_driver_message(selector, value, reset);
    if (reset) reset_requested_.store(true);
    return answer;
}

}  // namespace torvalen
