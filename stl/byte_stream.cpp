#include "stl/byte_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace torvalen::stl {

ReadResult SocketStream::read_some(std::span<uint8_t> into, int timeout_ms) {
    if (into.empty()) return {IoStatus::error, 0};
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, std::max(timeout_ms, 0));
    } while (r < 0 && errno == EINTR);
    if (r == 0) return {IoStatus::timeout, 0};
    if (r < 0) return {IoStatus::error, 0};
    ssize_t n;
    do {
        n = ::recv(fd_, into.data(), into.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return {IoStatus::closed, 0};
    if (n < 0) {
        // The socket's own receive time-out ran out before the poll's.
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::timeout, 0};
        return {IoStatus::error, 0};
    }
    return {IoStatus::ok, static_cast<size_t>(n)};
}

bool SocketStream::write_all(std::span<const uint8_t> data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        // EAGAIN here is the socket's send time-out: the link is too slow.
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

ReadResult MemoryStream::read_some(std::span<uint8_t> into, int) {
    if (input_.empty()) return {IoStatus::closed, 0};
    size_t n = std::min({into.size(), input_.size(), max_read_});
    if (n == 0) return {IoStatus::error, 0};
    std::memcpy(into.data(), input_.data(), n);
    input_ = input_.subspan(n);
    return {IoStatus::ok, n};
}

bool MemoryStream::write_all(std::span<const uint8_t> data) {
    written_.insert(written_.end(), data.begin(), data.end());
    return true;
}

bool set_socket_timeouts(int fd, int receive_ms, int send_ms) {
    auto tv = [](int ms) {
        timeval t{};
        ms = std::max(ms, 0);
        t.tv_sec = ms / 1000;
        t.tv_usec = (ms % 1000) * 1000;
        return t;
    };
    timeval r = tv(receive_ms), s = tv(send_ms);
    return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &r, sizeof r) == 0 &&
           ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &s, sizeof s) == 0;
}

}  // namespace torvalen::stl
