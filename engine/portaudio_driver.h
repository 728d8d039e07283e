// Sound cards through PortAudio: its ALSA host API for cards, its JACK host API
// for a running JACK server.
//
// Every PortAudio device is one driver, named by PortAudio's device name (the
// first device of that name when two host APIs offer one). A stream opened for a
// driver carries every channel of the device, non-interleaved, in the device's
// native sample type where PortAudio lets us know it: float for JACK, 32-bit
// integer for ALSA (the widest integer type cards offer; PortAudio converts for
// cards that take less).
//
// PortAudio reads the device list when it initialises. A rescan (a card appeared,
// or a device is missing) therefore re-initialises it, which is only safe when no
// driver of ours holds a device: a rescan that is asked for while drivers are
// open waits (bounded) for them to be released: every context restarts after a
// device change, so they all pass through that point.
//
// Threads: all PortAudio calls are serialised by the system's mutex (PortAudio is
// not thread-safe); the stream callback runs on PortAudio's or JACK's thread and
// takes no lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "engine/audio_driver.h"

namespace torvalen {

class PortAudioSystem final : public DriverSystem {
public:
    // Initialises PortAudio. nullptr with the reason when it refuses.
    static std::unique_ptr<PortAudioSystem> open(std::string& error);
    ~PortAudioSystem() override;
    PortAudioSystem(const PortAudioSystem&) = delete;
    PortAudioSystem& operator=(const PortAudioSystem&) = delete;

    std::vector<DriverDescription> enumerate() override;
    std::unique_ptr<AudioDriver> create(std::string_view name) override;
    void rescan() override;

private:
    friend class PortAudioDriver;
    PortAudioSystem() = default;
    // Under mutex_. Re-initialises PortAudio when no driver is open.
    bool reinitialise_locked();
    // Under mutex_: runs a pending rescan, waiting up to `wait` for open drivers
    // to be released.
    void settle_locked(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds wait);
    void driver_released();
    // A JACK device whose period turned out to differ from our block.
    bool needs_adapting(const std::string& name);
    void set_needs_adapting(const std::string& name);

    std::mutex mutex_;
    std::condition_variable released_;
    bool initialised_ = false;
    int open_drivers_ = 0;
    bool rescan_pending_ = false;
    bool open_failed_ = false;  // a device failed to open since the last scan
    std::chrono::steady_clock::time_point last_scan_{};
    std::mutex adapt_mutex_;
    std::vector<std::string> adapted_;  // under adapt_mutex_
};

}  // namespace torvalen
