// The web interface's server on GNU libmicrohttpd.
//
// Threads. One polling thread (epoll) owns every connection: it reads the
// requests, serves the files of ui/ and writes the answers, and nothing it runs
// waits for long:
// - An API request is complete, then suspended and handed to a pool of
//   `api_workers` threads: Api::handle waits for the control thread, so a worker
//   runs it, stores the answer and resumes the connection, and the polling thread
//   sends the answer.
// - An event stream that has nothing to send is suspended; the pump (a tick every
//   40 ms while any stream is open) resumes every waiting stream after each tick.
//   A stream holds no thread, only its connection.
// So open streams, slow clients and API requests waiting for the control thread
// never stop the files or the streams. Thread-per-connection was the other choice:
// simpler, but every stream and every slow client would hold a thread and its
// stack, and one connection limit would cap streams, files and API requests
// together, which is how 32 slow clients stopped the server this replaces.
//
// Limits (ServerLimits): connections in all and per peer (refused beyond them), a
// connection's memory (the request line and headers must fit: 431 beyond), an
// idle timeout, total deadlines for the headers and for the body (a client that
// trickles a byte now and then would reset an idle timeout for ever: the deadline
// thread shuts the socket of a request that is too slow), the body size counted in
// the upload calls for sized and chunked bodies alike (413), and the event streams
// in all and per peer (503).
#include "app/http/web_server.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "app/http/answers.h"
#include "app/http/api.h"
#include "engine/log.h"

namespace torvalen::http {

namespace {
constexpr const char* log_who = "web";
constexpr auto tick_period = std::chrono::milliseconds(40);
constexpr auto keep_alive_comment = std::chrono::seconds(15);
constexpr auto deadline_check = std::chrono::milliseconds(200);
constexpr int api_workers = 4;
constexpr size_t stream_block = 16 * 1024;
// An event stream writes at least every 15 s: one that could not write for this
// long has a reader that stopped reading.
constexpr unsigned stream_idle_seconds = 60;

constexpr const char* too_large_body = R"({"ok":false,"message":"The request is too large","title":"Error"})";
constexpr const char* bad_request_body = R"({"ok":false,"message":"Malformed request","title":"Error"})";
constexpr const char* unknown_host_body = R"({"ok":false,"message":"Unknown host name","title":"Error"})";
constexpr const char* too_many_streams_body =
    R"({"ok":false,"message":"Too many event streams are open","title":"Error"})";
constexpr const char* stopping_body = R"({"ok":false,"message":"The program is stopping","title":"Error"})";
constexpr const char* wrong_method_body = R"({"ok":false,"message":"Method not allowed","title":"Error"})";

using Clock = std::chrono::steady_clock;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

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

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoding; `plus` turns '+' into a space (query and form fields). A
// malformed escape is kept as it is, or makes it fail when `strict`.
bool percent_decode(std::string_view in, bool plus, bool strict, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '%') {
            const int high = i + 2 < in.size() ? hex_value(in[i + 1]) : -1;
            const int low = i + 2 < in.size() ? hex_value(in[i + 2]) : -1;
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
            if (strict) return false;
        }
        out.push_back(plus && c == '+' ? ' ' : c);
    }
    return true;
}

// "a=1&b=2" into fields; the first of a repeated name wins.
void parse_fields(std::string_view text, std::map<std::string, std::string>& into) {
    std::string name, value;
    while (!text.empty()) {
        const size_t end = std::min(text.find('&'), text.size());
        const std::string_view pair = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (pair.empty()) continue;
        const size_t equals = std::min(pair.find('='), pair.size());
        percent_decode(pair.substr(0, equals), true, false, name);
        percent_decode(equals < pair.size() ? pair.substr(equals + 1) : std::string_view(), true, false, value);
        into.emplace(name, value);
    }
}

bool has_control(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7f;
    });
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && lower(text.substr(0, prefix.size())) == prefix;
}

