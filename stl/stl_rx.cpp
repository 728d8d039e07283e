#include "stl/stl_rx.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <samplerate.h>
#include <sys/socket.h>
#include <unistd.h>

#include "dsp/iir.h"
#include "engine/realtime.h"
#include "stl/byte_stream.h"
#include "stl/connection.h"

namespace torvalen::stl {

namespace {

// Staging holds the packet being converted and what the converter left over:
// the largest PCM packet is 32756 mono samples.
constexpr size_t staging_floats = 1u << 17;
// The converter works at the material's rate with a ratio within 10 % of 1; 48 kHz
// material is then brought to 192 kHz by the shared 4x interpolator (a quarter of
// the work of converting straight to 192 kHz).
constexpr size_t converted_floats = staging_floats * 5 / 4;
constexpr float pcm_to_float = 65535.0f;
// The control low-pass: two sections from the analog pole pairs, cut-off 0.1 Hz.
constexpr double control_cutoff_Hz = 0.1;
constexpr double pole_a[2] = {1.3596, 0.9877};
constexpr double pole_b[2] = {0.4071, 1.2476};

}  // namespace

// ---- Jitter ring ----

uint32_t JitterRing::length_for(uint32_t ms) {
    switch (ms) {
    case 100: return 38400;
    case 200: return 76800;
    case 1000: return 384000;
    default: return 192000;
    }
}

void JitterRing::reset(uint32_t length) {
    length_ = std::clamp<uint32_t>(length, 4, storage_floats);
    // Only the ring's length is ever written: clearing what the last length used
    // leaves the whole storage zero, and fresh storage is never touched.
    std::fill_n(data_.begin(), used_, 0.0f);
    used_ = length_;
    write_ = length_ / 2;
    read_ = 0;
}

bool JitterRing::write(std::span<const float> in) {
    const uint32_t count = static_cast<uint32_t>(in.size());
    if (count == 0) return true;  // an empty block (and no ring to wrap in)
    const int64_t free = int64_t(length_) - fill() - 2;
    if (free < int64_t(count)) return false;
    const uint32_t first = std::min(count, length_ - write_);
    std::memcpy(&data_[write_], in.data(), first * sizeof(float));
    std::memcpy(&data_[0], in.data() + first, (count - first) * sizeof(float));
    write_ = (write_ + count) % length_;
    return true;
}

bool JitterRing::read(std::span<float> out) {
    const uint32_t count = static_cast<uint32_t>(out.size());
    if (count == 0) return true;  // a bus without samples: nothing to copy, no ring to wrap in
    if (fill() < count) return false;
    const uint32_t first = std::min(count, length_ - read_);
    std::memcpy(out.data(), &data_[read_], first * sizeof(float));
    std::memcpy(out.data() + first, &data_[0], (count - first) * sizeof(float));
    read_ = (read_ + count) % length_;
    return true;
}

double StlRx::Section::step(double x) {
    const double y = b0 * (x + 2.0 * x1 + x2) - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
}

// ---- Module ----

std::unique_ptr<StlRx> StlRx::create(const SettingsKey& instance_key, uint32_t& error, StlRxOptions options) {
    const std::optional<SettingsKey> key = instance_key.create(rx_key_name);
    if (!key) {
        error |= 1u;
        return nullptr;
    }
    std::unique_ptr<StlRx> m(new StlRx(*key, options));
    int e = 0;
    m->src_ = src_new(SRC_SINC_FASTEST, 2, &e);
    if (!m->src_) {
        error |= 1u;
        return nullptr;
    }
    const RxSettings s = m->settings();
    if (s.listen_at_startup && s.enable && options.listen_at_startup_allowed) m->start();
    return m;
}

StlRx::StlRx(const SettingsKey& key, const StlRxOptions& options)
    : key_(key),
      crypto_(options.crypto ? *options.crypto : process_crypto()),
      now_playing_(options.now_playing),
      loopback_only_(options.loopback_only),
      settings_(load_rx_settings(key)) {
    for (auto& fd : listen_fds_) fd.store(-1);
    ring_.reset(JitterRing::length_for(settings_.buffer_time_ms));
    held_.fill(1.0f);
}

StlRx::~StlRx() {
    stop();
    if (src_) src_delete(src_);
    save_rx_settings(key_, settings());
}

void StlRx::save_settings() { save_rx_settings(key_, settings()); }

RxSettings StlRx::settings() const {
    std::lock_guard g(lock_);
    return settings_;
}

void StlRx::apply_settings(const RxSettings& s) {
    const bool running = listening();
    if (running) stop();
    {
        std::lock_guard g(lock_);
        settings_ = s;
        normalise(settings_);
    }
    save_rx_settings(key_, settings());
    status_changes_.fetch_add(1);
    if (running) start();
}

void StlRx::set_status(RxStatus s) {
    status_.store(s);
    status_changes_.fetch_add(1, std::memory_order_release);
}

RxStatus StlRx::ready_status() { return crypto_.bind() ? RxStatus::ready_encrypted : RxStatus::ready_unencrypted; }

std::string StlRx::now_playing_display() const {
    std::lock_guard g(np_lock_);
    return np_display_;
}

// ---- Engine thread ----

void StlRx::clear_meters() { held_.fill(1.0f); }

void StlRx::fill(std::span<float> bus2, bool tick) {
    bool got = false;
    if (ring_lock_.try_lock()) {
        got = ring_.read(bus2);
        ring_lock_.unlock();
    }
    if (!got) {
        std::fill(bus2.begin(), bus2.end(), 0.0f);
        if (session_active_.load(std::memory_order_relaxed)) underruns_.fetch_add(1, std::memory_order_relaxed);
    }
    level_.fold(bus2.data(), bus2.size(), held_);
    if (tick) {
        StlRxMeters& m = meters_.back();
        for (int k = 0; k < 6; ++k) m[k] = static_cast<float>(dsp::level_dBFS(held_[k]));
        meters_.publish();
        held_.fill(1.0f);
    }
}

// ---- Start and stop ----

void StlRx::start() {
    std::lock_guard g(control_lock_);
    if (listening_.load() || !settings().enable) return;
    stop_.store(false);
    listening_.store(true);
    set_status(RxStatus::ready_encrypted);
    listeners_[0] = std::thread([this] { listener_main(false); });
    listeners_[1] = std::thread([this] { listener_main(true); });
}

void StlRx::stop() {
    std::lock_guard g(control_lock_);
    {
        std::lock_guard w(wait_lock_);
        stop_.store(true);
    }
    wait_cv_.notify_all();
    for (auto& fd : listen_fds_) {
        const int f = fd.load();
        if (f >= 0) ::shutdown(f, SHUT_RDWR);
    }
    for (auto& t : listeners_)
        if (t.joinable()) t.join();
    std::thread session;
    {
        std::lock_guard s(session_lock_);
        if (session_connection_) session_connection_->send_close();
        const int f = session_fd_.load();
        if (f >= 0) ::shutdown(f, SHUT_RDWR);
        session = std::move(session_thread_);
    }
    if (session.joinable()) session.join();
    listening_.store(false);
    set_status(RxStatus::disconnected);
}

void StlRx::listener_main(bool ipv6) {
    ::pthread_setname_np(::pthread_self(), ipv6 ? "stl-rx-listen6" : "stl-rx-listen4");
    auto pause = [this](uint32_t ms) {
        std::unique_lock l(wait_lock_);
        return !wait_cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
    };
    std::atomic<int>& slot = listen_fds_[ipv6 ? 1 : 0];
    while (!stop_.load()) {
        const RxSettings s = settings();
        const uint16_t port = parse_listen_port(s.port);
        int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = fd >= 0;
        if (ok) {
            int one = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            if (ipv6) {
                ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
                sockaddr_in6 a{};
                a.sin6_family = AF_INET6;
                a.sin6_port = htons(port);
                a.sin6_addr = loopback_only_ ? in6addr_loopback : in6addr_any;
                ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            } else {
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_port = htons(port);
                a.sin_addr.s_addr = htonl(loopback_only_ ? INADDR_LOOPBACK : INADDR_ANY);
                ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            }
            ok = ok && ::listen(fd, SOMAXCONN) == 0;
        }
        if (!ok) {
            // IPv6 missing on this machine is not an error the IPv4 side should show.
            if (!ipv6) set_status(RxStatus::networking_error);
            if (fd >= 0) ::close(fd);
            if (!pause(s.timeout_ms)) break;
            continue;
        }
        slot.store(fd);
        for (;;) {
            if (!session_active_.load()) set_status(ready_status());
            pollfd p{fd, POLLIN, 0};
            int n = 0;
            while (!stop_.load() && (n = ::poll(&p, 1, 200)) == 0) {
            }
            if (stop_.load()) break;
            int c = n > 0 ? ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
            if (c < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                break;
            }
            std::unique_lock l(session_lock_);
            if (session_active_.load()) {
                l.unlock();
                set_socket_timeouts(c, static_cast<int>(s.timeout_ms), static_cast<int>(s.send_timeout_ms));
                SocketStream newcomer(c);
                refuse_busy(newcomer);
                ::close(c);
                continue;
            }
            if (session_thread_.joinable()) session_thread_.join();  // a finished session
            session_active_.store(true);
            session_fd_.store(c);
            session_thread_ = std::thread([this, c] { session_main(c); });
        }
        slot.store(-1);
        ::close(fd);
        if (stop_.load() || !pause(s.timeout_ms)) break;
    }
}

// ---- Session ----

void StlRx::session_main(int fd) {
    ::pthread_setname_np(::pthread_self(), "stl-rx-session");
    // The session feeds the ring the engine reads: it runs just below the engine.
    std::string why;
    if (realtime_wanted()) make_thread_realtime(why, feeder_thread_priority);
    enable_flush_to_zero();
    const RxSettings s = settings();
    set_socket_timeouts(fd, static_cast<int>(s.timeout_ms), static_cast<int>(s.send_timeout_ms));
    SocketStream stream(fd);
    Connection c(stream);
    {
        std::lock_guard g(session_lock_);
        session_connection_ = &c;
    }
    sessions_.fetch_add(1);
    set_status(RxStatus::connecting);
    ServerHandshake h(c, crypto_, ServerLogin{s.password, static_cast<int>(s.timeout_ms)});
    h.run();
    set_status(h.status());
    if (h.state() == ServerHandshake::State::done && setup_decoder(h.format())) {
        const uint64_t dropped_before = c.receiver().packets_dropped();
        for (;;) {
            Incoming in = c.next_packet(static_cast<int>(s.timeout_ms));
            packets_dropped_.store(c.receiver().packets_dropped() - dropped_before);
            if (in.status == ReceiveStatus::timeout) {
                set_status(RxStatus::receive_timeout);
                break;
            }
            if (in.status == ReceiveStatus::short_packet) continue;
            if (in.status != ReceiveStatus::long_packet) {
                set_status(RxStatus::networking_error);
                break;
            }
            if (in.type == packet_type::pcm) {
                meter_bits_ += 8 * long_packet_size(in.payload.size());
                if (format_.encoder == encoder_pcm) push_pcm(in.payload);
                audio_packets_.fetch_add(1, std::memory_order_release);
            } else if (in.type == packet_type::aac) {
                if (aac_) {
                    meter_bits_ += 8 * long_packet_size(in.payload.size());
                    push_aac(in.payload);
                    audio_packets_.fetch_add(1, std::memory_order_release);
                }
            } else if (in.type == packet_type::now_playing) {
                const NowPlayingText t = parse_now_playing(in.payload);
                {
                    std::lock_guard g(np_lock_);
                    np_display_ = "Now playing = " + (t.has_title ? t.artist + " - " + t.title : t.artist);
                }
                if (now_playing_) now_playing_->stl_title(t.artist, t.has_title ? t.title : std::string());
                status_changes_.fetch_add(1, std::memory_order_release);
            } else if (in.type == packet_type::format) {
                std::optional<StreamFormat> f = parse_format(in.payload);
                if (!f || !setup_decoder(*f)) {
                    set_status(RxStatus::unexpected_packet);
                    break;
                }
            } else if (in.type == packet_type::close) {
                set_status(RxStatus::client_closed);
                break;
            } else {
                set_status(RxStatus::unexpected_packet);
                break;
            }
        }
    }
    free_decoder();
    {
        std::lock_guard g(session_lock_);
        session_connection_ = nullptr;
        session_fd_.store(-1);
        ::close(fd);
    }
    set_status(stop_.load() ? RxStatus::disconnected : ready_status());
    session_active_.store(false);
}

bool StlRx::setup_decoder(const StreamFormat& f) {
    // PCM, mono or stereo, at 48 or 192 kHz; an AAC stream is accepted and shown,
    // but its audio has no decoder here.
    if (f.encoder > encoder_aac || (f.channels != 1 && f.channels != 2) ||
        (f.sample_rate != chain_rate_Hz && f.sample_rate != mpx_rate_Hz))
        return false;
    // The converter's buffers (4 MB) are made by the first session, before its
    // first audio packet, and kept: an instance that never receives never holds them.
    if (staging_.empty()) {
        try {
            staging_.assign(staging_floats, 0.0f);
            converted_.assign(converted_floats, 0.0f);
            upsampled_.assign(4 * converted_floats, 0.0f);
            decoded_.reserve(staging_floats);
            pcm16_.assign(staging_floats, 0);
        } catch (const std::bad_alloc&) {
            staging_ = {};
            return false;
        }
    }
    format_ = f;
    have_format_ = true;
    {
        std::lock_guard g(np_lock_);
        shown_format_ = f;
    }
    shown_format_valid_.store(true);
    staged_frames_ = 0;
    r_ = 1.0;
    displayed_ = 0.5f;
    ratio_.store(1.0f);
    fullness_.store(0.5f);
    upsample_ = f.sample_rate == mpx_rate_Hz ? 1 : 4;
    interpolator_ = dsp::Interpolator();
    src_reset(src_);
    last_packet_frames_ = 0;
    for (Section& s : control_lp_) s = Section{};
    meter_frames_ = meter_bits_ = 0;
    aac_.reset();
    if (f.encoder == encoder_aac && !(aac_ = AacDecoder::open())) return false;
    const uint32_t length = JitterRing::length_for(settings().buffer_time_ms);
    std::lock_guard g(ring_lock_);
    ring_.reset(length);
    return true;
}

void StlRx::free_decoder() {
    aac_.reset();
    have_format_ = false;
    staged_frames_ = 0;
    shown_format_valid_.store(false);
}

void StlRx::push_pcm(std::span<const uint8_t> payload) {
    const uint32_t channels = format_.channels;
    const size_t frames = std::min(payload.size() / 2 / channels, pcm16_.size() / 2);
    const uint8_t* in = payload.data();
    for (size_t f = 0; f < frames; ++f) {
        if (channels == 2) {
            pcm16_[2 * f] = static_cast<int16_t>(in[4 * f] | in[4 * f + 1] << 8);
            pcm16_[2 * f + 1] = static_cast<int16_t>(in[4 * f + 2] | in[4 * f + 3] << 8);
        } else {
            pcm16_[2 * f] = pcm16_[2 * f + 1] = static_cast<int16_t>(in[2 * f] | in[2 * f + 1] << 8);
        }
    }
    stage(pcm16_.data(), frames, static_cast<uint32_t>(frames));
}

void StlRx::push_aac(std::span<const uint8_t> payload) {
    decoded_.clear();
    uint32_t frame_samples = 0, rate = format_.sample_rate;
    // A decoder error abandons the rest of the packet; what was decoded still goes on.
    aac_->decode(payload, decoded_, frame_samples, rate);
    if (decoded_.empty() || frame_samples == 0) return;
    if (rate != format_.sample_rate && rate != 0) {
        format_.sample_rate = rate;
        upsample_ = rate == mpx_rate_Hz ? 1 : 4;
    }
    stage(decoded_.data(), decoded_.size() / 2, frame_samples);
}

void StlRx::stage(const float* stereo16, size_t frames, uint32_t frames_per_chunk) {
    if (frames == 0) return;
    if ((staged_frames_ + frames) * 2 > staging_.size()) {
        staged_frames_ = 0;  // a converter that stopped taking input: start afresh
        return;
    }
    float* out = staging_.data() + staged_frames_ * 2;
    for (size_t i = 0; i < 2 * frames; ++i) out[i] = stereo16[i] * pcm_to_float;
    staged_frames_ += frames;
    // The control low-pass runs once per packet or frame: tuned to their rate.
    if (frames_per_chunk != last_packet_frames_) {
        last_packet_frames_ = frames_per_chunk;
        const double fs = double(format_.sample_rate) / double(frames_per_chunk);
        for (int k = 0; k < 2; ++k) {
            dsp::LowPass2<double> design(pole_a[k], pole_b[k], control_cutoff_Hz, fs);
            control_lp_[k].b0 = design.b0();
            control_lp_[k].a1 = design.a1();
            control_lp_[k].a2 = design.a2();
        }
    }
    push_frames();
}

void StlRx::push_frames() {
    SRC_DATA d{};
    d.data_in = staging_.data();
    d.input_frames = static_cast<long>(staged_frames_);
    d.data_out = converted_.data();
    d.output_frames = static_cast<long>(converted_.size() / 2);
    d.src_ratio = r_;
    d.end_of_input = 0;
    if (src_process(src_, &d) != 0) {
        staged_frames_ = 0;
        return;
    }
    const size_t used = static_cast<size_t>(d.input_frames_used);
    std::memmove(staging_.data(), staging_.data() + used * 2, (staged_frames_ - used) * 2 * sizeof(float));
    staged_frames_ -= used;
    uint32_t produced = static_cast<uint32_t>(d.output_frames_gen);
    const float* out = converted_.data();
    if (upsample_ == 4) {
        float* up = upsampled_.data();
        for (uint32_t i = 0; i < produced; ++i) {
            const dsp::SubSamples sub = interpolator_.process(converted_[2 * i], converted_[2 * i + 1]);
            for (int j = 0; j < 4; ++j) {
                up[8 * i + 2 * j] = sub.l[j];
                up[8 * i + 2 * j + 1] = sub.r[j];
            }
        }
        out = up;
        produced *= 4;
    }

    // Received bit rate over about one second of output.
    meter_frames_ += produced;
    if (meter_frames_ > mpx_rate_Hz) {
        bit_rate_.store(meter_bits_ * mpx_rate_Hz / meter_frames_);
        meter_frames_ = meter_bits_ = 0;
        status_changes_.fetch_add(1, std::memory_order_release);
    }

    double f;
    uint32_t length;
    {
        std::lock_guard g(ring_lock_);
        ring_.write(std::span<const float>(out, size_t(produced) * 2));
        length = ring_.length();
        f = double(ring_.fill()) / double(length - 2);
    }
    displayed_ = std::max(0.0f, displayed_ + (static_cast<float>(f) - displayed_) * 0.0625f);
    fullness_.store(displayed_);
    const double e = std::clamp(2.0 * f - 1.0, -1.0, 1.0);
    const double y = control_lp_[1].step(control_lp_[0].step(e));
    // A fuller buffer asks for fewer output samples per input sample. The fullness
    // moves faster in a shorter buffer for the same ratio error, so the law's reach
    // (10 % at 500 ms) shrinks with the buffer: otherwise the loop, with the delay
    // of its 0.1 Hz low-pass, swings between empty and full at 100 and 200 ms.
    const double reach = 0.1 * std::min(1.0, double(length) / double(JitterRing::length_for(500)));
    r_ = y >= 0 ? 1.0 - reach * y * y : 1.0 + reach * y * y;
    ratio_.store(static_cast<float>(r_));
}

// ---- Status ----

std::vector<std::string> StlRx::status_lines() const {
    const RxSettings s = settings();
    std::vector<std::string> lines;
    lines.push_back(s.enable ? "STL RX Enabled" : "STL RX Not Enabled");
    lines.emplace_back();
    lines.push_back(rx_status_text(status_.load()));
    lines.emplace_back();
    std::string np;
    {
        std::lock_guard g(np_lock_);
        if (shown_format_valid_.load())
            lines.push_back(std::string(shown_format_.encoder == encoder_aac ? "AAC " : "PCM ") +
                            std::to_string(shown_format_.sample_rate / 1000) +
                            (shown_format_.channels == 1 ? " kHz Mono" : " kHz Stereo"));
        else
            lines.emplace_back();
        np = np_display_;
    }
    lines.push_back("Bit Rate " + std::to_string(bit_rate_.load() / 1000) + " kB/s");
    char ratio[64];
    std::snprintf(ratio, sizeof ratio, "Sample rste ratio  %.4f", static_cast<double>(ratio_.load()));
    lines.push_back(ratio);
    lines.push_back("Buffer fullness  " + std::to_string(std::lround(fullness_.load() * 100.0f)) + "%");
    lines.emplace_back();
    if (!np.empty()) lines.push_back(np);
    return lines;
}

}  // namespace torvalen::stl
