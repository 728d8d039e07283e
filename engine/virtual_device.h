// The built-in virtual sound card: drives one instance's engine without hardware.
//
// Timer mode paces blocks of F frames at the device rate on the monotonic clock,
// like a sound card would; freewheel mode runs as fast as the engine, waits for
// every cycle and drops nothing (offline rendering and tests). Input comes from a
// WAV file (looped in timer mode, played once in freewheel mode) or is silence;
// output goes to a 32-bit float WAV file or is discarded.
//
// Threads: start/stop on the control thread; one device thread per device, which
// does the exchange and signals the engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "engine/buses.h"
#include "engine/wav_file.h"

namespace torvalen {

class Instance;

struct VirtualDeviceConfig {
    uint32_t sample_rate_Hz = 48000;
    uint32_t frame_size = 256;         // frames per block
    std::filesystem::path input;       // empty: silence
    std::filesystem::path output;      // empty: discarded
    bool freewheel = false;
    // Freewheel mode without an input file: frames of silence to render before
    // finishing (0: run until stopped).
    uint64_t length_frames = 0;
    // Freewheel mode: called on the device thread after every block, before the
    // next. An offline render lets the workers that feed the engine (the RDS
    // modulator) catch up here, which a real-time device never waits for.
    std::function<void()> after_block;
    // Freewheel mode, in place of the input file: fills the span with interleaved
    // frames and returns how many; fewer than asked ends the input (the rest of that
    // block is silence). The output then has exactly the frames fed.
    std::function<size_t(std::span<float>)> feed;
    // Freewheel mode, in place of the output file: receives the output that belongs
    // to input, block by block.
    std::function<void(std::span<const float>)> sink;
};

inline constexpr uint32_t max_virtual_frame_size = 16384;

// Whether the virtual device runs at `rate_Hz` with blocks of `frames`: 48000 or
// 192000 Hz, 1 to max_virtual_frame_size frames, a multiple of 4 at 192000 Hz.
inline bool valid_virtual_block(uint32_t rate_Hz, uint32_t frames) {
    return is_device_rate(rate_Hz) && frames != 0 && frames <= max_virtual_frame_size &&
           (rate_Hz != mpx_rate_Hz || frames % 4 == 0);
}

class VirtualDevice {
public:
    // Checks the configuration and opens the files. nullptr with a reason in
    // `error` for a rate other than 48000 or 192000, a frame size of 0 (or above
    // the maximum), a frame size that is not a multiple of 4 at 192000, or an input
    // file that cannot be read or runs at another rate.
    static std::unique_ptr<VirtualDevice> open(const VirtualDeviceConfig& config, std::string& error);
    ~VirtualDevice();
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    // Starts the instance's engine at this device's rate and block, then the
    // device thread. False (with a reason) when the engine refuses.
    bool start(Instance& instance, std::string& error);
    // Stops the device thread, then the engine. The output file stays open, so a
    // later start appends to it.
    void stop();
    bool running() const { return thread_.joinable(); }

    // Freewheel mode: true once the whole input has been rendered.
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    void wait_finished();

    uint64_t blocks() const { return blocks_.load(std::memory_order_relaxed); }
    const VirtualDeviceConfig& config() const { return config_; }
    // Closes the output file, writing its final header.
    bool close_output();

private:
    explicit VirtualDevice(const VirtualDeviceConfig& config) : config_(config) {}
    void run_timed();
    void run_freewheel();
    // Fills the instance's input exchange for one block; returns the frames that
    // came from the input file or the feed (the rest is silence). A feed is asked only
    // while `feed_open`.
    size_t fill_input(bool loop, bool feed_open = false);

    VirtualDeviceConfig config_;
    std::unique_ptr<WavReader> reader_;
    std::unique_ptr<WavWriter> writer_;
    Instance* instance_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<uint64_t> blocks_{0};
};

}  // namespace torvalen
