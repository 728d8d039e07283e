// The web interface's server: static files of ui/, the JSON API and the event
// stream, on one listening address. Built on GNU libmicrohttpd (one polling
// thread, event streams and waiting API requests suspended, a small pool of
// workers for the API); only this file's implementation includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace torvalen::http {

class Api;

struct ListenAddress {
    std::string host;  // "127.0.0.1", "::1", "0.0.0.0", a name
    int port = 8080;
};

// Splits "HOST:PORT" ("[v6]:PORT" for IPv6). False with `error` set when malformed.
bool parse_listen_address(const std::string& text, ListenAddress& out, std::string& error);
// True for 127.0.0.0/8, ::1 and "localhost".
bool is_loopback_host(const std::string& host);

// The folder of the front end: $TORVALEN_UI_DIR, else ui/ beside the program's
// folder or its parent, else the source tree's ui/.
std::filesystem::path find_ui_folder(const std::filesystem::path& program);

// What one client, or all of them together, may hold of the server.
struct ServerLimits {
    int header_seconds = 10;        // a request's line and headers arrive within this
    int body_seconds = 30;          // its body within this, after the headers
    int idle_seconds = 10;          // no traffic at all on a connection for this: closed
    int connections = 256;          // open connections in all
    int connections_per_peer = 32;  // open connections from one address
    int streams = 16;               // event streams in all (503 beyond)
    int streams_per_peer = 8;       // event streams from one address (503 beyond)
    size_t body_bytes = size_t{1} << 20;  // request body, chunked or not (413 beyond)
    size_t connection_memory = 64 * 1024; // one connection's buffers: its request line and
                                          // headers must fit (431 beyond)
};

class WebServer {
public:
    // Binds the address and starts serving. Nothing, with `error` set, when the
    // address cannot be bound or the ui folder is missing.
    static std::unique_ptr<WebServer> start(Api& api, const ListenAddress& address,
                                            const std::filesystem::path& ui_folder, std::string& error,
                                            const ServerLimits& limits = {});
    // Stops accepting, ends the event streams and waits for the server's threads.
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    int port() const;
    // Event-stream clients connected now (diagnostics and tests).
    int event_clients() const;

private:
    struct State;
    explicit WebServer(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace torvalen::http
