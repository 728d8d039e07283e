// Sound-card hot-plug: watches the ALSA device folder (/dev/snd) with inotify and
// reports each card that appears (its control node "controlC<N>" is created).
// When the folder itself does not exist yet (a machine without sound cards), its
// parent is watched until it appears.
//
// Threads: one watcher thread; `on_card_added` runs on it.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace torvalen {

inline constexpr const char* alsa_device_folder = "/dev/snd";

class HotplugWatcher {
public:
    // Starts watching `folder`. nullptr with the reason when inotify refuses.
    static std::unique_ptr<HotplugWatcher> start(const std::filesystem::path& folder,
                                                 std::function<void(const std::string& node)> on_card_added,
                                                 std::string& error);
    ~HotplugWatcher();  // stops the thread
    HotplugWatcher(const HotplugWatcher&) = delete;
    HotplugWatcher& operator=(const HotplugWatcher&) = delete;

    uint64_t cards_seen() const { return cards_seen_.load(); }

private:
    HotplugWatcher() = default;
    void run();
    bool watch_folder();

    std::filesystem::path folder_;
    std::function<void(const std::string&)> on_card_added_;
    int inotify_fd_ = -1;
    int stop_fd_ = -1;  // eventfd that ends the thread
    int folder_watch_ = -1;
    int parent_watch_ = -1;
    std::atomic<uint64_t> cards_seen_{0};
    std::thread thread_;
};

}  // namespace torvalen
