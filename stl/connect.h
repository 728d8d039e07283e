// The client's connect step: resolve the host and port (on a helper thread, so a
// stalled resolver costs at most the time-out and a stop request is honoured), pick
// the address, connect without blocking, then return a blocking socket with its
// receive and send time-outs set.
#pragma once

#include <atomic>
#include <string>

#include "stl/handshake.h"

namespace torvalen::stl {

struct ConnectResult {
    int fd = -1;                              // owned by the caller when >= 0
    TxStatus status = TxStatus::networking_error;  // meaningful when fd < 0
};

ConnectResult connect_to(const std::string& host, const std::string& port, bool prefer_ipv6,
                         int receive_timeout_ms, int send_timeout_ms, const std::atomic<bool>* stop = nullptr);

}  // namespace torvalen::stl
