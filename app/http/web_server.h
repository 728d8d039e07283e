// The web interface's server: static files of ui/, the JSON API and the event
// stream, on one listening address. Built on cpp-httplib; only this file's
// implementation includes it.
#pragma once

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

class WebServer {
public:
    // Binds the address and starts serving. Nothing, with `error` set, when the
    // address cannot be bound or the ui folder is missing.
    static std::unique_ptr<WebServer> start(Api& api, const ListenAddress& address,
                                            const std::filesystem::path& ui_folder, std::string& error);
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