const char* mime_type(std::string_view file) {
    const size_t slash = file.rfind('/');
    const size_t dot = file.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return "application/octet-stream";
    const std::string ext = lower(file.substr(dot + 1));
    static const std::map<std::string, const char*, std::less<>> types = {
        {"html", "text/html; charset=utf-8"},
        {"htm", "text/html; charset=utf-8"},
        {"css", "text/css; charset=utf-8"},
        {"js", "text/javascript; charset=utf-8"},
        {"mjs", "text/javascript; charset=utf-8"},
        {"json", "application/json; charset=utf-8"},
        {"map", "application/json; charset=utf-8"},
        {"txt", "text/plain; charset=utf-8"},
        {"md", "text/markdown; charset=utf-8"},
        {"svg", "image/svg+xml"},
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"webp", "image/webp"},
        {"ico", "image/vnd.microsoft.icon"},
        {"woff", "font/woff"},
        {"woff2", "font/woff2"},
        {"ttf", "font/ttf"},
        {"otf", "font/otf"},
        {"wasm", "application/wasm"},
        {"wav", "audio/wav"},
    };
    const auto it = types.find(ext);
    return it == types.end() ? "application/octet-stream" : it->second;
}

// The client's address without its port; an IPv4 address reached over an IPv6
// socket as the plain IPv4 text.
std::string peer_text(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (!address) return {};
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr))
            inet_ntop(AF_INET, &v6->sin6_addr.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    }
    return text;
}

enum class FileLookup { found, missing, malformed, outside };

// The file of the ui folder (`root`, resolved) that a decoded request path names.
// ".." anywhere is malformed; a file reached through a link that leads out of
// the folder is `outside`.
FileLookup resolve_file(const std::string& root, const std::string& path, std::string& file) {
    if (path.empty() || path[0] != '/') return FileLookup::malformed;
    std::string relative;
    std::string_view rest(path);
    while (!rest.empty()) {
        const size_t end = std::min(rest.find('/'), rest.size());
        const std::string_view segment = rest.substr(0, end);
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (segment == "..") return FileLookup::malformed;
        if (segment.empty() || segment == ".") continue;
        relative.append("/").append(segment);
    }
    if (path.back() == '/') relative += "/index.html";
    char resolved[PATH_MAX];
    if (!realpath((root + relative).c_str(), resolved)) return FileLookup::missing;
    const std::string_view found(resolved);
    if (found != root && !(found.size() > root.size() && found.substr(0, root.size()) == root &&
                           found[root.size()] == '/'))
        return FileLookup::outside;
    file = resolved;
    return FileLookup::found;
}

enum class Phase : int { headers, body, answering, closing };

// One accepted connection (libmicrohttpd's socket context): its peer and how
// long its current request has been arriving.
struct Socket {
    int fd = -1;
    std::string peer;
    std::atomic<int> phase{static_cast<int>(Phase::headers)};
    std::atomic<int64_t> since{0};

    void enter(Phase p) {
        since.store(now_ns());
        phase.store(static_cast<int>(p));
    }
};
}  // namespace

struct WebServer::State {
    State(Api& a, const ServerLimits& l) : api(a), limits(l) {}

    // One request (libmicrohttpd's request context), from its request line to
    // its completion.
    struct Exchange {
        State* state = nullptr;
        std::string uri;   // as the request line gave it
        std::string path;  // its path, decoded
        bool path_ok = false;
        Socket* socket = nullptr;
        MHD_Connection* connection = nullptr;
        bool started = false;
        bool answered_early = false;  // refused before its body
        bool keep_body = false;
        size_t body_bytes = 0;
        std::string body;

        // An API request in a worker's hands; `done` and `answer` under State::lock.
        bool queued = false;
        bool done = false;
        Request request;
        Response answer;

        // An event stream: what it has been sent so far.
        bool stream = false;
        int view_page = -1;  // the page whose meters it gets (-1: the stored page)
        bool sent_retry = false;
        std::string peer;
        uint64_t sequence = 0;
        uint64_t version = 0;
        std::string pending;
        size_t pending_at = 0;
        Clock::time_point last_output;
    };

