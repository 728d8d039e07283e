#include "stream/icecast_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <optional>
#include <thread>

namespace torvalen::stream {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds cancel_slice{20};

// Waits for `events` on `fd` until `deadline`, watching `cancel`. 1 ready, 0 timed
// out or cancelled, -1 failed.
int wait_for(int fd, short events, Clock::time_point deadline, const CancelFlag* cancel) {
    for (;;) {
        if (cancel && cancel->load(std::memory_order_acquire)) return 0;
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            // One last look without waiting.
            pollfd p{fd, events, 0};
            const int r = ::poll(&p, 1, 0);
            if (r < 0) return -1;
            if (r == 0) return 0;
            return (p.revents & (POLLERR | POLLNVAL)) && !(p.revents & events) ? -1 : 1;
        }
        pollfd p{fd, events, 0};
        const int slice = static_cast<int>(cancel ? std::min(left, cancel_slice).count() : left.count());
        const int r = ::poll(&p, 1, slice);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) continue;
        if ((p.revents & (POLLERR | POLLNVAL)) && !(p.revents & events)) return -1;
        return 1;
    }
}

// A non-blocking TCP socket connected to the address within `timeout`; -1 on failure.
int connect_socket(uint32_t address_be, uint16_t port_be, milliseconds timeout, const CancelFlag& cancel) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = port_be;
    a.sin_addr.s_addr = address_be;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS || wait_for(fd, POLLOUT, Clock::now() + timeout, &cancel) != 1) {
            ::close(fd);
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

// Sends all of `data` before `deadline`; false on failure or time-out.
bool send_all(int fd, std::string_view data, Clock::time_point deadline, const CancelFlag& cancel) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_for(fd, POLLOUT, deadline, &cancel) != 1) return false;
            continue;
        }
        return false;
    }
    return true;
}

// Receives into `sink` until it says it is done, the peer closes or the
// deadline passes. Returns the number of bytes received in all.
template <typename Sink>
std::size_t receive_until(int fd, Clock::time_point deadline, const CancelFlag& cancel, Sink&& sink) {
    std::size_t total = 0;
    char buffer[4096];
    for (;;) {
        if (wait_for(fd, POLLIN, deadline, &cancel) != 1) return total;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return total;
        total += static_cast<std::size_t>(n);
        if (sink(std::span<const char>(buffer, static_cast<std::size_t>(n)))) return total;
    }
}

// What the resolver thread and its waiter share; whoever finishes last frees it.
struct Resolution {
    std::mutex lock;
    std::condition_variable done_cv;
    bool done = false;
    bool ok = false;
    uint32_t address_be = 0;
    uint16_t port_be = 0;
};

}  // namespace

