#include "stl/stl_tx.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <pthread.h>
#include <random>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/avcodec_library.h"
#include "engine/log.h"
#include "engine/realtime.h"
#include "stl/byte_stream.h"
#include "stl/connect.h"
#include "stl/connection.h"

namespace torvalen::stl {

namespace {

using params::ControlKind;
using params::ControlRecord;

constexpr std::array<ControlRecord, tx_record_count> tx_table = {{
    {"STL_TX TX", ControlKind::page},
    {"Input Enable", ControlKind::group},
    {"Off\nOn\n", ControlKind::list, 0, offsetof(StlTxParams, input_enable), 0.0f, 1.0f, 1.0f, 1.0f, 0.0f, 1.0f},
    {"Input Select", ControlKind::group},
    {"Sound In\nPlayer\nSTL RX\nSig Gen\nProc\nSound Out\n", ControlKind::list, 0, offsetof(StlTxParams, input_select),
     0.0f, 5.0f, 1.0f, 4.0f, 0.0f, 5.0f},
    {"Input Levels", ControlKind::group},
    {"dB", ControlKind::gain_db, 0, offsetof(StlTxParams, gain), -10.0f, 0.0f, 0.1f, 0.0f, -10.0f, 0.0f},
}};

std::span<std::byte> bytes_of(StlTxParams& p) { return std::as_writable_bytes(std::span(&p, 1)); }

// Room for the largest block any bus holds at a sensible device block size
// (8192 frames at 48 kHz give 65536 floats on a 192 kHz bus); allocated once.
constexpr size_t slot_capacity = 1u << 17;
constexpr float pcm_scale = 1.0f / 65536.0f;

int16_t to_pcm(float x) {
    float v = std::round(x * pcm_scale);  // half away from zero
    if (!(v >= -32767.0f)) v = std::isnan(v) ? 0.0f : -32767.0f;
    if (v > 32767.0f) v = 32767.0f;
    return static_cast<int16_t>(v);
}

}  // namespace

std::span<const params::ControlRecord> stl_tx_controls() { return tx_table; }

struct StlTx::Link {
    std::atomic<int> fd{-1};
    std::unique_ptr<SocketStream> stream;
    std::unique_ptr<Connection> connection;
    TxStatus result = TxStatus::connecting;
    bool ok = false;
    ~Link() {
        if (fd >= 0) ::close(fd);
    }
    void shut() {
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    }
};

std::unique_ptr<StlTx> StlTx::create(const SettingsKey& instance_key, uint32_t& error, StlTxOptions options) {
    const std::optional<SettingsKey> key = instance_key.create(tx_key_name);
    if (!key) {
        error |= 1u;
        return nullptr;
    }
    std::unique_ptr<StlTx> m(new StlTx(*key, options));
    std::string why;
    m->controls_ = params::ControlSet::create(tx_table, *m, "STL_TX TX", true, why);
    if (!m->controls_) {
        error |= 1u;
        return nullptr;
    }
    if (options.start_preset_bar) {
        params::PresetBarOptions bar;
        bar.version = tx_key_name;
        m->preset_bar_ = std::make_unique<params::PresetBar>(*m->controls_, *key, bar);
    }
    if (m->now_playing_) {
        StlTx* self = m.get();
        m->np_subscription_ =
            m->now_playing_->subscribe(NowPlayingOutput::stl, [self](const std::optional<torvalen::NowPlayingText>& t) {
                {
                    std::lock_guard g(self->np_lock_);
                    self->np_text_ = t;
                }
                self->np_dirty_.store(true);
                self->wake_.fetch_add(1);
                self->wake_.notify_one();
            });
        m->np_text_ = m->now_playing_->output_text(NowPlayingOutput::stl);
    }
    m->sender_thread_ = std::thread([p = m.get()] { p->sender_main(); });
    m->key_thread_ = std::thread([p = m.get()] { p->key_main(); });
    m->control_thread_ = std::thread([p = m.get()] { p->control_main(); });
    const TxSettings s = m->settings();
    if (s.connect_at_startup && s.enable) {
        m->crypto_.bind();
        m->connect();
    }
    return m;
}

StlTx::StlTx(const SettingsKey& key, const StlTxOptions& options)
    : key_(key),
      crypto_(options.crypto ? *options.crypto : process_crypto()),
      now_playing_(options.now_playing),
      key_renewal_(options.key_renewal),
      settings_(load_tx_settings(key)) {
    for (Slot& s : slots_) s.data.resize(slot_capacity);
    block_.resize(slot_capacity);
    pcm_.resize(slot_capacity);
    aac_in_.resize(2 * aac_frame_samples);
    aac_out_.reserve(2 * 6144);
    held_.fill(1.0f);
}

StlTx::~StlTx() {
    if (now_playing_ && np_subscription_) now_playing_->unsubscribe(np_subscription_);
    {
        std::lock_guard g(control_lock_);
        quit_ = true;
    }
    control_cv_.notify_all();
    if (control_thread_.joinable()) control_thread_.join();
    {
        std::lock_guard g(key_wait_lock_);
        stop_workers_.store(true);
    }
    wake_.fetch_add(1);
    wake_.notify_one();
    key_wait_cv_.notify_all();
    if (sender_thread_.joinable()) sender_thread_.join();
    if (key_thread_.joinable()) key_thread_.join();
    preset_bar_.reset();
    save_tx_settings(key_, settings());
}

// ---- Parameters and settings ----

bool StlTx::set_value(uint32_t index, float display) {
    std::lock_guard g(lock_);
    return params::set_by_rule(tx_table, params::TableStyle::offset, bytes_of(params_), index, display);
}

bool StlTx::get_value(uint32_t index, float& display) {
    std::lock_guard g(lock_);
    return params::get_by_rule(tx_table, params::TableStyle::offset, bytes_of(params_), index, display);
}

void StlTx::set_unlocked(bool unlocked) {
    if (controls_) controls_->set_enabled(unlocked);
    if (preset_bar_) preset_bar_->set_enabled(unlocked);
}

void StlTx::save_settings() {
    if (preset_bar_) {
        preset_bar_->sync_working_copy();
        preset_bar_->save_settings();
    }
    save_tx_settings(key_, settings());
}

TxSettings StlTx::settings() const {
    std::lock_guard g(lock_);
    return settings_;
}

void StlTx::apply_settings(const TxSettings& s) {
    const bool running = state_.load() != State::disconnected;
    if (running) disconnect();
    {
        std::lock_guard g(lock_);
        settings_ = s;
        normalise(settings_);
    }
    save_tx_settings(key_, settings());
    status_changes_.fetch_add(1);
    if (running) connect();
}

bool StlTx::has_key_pair() const {
    std::lock_guard g(key_lock_);
    return key_pair_ != nullptr;
}

void StlTx::set_status(TxStatus s) {
    status_.store(s);
    status_changes_.fetch_add(1, std::memory_order_release);
}

// ---- Engine thread ----

void StlTx::clear_meters() { held_.fill(1.0f); }

void StlTx::process(const Buses& buses, bool tick) {
    if (lock_.try_lock()) {
        engine_ = params_;
        lock_.unlock();
    }
    const uint32_t select = std::min<uint32_t>(engine_.input_select, bus_count - 1);
    const float* source = buses.data[select];
    const uint32_t count = buses.count[select];
    const uint32_t rate = buses.rate[select] == 0 ? chain_rate_Hz : buses.rate[select];
    if (!engine_.input_enable || !source || count == 0) {
        held_.fill(1.0f);
    } else {
        const float gain = engine_.gain;
        dsp::LevelDetector& detector = rate == mpx_rate_Hz ? level_192_ : level_48_;
        for (uint32_t i = 0; i + 1 < count; i += 2) {
            const float l = std::isfinite(source[i]) ? source[i] * gain : 0.0f;
            const float r = std::isfinite(source[i + 1]) ? source[i + 1] * gain : 0.0f;
            detector.push(l, r, held_);
        }
        detector.flush(held_);
        // The block goes to the sender only while a stream is active (otherwise the
        // sender would discard it, and waking it every block costs system calls and
        // context switches) and only when the lock is free at once: a block the
        // sender is busy with is dropped, never waited for.
        if (!engine_streaming_.load(std::memory_order_acquire)) {
            // Nothing to send to.
        } else if (count <= slot_capacity && encoder_lock_.try_lock()) {
            const unsigned target = 1 - last_filled_;
            Slot& slot = slots_[target];
            for (uint32_t i = 0; i < count; ++i)
                slot.data[i] = std::isfinite(source[i]) ? source[i] * gain : 0.0f;
            slot.count = count;
            slot.rate = rate;
            slot.sequence = next_sequence_++;
            last_filled_ = target;
            encoder_lock_.unlock();
            blocks_queued_.fetch_add(1, std::memory_order_relaxed);
            wake_.fetch_add(1, std::memory_order_release);
            wake_.notify_one();
        } else {
            blocks_dropped_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (tick) {
        StlTxMeters& m = meters_.back();
        for (int k = 0; k < 6; ++k) m[k] = static_cast<float>(dsp::level_dBFS(held_[k]));
        meters_.publish();
        held_.fill(1.0f);
    }
}

// ---- Sender thread ----

void StlTx::sender_main() {
    ::pthread_setname_np(::pthread_self(), "stl-tx-send");
    // The sender empties a mailbox of two blocks: at normal priority a busy machine
    // can hold it back longer than that, and blocks are lost.
    std::string why;
    if (realtime_wanted()) make_thread_realtime(why, feeder_thread_priority);
    enable_flush_to_zero();
    uint32_t seen = wake_.load();
    for (;;) {
        wake_.wait(seen, std::memory_order_acquire);
        seen = wake_.load(std::memory_order_acquire);
        if (stop_workers_.load()) return;
        // Every block not yet sent, oldest first: a sender woken late for two blocks
        // sends both rather than losing one.
        for (;;) {
            uint32_t count = 0, rate = 0;
            {
                std::lock_guard g(encoder_lock_);
                if (!stream_active_) {
                    sent_sequence_ = next_sequence_ - 1;
                    break;
                }
                const Slot* pick = nullptr;
                for (const Slot& s : slots_)
                    if (s.sequence > sent_sequence_ && (!pick || s.sequence < pick->sequence)) pick = &s;
                if (!pick) break;
                // Blocks the engine wrote over before they were taken are lost.
                if (sent_sequence_ != 0 && pick->sequence > sent_sequence_ + 1)
                    blocks_overwritten_.fetch_add(pick->sequence - sent_sequence_ - 1, std::memory_order_relaxed);
                std::memcpy(block_.data(), pick->data.data(), pick->count * sizeof(float));
                count = pick->count;
                rate = pick->rate;
                sent_sequence_ = pick->sequence;
            }
            std::lock_guard g(send_lock_);
            if (sending_link_ && !send_block(block_.data(), count, rate)) {
                sending_link_ = nullptr;
                link_broken();
            }
        }
        if (np_dirty_.exchange(false)) {
            std::lock_guard g(send_lock_);
            if (sending_link_ && stream_settings_.enable_now && !send_now_playing_locked()) {
                sending_link_ = nullptr;
                link_broken();
            }
        }
    }
}

bool StlTx::send_block(const float* data, uint32_t count, uint32_t rate) {
    const PcmSettings& pcm = stream_settings_.pcm;
    if (stream_settings_.encoder_type == encoder_aac) return send_aac(data, count, rate);
    const uint32_t frames = count / 2;
    size_t n = 0;  // samples written to pcm_
    const bool mono = pcm.channels == 1 || pcm.sample_rate == mpx_rate_Hz;
    auto put = [&](float l, float r) {
        if (mono) {
            pcm_[n++] = to_pcm((l + r) * 0.5f);
        } else {
            pcm_[n++] = to_pcm(l);
            pcm_[n++] = to_pcm(r);
        }
    };
    if (rate == mpx_rate_Hz && pcm.sample_rate == chain_rate_Hz) {
        for (uint32_t f = 0; f + 3 < frames; f += 4) {
            dsp::SubSamples sub;
            for (int j = 0; j < 4; ++j) {
                sub.l[j] = data[2 * (f + j)];
                sub.r[j] = data[2 * (f + j) + 1];
            }
            float l, r;
            decimator_.process(sub, l, r);
            put(l, r);
        }
    } else if (rate == mpx_rate_Hz) {
        for (uint32_t f = 0; f < frames; ++f) {
            const float l = data[2 * f], r = data[2 * f + 1];
            const float x = pcm.mono_mode == 1 ? l : pcm.mono_mode == 2 ? r : (l + r) * 0.5f;
            pcm_[n++] = to_pcm(x);
        }
    } else if (pcm.sample_rate == mpx_rate_Hz) {
        for (uint32_t f = 0; f < frames; ++f) {
            const float x = (data[2 * f] + data[2 * f + 1]) * 0.5f;
            const dsp::SubSamples sub = interpolator_.process(x, x);
            for (int j = 0; j < 4; ++j) pcm_[n++] = to_pcm(sub.l[j]);
        }
    } else {
        for (uint32_t f = 0; f < frames; ++f) put(data[2 * f], data[2 * f + 1]);
    }
    // One bit of dither per sample, +-1 LSB, eight bits from every random draw.
    for (size_t i = 0; i < n; ++i) {
        if (dither_left_ == 0) {
            random_state_ ^= random_state_ << 13;
            random_state_ ^= random_state_ >> 17;
            random_state_ ^= random_state_ << 5;
            dither_bits_ = random_state_ >> 24;
            dither_left_ = 8;
        }
        const int v = pcm_[i] + ((dither_bits_ & 1) ? 1 : -1);
        dither_bits_ >>= 1;
        --dither_left_;
        pcm_[i] = static_cast<int16_t>(std::clamp(v, -32768, 32767));
    }
    // Packets hold at most max_payload_size bytes: a large block goes as several,
    // each a whole number of frames.
    const size_t channels = mono ? 1 : 2;
    const size_t per_packet = max_payload_size / 2 / channels * channels;
    Connection& c = *sending_link_->connection;
    for (size_t at = 0; at < n; at += per_packet) {
        const size_t take = std::min(per_packet, n - at);
        std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(pcm_.data() + at), take * 2);
        if (!c.send(packet_type::pcm, bytes)) return false;
        packets_sent_.fetch_add(1, std::memory_order_relaxed);
        rate_bits_ += 8 * long_packet_size(bytes.size());
    }
    // Streaming bit rate over about one second of audio.
    const uint64_t out_rate = pcm.sample_rate == mpx_rate_Hz ? mpx_rate_Hz : chain_rate_Hz;
    rate_frames_ += n / channels;
    if (rate_frames_ > out_rate) {
        bit_rate_.store(rate_bits_ * out_rate / rate_frames_);
        rate_frames_ = rate_bits_ = 0;
        status_changes_.fetch_add(1, std::memory_order_release);
    }
    return true;
}

bool StlTx::send_aac(const float* data, uint32_t count, uint32_t rate) {
    const uint32_t frames = count / 2;
    if (rate == mpx_rate_Hz) {
        for (uint32_t f = 0; f + 3 < frames; f += 4) {
            dsp::SubSamples sub;
            for (int j = 0; j < 4; ++j) {
                sub.l[j] = data[2 * (f + j)];
                sub.r[j] = data[2 * (f + j) + 1];
            }
            float l, r;
            decimator_.process(sub, l, r);
            if (!aac_put(l, r)) return false;
        }
        rate_frames_ += frames / 4;
    } else {
        for (uint32_t f = 0; f < frames; ++f)
            if (!aac_put(data[2 * f], data[2 * f + 1])) return false;
        rate_frames_ += frames;
    }
    if (rate_frames_ > chain_rate_Hz) {
        bit_rate_.store(rate_bits_ * chain_rate_Hz / rate_frames_);
        rate_frames_ = rate_bits_ = 0;
        status_changes_.fetch_add(1, std::memory_order_release);
    }
    return true;
}

// Collects 16-bit samples (mono: the left channel) and encodes every whole frame;
// what one encoder call gives goes out as one packet.
bool StlTx::aac_put(float l, float r) {
    const uint32_t channels = aac_->channels();
    aac_in_[aac_fill_++] = to_pcm(l);
    if (channels == 2) aac_in_[aac_fill_++] = to_pcm(r);
    if (aac_fill_ < size_t(aac_frame_samples) * channels) return true;
    aac_fill_ = 0;
    aac_out_.clear();
    if (!aac_->encode(std::span<const int16_t>(aac_in_.data(), size_t(aac_frame_samples) * channels), aac_out_))
        return true;  // a codec error costs this frame only
    if (aac_out_.empty()) return true;
    if (aac_out_.size() > max_payload_size) return true;
    if (!sending_link_->connection->send(packet_type::aac, aac_out_)) return false;
    packets_sent_.fetch_add(1, std::memory_order_relaxed);
    rate_bits_ += 8 * long_packet_size(aac_out_.size());
    return true;
}

std::string StlTx::current_now_playing() const {
    std::lock_guard g(np_lock_);
    if (!np_text_) return {};
    if (np_text_->artist.empty() && np_text_->title.empty()) return now_playing_payload(np_text_->text, {});
    return now_playing_payload(np_text_->artist, np_text_->title);
}

bool StlTx::send_now_playing_locked() {
    const std::string payload = current_now_playing();
    if (payload.empty()) return true;
    return sending_link_->connection->send_text(packet_type::now_playing, payload);
}

void StlTx::link_broken() {
    {
        std::lock_guard g(control_lock_);
        broken_ = true;
    }
    control_cv_.notify_all();
}

// ---- Key-pair thread ----

void StlTx::key_main() {
    ::pthread_setname_np(::pthread_self(), "stl-tx-keys");
    auto pause = [this](std::chrono::milliseconds d) {
        std::unique_lock l(key_wait_lock_);
        key_wait_cv_.wait_for(l, d, [this] { return stop_workers_.load() || false; });
        return !(stop_workers_.load() || false);
    };
    {
        // Key pairs cost a second or so of CPU each: none is made before the link
        // is first asked to connect.
        std::unique_lock l(key_wait_lock_);
        key_wait_cv_.wait(l, [this] { return key_wanted_ || stop_workers_.load(); });
        if (stop_workers_.load()) return;
    }
    while (!crypto_.bind())
        if (!pause(std::chrono::milliseconds(1000))) return;
    if (!crypto_.random_seeded()) {
        std::array<uint8_t, 128> entropy{};
        std::random_device rd;
        for (auto& b : entropy) b = static_cast<uint8_t>(rd());
        crypto_.seed_random(entropy);
    }
    bool first = true;
    while (!stop_workers_.load() && !false) {
        auto fresh = std::make_shared<RsaKeyPair>(crypto_.generate_key_pair());
        if (*fresh) {
            std::lock_guard g(key_lock_);
            key_pair_ = std::move(fresh);
        }
        if (first) {
            // Later keys are made at the lowest priority.
            ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 19);
            first = false;
        }
        if (!pause(key_renewal_)) return;
    }
}

// ---- Control thread ----

void StlTx::command(bool& flag) {
    std::unique_lock l(control_lock_);
    flag = true;
    const uint64_t ticket = ++commands_;
    control_cv_.notify_all();
    control_cv_.wait(l, [&] { return acks_ >= ticket; });
}

void StlTx::connect() {
    {
        std::lock_guard g(key_wait_lock_);
        key_wanted_ = true;
    }
    key_wait_cv_.notify_all();
    command(connect_cmd_);
}
void StlTx::disconnect() { command(disconnect_cmd_); }

void StlTx::start_attempt() {
    const TxSettings s = settings();
    std::shared_ptr<RsaKeyPair> key;
    {
        std::lock_guard g(key_lock_);
        key = key_pair_;
    }
    ClientLogin login;
    login.password = s.password;
    login.receive_timeout_ms = static_cast<int>(s.timeout_ms);
    if (s.encoder_type == encoder_pcm)
        login.format = {encoder_pcm, s.pcm.sample_rate == mpx_rate_Hz ? 1u : s.pcm.channels, s.pcm.sample_rate};
    else
        login.format = {s.encoder_type, s.aac.channels, chain_rate_Hz};
    if (s.enable_now) {
        std::string np = current_now_playing();
        if (!np.empty()) login.now_playing = std::move(np);
    }
    attempt_ = std::make_unique<Link>();
    attempt_stop_.store(false);
    state_.store(State::connecting);
    attempt_thread_ = std::thread([this, a = attempt_.get(), s, key, login = std::move(login)]() mutable {
        ConnectResult r = connect_to(s.url, s.port, s.ipv6, static_cast<int>(s.timeout_ms),
                                     static_cast<int>(s.send_timeout_ms), &attempt_stop_);
        if (r.fd < 0) {
            a->result = r.status;
        } else {
            a->fd.store(r.fd);
            a->stream = std::make_unique<SocketStream>(r.fd);
            a->connection = std::make_unique<Connection>(*a->stream);
            if (attempt_stop_.load()) {
                a->result = TxStatus::disconnected;
            } else {
                ClientHandshake h(*a->connection, crypto_, key.get(), std::move(login));
                a->ok = h.run() == ClientHandshake::State::done;
                a->result = h.status();
            }
        }
        {
            std::lock_guard g(control_lock_);
            attempt_done_ = true;
        }
        control_cv_.notify_all();
    });
}

void StlTx::stop_attempt() {
    if (!attempt_thread_.joinable()) return;
    attempt_stop_.store(true);
    if (attempt_) attempt_->shut();
    attempt_thread_.join();
    attempt_.reset();
    std::lock_guard g(control_lock_);
    attempt_done_ = false;
}

void StlTx::close_link(bool send_close) {
    stop_attempt();
    if (!link_) return;
    {
        std::lock_guard g(encoder_lock_);
        stream_active_ = false;
        engine_streaming_.store(false, std::memory_order_release);
    }
    {
        std::lock_guard g(send_lock_);
        sending_link_ = nullptr;
        if (send_close) link_->connection->send_close();
        aac_.reset();
    }
    link_->shut();
    if (receive_thread_.joinable()) receive_thread_.join();
    link_.reset();
    encrypted_.store(false);
}

void StlTx::do_disconnect() {
    close_link(true);
    state_.store(State::disconnected);
    set_status(TxStatus::disconnected);
}

void StlTx::receive_main(Link* link) {
    ::pthread_setname_np(::pthread_self(), "stl-tx-receive");
    // Silence from the receiver is normal: the thread reads until the socket closes.
    for (;;) {
        Incoming in = link->connection->next_packet(1000);
        if (in.status == ReceiveStatus::timeout) continue;
        if (in.status != ReceiveStatus::long_packet && in.status != ReceiveStatus::short_packet) return;
        if (in.status == ReceiveStatus::long_packet && in.type == packet_type::close) {
            set_status(TxStatus::closed_by_remote);
            link_broken();
            return;
        }
    }
}

void StlTx::control_main() {
    ::pthread_setname_np(::pthread_self(), "stl-tx-control");
    using clock = std::chrono::steady_clock;
    clock::time_point retry_time{};
    bool retry_at = false;
    std::unique_lock l(control_lock_);
    auto ack = [&] {
        acks_ = commands_;
        control_cv_.notify_all();
    };
    for (;;) {
        auto pending = [&] { return quit_ || connect_cmd_ || disconnect_cmd_ || broken_ || attempt_done_; };
        if (retry_at)
            control_cv_.wait_until(l, retry_time, pending);
        else
            control_cv_.wait(l, pending);
        if (quit_) {
            l.unlock();
            do_disconnect();
            l.lock();
            ack();
            return;
        }
        if (disconnect_cmd_) {
            disconnect_cmd_ = false;
            connect_cmd_ = false;
            retry_at = false;
            l.unlock();
            do_disconnect();
            l.lock();
            ack();
            continue;
        }
        if (connect_cmd_) {
            connect_cmd_ = false;
            const bool enable = settings().enable;
            if (enable && state_.load() != State::connected && !attempt_thread_.joinable()) {
                retry_at = false;
                l.unlock();
                close_link(false);
                start_attempt();
                set_status(TxStatus::reconnecting);
                l.lock();
            }
            ack();
            continue;
        }
        if (attempt_done_) {
            attempt_done_ = false;
            l.unlock();
            attempt_thread_.join();
            bool up = attempt_->ok;
            TxStatus result = attempt_->result;
            if (up) {
                // The codec library's first load takes tens of milliseconds: not
                // while the engine finds the encoder locked.
                if (settings().encoder_type == encoder_aac) avcodec_library();
                std::scoped_lock g(encoder_lock_, send_lock_);
                stream_settings_ = settings();
                aac_.reset();
                aac_fill_ = 0;
                if (stream_settings_.encoder_type == encoder_aac)
                    aac_ = AacEncoder::open(stream_settings_.aac.channels, stream_settings_.aac.bit_rate);
                if (stream_settings_.encoder_type == encoder_aac && !aac_) {
                    up = false;
                    result = TxStatus::encoder_setup_error;
                    attempt_->connection->send_short(packet_type::refusal);
                } else {
                    link_ = std::move(attempt_);
                    sending_link_ = link_.get();
                    rate_frames_ = rate_bits_ = 0;
                    decimator_ = dsp::Decimator();
                    interpolator_ = dsp::Interpolator();
                    sent_sequence_ = next_sequence_ - 1;
                    stream_active_ = true;
                    engine_streaming_.store(true, std::memory_order_release);
                }
            }
            if (up) {
                encrypted_.store(link_->connection->encrypted());
                logins_.fetch_add(1);
                receive_thread_ = std::thread([this, link = link_.get()] { receive_main(link); });
                state_.store(State::connected);
                set_status(result);
                np_dirty_.store(false);
            } else {
                attempt_.reset();
                set_status(result);
                retry_at = true;
                retry_time = clock::now() + std::chrono::milliseconds(settings().timeout_ms);
            }
            l.lock();
            continue;
        }
        if (broken_) {
            broken_ = false;
            if (state_.load() != State::connected || !settings().enable) continue;
            l.unlock();
            const TxStatus before = status_.load();
            close_link(false);
            start_attempt();
            set_status(before == TxStatus::closed_by_remote ? TxStatus::closed_by_remote : TxStatus::reconnecting);
            l.lock();
            continue;
        }
        if (retry_at && clock::now() >= retry_time) {
            retry_at = false;
            if (state_.load() == State::connecting && !attempt_thread_.joinable()) {
                l.unlock();
                start_attempt();
                set_status(TxStatus::connecting);
                l.lock();
            }
        }
    }
}

// ---- Status ----

std::vector<std::string> StlTx::status_lines() const {
    const TxSettings s = settings();
    std::vector<std::string> lines;
    lines.push_back(s.enable ? "STL TX Enabled" : "STL TX Not Enabled");
    lines.push_back(tx_status_text(status_.load()));
    std::string format;
    if (s.encoder_type == encoder_pcm) {
        format = "PCM " + std::to_string(s.pcm.sample_rate / 1000);
        if (s.pcm.sample_rate == mpx_rate_Hz)
            format += s.pcm.mono_mode == 1   ? " kHz Mono"
                      : s.pcm.mono_mode == 2 ? " kHz  Mono Mode Right"
                                             : " kHz  Mono Mode Sum";
        else
            format += s.pcm.channels == 1 ? " kHz Mono" : " kHz  Stereo";
    } else {
        format = "AAC " + std::to_string(s.aac.bit_rate / 1000);
        const bool stereo = s.aac.channels == 2, sbr = s.aac.sbr_ps != 0, vbr = s.aac.vbr != 0 && s.aac.bit_rate <= 128000;
        if (sbr)
            format += stereo ? (vbr ? " kB/s Stereo  SBR PS  VBR" : " kB/s Stereo SBR PS CBR")
                             : (vbr ? " kB/s Mono SBR PS VBR" : " kB / s Mono SBR PS CBR");
        else
            format += stereo ? (vbr ? " kB/s Stereo  VBR" : " kB/s Stereo CBR") : (vbr ? " kB/s Mono VBR" : " kB/s Mono CBR");
    }
    lines.push_back(format);
    if (s.encoder_type == encoder_aac && s.aac.sbr_ps)
        lines.push_back("SBR + PS not available: the stream is sent as AAC-LC");
    const bool connected = state_.load() == State::connected;
    lines.push_back(connected ? "Encoder inialized ... " : "Encoder not  inialized ... ");
    if (connected)
        lines.push_back(encrypted_.load() ? "Cnnected to remote host with encryption  ... "
                                          : "Cnnected to remote host without encryption  ... ");
    {
        std::lock_guard g(np_lock_);
        if (np_text_ && !np_text_->text.empty()) lines.push_back("Now playing =   " + np_text_->text);
    }
    lines.push_back("Streaming bit rate = " + std::to_string(bit_rate_.load() / 1000) + " kB/s");
    return lines;
}

}  // namespace torvalen::stl