    Api& api;
    ServerLimits limits;
    MHD_Daemon* daemon = nullptr;
    int port = 0;
    bool loopback = true;
    std::set<std::string> allowed_hosts;
    std::string root;  // the ui folder, resolved

    std::thread pump;
    std::thread deadlines;
    std::vector<std::thread> workers;
    std::thread exit_thread;
    std::atomic<bool> exit_started{false};

    // Streams, API jobs and the newest tick.
    std::mutex lock;
    std::condition_variable changed;  // pump, deadlines and stop
    std::condition_variable work;     // workers
    bool stopping = false;
    Api::Tick latest;
    uint64_t sequence = 0;
    std::vector<MHD_Connection*> waiting_streams;  // suspended, to be resumed after a tick
    std::deque<Exchange*> jobs;
    int streams = 0;
    std::map<std::string, int> streams_of;  // by peer
    std::array<int, page_count> page_viewers{};  // streams by the page they view
    int stored_page_viewers = 0;                 // streams that follow the stored page
    std::atomic<int> clients{0};

    // Every open connection, for the deadlines. Never held while calling
    // libmicrohttpd, so its callbacks may take it.
    std::mutex sockets_lock;
    std::set<Socket*> sockets;

    bool host_allowed(const std::string& host) const {
        return !loopback || allowed_hosts.count(lower(host)) != 0;
    }

    MHD_Result on_request(MHD_Connection* c, const char* method, const char* upload_data, size_t* upload_size,
                          void** context);
    MHD_Result answer(MHD_Connection* c, const std::string& method, Exchange& ex);
    MHD_Result start_stream(MHD_Connection* c, Exchange& ex);
    MHD_Result serve_file(MHD_Connection* c, const std::string& path);
    ssize_t stream_read(Exchange& ex, char* buffer, size_t max);
    void completed(Exchange* ex);
    void pump_main();
    void worker_main();
    void deadlines_main();

    // C callbacks.
    static MHD_Result access_cb(void* cls, MHD_Connection* c, const char*, const char* method, const char*,
                                const char* upload_data, size_t* upload_size, void** context) {
        return static_cast<State*>(cls)->on_request(c, method, upload_data, upload_size, context);
    }
    static void* uri_cb(void* cls, const char* uri, MHD_Connection* c) {
        auto* ex = new Exchange;
        ex->state = static_cast<State*>(cls);
        ex->uri = uri ? uri : "";
        if (const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT))
            ex->socket = static_cast<Socket*>(info->socket_context);
        return ex;
    }
    static void completed_cb(void* cls, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
        static_cast<State*>(cls)->completed(static_cast<Exchange*>(*context));
        *context = nullptr;
    }
    static void connection_cb(void* cls, MHD_Connection* c, void** socket_context,
                              MHD_ConnectionNotificationCode code) {
        State& st = *static_cast<State*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* s = new Socket;
            if (const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD))
                s->fd = info->connect_fd;
            if (const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
                s->peer = peer_text(info->client_addr);
            s->enter(Phase::headers);
            std::lock_guard guard(st.sockets_lock);
            st.sockets.insert(s);
            *socket_context = s;
        } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            auto* s = static_cast<Socket*>(*socket_context);
            if (!s) return;
            {
                // Before libmicrohttpd closes the descriptor: the deadline thread
                // never touches a descriptor that may have been reused.
                std::lock_guard guard(st.sockets_lock);
                st.sockets.erase(s);
            }
            delete s;
            *socket_context = nullptr;
        }
    }
    static ssize_t stream_cb(void* cls, uint64_t, char* buffer, size_t max) {
        auto* ex = static_cast<Exchange*>(cls);
        return ex->state->stream_read(*ex, buffer, max);
    }
};

