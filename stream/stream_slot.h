// One encoder slot of Stream TX: its encoder, up to eight server connections and
// the control thread that connects, reconnects, opens and closes the encoder and
// sends song titles.
//
// Threads and locks:
// - control thread of the application: start()/stop() (each waits for the slot's
//   thread to take the request), set_song_pending(); settings and the stream list
//   change only while the slot is stopped.
// - the slot's own control thread: connect attempts (cancelled by stop and quit),
//   reconnects every TimeOut after failures and at once after a lost connection,
//   encoder open and close under slot_lock_, metadata requests.
// - the encoder thread: encode() under a try-lock of slot_lock_ (a block meets a
//   slot that is being opened or closed is skipped for it, never waited for).
#pragma once

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

#include "stream/encoder.h"
#include "stream/icecast_client.h"

namespace torvalen::stream {

inline constexpr std::size_t max_streams = 8;

// What every slot reads of the module's settings: the station values and the
// current song text, under one lock.
class StationState {
public:
    StationSettings settings() const {
        std::lock_guard lock(lock_);
        return settings_;
    }
    void set_settings(const StationSettings& s) {
        std::lock_guard lock(lock_);
        settings_ = s;
        short_timeout_ms_.store(s.short_timeout_ms, std::memory_order_relaxed);
    }
    // The per-send time-out, read by the encoder thread for every piece.
    uint32_t short_timeout_ms() const { return short_timeout_ms_.load(std::memory_order_relaxed); }
    std::optional<std::string> song() const {
        std::lock_guard lock(lock_);
        return song_;
    }
    void set_song(std::optional<std::string> song) {
        std::lock_guard lock(lock_);
        song_ = std::move(song);
    }

private:
    mutable std::mutex lock_;
    StationSettings settings_;
    std::optional<std::string> song_;
    std::atomic<uint32_t> short_timeout_ms_{StationSettings{}.short_timeout_ms};
};

class StreamSlot {
public:
    StreamSlot(unsigned index, const StationState& station);
    ~StreamSlot();  // stops and ends the control thread
    StreamSlot(const StreamSlot&) = delete;
    StreamSlot& operator=(const StreamSlot&) = delete;

    unsigned index() const { return index_; }

    // ---- Settings (application control thread; only while stopped) ----
    bool enabled = true;
    EncoderSettings encoder;
    std::vector<std::unique_ptr<SourceConnection>> streams;

    // ---- Commands (application control thread) ----
    // Starts connecting the enabled streams; returns once the slot's thread took it.
    void start();
    // Disconnects every stream and closes the encoder; returns once done.
    void stop();
    bool running() const { return running_.load(std::memory_order_acquire); }
    // A new song text is in the station state: send it to the servers.
    void song_changed();

    // Encoder state: 0 closed, otherwise the type of the open encoder.
    uint32_t open_type() const { return open_type_.load(std::memory_order_acquire); }

    // ---- Encoder thread ----
    // Encodes one 48 kHz block and sends it to every connected stream.
    void encode(std::span<const float> block48k);

private:
    void run();
    void do_stop();
    void connect_pending();
    void handle_lost();
    void open_encoder();
    void close_encoder();
    void send_song();
    bool stop_requested();

    const unsigned index_;
    const StationState& station_;

    std::mutex events_lock_;
    std::condition_variable events_cv_;
    bool quit_ = false, start_ = false, stop_ = false, lost_ = false, song_ = false;  // under events_lock_
    uint64_t acks_ = 0;                                                                 // under events_lock_
    CancelFlag cancel_{false};

    std::atomic<bool> running_{false};
    uint32_t failed_ = 0;  // slot thread: failed attempts since the last success

    std::mutex slot_lock_;                  // the encoder and the stream list while encoding
    std::unique_ptr<SlotEncoder> codec_;    // under slot_lock_
    std::atomic<uint32_t> open_type_{0};
    PieceSink sink_;
    std::vector<uint8_t> pending_;  // encoder thread: the current pass's pieces

    std::thread thread_;
};

}  // namespace torvalen::stream
