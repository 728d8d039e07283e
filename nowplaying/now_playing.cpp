#include "nowplaying/now_playing.h"

#include "engine/accept.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "nowplaying/text.h"

namespace torvalen::nowplaying {
namespace {

// Owns a file descriptor; closes it when destroyed.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

constexpr const char* test_text = "An Artist - A Track";
constexpr uint32_t max_poll_timeout_ms = 60000;
// A burst of change notifications (truncate, write, close) is read once, this
// long after the first.
constexpr int settle_ms = 50;

bool bind_ipv4(int fd, uint32_t port, bool loopback_only) {
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(loopback_only ? INADDR_LOOPBACK : INADDR_ANY);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

uint16_t local_port(int fd) {
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) return 0;
    return ntohs(bound.sin_port);
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

std::filesystem::path default_now_playing_file() {
    std::filesystem::path base;
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
        base = data;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::filesystem::path(home) / ".local" / "share";
    } else {
        base = ".";
    }
    return base / "torvalen" / "nowplaying.txt";
}

std::string check_settings(const NowPlayingSettings& s) {
    if (s.mode >= mode_count) return "The source is not one of the six sources.";
    if (s.udp_port > 65535) return "The UDP port must be 0 to 65535.";
    if (s.tcp_port > 65535) return "The TCP port must be 0 to 65535.";
    if (s.poll_timeout_ms < 1 || s.poll_timeout_ms > max_poll_timeout_ms)
        return "The time-out must be 1 to 60000 ms.";
    if (s.input_mode > 1) return "The input form must be 0 (whole line) or 1 (artist and title).";
    if (s.file.size() > 4096 || s.file.find('\0') != std::string::npos) return "The file name is not valid.";
    return {};
}

// ---- Creation, settings ----

std::unique_ptr<NowPlaying> NowPlaying::create(const SettingsKey& instance_key, uint32_t& error,
                                               NowPlayingOptions options) {
    const std::optional<SettingsKey> key = instance_key.create(settings_key_name);
    if (!key) {
        error |= 1u;
        return nullptr;
    }
    std::unique_ptr<NowPlaying> object(new NowPlaying(*key, std::move(options)));
    object->load();
    return object;
}

NowPlaying::NowPlaying(const SettingsKey& key, NowPlayingOptions options)
    : key_(key), options_(std::move(options)) {}

NowPlaying::~NowPlaying() {
    save_settings();
    stop();
}

void NowPlaying::load() {
    NowPlayingSettings s;
    s.file = (options_.default_file.empty() ? default_now_playing_file() : options_.default_file).string();
    key_.read_qword("AutoStart", s.auto_start);
    key_.read_dword("Now_Playing_Mode", s.mode);
    key_.read_dword("UDP_Port", s.udp_port);
    key_.read_dword("TCP_Port", s.tcp_port);
    key_.read_dword("Poll_Timeout", s.poll_timeout_ms);
    key_.read_text("File", s.file);
    key_.read_qword("SendtoRDS", s.send_to_rds);
    key_.read_qword("SendtoStreaming", s.send_to_streaming);
    key_.read_qword("SendtoSTL1", s.send_to_stl);
    key_.read_dword("Input_Mode", s.input_mode);
    // A stored value this build cannot use takes its default.
    const NowPlayingSettings defaults;
    if (s.mode >= mode_count) s.mode = defaults.mode;
    if (s.udp_port > 65535) s.udp_port = defaults.udp_port;
    if (s.tcp_port > 65535) s.tcp_port = defaults.tcp_port;
    if (s.poll_timeout_ms < 1 || s.poll_timeout_ms > max_poll_timeout_ms) s.poll_timeout_ms = defaults.poll_timeout_ms;
    if (s.input_mode > 1) s.input_mode = 1;
    std::lock_guard guard(lock_);
    settings_ = s;
}

void NowPlaying::save_settings() {
    const NowPlayingSettings s = settings();
    SettingsStore* store = key_.store();
    if (!store) return;
    SettingsStore::Transaction transaction(*store);
    bool ok = key_.write_qword("AutoStart", s.auto_start);
    ok = key_.write_dword("Now_Playing_Mode", s.mode) && ok;
    ok = key_.write_dword("UDP_Port", s.udp_port) && ok;
    ok = key_.write_dword("TCP_Port", s.tcp_port) && ok;
    ok = key_.write_dword("Poll_Timeout", s.poll_timeout_ms) && ok;
    ok = key_.write_text("File", s.file) && ok;
    ok = key_.write_qword("SendtoRDS", s.send_to_rds) && ok;
    ok = key_.write_qword("SendtoStreaming", s.send_to_streaming) && ok;
    ok = key_.write_qword("SendtoSTL1", s.send_to_stl) && ok;
    ok = key_.write_dword("Input_Mode", s.input_mode) && ok;
    if (ok) transaction.commit();
}

NowPlayingSettings NowPlaying::settings() const {
    std::lock_guard guard(lock_);
    return settings_;
}

bool NowPlaying::auto_start() const {
    std::lock_guard guard(lock_);
    return options_.auto_start_allowed && settings_.auto_start != 0;
}

// ---- Start, stop, apply ----

bool NowPlaying::start() {
    std::lock_guard control(control_lock_);
    if (running()) return true;
    uint32_t mode;
    {
        std::lock_guard guard(lock_);
        mode = settings_.mode;
    }
    if (mode == mode_file) {
        std::lock_guard notify_guard(notify_lock_);
        set_current(NowPlayingText{});
    }
    if (mode == mode_file || mode == mode_udp || mode == mode_tcp) {
        stop_event_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (stop_event_ < 0) return false;
        void (NowPlaying::*body)() = mode == mode_file  ? &NowPlaying::file_watcher
                                     : mode == mode_udp ? &NowPlaying::udp_listener
                                                        : &NowPlaying::tcp_listener;
        try {
            thread_ = std::thread(body, this);
        } catch (const std::system_error&) {
            ::close(stop_event_);
            stop_event_ = -1;
            return false;
        }
    }
    running_.store(true, std::memory_order_release);
    return true;
}

void NowPlaying::stop() {
    std::lock_guard control(control_lock_);
    if (!running()) return;
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_event_, &one, sizeof one);
        thread_.join();
    }
    if (stop_event_ >= 0) ::close(stop_event_);
    stop_event_ = -1;
    listening_.store(false, std::memory_order_release);
    bound_port_.store(0, std::memory_order_release);
    running_.store(false, std::memory_order_release);
}