bool resolve_ipv4(const std::string& host, const std::string& service, milliseconds timeout,
                  const CancelFlag& cancel, uint32_t& address_be, uint16_t& port_be) {
    if (host.empty() || service.empty() || !header_safe(host) || !header_safe(service)) return false;
    auto shared = std::make_shared<Resolution>();
    try {
        std::thread([shared, host, service] {
            addrinfo hints{};
            hints.ai_flags = AI_PASSIVE;
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            hints.ai_protocol = IPPROTO_TCP;
            addrinfo* list = nullptr;
            bool ok = false;
            uint32_t address = 0;
            uint16_t port = 0;
            if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &list) == 0 && list) {
                const addrinfo* first = list;
                if (first->ai_family == AF_INET && first->ai_socktype == SOCK_STREAM &&
                    first->ai_protocol == IPPROTO_TCP && first->ai_addrlen >= sizeof(sockaddr_in)) {
                    const auto* a = reinterpret_cast<const sockaddr_in*>(first->ai_addr);
                    address = a->sin_addr.s_addr;
                    port = a->sin_port;
                    ok = true;
                }
            }
            if (list) ::freeaddrinfo(list);
            std::lock_guard lock(shared->lock);
            shared->ok = ok;
            shared->address_be = address;
            shared->port_be = port;
            shared->done = true;
            shared->done_cv.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(shared->lock);
    while (!shared->done) {
        if (cancel.load(std::memory_order_acquire)) return false;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        shared->done_cv.wait_for(lock, std::min<Clock::duration>(deadline - now, cancel_slice));
    }
    if (!shared->ok) return false;
    address_be = shared->address_be;
    port_be = shared->port_be;
    return true;
}

bool SourceConnection::login(const std::string& request, bool expects_continue, uint32_t address_be,
                             uint16_t port_be, milliseconds timeout, const CancelFlag& cancel, int& fd_out) {
    const int fd = connect_socket(address_be, port_be, timeout, cancel);
    if (fd < 0) {
        set_status(status_network_error);
        return false;
    }
    if (!send_all(fd, request, Clock::now() + timeout, cancel)) {
        ::close(fd);
        set_status(status_network_error);
        return false;
    }
    LoginReply reply(expects_continue);
    const std::size_t got = receive_until(fd, Clock::now() + timeout, cancel, [&](std::span<const char> bytes) {
        return reply.feed(bytes) != LoginReply::State::need_more;
    });
    switch (reply.state()) {
        case LoginReply::State::accepted:
            fd_out = fd;
            return true;
        case LoginReply::State::refused:
        case LoginReply::State::malformed:
            set_status(status_authentication);
            break;
        case LoginReply::State::need_more:
            // Nothing, or half a reply, before the time-out or the close.
            set_status(got == 0 || reply.status_code() == 0 ? status_network_error : status_authentication);
            break;
    }
    ::close(fd);
    return false;
}

bool SourceConnection::connect(const StationSettings& station, const StreamFormat& format, const CancelFlag& cancel) {
    disconnect();
    set_status(status_connecting);
    const milliseconds timeout{station.timeout_ms};
    uint32_t address = 0;
    uint16_t port = 0;
    if (!resolve_ipv4(settings_.url, settings_.port, timeout, cancel, address, port)) {
        set_status(status_bad_url);
        return false;
    }
    SourceRequestFields f;
    f.mount = settings_.path;
    f.server = settings_.url;
    f.port = settings_.port;
    f.user = settings_.user;
    f.password = settings_.password;
    f.station = station.name;
    f.web_page = station.web_page;
    f.genre = station.genre;
    f.make_public = station.make_public;
    f.type = format.type;
    f.bitrate_bps = format.bitrate_bps;
    f.rate_Hz = format.rate_Hz;
    f.channels = format.channels;
    const std::optional<std::string> put = build_put_request(f);
    const std::optional<std::string> source = build_source_request(f);
    if (!put || !source) {
        set_status(status_allocation);
        return false;
    }
    int fd = -1;
    // A refused PUT ends with the server closing the connection, so the older
    // SOURCE login goes over a new one.
    if (!login(*put, true, address, port, timeout, cancel, fd)) {
        if (cancel.load() || !login(*source, false, address, port, timeout, cancel, fd)) return false;
    }
    // A bounded send buffer (the kernel doubles it to 64 KiB, some seconds of
    // audio): a server that stops reading shows up as dropped data within seconds
    // instead of queueing megabytes of ever older audio for its listeners.
    const int send_buffer = 32 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    {
        std::lock_guard lock(socket_lock_);
        fd_ = fd;
    }
    lost_.store(false, std::memory_order_release);
    connected_.store(true, std::memory_order_release);
    set_status(status_connected);
    return true;
}

bool SourceConnection::send(std::span<const uint8_t> bytes, milliseconds short_timeout) {
    std::lock_guard lock(socket_lock_);
    if (fd_ < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int w = wait_for(fd_, POLLOUT, Clock::now() + short_timeout, nullptr);
            if (w == 0) {
                // A slow server: the rest of this block is dropped for it.
                dropped_.fetch_add(bytes.size() - done, std::memory_order_relaxed);
                return true;
            }
            if (w > 0) continue;
        }
        ::close(fd_);
        fd_ = -1;
        set_status(status_streaming_error);
        lost_.store(true, std::memory_order_release);
        return false;
    }
    return true;
}

void SourceConnection::close_socket() {
    std::lock_guard lock(socket_lock_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connected_.store(false, std::memory_order_release);
}

void SourceConnection::disconnect() {
    close_socket();
    lost_.store(false, std::memory_order_release);
    set_status(status_disconnected);
    set_metadata_status(metadata_none);
}

uint32_t SourceConnection::update_metadata(const StationSettings& station, uint32_t type, const std::string* song,
                                           const CancelFlag& cancel) {
    uint32_t result = metadata_fail;
    if (type == encoder_vorbis || type == encoder_opus) {
        result = metadata_not_supported;
    } else if (!song) {
        result = metadata_fail;
    } else {
        MetadataRequestFields f{settings_.path, settings_.url, settings_.port, settings_.admin_user,
                                settings_.admin_password, *song};
        const std::optional<std::string> request = build_metadata_request(f);
        const milliseconds timeout{station.timeout_ms};
        uint32_t address = 0;
        uint16_t port = 0;
        if (!request) {
            result = metadata_allocation;
        } else if (!resolve_ipv4(settings_.url, settings_.port, timeout, cancel, address, port)) {
            result = metadata_server_not_found;
        } else if (const int fd = connect_socket(address, port, timeout, cancel); fd < 0) {
            result = metadata_network;
        } else {
            if (!send_all(fd, *request, Clock::now() + timeout, cancel)) {
                result = metadata_network;
            } else {
                MetadataReply reply;
                const std::size_t got = receive_until(fd, Clock::now() + timeout, cancel,
                                                      [&](std::span<const char> b) {
                                                          reply.feed(b);
                                                          return reply.finished();
                                                      });
                result = reply.success() ? metadata_ok : got == 0 ? metadata_network : metadata_fail;
            }
            ::close(fd);
        }
    }
    set_metadata_status(result);
    return result;
}

}  // namespace torvalen::stream
