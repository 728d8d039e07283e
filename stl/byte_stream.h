// Byte streams the link's protocol runs over: a connected socket, or memory (tests
// and fuzzing). The packet receiver and the handshakes only see this interface, so
// they can be driven by any thread that owns a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace torvalen::stl {

enum class IoStatus { ok, timeout, closed, error };

struct ReadResult {
    IoStatus status = IoStatus::error;
    size_t count = 0;  // bytes read when status is ok (never 0 then)
};

class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Waits at most timeout_ms for data and reads what is there, up to into.size().
    virtual ReadResult read_some(std::span<uint8_t> into, int timeout_ms) = 0;
    // Writes everything or fails (send time-out, error, closed peer).
    virtual bool write_all(std::span<const uint8_t> data) = 0;
};

// A connected TCP (or Unix) stream socket. Does not own the descriptor: the module
// that accepted or connected it closes it (under its socket lock).
class SocketStream final : public ByteStream {
public:
    explicit SocketStream(int fd) : fd_(fd) {}
    ReadResult read_some(std::span<uint8_t> into, int timeout_ms) override;
    bool write_all(std::span<const uint8_t> data) override;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Reads from a fixed block of bytes (then reports the peer closed) and collects
// what is written.
class MemoryStream final : public ByteStream {
public:
    explicit MemoryStream(std::span<const uint8_t> input, size_t max_read = SIZE_MAX)
        : input_(input), max_read_(max_read == 0 ? 1 : max_read) {}
    ReadResult read_some(std::span<uint8_t> into, int timeout_ms) override;
    bool write_all(std::span<const uint8_t> data) override;
    const std::vector<uint8_t>& written() const { return written_; }

private:
    std::span<const uint8_t> input_;
    size_t max_read_;
    std::vector<uint8_t> written_;
};

// Sets a socket's receive and send time-outs (SO_RCVTIMEO, SO_SNDTIMEO).
bool set_socket_timeouts(int fd, int receive_ms, int send_ms);

}  // namespace torvalen::stl