std::string NowPlaying::apply(const NowPlayingSettings& settings) {
    std::string refusal = check_settings(settings);
    if (!refusal.empty()) return refusal;
    const bool was_running = running();
    stop();
    NowPlayingSettings before;
    {
        std::lock_guard guard(lock_);
        before = settings_;
        settings_ = settings;
    }
    save_settings();
    {
        // Outputs whose switch moved learn the text they now take (or nothing).
        std::lock_guard notify_guard(notify_lock_);
        const NowPlayingOutput outputs[] = {NowPlayingOutput::rds, NowPlayingOutput::streaming,
                                            NowPlayingOutput::stl};
        for (NowPlayingOutput o : outputs)
            if (switch_on(before, o) != switch_on(settings, o)) notify(o, output_text(o));
    }
    if (was_running && settings.mode != mode_test) start();
    return {};
}

void NowPlaying::test_send() {
    std::lock_guard guard(lock_);
    if (settings_.mode == mode_test) monitor_ = test_text;
}

// ---- Texts ----

bool NowPlaying::switch_on(const NowPlayingSettings& s, NowPlayingOutput output) const {
    switch (output) {
        case NowPlayingOutput::rds: return s.send_to_rds != 0;
        case NowPlayingOutput::streaming: return s.send_to_streaming != 0;
        case NowPlayingOutput::stl: return s.send_to_stl != 0;
    }
    return false;
}

NowPlayingText NowPlaying::current() const {
    std::lock_guard guard(lock_);
    return current_;
}

std::string NowPlaying::monitor_text() const {
    std::lock_guard guard(lock_);
    return monitor_;
}

std::optional<NowPlayingText> NowPlaying::output_text(NowPlayingOutput output) const {
    std::lock_guard guard(lock_);
    if (!switch_on(settings_, output) || current_.text.empty()) return std::nullopt;
    return current_;
}

