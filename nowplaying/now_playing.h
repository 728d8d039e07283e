// The Now Playing object of an instance: learns what is on air from one source
// (a watched file, UDP datagrams, TCP connections, the player or the link), keeps
// it, and hands it to RDS, the streams and the link, each by its own switch.
// Its settings live in the instance's key under "NOWPLAYING".
//
// Threads and locks:
// - control thread: create, start/stop/apply, destruction (saves, then stops).
// - source thread (file watcher, UDP or TCP listener): one at a time; stopped by
//   an event it polls together with its socket or watch.
// - player's deck thread, STL RX session thread: player_title / stl_title.
// - engine thread: set_failsafe only (an atomic).
// - readers (RDS modulator, streams, link): output_text under the object lock.
// Lock order: notify_lock_ (serialises a change and its notifications) before
// lock_ (texts and settings). Neither is held during any I/O.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/module.h"
#include "engine/settings_store.h"

namespace torvalen::nowplaying {

inline constexpr const char* settings_key_name = "NOWPLAYING";

// Now_Playing_Mode: the source.
enum Mode : uint32_t {
    mode_file = 0,
    mode_udp = 1,
    mode_test = 2,
    mode_tcp = 3,
    mode_player = 4,
    mode_stl = 5,
};
inline constexpr uint32_t mode_count = 6;

struct NowPlayingSettings {
    std::string file;                // the watched file
    uint32_t udp_port = 29999;
    uint32_t tcp_port = 8001;
    uint32_t mode = mode_file;       // Now_Playing_Mode
    uint32_t poll_timeout_ms = 1000; // wait for data on an accepted connection
    uint64_t send_to_stl = 0;        // SendtoSTL1
    uint64_t send_to_rds = 1;        // SendtoRDS
    uint64_t send_to_streaming = 1;  // SendtoStreaming
    uint64_t auto_start = 1;         // AutoStart
    uint32_t input_mode = 1;         // 0 whole line, otherwise artist and title
    bool operator==(const NowPlayingSettings&) const = default;
};

// $XDG_DATA_HOME/torvalen/nowplaying.txt, else ~/.local/share/torvalen/nowplaying.txt.
std::filesystem::path default_now_playing_file();

// What a setting must hold to be applied: a mode of the table, ports that fit
// 16 bits, a time-out of 1 ms to 60 s. The empty text when it may be applied.
std::string check_settings(const NowPlayingSettings& settings);

struct NowPlayingOptions {
    std::filesystem::path default_file;  // empty: default_now_playing_file()
    bool loopback_only = false;          // tests: bind 127.0.0.1 instead of any address
    uint32_t retry_ms = 1000;            // wait after a source failure
    // False for offline work (torvalen render): the sources never start by
    // themselves, so nothing from outside reaches a rendering.
    bool auto_start_allowed = true;
};

class NowPlaying final : public NowPlayingModule {
public:
    // Opens or creates "NOWPLAYING" under the instance key and reads the values
    // (a missing or impossible value takes its default). Sets bit 0 of `error`
    // and returns nullptr when the key cannot be made.
    static std::unique_ptr<NowPlaying> create(const SettingsKey& instance_key, uint32_t& error,
                                              NowPlayingOptions options = {});
    // Saves the settings, then stops the source.
    ~NowPlaying() override;

    NowPlaying(const NowPlaying&) = delete;
    NowPlaying& operator=(const NowPlaying&) = delete;

    // ---- Control thread ----
    bool auto_start() const override;
    void start_listener() override { start(); }
    // Starts the source of the current mode when not running (mode 0 first
    // clears the texts); modes 2, 4 and 5 start no thread. False when the source
    // thread cannot be made.
    bool start();
    // Stops the source thread and waits for it.
    void stop();
    bool running() const { return running_.load(std::memory_order_acquire); }
    // Stops a running source, takes and stores `settings`, and starts the source
    // again when it was running (not for the test source). Refused (the reason,
    // nothing changed) when check_settings refuses; otherwise the empty text.
    std::string apply(const NowPlayingSettings& settings);
    NowPlayingSettings settings() const;
    void save_settings() override;
    // The test source's "Send": shows "An Artist - A Track" in the monitor only.
    void test_send();

    // ---- Any thread ----
    void player_title(std::string_view artist, std::string_view title) override;
    void stl_title(std::string_view artist, std::string_view title) override;
    void set_failsafe(bool on) override { failsafe_.store(on ? 1u : 0u, std::memory_order_relaxed); }
    bool failsafe() const { return failsafe_.load(std::memory_order_relaxed) != 0; }
    std::optional<NowPlayingText> output_text(NowPlayingOutput output) const override;
    uint64_t subscribe(NowPlayingOutput output, Callback callback) override;
    void unsubscribe(uint64_t id) override;

    // Incoming text from the file, UDP or TCP source (taken in modes 0, 1, 3 only).
    void incoming_text(std::string_view input);

    // The current text whatever the switches (empty when none), and what the
    // dialog's "Input Monitor" shows.
    NowPlayingText current() const;
    std::string monitor_text() const;
    // Moves on every change of the current text.
    uint64_t version() const { return version_.load(std::memory_order_acquire); }

    // Diagnostics (tests, status): the port a listener bound (0 when none; port 0
    // in the settings asks the system for a free one), and connections served.
    uint16_t bound_port() const { return bound_port_.load(std::memory_order_acquire); }
    bool listening() const { return listening_.load(std::memory_order_acquire); }
    uint64_t connections_served() const { return served_.load(std::memory_order_acquire); }

private:
    NowPlaying(const SettingsKey& key, NowPlayingOptions options);
    void load();

    // Replaces the current text when it differs and notifies the outputs.
    // Called with notify_lock_ held.
    void set_current(const NowPlayingText& text);
    void notify(NowPlayingOutput output, const std::optional<NowPlayingText>& text);
    bool switch_on(const NowPlayingSettings& s, NowPlayingOutput output) const;
    void take_pair(std::string_view artist, std::string_view title, bool from_player);

    // Source threads.
    void file_watcher();
    void udp_listener();
    void tcp_listener();
    bool wait_stop(uint32_t ms);  // true when stop was signalled
    bool read_watched_file(const std::string& path);
    bool serve_connection(int client, uint32_t timeout_ms);  // false when stopped

    SettingsKey key_;
    NowPlayingOptions options_;

    std::mutex control_lock_;  // start/stop/apply
    std::mutex notify_lock_;
    mutable std::mutex lock_;  // the object lock
    NowPlayingSettings settings_;
    NowPlayingText current_;
    std::string monitor_;
    struct Subscriber {
        uint64_t id;
        NowPlayingOutput output;
        Callback callback;
    };
    std::vector<Subscriber> subscribers_;  // under notify_lock_
    uint64_t next_id_ = 1;                 // under notify_lock_

    std::atomic<uint32_t> failsafe_{0};
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> version_{0};
    std::atomic<bool> listening_{false};
    std::atomic<uint16_t> bound_port_{0};
    std::atomic<uint64_t> served_{0};
    int stop_event_ = -1;  // eventfd while a source thread runs
    std::thread thread_;
};

}  // namespace torvalen::nowplaying
