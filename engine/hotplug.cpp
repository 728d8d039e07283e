#include "engine/hotplug.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/log.h"

namespace torvalen {

namespace {
constexpr const char* log_who = "hotplug";
// A card's control node; every card has exactly one.
constexpr std::string_view card_node_prefix = "controlC";
// Room for a burst of events (each is a header plus a short name).
constexpr size_t event_buffer_bytes = 16 * 1024;

bool is_card_node(std::string_view name) {
    return name.size() > card_node_prefix.size() && name.substr(0, card_node_prefix.size()) == card_node_prefix;
}
}  // namespace

std::unique_ptr<HotplugWatcher> HotplugWatcher::start(
    const std::filesystem::path& folder, std::function<void(const std::string&)> on_card_added,
    std::string& error) {
    std::unique_ptr<HotplugWatcher> w(new HotplugWatcher());
    w->folder_ = folder;
    w->on_card_added_ = std::move(on_card_added);
    w->inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    w->stop_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (w->inotify_fd_ < 0 || w->stop_fd_ < 0) {
        error = std::string("inotify is not available: ") + std::strerror(errno);
        return nullptr;
    }
    if (!w->watch_folder()) {
        const auto parent = folder.parent_path();
        w->parent_watch_ = inotify_add_watch(w->inotify_fd_, parent.c_str(), IN_CREATE | IN_MOVED_TO);
        if (w->parent_watch_ < 0) {
            error = "cannot watch " + parent.string() + ": " + std::strerror(errno);
            return nullptr;
        }
    }
    try {
        w->thread_ = std::thread([raw = w.get()] { raw->run(); });
    } catch (const std::system_error& e) {
        error = std::string("cannot start the hot-plug thread: ") + e.what();
        return nullptr;
    }
    return w;
}

HotplugWatcher::~HotplugWatcher() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        if (::write(stop_fd_, &one, sizeof one) < 0) {
        }
        thread_.join();
    }
    if (inotify_fd_ >= 0) ::close(inotify_fd_);
    if (stop_fd_ >= 0) ::close(stop_fd_);
}

bool HotplugWatcher::watch_folder() {
    folder_watch_ = inotify_add_watch(inotify_fd_, folder_.c_str(),
                                      IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR);
    return folder_watch_ >= 0;
}

void HotplugWatcher::run() {
    alignas(inotify_event) char buffer[event_buffer_bytes];
    for (;;) {
        pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            log_event(log_who, std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[1].revents) return;
        const ssize_t got = ::read(inotify_fd_, buffer, sizeof buffer);
        if (got <= 0) continue;
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            const std::string name = event->len ? std::string(event->name) : std::string();
            if (event->wd == parent_watch_ && name == folder_.filename().string()) {
                // The device folder appeared: watch it, and report the cards that
                // were created in it before the watch existed.
                if (watch_folder()) {
                    std::error_code ec;
                    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
                        const std::string node = entry.path().filename().string();
                        if (!is_card_node(node)) continue;
                        cards_seen_.fetch_add(1);
                        on_card_added_(node);
                    }
                }
            } else if (event->wd == folder_watch_ && (event->mask & IN_DELETE_SELF)) {
                folder_watch_ = -1;
                if (parent_watch_ < 0)
                    parent_watch_ = inotify_add_watch(inotify_fd_, folder_.parent_path().c_str(),
                                                      IN_CREATE | IN_MOVED_TO);
            } else if (event->wd == folder_watch_ && is_card_node(name)) {
                cards_seen_.fetch_add(1);
                on_card_added_(name);
            }
        }
    }
}

}  // namespace torvalen
