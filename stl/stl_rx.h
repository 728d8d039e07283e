// STL RX: the receiving end of the link. A TCP server (one IPv4 and one IPv6
// listener) that serves one STL TX at a time, checks its password, converts the
// 16-bit PCM it sends to the engine's float scale, brings it to 192 kHz with a
// fine variable ratio (libsamplerate) that keeps a jitter buffer half full, and
// delivers it into bus 2. Now-playing text goes to the instance's Now Playing.
//
// Threads and locks:
// - listener threads (two): accept; a newcomer while a session runs is refused.
// - session thread (one at a time): handshake, data phase, decoding, pushing into
//   the ring under the ring lock.
// - engine thread: fill() tries the ring lock and copies one block out of the ring
//   (silence when the ring holds too little, or in the rare block in which the
//   session thread holds the lock: the engine never waits).
// - application control thread: settings, start/stop, status.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dsp/detectors.h"
#include "dsp/rate_convert.h"
#include "dsp/zeroed_buffer.h"
#include "engine/module.h"
#include "measure/latest.h"
#include "stl/aac.h"
#include "stl/connection.h"
#include "stl/crypto.h"
#include "stl/handshake.h"
#include "stl/link_settings.h"

typedef struct SRC_STATE_tag SRC_STATE;

namespace torvalen::stl {

using StlRxMeters = std::array<float, 6>;

struct StlRxOptions {
    CryptoBinding* crypto = nullptr;  // nullptr: the process binding
    NowPlayingModule* now_playing = nullptr;
    bool loopback_only = false;       // tests: listen on 127.0.0.1 and ::1 only
    // Offline work: the stored "listen at startup" is not followed, so a render never
    // takes the port (and the packets) of a receiver running on this machine.
    bool listen_at_startup_allowed = true;
};

// The jitter buffer: 1 s of 192 kHz interleaved stereo, of which the first N
// floats are in use (N follows "Buffer_Time").
class JitterRing {
public:
    static constexpr uint32_t storage_floats = 384000;
    JitterRing() : data_(storage_floats) {}
    static uint32_t length_for(uint32_t buffer_time_ms);
    // Clears the storage; the ring then holds N/2 floats of silence.
    void reset(uint32_t length);
    uint32_t length() const { return length_; }
    uint32_t fill() const { return length_ ? (write_ + length_ - read_) % length_ : 0; }
    // Writes all of `in` or nothing; false when it does not fit.
    bool write(std::span<const float> in);
    // Reads exactly out.size() floats, or nothing when fewer are held.
    bool read(std::span<float> out);

private:
    dsp::ZeroedBuffer<float> data_;
    uint32_t used_ = 0;  // floats that may hold samples since the last reset
    uint32_t length_ = 192000;
    uint32_t write_ = 96000, read_ = 0;
};

class StlRx final : public StlRxModule {
public:
    static std::unique_ptr<StlRx> create(const SettingsKey& instance_key, uint32_t& error, StlRxOptions options = {});
    ~StlRx() override;
    StlRx(const StlRx&) = delete;
    StlRx& operator=(const StlRx&) = delete;

    // ---- Engine thread ----
    void fill(std::span<float> bus2, bool tick) override;
    void clear_meters() override;

    // ---- Control thread ----
    void save_settings() override;
    RxSettings settings() const;
    // Takes new settings ("Apply"): a running receiver is stopped and started again.
    void apply_settings(const RxSettings& s);
    void start();
    void stop();
    bool listening() const { return listening_.load(); }

    RxStatus status() const { return status_.load(); }
    bool session_active() const { return session_active_.load(); }
    std::vector<std::string> status_lines() const;
    uint32_t status_version() const { return status_changes_.load(std::memory_order_acquire); }
    bool take_meters(StlRxMeters& m) { return meters_.take(m); }

    // Read-outs (any thread).
    float ratio() const { return ratio_.load(); }
    float fullness() const { return fullness_.load(); }
    uint64_t audio_packets() const { return audio_packets_.load(); }
    uint64_t packets_dropped() const { return packets_dropped_.load(); }
    uint64_t sessions() const { return sessions_.load(); }
    uint64_t underruns() const { return underruns_.load(); }
    std::string now_playing_display() const;

private:
    explicit StlRx(const SettingsKey& key, const StlRxOptions& options);

    void set_status(RxStatus s);
    RxStatus ready_status();
    void listener_main(bool ipv6);
    void session_main(int fd);
    bool setup_decoder(const StreamFormat& f);
    void free_decoder();
    void push_pcm(std::span<const uint8_t> payload);
    void push_aac(std::span<const uint8_t> payload);
    // Stages stereo frames at 16-bit scale and runs the converter and the ring.
    void stage(const float* stereo16, size_t frames, uint32_t frames_per_chunk);
    void push_frames();

    SettingsKey key_;
    CryptoBinding& crypto_;
    NowPlayingModule* now_playing_;
    bool loopback_only_;

    mutable std::mutex lock_;  // module lock: settings
    RxSettings settings_;

    // Ring and its lock.
    std::mutex ring_lock_;
    JitterRing ring_;

    // Decoder and rate control (session thread).
    StreamFormat format_;
    bool have_format_ = false;
    SRC_STATE* src_ = nullptr;
    uint32_t upsample_ = 4;  // 4 for 48 kHz material, 1 for 192 kHz PCM
    double r_ = 1.0;
    float displayed_ = 0.5f;
    // Made by the first session's setup_decoder() and kept.
    std::vector<float> staging_;  // 2^31-scale stereo waiting for the converter
    size_t staged_frames_ = 0;
    std::vector<float> converted_;
    std::vector<float> upsampled_;
    dsp::Interpolator interpolator_;
    std::unique_ptr<AacDecoder> aac_;
    std::vector<float> decoded_;
    std::vector<float> pcm16_;
    uint32_t last_packet_frames_ = 0;
    struct Section {
        double b0 = 0, a1 = 0, a2 = 0, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        double step(double x);
    };
    std::array<Section, 2> control_lp_{};
    uint64_t meter_frames_ = 0, meter_bits_ = 0;
    std::atomic<uint64_t> bit_rate_{0};
    std::atomic<float> ratio_{1.0f}, fullness_{0.5f};

    // Engine metering.
    dsp::LevelDetector level_{192000.0};
    std::array<float, 6> held_{};
    measure::Latest<StlRxMeters> meters_;

    // Threads.
    std::mutex control_lock_;  // start/stop
    std::atomic<bool> listening_{false};
    std::atomic<bool> stop_{false};
    std::mutex wait_lock_;
    std::condition_variable wait_cv_;
    std::array<std::thread, 2> listeners_;
    std::array<std::atomic<int>, 2> listen_fds_{};
    std::mutex session_lock_;  // socket lock: the session's socket and thread
    std::thread session_thread_;
    std::atomic<int> session_fd_{-1};
    std::atomic<bool> session_active_{false};
    Connection* session_connection_ = nullptr;  // under session_lock_

    std::atomic<RxStatus> status_{RxStatus::disconnected};
    std::atomic<uint32_t> status_changes_{0};
    mutable std::mutex np_lock_;
    std::string np_display_;
    StreamFormat shown_format_;
    std::atomic<bool> shown_format_valid_{false};

    std::atomic<uint64_t> audio_packets_{0}, packets_dropped_{0}, sessions_{0}, underruns_{0};
};

}  // namespace torvalen::stl
