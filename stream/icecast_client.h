// The network side of one Icecast source connection: name resolution with a
// time-out, a non-blocking connect, the PUT login and, when that is refused, the
// SOURCE login on a new connection; stream data sent with a short time-out; the
// song-title request of the administration interface.
//
// Threads: connect() and update_metadata() run on the slot's control thread; send()
// runs on the encoder thread. The socket is guarded by the connection's lock, which
// the encoder thread only ever holds for one bounded send.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "stream/icecast_protocol.h"

namespace torvalen::stream {

// A server connection as the user configures it.
struct ServerSettings {
    std::string name;
    bool enabled = true;
    std::string url = "127.0.0.1";
    std::string password = "zinpol";
    std::string user = "source";
    uint32_t id = 1;
    std::string path = "/stream";
    std::string port = "8000";
    std::string admin_user = "admin";
    std::string admin_password = "zinpol";
    bool operator==(const ServerSettings&) const = default;
};

// The station values and time-outs every connection of a Stream TX uses.
struct StationSettings {
    std::string name = "Stationr Name";
    std::string genre = "Genre";
    std::string web_page = "Web Page";
    uint32_t timeout_ms = 2000;
    uint32_t short_timeout_ms = 2;
    bool make_public = true;
    bool auto_start = false;
    bool now_playing = false;
    bool operator==(const StationSettings&) const = default;
};

// What the encoder makes, as the server is told.
struct StreamFormat {
    uint32_t type = encoder_vorbis;
    uint32_t bitrate_bps = 128000;
    uint32_t rate_Hz = 48000;
    uint32_t channels = 2;
};

// A cancel flag that waits can watch (polled in short slices).
using CancelFlag = std::atomic<bool>;

// Resolves `host`:`service` to one IPv4 TCP address within `timeout`; the
// resolver runs on a thread of its own that is left behind (and cleans up after
// itself) when it overruns. False on failure, time-out or cancel.
bool resolve_ipv4(const std::string& host, const std::string& service, std::chrono::milliseconds timeout,
                  const CancelFlag& cancel, uint32_t& address_be, uint16_t& port_be);

class SourceConnection {
public:
    explicit SourceConnection(ServerSettings settings) : settings_(std::move(settings)) {}
    ~SourceConnection() { disconnect(); }
    SourceConnection(const SourceConnection&) = delete;
    SourceConnection& operator=(const SourceConnection&) = delete;

    const ServerSettings& settings() const { return settings_; }
    // Only while disconnected (the control thread replaces a stream's settings
    // after stopping its slot).
    void set_settings(ServerSettings s) { settings_ = std::move(s); }

    // Logs in as a source; true when the server accepted. Sets the status on the
    // way (Connecting, then Connected or the failure).
    bool connect(const StationSettings& station, const StreamFormat& format, const CancelFlag& cancel);

    // Sends `bytes` when connected: waits at most `short_timeout` for room each
    // time, then drops the rest of the block (the stream stays connected). A
    // failed send closes the socket with "Streaing error"; returns false then.
    bool send(std::span<const uint8_t> bytes, std::chrono::milliseconds short_timeout);

    // Closes the socket; status Disconnected.
    void disconnect();
    // Closes the socket but keeps the status (after a failure).
    void close_socket();

    // Sends the song title over a new connection to the administration interface;
    // sets and returns the metadata status.
    uint32_t update_metadata(const StationSettings& station, uint32_t type, const std::string* song,
                             const CancelFlag& cancel);

    bool connected() const { return connected_.load(std::memory_order_acquire); }
    // True when the socket was closed by a failed send and the control thread has
    // not yet dealt with it.
    bool lost() const { return lost_.load(std::memory_order_acquire); }
    void clear_lost() { lost_.store(false, std::memory_order_release); }
    uint32_t status() const { return status_.load(std::memory_order_acquire); }
    uint32_t metadata_status() const { return metadata_status_.load(std::memory_order_acquire); }
    void set_status(uint32_t s) { status_.store(s, std::memory_order_release); }
    void set_metadata_status(uint32_t s) { metadata_status_.store(s, std::memory_order_release); }
    // Bytes dropped because the server did not take them in time.
    uint64_t dropped_bytes() const { return dropped_.load(std::memory_order_relaxed); }

private:
    // One login attempt on a new connection: 1 accepted, 0 refused (status set).
    bool login(const std::string& request, bool expects_continue, uint32_t address_be, uint16_t port_be, std::chrono::milliseconds timeout,
               const CancelFlag& cancel, int& fd_out);

    ServerSettings settings_;
    std::mutex socket_lock_;
    int fd_ = -1;  // under socket_lock_
    std::atomic<bool> connected_{false};
    std::atomic<bool> lost_{false};
    std::atomic<uint32_t> status_{status_disconnected};
    std::atomic<uint32_t> metadata_status_{metadata_none};
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace torvalen::stream