void NowPlaying::set_current(const NowPlayingText& text) {
    NowPlayingSettings s;
    {
        std::lock_guard guard(lock_);
        if (current_ == text) return;
        current_ = text;
        monitor_ = text.text;
        s = settings_;
    }
    version_.fetch_add(1, std::memory_order_acq_rel);
    std::optional<NowPlayingText> out;
    if (!text.text.empty()) out = text;
    const NowPlayingOutput outputs[] = {NowPlayingOutput::rds, NowPlayingOutput::streaming, NowPlayingOutput::stl};
    for (NowPlayingOutput o : outputs)
        if (switch_on(s, o)) notify(o, out);
}

void NowPlaying::notify(NowPlayingOutput output, const std::optional<NowPlayingText>& text) {
    for (const Subscriber& s : subscribers_)
        if (s.output == output) s.callback(text);
}

uint64_t NowPlaying::subscribe(NowPlayingOutput output, Callback callback) {
    std::lock_guard notify_guard(notify_lock_);
    const uint64_t id = next_id_++;
    subscribers_.push_back(Subscriber{id, output, std::move(callback)});
    return id;
}

void NowPlaying::unsubscribe(uint64_t id) {
    std::lock_guard notify_guard(notify_lock_);
    std::erase_if(subscribers_, [id](const Subscriber& s) { return s.id == id; });
}

void NowPlaying::incoming_text(std::string_view input) {
    std::lock_guard notify_guard(notify_lock_);
    bool parsed;
    {
        std::lock_guard guard(lock_);
        const uint32_t mode = settings_.mode;
        if (mode != mode_file && mode != mode_udp && mode != mode_tcp) return;
        parsed = settings_.input_mode != 0;
    }
    if (auto text = parse_incoming(input, parsed)) set_current(*text);
}

void NowPlaying::take_pair(std::string_view artist_in, std::string_view title_in, bool from_player) {
    std::lock_guard notify_guard(notify_lock_);
    {
        std::lock_guard guard(lock_);
        if (!running()) return;
        const bool wanted = from_player ? settings_.mode == mode_player || failsafe()
                                        : settings_.mode == mode_stl;
        if (!wanted) return;
    }
    NowPlayingText text{clean_field(artist_in), clean_field(title_in), {}};
    if (!text.artist.empty() && !text.title.empty()) {
        text.text = text.artist + " - " + text.title;
    } else if (!from_player && !text.artist.empty() && title_in.empty()) {
        // The link sends a single text with no title.
        text.text = std::move(text.artist);
        text.artist.clear();
    } else {
        return;
    }
    set_current(text);  // an identical pair changes nothing
}

void NowPlaying::player_title(std::string_view artist, std::string_view title) { take_pair(artist, title, true); }

void NowPlaying::stl_title(std::string_view artist, std::string_view title) { take_pair(artist, title, false); }

// ---- Source threads ----

bool NowPlaying::wait_stop(uint32_t ms) {
    pollfd p{stop_event_, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(ms)) > 0;
}

bool NowPlaying::read_watched_file(const std::string& path) {
    // Non-blocking, so a FIFO put in the file's place cannot hold the thread.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid()) return false;
    struct stat info{};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    std::string contents(max_input_bytes, '\0');
    std::size_t have = 0;
    while (have < contents.size()) {
        const ssize_t n = ::read(fd.get(), contents.data() + have, contents.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
    }
    if (have == 0) return true;  // an empty file is skipped
    contents.resize(have);
    incoming_text(contents);
    return true;
}

void NowPlaying::file_watcher() {
    for (;;) {
        std::string path;
        {
            std::lock_guard guard(lock_);
            path = settings_.file;
        }
        if (path.empty()) {
            if (wait_stop(options_.retry_ms)) return;
            continue;
        }
        const std::filesystem::path file(path);
        std::filesystem::path folder = file.parent_path();
        if (folder.empty()) folder = ".";
        const std::string name = file.filename().string();

        // The folder is watched, not the file: playout software that writes a
        // new file and renames it over the old one is followed as well as one
        // that rewrites the file in place.
        Fd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        const uint32_t mask = IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF |
                              IN_MOVE_SELF | IN_ONLYDIR;
        if (!watch.valid() || ::inotify_add_watch(watch.get(), folder.c_str(), mask) < 0) {
            watch.reset();
            if (wait_stop(options_.retry_ms)) return;
            continue;
        }
        listening_.store(true, std::memory_order_release);
        read_watched_file(path);

        alignas(inotify_event) char buffer[4096];
        bool broken = false;
        while (!broken) {
            pollfd p[2] = {{stop_event_, POLLIN, 0}, {watch.get(), POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                broken = true;
                break;
            }
            if (p[0].revents) return;
            if (!p[1].revents) continue;
            bool changed = false;
            for (;;) {
                const ssize_t n = ::read(watch.get(), buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    if (n < 0 && errno != EAGAIN) broken = true;
                    break;
                }
                for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                    if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_Q_OVERFLOW)) {
                        if (event->mask & IN_Q_OVERFLOW) changed = true;
                        else broken = true;
                    } else if (event->len > 0 && name == event->name) {
                        changed = true;
                    }
                    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                }
                // A burst settles before the file is read.
                if (changed && !broken) {
                    if (wait_stop(settle_ms)) return;
                }
            }
            if (changed && !broken) read_watched_file(path);
        }
        listening_.store(false, std::memory_order_release);
        watch.reset();
        if (wait_stop(options_.retry_ms)) return;
    }
}

