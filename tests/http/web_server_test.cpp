#include "app/http/web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "app/http/api.h"
#include "app/standard_modules.h"
#include "tests/support/json_reader.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

using Clock = std::chrono::steady_clock;

// ---- A raw HTTP client on loopback sockets ----

class Socket {
public:
    // Connects to `to`:port, from the loopback address `from` (127.0.0.0/8 lets a
    // test be several peers).
    Socket(int port, const char* from = "127.0.0.1", const char* to = "127.0.0.1") {
        const bool v6 = std::string_view(to).find(':') != std::string_view::npos;
        fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval five{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &five, sizeof five);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &five, sizeof five);
        if (v6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(static_cast<uint16_t>(port));
            inet_pton(AF_INET6, to, &a.sin6_addr);
            ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            return;
        }
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from, &source.sin_addr);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, to, &a.sin_addr);
        ok_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
              ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)), ok_(other.ok_) {}
    Socket(const Socket&) = delete;

    bool ok() const { return ok_; }
    bool send(std::string_view data) {
        while (!data.empty()) {
            const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            data.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }
    // Everything until the server closes (or `enough` says so, or 5 s of silence).
    std::string receive(const std::function<bool(const std::string&)>& enough = nullptr) {
        std::string in;
        char buffer[16384];
        for (;;) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            in.append(buffer, static_cast<size_t>(n));
            if (enough && enough(in)) break;
        }
        return in;
    }
    // True once the server closed this connection (waits up to `ms`).
    bool closed_within(int ms) {
        pollfd p{fd_, POLLIN, 0};
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (::poll(&p, 1, static_cast<int>(std::max<long>(left, 0))) <= 0) return false;
            char c[4096];
            const ssize_t n = ::recv(fd_, c, sizeof c, MSG_DONTWAIT);
            if (n <= 0) return true;  // end of stream or reset; a 408 or 431 before it is fine
        }
    }
    bool readable_within(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

struct Reply {
    int status = 0;
    std::string head;  // status line and headers, names lower-cased
    std::string body;

    std::string header(const std::string& name) const {
        const std::string key = "\r\n" + name + ": ";
        const size_t at = head.find(key);
        if (at == std::string::npos) return {};
        const size_t start = at + key.size();
        return head.substr(start, head.find("\r\n", start) - start);
    }
};

Reply parse_reply(const std::string& raw) {
    Reply r;
    const size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) return r;
    r.status = std::atoi(raw.c_str() + 9);
    r.head = raw.substr(0, end + 2);
    for (size_t i = 0; i < r.head.size(); ++i) {
        // Lower-case the header names (from each line start to its colon).
        if (i >= 2 && r.head[i - 1] == '\n')
            for (size_t j = i; j < r.head.size() && r.head[j] != ':'; ++j) r.head[j] = static_cast<char>(std::tolower(r.head[j]));
    }
    std::string body = raw.substr(end + 4);
    if (r.header("transfer-encoding") == "chunked") {
        std::string plain;
        size_t at = 0;
        while (at < body.size()) {
            const size_t size = std::strtoul(body.c_str() + at, nullptr, 16);
            at = body.find("\r\n", at) + 2;
            if (size == 0 || at + size > body.size()) break;
            plain += body.substr(at, size);
            at += size + 2;
        }
        body = plain;
    }
    r.body = body;
    return r;
}

// One request on its own connection.
Reply request(int port, const std::string& method, const std::string& target, const std::string& headers = "",
              const std::string& body = "", const char* from = "127.0.0.1", const char* to = "127.0.0.1") {
    Socket s(port, from, to);
    if (!s.ok()) return {};
    const std::string host = std::string_view(to).find(':') != std::string_view::npos ? "[" + std::string(to) + "]"
                                                                                      : std::string(to);
    std::string text = method + " " + target + " HTTP/1.1\r\nConnection: close\r\n";
    if (headers.find("Host:") == std::string::npos) text += "Host: " + host + ":" + std::to_string(port) + "\r\n";
    text += headers;
    if (!body.empty() || method == "POST")
        text += "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n";
    text += "\r\n" + body;
    if (!s.send(text)) return {};
    return parse_reply(s.receive());
}

size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// ---- Tests ----