namespace {
constexpr const char* content_security_policy =
    "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:";

void add_common_headers(MHD_Response* r, const char* cache) {
    MHD_add_response_header(r, "Cache-Control", cache);
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(r, "Content-Security-Policy", content_security_policy);
}

// The 413 answer with the headers every answer carries, as bytes for the socket.
void write_too_large(int fd) {
    const std::string body = too_large_body;
    const std::string text = std::string("HTTP/1.1 413 Content Too Large\r\nConnection: close\r\n") +
                             "Content-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\n"
                             "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
                             "Referrer-Policy: no-referrer\r\nContent-Security-Policy: " +
                             content_security_policy + "\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\n\r\n" + body;
    // Far less than an empty socket buffer holds; if it does not go out whole,
    // the client sees the connection closed, which is a refusal too.
    const ssize_t ignored = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    (void)ignored;
}

MHD_Result send(MHD_Connection* c, unsigned status, MHD_Response* r) {
    if (!r) return MHD_NO;
    const MHD_Result result = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return result;
}

MHD_Response* json_response(std::string_view body, const std::string& set_cookie = {},
                            const char* content_type = "application/json; charset=utf-8") {
    MHD_Response* r =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return nullptr;
    add_common_headers(r, "no-store");
    MHD_add_response_header(r, "Content-Type", content_type);
    if (!set_cookie.empty()) MHD_add_response_header(r, "Set-Cookie", set_cookie.c_str());
    return r;
}

MHD_Result send_json(MHD_Connection* c, unsigned status, std::string_view body, const char* allow = nullptr) {
    MHD_Response* r = json_response(body);
    if (r && allow) MHD_add_response_header(r, "Allow", allow);
    return send(c, status, r);
}

std::string header(MHD_Connection* c, const char* name) {
    const char* value = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return value ? value : "";
}
}  // namespace

MHD_Result WebServer::State::on_request(MHD_Connection* c, const char* method, const char* upload_data,
                                        size_t* upload_size, void** context) {
    auto* ex = static_cast<Exchange*>(*context);
    if (!ex) {  // the request line's callback always runs first; kept for safety
        ex = new Exchange;
        ex->state = this;
        *context = ex;
    }
    if (!ex->started) {
        // Headers complete: the body's deadline starts.
        ex->started = true;
        ex->connection = c;
        if (ex->socket) ex->socket->enter(Phase::body);
        const std::string length = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH);
        if (!length.empty()) {
            char* end = nullptr;
            const unsigned long long bytes = std::strtoull(length.c_str(), &end, 10);
            if (*end == '\0' && bytes > limits.body_bytes) {
                ex->answered_early = true;  // the body is not read
                return send_json(c, MHD_HTTP_CONTENT_TOO_LARGE, too_large_body);
            }
        }
        const size_t question = std::min(ex->uri.find('?'), ex->uri.size());
        ex->path_ok = percent_decode(std::string_view(ex->uri).substr(0, question), false, true, ex->path) &&
                      !has_control(ex->path);
        ex->keep_body = std::strcmp(method, MHD_HTTP_METHOD_POST) == 0 && ex->path.rfind("/api/", 0) == 0 &&
                        starts_with_nocase(header(c, MHD_HTTP_HEADER_CONTENT_TYPE),
                                           "application/x-www-form-urlencoded");
        return MHD_YES;
    }
    if (ex->answered_early) {
        *upload_size = 0;
        return MHD_YES;
    }
    if (*upload_size > 0) {
        const size_t size = *upload_size;
        *upload_size = 0;
        ex->body_bytes += size;
        if (ex->body_bytes > limits.body_bytes) {
            // Counted here because a chunked body announces no length. The answer
            // cannot be queued while a body arrives: it is written on the socket
            // and the connection closed, so nothing more is read.
            if (ex->socket) write_too_large(ex->socket->fd);
            return MHD_NO;
        }
        if (ex->keep_body) ex->body.append(upload_data, size);
        return MHD_YES;
    }
    if (ex->queued) {
        // Resumed by the worker that ran the request.
        Response out;
        {
            std::lock_guard guard(lock);
            if (!ex->done) return MHD_YES;
            out = std::move(ex->answer);
        }
        return send(c, static_cast<unsigned>(out.status),
                    json_response(out.body, out.set_cookie, out.content_type.c_str()));
    }
    if (ex->socket) ex->socket->enter(Phase::answering);
    return answer(c, method, *ex);
}

