#include "stream/stream_slot.h"

#include <chrono>

namespace torvalen::stream {

StreamSlot::StreamSlot(unsigned index, const StationState& station) : index_(index), station_(station) {
    // The pieces of one encoding pass are gathered and go to the servers in one
    // send each: the same bytes in the same order, with a fraction of the calls.
    pending_.reserve(64 * 1024);
    sink_ = [this](std::span<const uint8_t> piece) { pending_.insert(pending_.end(), piece.begin(), piece.end()); };
    thread_ = std::thread([this] { run(); });
}

StreamSlot::~StreamSlot() {
    {
        std::lock_guard lock(events_lock_);
        quit_ = true;
        cancel_.store(true);
        events_cv_.notify_all();
    }
    thread_.join();
}

void StreamSlot::start() {
    std::unique_lock lock(events_lock_);
    const uint64_t wanted = acks_ + 1;
    start_ = true;
    stop_ = false;
    events_cv_.notify_all();
    events_cv_.wait(lock, [&] { return acks_ >= wanted; });
}

void StreamSlot::stop() {
    std::unique_lock lock(events_lock_);
    const uint64_t wanted = acks_ + 1;
    stop_ = true;
    start_ = false;
    cancel_.store(true);
    events_cv_.notify_all();
    events_cv_.wait(lock, [&] { return acks_ >= wanted; });
}

void StreamSlot::song_changed() {
    std::lock_guard lock(events_lock_);
    song_ = true;
    events_cv_.notify_all();
}

bool StreamSlot::stop_requested() {
    std::lock_guard lock(events_lock_);
    return quit_ || stop_;
}

void StreamSlot::run() {
    std::unique_lock lock(events_lock_);
    for (;;) {
        const std::chrono::milliseconds period{std::max<uint32_t>(station_.settings().timeout_ms, 100)};
        const bool woken =
            events_cv_.wait_for(lock, period, [&] { return quit_ || start_ || stop_ || lost_ || song_; });
        const bool quit = quit_, start = start_, stop = stop_, lost = lost_, song = song_;
        start_ = stop_ = lost_ = song_ = false;
        lock.unlock();

        auto acknowledge = [&] {
            std::lock_guard l(events_lock_);
            ++acks_;
            events_cv_.notify_all();
        };
        if (quit) {
            do_stop();
            return;
        }
        if (stop) {
            do_stop();
            acknowledge();
        } else if (start) {
            cancel_.store(false);
            failed_ = 0;
            running_.store(true, std::memory_order_release);
            acknowledge();  // the attempts run on; a stop cancels them
            connect_pending();
        } else if (running_.load() && (lost || (!woken && failed_ > 0))) {
            // A lost connection is retried at once, failed attempts every TimeOut.
            handle_lost();
            connect_pending();
        }
        if (song && running_.load()) send_song();
        lock.lock();
    }
}

void StreamSlot::do_stop() {
    running_.store(false, std::memory_order_release);
    close_encoder();
    for (auto& s : streams) s->disconnect();
    failed_ = 0;
    cancel_.store(false);
}

void StreamSlot::handle_lost() {
    for (auto& s : streams) {
        if (s->lost()) {
            s->close_socket();
            s->clear_lost();
            s->set_metadata_status(metadata_none);
        }
    }
    bool any = false;
    for (auto& s : streams) any = any || s->connected();
    if (!any) close_encoder();
}

void StreamSlot::connect_pending() {
    const StationSettings station = station_.settings();
    const StreamFormat format = encoder.format();
    bool joined = false;
    failed_ = 0;
    for (auto& s : streams) {
        if (stop_requested()) return;
        if (!s->settings().enabled || s->connected()) continue;
        if (s->connect(station, format, cancel_)) {
            joined = true;
        } else {
            ++failed_;
        }
    }
    if (stop_requested()) return;
    bool any = false;
    for (auto& s : streams) any = any || s->connected();
    if (!any) return;
    // A connection that joins a running Ogg stream would miss its headers: the
    // encoder starts a new stream for everyone.
    if (joined && open_type() != 0 && (encoder.type == encoder_vorbis || encoder.type == encoder_opus))
        close_encoder();
    if (open_type() == 0) {
        open_encoder();
        if (open_type() == 0) {
            for (auto& s : streams) {
                if (!s->connected()) continue;
                s->disconnect();
                s->set_status(status_encoder_not_initialized);
            }
            return;
        }
    }
    if (joined && station.now_playing && station_.song()) send_song();
}

void StreamSlot::open_encoder() {
    const StationSettings station = station_.settings();
    // The station name goes into the stream's tags when titles are not sent.
    const std::string* title = !station.now_playing && !station.name.empty() ? &station.name : nullptr;
    std::unique_ptr<SlotEncoder> codec = SlotEncoder::open(encoder, title);
    std::lock_guard lock(slot_lock_);
    codec_ = std::move(codec);
    open_type_.store(codec_ ? codec_->type() : 0, std::memory_order_release);
}

void StreamSlot::close_encoder() {
    std::unique_ptr<SlotEncoder> old;
    {
        std::lock_guard lock(slot_lock_);
        old = std::move(codec_);
        open_type_.store(0, std::memory_order_release);
    }
}

void StreamSlot::send_song() {
    const StationSettings station = station_.settings();
    if (!station.now_playing || open_type() == 0) return;
    const std::optional<std::string> song = station_.song();
    for (auto& s : streams) {
        if (!s->settings().enabled || !s->connected()) continue;
        s->update_metadata(station, encoder.type, song ? &*song : nullptr, cancel_);
    }
}

void StreamSlot::encode(std::span<const float> block48k) {
    std::unique_lock lock(slot_lock_, std::try_to_lock);
    if (!lock.owns_lock() || !codec_) return;
    pending_.clear();
    codec_->encode(block48k, sink_);
    if (pending_.empty()) return;
    const std::chrono::milliseconds short_timeout{station_.short_timeout_ms()};
    bool lost = false;
    for (auto& s : streams) {
        if (!s->settings().enabled || !s->connected() || s->lost()) continue;
        if (!s->send(pending_, short_timeout)) lost = true;
    }
    if (lost) {
        std::lock_guard events(events_lock_);
        lost_ = true;
        events_cv_.notify_all();
    }
}

}  // namespace torvalen::stream
