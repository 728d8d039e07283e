// The traffic-announcement service: a small TCP server (IPv4) through which an
// external system switches the RDS TA flag. One read per connection: "1" or 0x01
// sets TA on, "0" or 0x00 off; a 4-byte message whose first byte is 1 or 0 does the
// same; anything else changes nothing. Socket failures are retried every second.
//
// Threads: start/stop on the control thread; the service thread accepts and reads;
// it writes the TA flag (an atomic) and nothing else.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace torvalen::broadcast {

// Owns a file descriptor; closes it when destroyed.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

struct TaServiceOptions {
    uint16_t port = 8181;
    uint32_t timeout_ms = 1000;     // wait for a connection's data
    bool loopback_only = false;     // tests: bind 127.0.0.1 instead of any address
    uint32_t retry_ms = 1000;
};

// What one message does to the TA flag: 1 on, 0 off, -1 nothing.
int ta_message_value(const unsigned char* data, long length);

class TaService {
public:
    explicit TaService(std::atomic<uint32_t>& ta) : ta_(ta) {}
    ~TaService() { stop(); }
    TaService(const TaService&) = delete;
    TaService& operator=(const TaService&) = delete;

    // Starts the service thread (a running service is restarted). False when the
    // stop signal cannot be made.
    bool start(const TaServiceOptions& options);
    // Signals the thread and waits for it.
    void stop();
    bool running() const { return thread_.joinable(); }

    // Diagnostics.
    bool listening() const { return listening_.load(std::memory_order_acquire); }
    uint64_t connections() const { return connections_.load(std::memory_order_acquire); }
    uint64_t accepted_messages() const { return accepted_.load(std::memory_order_acquire); }
    // Connections read and closed.
    uint64_t handled() const { return handled_.load(std::memory_order_acquire); }
    // The port bound (port 0 in the options asks the system for a free one).
    uint16_t bound_port() const { return bound_port_.load(std::memory_order_acquire); }

private:
    void thread_main(TaServiceOptions options);
    bool wait_stop(int ms);  // true when stop was signalled
    void serve(int client, const TaServiceOptions& options);

    std::atomic<uint32_t>& ta_;
    FileDescriptor stop_event_;
    std::atomic<bool> listening_{false};
    std::atomic<uint64_t> connections_{0};
    std::atomic<uint64_t> accepted_{0};
    std::atomic<uint64_t> handled_{0};
    std::atomic<uint16_t> bound_port_{0};
    std::thread thread_;
};

}  // namespace torvalen::broadcast
