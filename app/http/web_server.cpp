#include "app/http/web_server.h"

#include <httplib.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "app/http/api.h"
#include "engine/log.h"

namespace torvalen::http {

namespace {
constexpr const char* log_who = "web";
constexpr auto tick_period = std::chrono::milliseconds(40);
constexpr auto keep_alive_comment = std::chrono::seconds(15);

std::string cookie_value(const std::string& header, std::string_view name) {
    size_t at = 0;
    while (at < header.size()) {
        while (at < header.size() && (header[at] == ' ' || header[at] == ';')) ++at;
        const size_t end = std::min(header.find(';', at), header.size());
        const std::string_view pair(header.data() + at, end - at);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=')
            return std::string(pair.substr(name.size() + 1));
        at = end;
    }
    return {};
}
}  // namespace

bool parse_listen_address(const std::string& text, ListenAddress& out, std::string& error) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "a listen address is HOST:PORT, or [IPv6]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            error = "a listen address is HOST:PORT, or [IPv6]:PORT";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    char* end = nullptr;
    const long p = std::strtol(port.c_str(), &end, 10);
    if (host.empty() || port.empty() || *end != '\0' || p < 0 || p > 65535) {
        error = "a listen address needs a host and a port from 0 to 65535";
        return false;
    }
    out.host = host;
    out.port = static_cast<int>(p);
    return true;
}

bool is_loopback_host(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    return false;
}

std::filesystem::path find_ui_folder(const std::filesystem::path& program) {
    namespace fs = std::filesystem;
    std::error_code ec;
    auto usable = [&](const fs::path& dir) { return !dir.empty() && fs::exists(dir / "index.html", ec); };
    if (const char* env = std::getenv("TORVALEN_UI_DIR"); env && usable(env)) return env;
    const fs::path folder = program.parent_path();
    for (const fs::path& candidate : {folder / "ui", folder.parent_path() / "ui",
                                      folder.parent_path() / "share" / "torvalen" / "ui"})
        if (usable(candidate)) return candidate;
#ifdef TORVALEN_SOURCE_UI
    if (usable(TORVALEN_SOURCE_UI)) return TORVALEN_SOURCE_UI;
#endif
    return {};
}

struct WebServer::State {
    explicit State(Api& a) : api(a) {}

    Api& api;
    httplib::Server server;
    std::thread listener;
    std::thread pump;
    std::thread exit_thread;
    int port = 0;
    bool loopback = true;
    std::set<std::string> allowed_hosts;

    // The newest tick of the event stream, for every client.
    std::mutex lock;
    std::condition_variable changed;
    Api::Tick latest;
    uint64_t sequence = 0;
    bool stopping = false;
    std::atomic<int> clients{0};
    std::atomic<bool> exit_started{false};
    std::atomic<bool> listening_done{false};

    void pump_main();
    bool host_allowed(const std::string& host) const {
        return !loopback || allowed_hosts.count(host) != 0;
    }
};

void WebServer::State::pump_main() {
    auto next = std::chrono::steady_clock::now();
    std::unique_lock guard(lock);
    while (!stopping) {
        if (clients.load() > 0) {
            guard.unlock();
            Api::Tick tick = api.tick();
            guard.lock();
            latest = std::move(tick);
            ++sequence;
            changed.notify_all();
        }
        next += tick_period;
        const auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;  // after a stall, do not run a burst of ticks
        changed.wait_until(guard, next, [&] { return stopping; });
    }
}

namespace {
// One browser's event stream: what it has been sent so far.
struct Client {
    uint64_t sequence = 0;
    uint64_t version = 0;
    bool started = false;
};
}  // namespace