TEST(ListenAddress, ParsesHostAndPortAndRefusesTheRest) {
    http::ListenAddress a;
    std::string error;
    ASSERT_TRUE(http::parse_listen_address("127.0.0.1:8080", a, error));
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 8080);
    ASSERT_TRUE(http::parse_listen_address("[::1]:0", a, error));
    EXPECT_EQ(a.host, "::1");
    EXPECT_EQ(a.port, 0);
    for (const char* bad : {"8080", "127.0.0.1", ":80", "host:99999", "host:8x", "::1:80", "[::1]80", ""})
        EXPECT_FALSE(http::parse_listen_address(bad, a, error)) << bad;
    EXPECT_TRUE(http::is_loopback_host("127.0.0.1"));
    EXPECT_TRUE(http::is_loopback_host("127.1.2.3"));
    EXPECT_TRUE(http::is_loopback_host("::1"));
    EXPECT_TRUE(http::is_loopback_host("localhost"));
    EXPECT_FALSE(http::is_loopback_host("0.0.0.0"));
    EXPECT_FALSE(http::is_loopback_host("192.168.1.10"));
    EXPECT_FALSE(http::is_loopback_host("example.org"));
}

class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        ui_ = temp_ / "ui";
        std::filesystem::create_directories(ui_ / "js");
        std::ofstream(ui_ / "index.html") << "<!doctype html><title>Torvalen</title>";
        std::ofstream(ui_ / "js" / "main.js") << "export const torvalen = 1;";
        std::ofstream(temp_ / "secret.txt") << "not for the browser";
        options_.home = temp_ / "home";
        options_.autostart_dir = temp_ / "autostart";
        options_.program = "/usr/bin/torvalen";
        options_.start_devices = false;
        std::string error;
        control_.run([&] { app_ = Application::start(options_, factory_, error); });
        ASSERT_TRUE(app_) << error;
        api_ = std::make_unique<http::Api>(control_, *app_, http::ApiOptions{});
        restart({});
    }
    void TearDown() override {
        server_.reset();
        control_.run([&] {
            api_.reset();
            if (app_) app_->exit();
            app_.reset();
        });
    }
    void restart(const http::ServerLimits& limits, const std::string& host = "127.0.0.1") {
        server_.reset();
        std::string error;
        server_ = http::WebServer::start(*api_, {host, 0}, ui_, error, limits);
        ASSERT_TRUE(server_) << error;
        port_ = server_->port();
    }
    Reply get(const std::string& target, const std::string& headers = "") {
        return request(port_, "GET", target, headers);
    }

    testing::TempDir temp_{"torvalen-web"};
    std::filesystem::path ui_;
    AppOptions options_;
    // The player's lists go to the test's folder, not the user's data folder.
    StandardModules factory_{StandardModuleOptions{temp_ / "data", false}};
    ControlThread control_;
    std::unique_ptr<Application> app_;
    std::unique_ptr<http::Api> api_;
    std::unique_ptr<http::WebServer> server_;
    int port_ = 0;
};

