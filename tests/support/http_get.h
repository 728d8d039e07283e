// A plain HTTP/1.1 client for tests that talk to a running program over loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>

namespace torvalen::testing {

// One HTTP exchange on loopback: the request as text in, status and body out.
inline std::pair<int, std::string> http_exchange(int port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A program that stopped answering fails the exchange after 5 s instead of hanging the test.
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        (void)!::write(fd, request.data(), request.size());
        char buffer[4096];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) reply.append(buffer, static_cast<size_t>(got));
    }
    ::close(fd);
    const size_t body = reply.find("\r\n\r\n");
    if (reply.size() < 12 || body == std::string::npos) return {0, ""};
    return {std::atoi(reply.c_str() + 9), reply.substr(body + 4)};
}

inline std::pair<int, std::string> http_get(int port, const std::string& path) {
    return http_exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                   "\r\nConnection: close\r\n\r\n");
}

}  // namespace torvalen::testing