WebServer::WebServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<WebServer> WebServer::start(Api& api, const ListenAddress& address,
                                            const std::filesystem::path& ui_folder, std::string& error) {
    auto s = std::make_unique<State>(api);
    State* st = s.get();
    httplib::Server& srv = s->server;
    srv.new_task_queue = [] { return new httplib::ThreadPool(32); };
    srv.set_payload_max_length(1 << 20);
    srv.set_keep_alive_max_count(1000);

    if (ui_folder.empty() || !srv.set_mount_point("/", ui_folder.string())) {
        error = "the web interface's files (ui/index.html) were not found";
        return nullptr;
    }
    srv.set_file_request_handler([](const httplib::Request&, httplib::Response& res) {
        res.set_header("Cache-Control", "no-cache");
    });
    srv.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("X-Frame-Options", "DENY");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("Content-Security-Policy",
                       "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:");
    });

    auto api_handler = [st](const httplib::Request& req, httplib::Response& res) {
        Request r;
        r.method = req.method;
        r.path = req.path;
        for (const auto& [k, v] : req.params) r.params.emplace(k, v);
        r.session = cookie_value(req.get_header_value("Cookie"), session_cookie);
        r.origin = req.get_header_value("Origin");
        r.host = req.get_header_value("Host");
        r.fetch_site = req.get_header_value("Sec-Fetch-Site");
        r.token = req.get_header_value("X-Torvalen-Token");
        r.peer = req.remote_addr;
        Response out;
        if (!st->host_allowed(r.host)) {
            log_event(log_who, "refused a request for host \"" + r.host + "\"");
            out.status = 403;
            out.body = R"({"ok":false,"message":"Unknown host name","title":"Error"})";
        } else {
            out = st->api.handle(r);
        }
        res.status = out.status;
        res.set_header("Cache-Control", "no-store");
        if (!out.set_cookie.empty()) res.set_header("Set-Cookie", out.set_cookie);
        res.set_content(out.body, "application/json; charset=utf-8");
        if (out.exit_after && !st->exit_started.exchange(true)) {
            st->exit_thread = std::thread([st] {
                // Let the answer reach the browser first.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                st->api.request_exit();
            });
        }
    };

    srv.Get("/api/events", [st](const httplib::Request& req, httplib::Response& res) {
        if (!st->host_allowed(req.get_header_value("Host"))) {
            res.status = 403;
            return;
        }
        res.set_header("Cache-Control", "no-store");
        auto client = std::make_shared<Client>();
        st->clients.fetch_add(1);
        {
            std::lock_guard guard(st->lock);
            st->changed.notify_all();  // the pump starts ticking
        }
        res.set_chunked_content_provider(
            "text/event-stream",
            [st, client](size_t, httplib::DataSink& sink) {
                std::string out;
                if (!client->started) {
                    client->started = true;
                    out = "retry: 2000\n\n";
                }
                {
                    std::unique_lock guard(st->lock);
                    const bool fresh = st->changed.wait_for(guard, keep_alive_comment, [&] {
                        return st->stopping || st->sequence != client->sequence;
                    });
                    if (st->stopping) {
                        sink.done();
                        return true;
                    }
                    if (fresh) {
                        client->sequence = st->sequence;
                        const Api::Tick& t = st->latest;
                        if (t.version != client->version) {
                            client->version = t.version;
                            out += "event: state\ndata: {\"version\":" + std::to_string(t.version) + "}\n\n";
                        }
                        if (!t.meters.empty()) out += "event: meters\ndata: " + t.meters + "\n\n";
                        if (!t.analyser.empty()) out += "event: analyser\ndata: " + t.analyser + "\n\n";
                    } else {
                        out += ": keep-alive\n\n";
                    }
                }
                return sink.write(out.data(), out.size());
            },
            [st](bool) { st->clients.fetch_sub(1); });
    });
    srv.Get(R"(/api/.*)", api_handler);
    srv.Post(R"(/api/.*)", api_handler);

    s->loopback = is_loopback_host(address.host);
    if (address.port == 0) {
        s->port = srv.bind_to_any_port(address.host);
        if (s->port <= 0) {
            error = "cannot listen on " + address.host;
            return nullptr;
        }
    } else {
        if (!srv.bind_to_port(address.host, address.port)) {
            error = "cannot listen on " + address.host + ":" + std::to_string(address.port) +
                    " (in use, or not an address of this machine)";
            return nullptr;
        }
        s->port = address.port;
    }
    const std::string port = ":" + std::to_string(s->port);
    s->allowed_hosts = {"127.0.0.1" + port, "localhost" + port, "[::1]" + port};
    s->allowed_hosts.insert((address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host) +
                            port);

    s->listener = std::thread([st] {
        st->server.listen_after_bind();
        st->listening_done.store(true);
    });
    // Serving from here on: a stop that came before the listener ran would be lost.
    for (int i = 0; i < 500 && !srv.is_running() && !s->listening_done.load(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    s->pump = std::thread([st] { st->pump_main(); });
    log_event(log_who, "web interface on http://" +
                           (address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host) +
                           port);
    return std::unique_ptr<WebServer>(new WebServer(std::move(s)));
}

WebServer::~WebServer() {
    {
        std::lock_guard guard(state_->lock);
        state_->stopping = true;
    }
    state_->changed.notify_all();
    // stop() only reaches a server that is already listening: repeat until the
    // listener has returned.
    while (!state_->listening_done.load()) {
        state_->server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (state_->listener.joinable()) state_->listener.join();
    if (state_->pump.joinable()) state_->pump.join();
    if (state_->exit_thread.joinable()) state_->exit_thread.join();
}

int WebServer::port() const { return state_->port; }
int WebServer::event_clients() const { return state_->clients.load(); }

}  // namespace torvalen::http