TEST_F(WebServerTest, ServesTheFrontEndAndTheApiOnLoopback) {
    const Reply index = get("/");
    EXPECT_EQ(index.status, 200);
    EXPECT_NE(index.body.find("Torvalen"), std::string::npos);
    EXPECT_EQ(index.header("content-type"), "text/html; charset=utf-8");
    EXPECT_EQ(index.header("cache-control"), "no-cache");
    EXPECT_EQ(index.header("x-frame-options"), "DENY");
    EXPECT_EQ(index.header("x-content-type-options"), "nosniff");
    EXPECT_EQ(index.header("referrer-policy"), "no-referrer");
    EXPECT_NE(index.header("content-security-policy").find("default-src 'self'"), std::string::npos);
    const Reply script = get("/js/main.js");
    EXPECT_EQ(script.status, 200);
    EXPECT_EQ(script.header("content-type"), "text/javascript; charset=utf-8");
    EXPECT_EQ(script.body, "export const torvalen = 1;");
    EXPECT_EQ(get("/js/none.js").status, 404);

    const Reply state = get("/api/state?unused=1");
    EXPECT_EQ(state.status, 200);
    EXPECT_EQ(state.header("cache-control"), "no-store");
    EXPECT_EQ(state.header("content-type"), "application/json; charset=utf-8");
    EXPECT_EQ(testing::parse_json(state.body)["current"].str(), "Instance 1");

    // A form-encoded command goes through; a foreign page's does not.
    EXPECT_EQ(request(port_, "POST", "/api/instance/new", "", "name=Second+One").body, R"({"ok":true})");
    EXPECT_EQ(testing::parse_json(get("/api/state").body)["current"].str(), "Second One");
    EXPECT_EQ(request(port_, "POST", "/api/instance/new", "Origin: http://attacker.example\r\n", "name=Third").status,
              403);

    // A name that resolves to loopback but is not this server (DNS rebinding) is
    // refused, for the API and the event stream; the port belongs to the name.
    const std::string port = std::to_string(port_);
    EXPECT_EQ(get("/api/state", "Host: attacker.example:" + port + "\r\n").status, 403);
    EXPECT_EQ(get("/api/events", "Host: attacker.example:" + port + "\r\n").status, 403);
    EXPECT_EQ(get("/api/state", "Host: 127.0.0.1\r\n").status, 403);
    EXPECT_EQ(get("/api/state", "Host: localhost:" + port + "\r\n").status, 200);
    EXPECT_EQ(get("/api/nothing").status, 404);

    // Notes of 10232 characters, each percent-encoded as three UTF-8 bytes, fit
    // in a body; a body over the limit is refused with the message.
    std::string notes;
    for (int i = 0; i < 10232; ++i) notes += "%E2%82%AC";
    const Reply long_notes = request(port_, "POST", "/api/instance/rename", "", "name=" + notes);
    EXPECT_EQ(long_notes.status, 200);
    EXPECT_NE(long_notes.body.find("\"ok\":"), std::string::npos);
    // (The body is not sent: the answer comes before it, and a server that closes
    // with a body unread may reset the connection before the client reads.)
    Socket long_body(port_);
    ASSERT_TRUE(long_body.send("POST /api/instance/rename HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                               "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                               std::to_string((1 << 20) + 1) + "\r\n\r\nname="));
    const Reply too_long = parse_reply(long_body.receive());
    EXPECT_EQ(too_long.status, 413);
    EXPECT_EQ(too_long.body, R"({"ok":false,"message":"The request is too large","title":"Error"})");

    // The session cookie: set with the first password, and carried back.
    const Reply password = request(port_, "POST", "/api/password/change", "", "new=Secret-Passw0rd%21");
    const std::string cookie = password.header("set-cookie");
    ASSERT_EQ(cookie.rfind("torvalen_session=", 0), 0u) << cookie;
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    // The cookie and the header token together: either alone is refused.
    const std::string cookie_line = "Cookie: other=1; " + cookie.substr(0, cookie.find(';')) + "\r\n";
    const size_t token_at = password.body.find("\"token\":\"");
    ASSERT_NE(token_at, std::string::npos) << password.body;
    const std::string token = password.body.substr(token_at + 9, 64);
    EXPECT_EQ(request(port_, "POST", "/api/instance/select", "", "name=Instance+1").status, 403);
    EXPECT_EQ(request(port_, "POST", "/api/instance/select", cookie_line, "name=Instance+1").status, 403);
    EXPECT_EQ(request(port_, "POST", "/api/instance/select", "X-Torvalen-Token: " + token + "\r\n", "name=Instance+1").status,
              403);
    EXPECT_EQ(request(port_, "POST", "/api/instance/select", cookie_line + "X-Torvalen-Token: " + token + "\r\n",
                      "name=Instance+1")
                  .body,
              R"({"ok":true})");

    // An IPv6 listening address.
    restart({}, "::1");
    const Reply v6 = request(port_, "GET", "/api/state", "", "", nullptr, "::1");
    EXPECT_EQ(v6.status, 200);
}

TEST_F(WebServerTest, RefusesPathsOutsideTheUiFolderInEveryEncoding) {
    std::filesystem::create_symlink(temp_ / "secret.txt", ui_ / "leak.txt");
    std::filesystem::create_symlink(ui_ / "js" / "main.js", ui_ / "alias.js");
    for (const char* bad : {"/../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E%2Fsecret.txt", "/js/..%2f..%2fsecret.txt",
                            "/js/main.js%00.html", "/index.html%0a", "/%1b[31m.html", "/js%2f%2e%2e%2f%2e%2e/secret.txt"}) {
        const Reply r = get(bad);
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_EQ(r.body.find("not for the browser"), std::string::npos) << bad;
        EXPECT_EQ(r.header("content-type").find("text/html"), std::string::npos) << bad;
    }
    // A link that leads out of the folder is not followed; one inside it is.
    EXPECT_EQ(get("/leak.txt").status, 404);
    EXPECT_EQ(get("/alias.js").body, "export const torvalen = 1;");
    // Double encoding names a file called "%2e%2e", not the parent folder.
    EXPECT_EQ(get("/%252e%252e/secret.txt").status, 404);
}

