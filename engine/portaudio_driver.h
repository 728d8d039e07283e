// Sound cards through PortAudio's ALSA host API. (A JACK server is driven
// through libjack, jack_driver.h: PortAudio's JACK host API is kept from
// starting.)
//
// Every PortAudio device is one driver, named by PortAudio's device name. A
// stream opened for a driver carries every channel of the device,
// non-interleaved, in 32-bit integers (the widest integer type cards offer;
// PortAudio converts for cards that take less).
//
// PortAudio reads the device list when it initialises. A rescan (a card appeared,
// a device is missing, or a device failed to open) therefore re-initialises it,
// which is only safe when no stream of ours is open: a rescan that is asked for
// while streams are open waits (bounded) for them to be closed: every context
// restarts after a device change, so they all pass through that point.
//
// A stream whose stop or close never returns (a driver that hangs) is abandoned:
// the device layer runs stop and close on a helper thread and gives up after a
// bounded wait; the stuck call keeps PortAudio's lock, so every other call here
// gives up after a bounded wait for the lock instead of queueing behind it
// (contexts then run on the virtual device and retry every second). While a call
// is stuck PortAudio is never terminated (that would wait for the same call and
// then free what it still uses): the process exits without Pa_Terminate instead.
//
// Threads: all PortAudio calls are serialised by the system's lock (PortAudio is
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

    // What drivers and a stuck PortAudio call share with the system. A call that
    // is still stuck in PortAudio when the system goes away keeps it (leaked), so
    // it finds its lock when it returns.
    struct Shared {
        std::timed_mutex mutex;  // serialises every PortAudio call
        std::condition_variable_any closed;
        bool initialised = false;
        uint64_t generation = 0;  // bumped by each (re-)initialisation
        int open_streams = 0;
        bool rescan_pending = false;
        bool open_failed = false;  // a device failed to open since the last scan
        std::chrono::steady_clock::time_point last_scan{};
        std::mutex adapt_mutex;
        std::vector<std::string> adapted;  // under adapt_mutex
    };

private:
    friend class PortAudioDriver;
    PortAudioSystem() : shared_(new Shared) {}
    using Lock = std::unique_lock<std::timed_mutex>;
    // The PortAudio lock within a bounded wait (owns_lock() false when a stuck
    // call holds it).
    Lock lock();
    // Under the lock. Re-initialises PortAudio when no stream is open.
    bool reinitialise_locked();
    // Under the lock: runs a pending rescan, waiting up to `wait` for open
    // streams to be closed.
    void settle_locked(Lock& lock, std::chrono::milliseconds wait);
    // A JACK device whose period turned out to differ from our block.
    static bool needs_adapting(Shared& shared, const std::string& name);
    static void set_needs_adapting(Shared& shared, const std::string& name);

    Shared* shared_;  // owned; leaked when a PortAudio call is stuck at destruction
};

}  // namespace torvalen