void NowPlaying::udp_listener() {
    std::vector<char> buffer(65536);
    for (;;) {
        uint32_t port;
        {
            std::lock_guard guard(lock_);
            port = settings_.udp_port;
        }
        Fd socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!socket.valid() || !bind_ipv4(socket.get(), port, options_.loopback_only)) {
            socket.reset();
            if (wait_stop(options_.retry_ms)) return;
            continue;
        }
        bound_port_.store(local_port(socket.get()), std::memory_order_release);
        listening_.store(true, std::memory_order_release);
        for (;;) {
            pollfd p[2] = {{stop_event_, POLLIN, 0}, {socket.get(), POLLIN, 0}};
            if (::poll(p, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (p[0].revents) return;
            if (!p[1].revents) continue;
            const ssize_t n = ::recv(socket.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNREFUSED) continue;
                break;
            }
            served_.fetch_add(1, std::memory_order_acq_rel);
            incoming_text(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
        }
        listening_.store(false, std::memory_order_release);
        socket.reset();
        if (wait_stop(options_.retry_ms)) return;
    }
}

void NowPlaying::tcp_listener() {
    for (;;) {
        uint32_t port, timeout_ms;
        {
            std::lock_guard guard(lock_);
            port = settings_.tcp_port;
            timeout_ms = settings_.poll_timeout_ms;
        }
        // The listener stays open between connections, which are served one at a
        // time; clients that arrive meanwhile wait in the backlog of 5.
        Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!listener.valid() || !bind_ipv4(listener.get(), port, options_.loopback_only) ||
            ::listen(listener.get(), 5) != 0) {
            listener.reset();
            if (wait_stop(options_.retry_ms)) return;
            continue;
        }
        bound_port_.store(local_port(listener.get()), std::memory_order_release);
        listening_.store(true, std::memory_order_release);
        for (;;) {
            const Accepted accepted = accept_or_stop(stop_event_, listener.get(), SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (accepted.result == AcceptResult::stopped) return;
            if (accepted.result == AcceptResult::failed) break;
            Fd client(accepted.fd);
            const bool stopped = !serve_connection(client.get(), timeout_ms);
            client.reset();
            served_.fetch_add(1, std::memory_order_acq_rel);
            if (stopped) return;
        }
        listening_.store(false, std::memory_order_release);
        listener.reset();
        if (wait_stop(options_.retry_ms)) return;
    }
}

bool NowPlaying::serve_connection(int client, uint32_t timeout_ms) {
    // Reads until the peer closes, the input limit is reached, the time-out from
    // the accept passes, or (once data came) the peer pauses for a moment.
    constexpr int64_t pause_ms = 50;
    const int64_t deadline = now_ms() + timeout_ms;
    std::string data(max_input_bytes, '\0');
    std::size_t have = 0;
    while (have < data.size()) {
        const int64_t remaining = deadline - now_ms();
        if (remaining <= 0) break;
        const int64_t wait = have == 0 ? remaining : std::min(remaining, pause_ms);
        pollfd p[2] = {{stop_event_, POLLIN, 0}, {client, POLLIN, 0}};
        const int ready = ::poll(p, 2, static_cast<int>(wait));
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[0].revents) return false;
        if (ready == 0) break;
        const ssize_t n = ::recv(client, data.data() + have, data.size() - have, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            break;
        }
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    if (have > 0) {
        data.resize(have);
        incoming_text(data);
    }
    return true;
}

}  // namespace torvalen::nowplaying