TEST_F(WebServerTest, AServerStoppedRightAfterItStartedEnds) {
    // A stop signal can come as soon as the program has started: the server must
    // end even when its listener had not begun to listen.
    server_.reset();
    for (int i = 0; i < 50; ++i) {
        std::string error;
        auto server = http::WebServer::start(*api_, {"127.0.0.1", 0}, ui_, error);
        ASSERT_TRUE(server) << error;
    }
}

TEST_F(WebServerTest, TheEventStreamSendsStateAndMeters) {
    Socket s(port_);
    ASSERT_TRUE(s.send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n"));
    const std::string received = s.receive([](const std::string& in) {
        // Enough once a state event and two meter events came.
        size_t meters = 0;
        for (size_t at = 0; (at = in.find("event: meters", at)) != std::string::npos; ++at) ++meters;
        return in.find("event: state") != std::string::npos && meters >= 2;
    });
    const Reply head = parse_reply(received);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("content-type"), "text/event-stream");
    EXPECT_EQ(head.header("cache-control"), "no-store");
    EXPECT_NE(received.find("retry: 2000"), std::string::npos);
    EXPECT_NE(received.find("event: state\ndata: {\"version\":"), std::string::npos);
    const size_t meters = received.find("event: meters\ndata: ");
    ASSERT_NE(meters, std::string::npos);
    const size_t start = meters + 20;
    const auto event = testing::parse_json(received.substr(start, received.find("\n\n", start) - start));
    EXPECT_EQ(event["instance"].str(), "Instance 1");
    EXPECT_EQ(event["page"].num(), 3);
}

TEST_F(WebServerTest, AHeaderFloodIsRefusedWithBoundedMemory) {
    const size_t before = resident_bytes();
    {
        Socket s(port_);
        ASSERT_TRUE(s.send("GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n"));
        // Up to 1,000,000 header lines (40 MB), until the server stops reading.
        std::string lines;
        for (int i = 0; i < 1000; ++i) lines += "X-Flood-" + std::to_string(i % 10) + ": aaaaaaaaaaaaaaaaaaaaaa\r\n";
        size_t sent = 0;
        for (int i = 0; i < 1000 && s.send(lines); ++i) sent += lines.size();
        EXPECT_LT(sent, size_t{40} << 20) << "the server read every header line";
        const Reply r = parse_reply(s.receive());
        EXPECT_NE(r.status, 200);
    }
    EXPECT_LT(resident_bytes(), before + (size_t{8} << 20));
    EXPECT_EQ(get("/api/state").status, 200);
}

