// The accept loop of a small TCP service thread: waits for a connection or for
// the thread's stop event, whichever comes first.
#pragma once

namespace torvalen {

enum class AcceptResult { client, stopped, failed };

struct Accepted {
    AcceptResult result = AcceptResult::failed;
    int fd = -1;  // the connection, owned by the caller (client only)
};

// Polls `stop_fd` and `listener`; retries interruptions and the transient accept
// errors (none waiting after all, a connection aborted before it was taken).
// `flags` go to accept4 (SOCK_CLOEXEC, SOCK_NONBLOCK).
Accepted accept_or_stop(int stop_fd, int listener, int flags);

}  // namespace torvalen
