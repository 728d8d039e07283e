#include "broadcast/ta_service.h"

#include "engine/accept.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace torvalen::broadcast {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void FileDescriptor::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int ta_message_value(const unsigned char* data, long length) {
    if (length == 1) {
        if (data[0] == 0x00 || data[0] == '0') return 0;
        if (data[0] == 0x01 || data[0] == '1') return 1;
        return -1;
    }
    if (length == 4) {
        if (data[0] == 0) return 0;
        if (data[0] == 1) return 1;
    }
    return -1;
}

bool TaService::start(const TaServiceOptions& options) {
    stop();
    stop_event_ = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_event_.valid()) return false;
    thread_ = std::thread([this, options] { thread_main(options); });
    return true;
}

void TaService::stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_event_.get(), &one, sizeof one);
    thread_.join();
    stop_event_.reset();
    listening_.store(false, std::memory_order_release);
}

bool TaService::wait_stop(int ms) {
    pollfd p{stop_event_.get(), POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
}

void TaService::thread_main(TaServiceOptions options) {
    for (;;) {
        FileDescriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        bool ok = listener.valid();
        if (ok) {
            const int yes = 1;
            ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(options.port);
            address.sin_addr.s_addr = htonl(options.loopback_only ? INADDR_LOOPBACK : INADDR_ANY);
            ok = ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(listener.get(), SOMAXCONN) == 0;
        }
        if (!ok) {
            listener.reset();
            if (wait_stop(static_cast<int>(options.retry_ms))) return;
            continue;
        }
        sockaddr_in bound{};
        socklen_t bound_size = sizeof bound;
        if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &bound_size) == 0)
            bound_port_.store(ntohs(bound.sin_port), std::memory_order_release);
        listening_.store(true, std::memory_order_release);
        // Accept until stopped or until accept fails for another reason than "none yet".
        for (;;) {
            const Accepted accepted = accept_or_stop(stop_event_.get(), listener.get(), SOCK_CLOEXEC);
            if (accepted.result == AcceptResult::stopped) return;
            if (accepted.result == AcceptResult::failed) break;
            FileDescriptor connection(accepted.fd);
            connections_.fetch_add(1, std::memory_order_acq_rel);
            serve(connection.get(), options);
            connection.reset();
            handled_.fetch_add(1, std::memory_order_acq_rel);
        }
        listening_.store(false, std::memory_order_release);
        listener.reset();
        if (wait_stop(static_cast<int>(options.retry_ms))) return;
    }
}

void TaService::serve(int client, const TaServiceOptions& options) {
    pollfd p[2] = {{client, POLLIN, 0}, {stop_event_.get(), POLLIN, 0}};
    const int ready = ::poll(p, 2, static_cast<int>(options.timeout_ms));
    if (ready <= 0 || !(p[0].revents & (POLLIN | POLLHUP | POLLERR))) return;
    unsigned char buffer[512];
    const ssize_t n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) return;
    const int value = ta_message_value(buffer, static_cast<long>(n));
    if (value < 0) return;
    ta_.store(static_cast<uint32_t>(value), std::memory_order_relaxed);
    accepted_.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace torvalen::broadcast
