#include "stl/connect.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace torvalen::stl {
namespace {

struct Resolution {
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
    bool have4 = false, have6 = false;
    sockaddr_storage addr4{}, addr6{};
    socklen_t len4 = 0, len6 = 0;
};

// Resolves on a detached thread that shares the result; a resolver that overruns
// the time-out finishes on its own and its answer is dropped.
bool resolve(const std::string& host, const std::string& port, int timeout_ms, const std::atomic<bool>* stop,
             Resolution*& out, std::shared_ptr<Resolution>& keep) {
    keep = std::make_shared<Resolution>();
    std::thread([r = keep, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        bool ok = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list) == 0;
        std::lock_guard l(r->lock);
        if (ok) {
            // The last address of each family is kept.
            for (addrinfo* a = list; a; a = a->ai_next) {
                if (a->ai_family == AF_INET && a->ai_addrlen <= sizeof r->addr4) {
                    std::memcpy(&r->addr4, a->ai_addr, a->ai_addrlen);
                    r->len4 = a->ai_addrlen;
                    r->have4 = true;
                } else if (a->ai_family == AF_INET6 && a->ai_addrlen <= sizeof r->addr6) {
                    std::memcpy(&r->addr6, a->ai_addr, a->ai_addrlen);
                    r->len6 = a->ai_addrlen;
                    r->have6 = true;
                }
            }
            ::freeaddrinfo(list);
        }
        r->done = true;
        r->cv.notify_all();
    }).detach();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock l(keep->lock);
    while (!keep->done) {
        if (stop && stop->load()) return false;
        auto slice = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
        keep->cv.wait_until(l, slice);
        if (!keep->done && std::chrono::steady_clock::now() >= deadline) return false;
    }
    out = keep.get();
    return keep->have4 || keep->have6;
}

}  // namespace

ConnectResult connect_to(const std::string& host, const std::string& port, bool prefer_ipv6,
                         int receive_timeout_ms, int send_timeout_ms, const std::atomic<bool>* stop) {
    Resolution* r = nullptr;
    std::shared_ptr<Resolution> keep;
    if (!resolve(host, port, receive_timeout_ms, stop, r, keep)) return {-1, TxStatus::dns_error};
    bool use6 = (prefer_ipv6 && r->have6) || !r->have4;
    const sockaddr_storage& addr = use6 ? r->addr6 : r->addr4;
    socklen_t len = use6 ? r->len6 : r->len4;

    int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {-1, TxStatus::networking_error};
    auto give_up = [fd](TxStatus s) {
        ::close(fd);
        return ConnectResult{-1, s};
    };
    int flags = ::fcntl(fd, F_GETFL);
    if (!set_socket_timeouts(fd, receive_timeout_ms, send_timeout_ms) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return give_up(TxStatus::networking_error);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 && errno != EINPROGRESS)
        return give_up(TxStatus::connect_failed);
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
        n = ::poll(&p, 1, receive_timeout_ms);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return give_up(TxStatus::connect_failed);
    if (n == 0) return give_up(TxStatus::connect_timeout);
    int error = 0;
    socklen_t elen = sizeof error;
    if ((p.revents & (POLLERR | POLLHUP)) || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &elen) != 0 || error != 0)
        return give_up(TxStatus::connection_failure);
    if (!(p.revents & POLLOUT)) return give_up(TxStatus::connect_timeout);
    if (::fcntl(fd, F_SETFL, flags) < 0) return give_up(TxStatus::networking_error);
    return {fd, TxStatus::connecting};
}

}  // namespace torvalen::stl
