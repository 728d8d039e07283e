#include "engine/accept.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

namespace torvalen {

Accepted accept_or_stop(int stop_fd, int listener, int flags) {
    for (;;) {
        pollfd p[2] = {{stop_fd, POLLIN, 0}, {listener, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return {AcceptResult::failed, -1};
        }
        if (p[0].revents) return {AcceptResult::stopped, -1};
        if (!(p[1].revents & POLLIN)) {
            if (p[1].revents) return {AcceptResult::failed, -1};
            continue;
        }
        const int client = ::accept4(listener, nullptr, nullptr, flags);
        if (client >= 0) return {AcceptResult::client, client};
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED) continue;
        return {AcceptResult::failed, -1};
    }
}

}  // namespace torvalen
