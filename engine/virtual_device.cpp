#include "engine/virtual_device.h"

#include <time.h>

#include <algorithm>
#include <new>

#include "engine/buses.h"
#include "engine/instance.h"
#include "engine/log.h"
#include "engine/realtime.h"

namespace torvalen {

std::unique_ptr<VirtualDevice> VirtualDevice::open(const VirtualDeviceConfig& config,
                                                   std::string& error) {
    if (!is_device_rate(config.sample_rate_Hz)) {
        error = "the virtual device runs at 48000 or 192000 Hz, not " +
                std::to_string(config.sample_rate_Hz);
        return nullptr;
    }
    if (config.frame_size == 0 || config.frame_size > max_virtual_frame_size) {
        error = "the frame size must be 1 to " + std::to_string(max_virtual_frame_size) + " frames";
        return nullptr;
    }
    if (config.sample_rate_Hz == mpx_rate_Hz && config.frame_size % 4 != 0) {
        error = "at 192000 Hz the frame size must be a multiple of 4 (" +
                std::to_string(config.frame_size) + " is not)";
        return nullptr;
    }
    std::unique_ptr<VirtualDevice> device(new (std::nothrow) VirtualDevice(config));
    if (!device) {
        error = "out of memory";
        return nullptr;
    }
    if (!config.input.empty()) {
        device->reader_ = WavReader::open(config.input, error);
        if (!device->reader_) return nullptr;
        if (device->reader_->sample_rate() != config.sample_rate_Hz) {
            error = config.input.string() + " runs at " +
                    std::to_string(device->reader_->sample_rate()) + " Hz; the device runs at " +
                    std::to_string(config.sample_rate_Hz) + " Hz";
            return nullptr;
        }
        if (device->reader_->frames() == 0) {
            error = config.input.string() + " holds no audio";
            return nullptr;
        }
    }
    if (!config.output.empty()) {
        device->writer_ = WavWriter::create(config.output, config.sample_rate_Hz, error);
        if (!device->writer_) return nullptr;
    }
    return device;
}

VirtualDevice::~VirtualDevice() {
    stop();
    close_output();
}

bool VirtualDevice::start(Instance& instance, std::string& error) {
    if (running()) return true;
    const uint32_t n = 2 * config_.frame_size;
    if (!instance.engine_start(config_.sample_rate_Hz, n)) {
        error = "the engine refused " + std::to_string(config_.sample_rate_Hz) + " Hz with " +
                std::to_string(config_.frame_size) + " frames per block";
        return false;
    }
    instance_ = &instance;
    stop_ = false;
    finished_ = false;
    try {
        thread_ = std::thread([this] { config_.freewheel ? run_freewheel() : run_timed(); });
    } catch (const std::system_error& e) {
        instance.engine_stop();
        instance_ = nullptr;
        error = std::string("cannot start the device thread: ") + e.what();
        return false;
    }
    log_event(instance.name(), "virtual device started at " + std::to_string(config_.sample_rate_Hz) +
                                   " Hz, " + std::to_string(config_.frame_size) + " frames" +
                                   (config_.freewheel ? ", freewheel" : ""));
    return true;
}

void VirtualDevice::stop() {
    if (!thread_.joinable()) return;
    stop_ = true;
    thread_.join();
    instance_->engine_stop();
    log_event(instance_->name(), "virtual device stopped after " + std::to_string(blocks()) + " blocks");
    instance_ = nullptr;
}

void VirtualDevice::wait_finished() {
    while (!finished_.load(std::memory_order_acquire) && running()) finished_.wait(false);
}

bool VirtualDevice::close_output() {
    if (!writer_) return true;
    const bool ok = writer_->close();
    writer_.reset();
    return ok;
}

size_t VirtualDevice::fill_input(bool loop, bool feed_open) {
    std::span<float> in = instance_->input_exchange();
    if (config_.feed) {
        const size_t frames = feed_open ? std::min(config_.feed(in), in.size() / 2) : 0;
        std::fill(in.begin() + 2 * frames, in.end(), 0.0f);
        return frames;
    }
    if (!reader_) {
        std::fill(in.begin(), in.end(), 0.0f);
        return 0;
    }
    size_t frames = reader_->read(in);
    while (loop && frames < in.size() / 2) {
        if (!reader_->rewind()) break;
        const size_t more = reader_->read(in.subspan(2 * frames));
        if (more == 0) break;
        frames += more;
    }
    std::fill(in.begin() + 2 * frames, in.end(), 0.0f);
    return frames;
}

void VirtualDevice::run_timed() {
    enable_flush_to_zero();
    std::string why;
    if (realtime_wanted()) make_thread_realtime(why);
    const uint64_t period_ns_num = 1'000'000'000ull * config_.frame_size;
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const uint64_t start_ns = static_cast<uint64_t>(start.tv_sec) * 1'000'000'000ull + start.tv_nsec;
    auto now_ns = [] {
        timespec t{};
        clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(t.tv_nsec);
    };
    uint64_t cycles_at_signal = 0;
    for (uint64_t block = 0; !stop_.load(std::memory_order_relaxed); ++block) {
        // Like a sound card with two periods of buffer: an engine still busy with
        // the previous block (or a device thread that woke late and is catching
        // up) has up to one more period before this block's output repeats the
        // previous one (an overrun).
        if (block > 0 && instance_->cycles() == cycles_at_signal) {
            const uint64_t limit = start_ns + (block + 1) * period_ns_num / config_.sample_rate_Hz;
            const timespec pause{0, 50'000};
            while (instance_->cycles() == cycles_at_signal && now_ns() < limit &&
                   !stop_.load(std::memory_order_relaxed))
                clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
        }
        fill_input(true);
        if (writer_) writer_->write(instance_->output_exchange());
        cycles_at_signal = instance_->cycles();
        instance_->signal_block_ready();
        blocks_.fetch_add(1, std::memory_order_relaxed);

        // The next block is due at start + (block + 1) * F / R.
        const uint64_t due = start_ns + (block + 1) * period_ns_num / config_.sample_rate_Hz;
        timespec when{static_cast<time_t>(due / 1'000'000'000ull), static_cast<long>(due % 1'000'000'000ull)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
        }
    }
}

void VirtualDevice::run_freewheel() {
    enable_flush_to_zero();
    // The engine's output lags its input by one block: the first block's output is
    // what was there before the start, and one silent block at the end flushes the
    // last real block. Only output that belongs to input is written.
    const bool fed = static_cast<bool>(config_.feed);
    uint64_t total = fed ? 0 : reader_ ? reader_->frames() : config_.length_frames;
    const bool unbounded = !reader_ && !fed && total == 0;
    bool input_ended = !fed;  // a feed's length is known once it has ended
    uint64_t written = 0;
    bool first = true;
    // Nothing runs beside the engine here: the cycles run on this thread rather
    // than being handed to the engine thread and waited for, block by block.
    instance_->take_cycles();
    for (;;) {
        if (stop_.load(std::memory_order_relaxed)) break;
        const size_t frames_in = fill_input(false, !input_ended);
        if (!input_ended) {
            total += frames_in;
            input_ended = frames_in < instance_->input_exchange().size() / 2;
        }
        if (!first) {
            std::span<const float> out = instance_->output_exchange();
            const bool bounded = !unbounded && input_ended;
            const uint64_t frames = bounded ? std::min<uint64_t>(out.size() / 2, total - written) : out.size() / 2;
            if (config_.sink) config_.sink(out.first(2 * frames));
            else if (writer_) writer_->write(out.first(2 * frames));
            written += frames;
            if (bounded && written >= total) break;
        }
        first = false;
        instance_->run_cycle_here();
        if (config_.after_block) config_.after_block();
        blocks_.fetch_add(1, std::memory_order_relaxed);
    }
    finished_.store(true, std::memory_order_release);
    finished_.notify_all();
}

}  // namespace torvalen