TEST_F(WebServerTest, ALargeChunkedBodyIsRefused) {
    Socket s(port_);
    ASSERT_TRUE(s.send("POST /api/instance/new HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                       "\r\nContent-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n"
                       "5\r\nname=\r\n"));
    // 200 MiB at most, in 64 KiB chunks, until the server answers.
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'a') + "\r\n";
    for (int i = 0; i < 3200 && !s.readable_within(0); ++i)
        if (!s.send(chunk)) break;
    s.send("0\r\n\r\n");
    const Reply r = parse_reply(s.receive());
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(r.body, R"({"ok":false,"message":"The request is too large","title":"Error"})");
    // Announced too large: refused before the body.
    Socket sized(port_);
    ASSERT_TRUE(sized.send("POST /api/instance/new HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                           "\r\nContent-Length: 209715200\r\n\r\nname="));
    EXPECT_EQ(parse_reply(sized.receive()).status, 413);
    EXPECT_EQ(testing::parse_json(get("/api/state").body)["instances"].arr().size(), 1u);
}

TEST_F(WebServerTest, SlowHeadersHoldNoThreadAndEndAtTheDeadline) {
    http::ServerLimits limits;
    limits.header_seconds = 3;
    restart(limits);
    // 40 connections from one peer that send part of a request line and wait.
    std::vector<Socket> slow;
    for (int i = 0; i < 40; ++i) {
        slow.emplace_back(port_, "127.0.0.2");
        ASSERT_TRUE(slow.back().ok());
        slow.back().send("GET /api/st");
    }
    // Beyond the per-peer limit they are closed at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int closed = 0;
    for (Socket& s : slow) closed += s.closed_within(0) ? 1 : 0;
    EXPECT_EQ(closed, 40 - http::ServerLimits{}.connections_per_peer);
    // Others are answered meanwhile.
    EXPECT_EQ(get("/api/state").status, 200);
    EXPECT_EQ(get("/index.html").status, 200);
    // The header deadline ends the rest, though they are not idle for long.
    const auto end = Clock::now() + std::chrono::seconds(8);
    for (Socket& s : slow) {
        s.send("a");
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        EXPECT_TRUE(s.closed_within(static_cast<int>(std::max<long>(left, 0))));
    }
}

TEST_F(WebServerTest, EventStreamsAreCappedAndHoldNoThread) {
    // 40 streams from five peers: 8 per peer, 16 in all.
    std::vector<Socket> streams;
    std::vector<int> status;
    const char* peers[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6"};
    for (int i = 0; i < 40; ++i) {
        // The first peer tries nine, so its ninth meets the per-peer cap.
        const char* from = peers[i < 9 ? 0 : i < 17 ? 1 : 2 + (i % 3)];
        streams.emplace_back(port_, from);
        ASSERT_TRUE(streams.back().send("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                                        "\r\n\r\n"));
        const std::string head =
            streams.back().receive([](const std::string& in) { return in.find("\r\n\r\n") != std::string::npos; });
        status.push_back(parse_reply(head).status);
    }
    EXPECT_EQ(std::count(status.begin(), status.end(), 200), 16);
    EXPECT_EQ(status[8], 503) << "the ninth stream of one peer";
    EXPECT_EQ(std::count(status.begin(), status.end(), 503), 24);
    EXPECT_EQ(server_->event_clients(), 16);
    // The API and the files answer while they stay open, and the streams flow.
    EXPECT_EQ(get("/api/state").status, 200);
    EXPECT_EQ(get("/js/main.js").status, 200);
    EXPECT_EQ(request(port_, "POST", "/api/instance/new", "", "name=Busy").body, R"({"ok":true})");
    const std::string flow = streams[0].receive([](const std::string& in) {
        return in.find("event: meters") != std::string::npos;
    });
    EXPECT_NE(flow.find("event: meters"), std::string::npos);
    // Stopping ends every open stream.
    server_.reset();
    for (size_t i = 0; i < streams.size(); ++i) {
        if (status[i] == 200) {
            EXPECT_TRUE(streams[i].closed_within(3000)) << i;
        }
    }
}


TEST_F(WebServerTest, TheLinkPagesShowAndApplyTheirSettings) {
    const auto tx = testing::parse_json(get("/api/stl_tx").body);
    EXPECT_EQ(tx["status_lines"][0].str(), "STL TX Not Enabled");
    EXPECT_EQ(tx["status_text"].str(), "Disconnected");
    EXPECT_FALSE(tx["settings"].has("password"));
    // A weak password is refused with the password rule's message; nothing changes.
    const Reply weak = request(port_, "POST", "/api/stl_tx/settings", "", "password=short&enable=1");
    EXPECT_NE(weak.body.find("Password not strong."), std::string::npos) << weak.body;
    EXPECT_FALSE(testing::parse_json(get("/api/stl_tx").body)["settings"]["enable"].flag());
    // 192 kHz PCM forces mono; a short time-out is raised to the minimum.
    EXPECT_EQ(request(port_, "POST", "/api/stl_tx/settings", "",
                      "encoder=0&pcm_rate=192000&pcm_channels=2&timeout=10&url=studio.example")
                  .body,
              R"({"ok":true})");
    const auto applied = testing::parse_json(get("/api/stl_tx").body);
    EXPECT_EQ(applied["settings"]["pcm_channels"].num(), 1);
    EXPECT_EQ(applied["settings"]["timeout"].num(), 1000);
    EXPECT_EQ(applied["settings"]["url"].str(), "studio.example");
    EXPECT_EQ(applied["status_lines"][2].str(), "PCM 192 kHz  Mono Mode Sum");
    EXPECT_EQ(request(port_, "POST", "/api/stl_tx/settings", "", "timeout=abc").status, 400);

    EXPECT_EQ(request(port_, "POST", "/api/stl_rx/settings", "", "buffer_time=300&port=9a01").body, R"({"ok":true})");
    const auto rx = testing::parse_json(get("/api/stl_rx").body);
    EXPECT_EQ(rx["settings"]["buffer_time"].num(), 500);
    EXPECT_EQ(rx["settings"]["port"].str(), "9a01");
    EXPECT_EQ(rx["status_lines"][0].str(), "STL RX Not Enabled");
    EXPECT_EQ(rx["status_lines"][6].str(), "Sample rste ratio  1.0000");
}

}  // namespace
}  // namespace torvalen