MHD_Result WebServer::State::answer(MHD_Connection* c, const std::string& method, Exchange& ex) {
    const size_t question = std::min(ex.uri.find('?'), ex.uri.size());
    const std::string& path = ex.path;
    if (!ex.path_ok) {
        // NUL and control characters never name a file (and a NUL would cut the
        // name short of what the extension says).
        log_event(log_who, "refused a malformed path " + log_quote(ex.uri));
        return send_json(c, MHD_HTTP_BAD_REQUEST, bad_request_body);
    }
    const bool get = method == MHD_HTTP_METHOD_GET || method == MHD_HTTP_METHOD_HEAD;
    const bool post = method == MHD_HTTP_METHOD_POST;

    // /metrics and /healthz (monitoring) are answered by the API like its reads.
    const bool monitoring = path == "/metrics" || path == "/healthz";
    if (path.rfind("/api/", 0) != 0 && !monitoring) {
        if (!get) return send_json(c, MHD_HTTP_METHOD_NOT_ALLOWED, wrong_method_body, "GET, HEAD");
        return serve_file(c, path);
    }
    if (path == "/api/events" && get) return start_stream(c, ex);
    if (!get && !post) return send_json(c, MHD_HTTP_METHOD_NOT_ALLOWED, wrong_method_body, "GET, HEAD, POST");

    Request& r = ex.request;
    r.method = post ? "POST" : "GET";
    r.path = path;
    if (question < ex.uri.size()) parse_fields(std::string_view(ex.uri).substr(question + 1), r.params);
    if (post && ex.keep_body) parse_fields(ex.body, r.params);
    std::string().swap(ex.body);
    r.session = cookie_value(header(c, MHD_HTTP_HEADER_COOKIE), session_cookie);
    r.origin = header(c, "Origin");
    r.host = header(c, MHD_HTTP_HEADER_HOST);
    r.fetch_site = header(c, "Sec-Fetch-Site");
    r.token = header(c, "X-Torvalen-Token");
    r.authorization = header(c, MHD_HTTP_HEADER_AUTHORIZATION);
    r.peer = ex.socket ? ex.socket->peer : "";
    if (!host_allowed(r.host)) {
        log_event(log_who, "refused a request for host " + log_quote(r.host));
        return send_json(c, MHD_HTTP_FORBIDDEN, unknown_host_body);
    }
    {
        std::lock_guard guard(lock);
        if (stopping) return send_json(c, MHD_HTTP_SERVICE_UNAVAILABLE, stopping_body);
        // Suspended before a worker can see it, so its resume always comes after.
        ex.queued = true;
        MHD_suspend_connection(c);
        jobs.push_back(&ex);
    }
    work.notify_one();
    return MHD_YES;
}

MHD_Result WebServer::State::start_stream(MHD_Connection* c, Exchange& ex) {
    const std::string host = header(c, MHD_HTTP_HEADER_HOST);
    if (!host_allowed(host)) {
        log_event(log_who, "refused an event stream for host " + log_quote(host));
        return send_json(c, MHD_HTTP_FORBIDDEN, unknown_host_body);
    }
    ex.peer = ex.socket ? ex.socket->peer : "";
    // "?page=N": the page this browser views, whose meters it is sent.
    const size_t question = ex.uri.find('?');
    if (question != std::string::npos) {
        std::map<std::string, std::string> fields;
        parse_fields(std::string_view(ex.uri).substr(question + 1), fields);
        const auto page = fields.find("page");
        uint32_t p = 0;
        if (page != fields.end() && parse_u32(page->second, p) && p < page_count) ex.view_page = static_cast<int>(p);
    }
    {
        std::lock_guard guard(lock);
        if (stopping) return send_json(c, MHD_HTTP_SERVICE_UNAVAILABLE, stopping_body);
        int& of_peer = streams_of[ex.peer];
        if (streams >= limits.streams || of_peer >= limits.streams_per_peer) {
            if (of_peer == 0) streams_of.erase(ex.peer);
            return send_json(c, MHD_HTTP_SERVICE_UNAVAILABLE, too_many_streams_body);
        }
        ++of_peer;
        clients.store(++streams);
        if (ex.view_page < 0) ++stored_page_viewers;
        else ++page_viewers[static_cast<size_t>(ex.view_page)];
        ex.stream = true;
        ex.last_output = Clock::now();
    }
    changed.notify_all();  // the pump starts ticking
    MHD_set_connection_option(c, MHD_CONNECTION_OPTION_TIMEOUT, stream_idle_seconds);
    MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, stream_block, &State::stream_cb, &ex,
                                                        nullptr);
    if (!r) return MHD_NO;
    add_common_headers(r, "no-store");
    MHD_add_response_header(r, "Content-Type", "text/event-stream");
    return send(c, MHD_HTTP_OK, r);
}

