#include "engine/hotplug.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

struct Seen {
    std::mutex mutex;
    std::vector<std::string> nodes;
    size_t count() {
        std::lock_guard lock(mutex);
        return nodes.size();
    }
};

bool wait_for(Seen& seen, size_t n) {
    for (int i = 0; i < 500; ++i) {  // up to 5 s
        if (seen.count() >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(Hotplug, ReportsNewCardsOnlyEvenWhenTheFolderAppearsLater) {
    testing::TempDir dir("torvalen-hotplug");
    ASSERT_TRUE(dir.ok());
    const auto snd = dir / "snd";  // not there yet, like a machine without cards
    Seen seen;
    std::string error;
    auto watcher = HotplugWatcher::start(
        snd,
        [&](const std::string& node) {
            std::lock_guard lock(seen.mutex);
            seen.nodes.push_back(node);
        },
        error);
    ASSERT_TRUE(watcher) << error;

    std::filesystem::create_directory(snd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::ofstream(snd / "controlC0");
    ASSERT_TRUE(wait_for(seen, 1));
    std::ofstream(snd / "pcmC0D0p");  // a card's PCM node is not a new card
    std::ofstream(snd / "timer");
    std::ofstream(snd / "controlC1");
    ASSERT_TRUE(wait_for(seen, 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::lock_guard lock(seen.mutex);
    ASSERT_EQ(seen.nodes.size(), 2u);
    EXPECT_EQ(seen.nodes[0], "controlC0");
    EXPECT_EQ(seen.nodes[1], "controlC1");
    EXPECT_EQ(watcher->cards_seen(), 2u);
}

}  // namespace
}  // namespace torvalen