ssize_t WebServer::State::stream_read(Exchange& ex, char* buffer, size_t max) {
    std::lock_guard guard(lock);
    if (stopping) return MHD_CONTENT_READER_END_OF_STREAM;
    if (ex.pending_at >= ex.pending.size()) {
        ex.pending.clear();
        ex.pending_at = 0;
        if (!ex.sent_retry) {
            ex.sent_retry = true;
            ex.pending = "retry: 2000\n\n";
        }
        if (ex.sequence != sequence) {
            ex.sequence = sequence;
            if (latest.version != ex.version) {
                ex.version = latest.version;
                ex.pending += "event: state\ndata: {\"version\":" + std::to_string(latest.version) + "}\n\n";
            }
            const uint32_t page = ex.view_page < 0 ? latest.stored_page : static_cast<uint32_t>(ex.view_page);
            const std::string& meters = latest.meters[page];
            if (!meters.empty()) ex.pending += "event: meters\ndata: " + meters + "\n\n";
            if (page == analyser_page && !latest.analyser.empty())
                ex.pending += "event: analyser\ndata: " + latest.analyser + "\n\n";
        }
        const auto now = Clock::now();
        if (ex.pending.empty() && now - ex.last_output >= keep_alive_comment) ex.pending = ": keep-alive\n\n";
        if (ex.pending.empty()) {
            // Nothing to send: off the polling thread's list until the next tick.
            MHD_suspend_connection(ex.connection);
            waiting_streams.push_back(ex.connection);
            return 0;
        }
        ex.last_output = now;
    }
    const size_t n = std::min(max, ex.pending.size() - ex.pending_at);
    std::memcpy(buffer, ex.pending.data() + ex.pending_at, n);
    ex.pending_at += n;
    return static_cast<ssize_t>(n);
}

MHD_Result WebServer::State::serve_file(MHD_Connection* c, const std::string& path) {
    std::string file;
    switch (resolve_file(root, path, file)) {
        case FileLookup::found:
            break;
        case FileLookup::malformed:
            log_event(log_who, "refused a malformed path " + log_quote(path));
            return send_json(c, MHD_HTTP_BAD_REQUEST, bad_request_body);
        case FileLookup::outside:
            log_event(log_who, "refused a path that leads out of the ui folder " + log_quote(path));
            [[fallthrough]];
        case FileLookup::missing: {
            MHD_Response* r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
            if (r) add_common_headers(r, "no-cache");
            return send(c, MHD_HTTP_NOT_FOUND, r);
        }
    }
    // The path is resolved: nothing may have become a link since.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        if (fd >= 0) ::close(fd);
        MHD_Response* r = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
        if (r) add_common_headers(r, "no-cache");
        return send(c, MHD_HTTP_NOT_FOUND, r);
    }
    MHD_Response* r = MHD_create_response_from_fd64(static_cast<uint64_t>(info.st_size), fd);  // owns fd
    if (!r) {
        ::close(fd);
        return MHD_NO;
    }
    add_common_headers(r, "no-cache");
    MHD_add_response_header(r, "Content-Type", mime_type(file));
    return send(c, MHD_HTTP_OK, r);
}

void WebServer::State::completed(Exchange* ex) {
    if (!ex) return;
    if (ex->stream) {
        std::lock_guard guard(lock);
        clients.store(--streams);
        if (--streams_of[ex->peer] <= 0) streams_of.erase(ex->peer);
        if (ex->view_page < 0) --stored_page_viewers;
        else --page_viewers[static_cast<size_t>(ex->view_page)];
    }
    // A kept-alive connection waits for its next request: the header deadline again.
    if (ex->socket) ex->socket->enter(Phase::headers);
    delete ex;
}

void WebServer::State::pump_main() {
    auto next = Clock::now();
    std::unique_lock guard(lock);
    while (!stopping) {
        if (streams == 0) {
            changed.wait(guard, [&] { return stopping || streams > 0; });
            next = Clock::now();
            continue;
        }
        uint32_t pages = 0;
        for (uint32_t p = 0; p < page_count; ++p)
            if (page_viewers[p] > 0) pages |= 1u << p;
        const bool stored_too = stored_page_viewers > 0;
        guard.unlock();
        Api::Tick tick = api.tick(pages, stored_too);
        guard.lock();
        latest = std::move(tick);
        ++sequence;
        std::vector<MHD_Connection*> wake;
        wake.swap(waiting_streams);
        if (!wake.empty()) {
            guard.unlock();
            for (MHD_Connection* c : wake) MHD_resume_connection(c);
            guard.lock();
        }
        next += tick_period;
        const auto now = Clock::now();
        if (next < now) next = now;  // after a stall, do not run a burst of ticks
        changed.wait_until(guard, next, [&] { return stopping; });
    }
}

void WebServer::State::worker_main() {
    std::unique_lock guard(lock);
    for (;;) {
        work.wait(guard, [&] { return stopping || !jobs.empty(); });
        if (jobs.empty()) return;
        Exchange* ex = jobs.front();
        jobs.pop_front();
        guard.unlock();
        Response out = api.handle(ex->request);
        if (out.exit_after && !exit_started.exchange(true)) {
            exit_thread = std::thread([this] {
                // Let the answer reach the browser first.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                api.request_exit();
            });
        }
        guard.lock();
        ex->answer = std::move(out);
        ex->done = true;
        MHD_Connection* c = ex->connection;
        guard.unlock();
        MHD_resume_connection(c);  // `ex` may be gone from here on
        guard.lock();
    }
}

void WebServer::State::deadlines_main() {
    const int64_t header_ns = int64_t{limits.header_seconds} * 1'000'000'000;
    const int64_t body_ns = int64_t{limits.body_seconds} * 1'000'000'000;
    std::unique_lock guard(lock);
    while (!changed.wait_for(guard, deadline_check, [&] { return stopping; })) {
        guard.unlock();
        const int64_t now = now_ns();
        {
            std::lock_guard sockets_guard(sockets_lock);
            for (Socket* s : sockets) {
                const auto phase = static_cast<Phase>(s->phase.load());
                const int64_t age = now - s->since.load();
                if ((phase == Phase::headers && age > header_ns) || (phase == Phase::body && age > body_ns)) {
                    // libmicrohttpd sees the connection end and closes it.
                    s->phase.store(static_cast<int>(Phase::closing));
                    if (s->fd >= 0) ::shutdown(s->fd, SHUT_RDWR);
                }
            }
        }
        guard.lock();
    }
}

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

WebServer::WebServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<WebServer> WebServer::start(Api& api, const ListenAddress& address,
                                            const std::filesystem::path& ui_folder, std::string& error,
                                            const ServerLimits& limits) {
    auto s = std::make_unique<State>(api, limits);
    State* st = s.get();
    char root[PATH_MAX];
    std::error_code ec;
    if (ui_folder.empty() || !std::filesystem::exists(ui_folder / "index.html", ec) ||
        !realpath(ui_folder.c_str(), root)) {
        error = "the web interface's files (ui/index.html) were not found";
        return nullptr;
    }
    s->root = root;
    s->loopback = is_loopback_host(address.host);
    const bool v6_host = address.host.find(':') != std::string::npos;
    const std::string shown_host = v6_host ? "[" + address.host + "]" : address.host;

    // The address: the first of the host's addresses that can be bound.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints, &found) != 0 || !found) {
        error = "cannot listen on " + address.host + " (not a host name or address)";
        return nullptr;
    }
    for (const addrinfo* a = found; a && !s->daemon; a = a->ai_next) {
        unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME;
        if (a->ai_family == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            // "::" takes IPv4 clients too, as a listening socket on Linux does by default.
            flags |= IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr) ? MHD_USE_DUAL_STACK : MHD_USE_IPv6;
        } else if (a->ai_family != AF_INET) {
            continue;
        }
        s->daemon = MHD_start_daemon(
            flags, static_cast<uint16_t>(address.port), nullptr, nullptr, &State::access_cb, st,
            MHD_OPTION_SOCK_ADDR, a->ai_addr,
            MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(limits.connections),
            MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(limits.connections_per_peer),
            MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(limits.idle_seconds),
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.connection_memory,
            MHD_OPTION_URI_LOG_CALLBACK, &State::uri_cb, st,
            MHD_OPTION_NOTIFY_COMPLETED, &State::completed_cb, st,
            MHD_OPTION_NOTIFY_CONNECTION, &State::connection_cb, st,
            MHD_OPTION_END);
    }
    freeaddrinfo(found);
    if (!s->daemon) {
        error = "cannot listen on " + shown_host + ":" + std::to_string(address.port) +
                " (in use, or not an address of this machine)";
        return nullptr;
    }
    if (const MHD_DaemonInfo* info = MHD_get_daemon_info(s->daemon, MHD_DAEMON_INFO_BIND_PORT))
        s->port = info->port;
    if (s->port == 0) s->port = address.port;

    const std::string port = ":" + std::to_string(s->port);
    s->allowed_hosts = {"127.0.0.1" + port, "localhost" + port, "[::1]" + port, lower(shown_host) + port};
    if (s->port == 80) {
        // A browser leaves the default port out of the Host header.
        for (const std::string& h : std::set<std::string>(s->allowed_hosts))
            s->allowed_hosts.insert(h.substr(0, h.size() - port.size()));
    }

    s->pump = std::thread([st] { st->pump_main(); });
    s->deadlines = std::thread([st] { st->deadlines_main(); });
    for (int i = 0; i < api_workers; ++i) s->workers.emplace_back([st] { st->worker_main(); });
    log_event(log_who, "web interface on http://" + shown_host + port);
    return std::unique_ptr<WebServer>(new WebServer(std::move(s)));
}

WebServer::~WebServer() {
    State& st = *state_;
    // No new connections from here on.
    const MHD_socket listener = MHD_quiesce_daemon(st.daemon);
    std::vector<MHD_Connection*> wake;
    {
        std::lock_guard guard(st.lock);
        st.stopping = true;
        wake.swap(st.waiting_streams);  // they end at their next read
        for (State::Exchange* ex : st.jobs) {
            ex->answer.status = MHD_HTTP_SERVICE_UNAVAILABLE;
            ex->answer.body = stopping_body;
            ex->done = true;
            wake.push_back(ex->connection);
        }
        st.jobs.clear();
    }
    st.changed.notify_all();
    st.work.notify_all();
    for (MHD_Connection* c : wake) MHD_resume_connection(c);
    // Workers finish the request they run and resume its connection; after this no
    // connection is suspended, which stopping the daemon requires.
    for (std::thread& t : st.workers) t.join();
    if (st.pump.joinable()) st.pump.join();
    if (st.deadlines.joinable()) st.deadlines.join();
    MHD_stop_daemon(st.daemon);
    if (listener != MHD_INVALID_SOCKET) ::close(listener);
    if (st.exit_thread.joinable()) st.exit_thread.join();
}

int WebServer::port() const { return state_->port; }
int WebServer::event_clients() const { return state_->clients.load(); }

}  // namespace torvalen::http
