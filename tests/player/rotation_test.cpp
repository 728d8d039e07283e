// The player's lists against a real settings store and real files: the weighted
// pick, the limits, storage at every change, damaged files and the cursor.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "engine/settings_store.h"
#include "player/player_lists.h"
#include "tests/support/temp_dir.h"

namespace torvalen::player {
namespace {

using torvalen::testing::TempDir;

struct Fixture {
    TempDir dir{"torvalen-rotation"};
    std::unique_ptr<SettingsStore> store;
    SettingsKey key;
    std::filesystem::path folder = dir / "data" / "torvalen";

    Fixture() {
        std::string error;
        store = SettingsStore::open(dir / "settings.db", error);
        key = *store->root().create("Player-v2.0.0");
    }
    std::unique_ptr<PlayerLists> open() { return std::make_unique<PlayerLists>(key, folder, "FM1"); }
};

std::vector<std::string> names(const std::string& prefix, int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back("/music/" + prefix + std::to_string(i) + ".mp3");
    return out;
}

TEST(Rotation, WeightedPickOrderRunningWeightsAndStorage) {
    Fixture f;
    auto lists = f.open();
    ASSERT_TRUE(lists->new_rotation("A").done);
    ASSERT_TRUE(lists->new_rotation("B").done);
    ASSERT_TRUE(lists->new_rotation("Off").done);
    ASSERT_TRUE(lists->new_rotation("Empty").done);
    const auto a = names("a", 3), b = names("b", 2);
    ASSERT_TRUE(lists->apply_rotation(0, &a, 2, true).done);
    ASSERT_TRUE(lists->apply_rotation(1, &b, 1, true).done);
    const auto off = names("off", 1);
    ASSERT_TRUE(lists->apply_rotation(2, &off, 10, false).done);  // disabled: never picked
    ASSERT_TRUE(lists->apply_rotation(3, nullptr, 5, true).done);  // enabled, no content
    lists->reset_running_weights();
    auto rot = lists->rotations();
    EXPECT_FLOAT_EQ(rot[0].running_weight, 1.0f);
    EXPECT_FLOAT_EQ(rot[1].running_weight, 0.5f);

    const std::vector<std::string> expected = {a[0], a[1], b[0], a[2], a[0], a[1], b[1]};
    for (const auto& want : expected) EXPECT_EQ(lists->NextItem(2), want);

    // Every change is stored at once: a second object reading the same store and
    // folder continues exactly where the first one is.
    auto second = f.open();
    EXPECT_TRUE(second->load_problems().empty());
    for (int i = 0; i < 10; ++i) EXPECT_EQ(second->NextItem(4), lists->NextItem(4)) << i;

    // Over a long run each rotation is picked roughly in proportion to its Weight,
    // and the running weights stay scaled (largest 1.0) however long the station
    // runs, even with an enabled rotation that has nothing to give.
    int picks_a = 0, picks_b = 0;
    for (int i = 0; i < 1500; ++i) {
        const auto item = lists->NextItem(2);
        ASSERT_TRUE(item);
        EXPECT_EQ(item->find("off"), std::string::npos);
        if (i < 1000) continue;
        (item->find("/a") != std::string::npos ? picks_a : picks_b)++;
    }
    EXPECT_GT(picks_a, 2 * picks_b);
    EXPECT_LT(picks_a, 3 * picks_b);
    rot = lists->rotations();
    EXPECT_FLOAT_EQ(std::max(rot[0].running_weight, rot[1].running_weight), 1.0f);
    EXPECT_GT(std::min(rot[0].running_weight, rot[1].running_weight), 0.1f);

    // A single eligible rotation keeps 1.0 and supplies every item.
    ASSERT_TRUE(lists->apply_rotation(1, nullptr, 1, false).done);
    const uint32_t start = lists->rotations()[0].current;
    for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(lists->NextItem(2), a[(start + i) % 3]);
    EXPECT_FLOAT_EQ(lists->rotations()[0].running_weight, 1.0f);
}

TEST(Rotation, LimitsOfListsAndRotations) {
    Fixture f;
    auto lists = f.open();
    // Playlist: 100 entries, the 101st is refused with the warning.
    for (const auto& path : names("p", 98)) ASSERT_TRUE(lists->add_file(path).done);
    // Dropped files go in reverse order until the list is full.
    const auto result = lists->add_dropped({"/d/first.wav", "/d/second.wav", "/d/third.wav"});
    EXPECT_STREQ(result.message, text_max_files);
    auto entries = lists->playlist();
    ASSERT_EQ(entries.size(), 100u);
    EXPECT_EQ(entries[98].path, "/d/third.wav");
    EXPECT_EQ(entries[99].path, "/d/second.wav");
    EXPECT_EQ(entries[99].text, "second.wav");
    const auto refused = lists->add_file("/music/extra.mp3");
    EXPECT_FALSE(refused.done);
    EXPECT_STREQ(refused.message, text_max_entries);
    EXPECT_STREQ(refused.caption, caption_warning);
    EXPECT_EQ(lists->playlist().size(), 100u);
    // A path with a line feed would split into two lines of the file.
    lists->delete_list();
    EXPECT_FALSE(lists->add_file("/music/two\nlines.mp3").done);

    // Rotations: 50 files, not 51; 20 rotations, the twentieth with the warning.
    ASSERT_TRUE(lists->new_rotation("Rock").done);
    EXPECT_STREQ(lists->new_rotation("ROCK").message, text_duplicate_rotation);
    const auto fifty = names("r", 50), fifty_one = names("r", 51);
    EXPECT_TRUE(lists->apply_rotation(0, &fifty, 3, true).done);
    EXPECT_STREQ(lists->apply_rotation(0, &fifty_one, 3, true).message, text_max_files);
    EXPECT_EQ(lists->rotations()[0].paths.size(), 50u);
    for (int i = 1; i < 19; ++i) ASSERT_EQ(lists->new_rotation("R" + std::to_string(i)).message, nullptr);
    const auto twentieth = lists->new_rotation("Last");
    EXPECT_TRUE(twentieth.done);
    EXPECT_STREQ(twentieth.message, text_max_playlists);
    EXPECT_FALSE(lists->new_rotation("More").done);
    EXPECT_EQ(lists->rotations().size(), 20u);
    // Names: no path separator, no control characters, at most 63 characters.
    EXPECT_FALSE(lists->rename_rotation(1, "../escape").done);
    EXPECT_FALSE(lists->rename_rotation(1, "tab\there").done);
    EXPECT_FALSE(lists->rename_rotation(1, std::string(64, 'x')).done);
    EXPECT_TRUE(lists->rename_rotation(1, std::string(63, 'x')).done);
    EXPECT_STREQ(lists->rename_rotation(2, "Rock").message, text_duplicate_rotation);
    EXPECT_TRUE(lists->rename_rotation(2, "rock").done);  // renaming compares bytes
    EXPECT_FALSE(std::filesystem::exists(f.folder / "FM1_R2_rotation.torvalen"));
    EXPECT_TRUE(std::filesystem::exists(f.folder / "FM1_rock_rotation.torvalen"));
    // Deleting moves the later ones up, in the store as well.
    ASSERT_TRUE(lists->delete_rotation(0));
    EXPECT_FALSE(std::filesystem::exists(f.folder / "FM1_Rock_rotation.torvalen"));
    auto again = f.open();
    ASSERT_EQ(again->rotations().size(), 19u);
    EXPECT_EQ(again->rotations()[1].name, "rock");
}

TEST(Rotation, PlaylistStoredAtOnceWithTakenItemsAndCursor) {
    Fixture f;
    auto lists = f.open();
    EXPECT_EQ(lists->NextItem(1), std::nullopt);
    EXPECT_EQ(lists->NextItem(0), std::nullopt);
    // A name that is not UTF-8 stays as its bytes.
    const std::string latin1 = "/music/caf\xe9.wav";
    for (const auto& path : {std::string("/music/a.wav"), std::string("/music/b.wav"), latin1})
        ASSERT_TRUE(lists->add_file(path).done);
    EXPECT_EQ(lists->playlist()[2].text, "caf\xc3\xa9.wav");
    ASSERT_TRUE(lists->move_entry(2, 0));  // latin1, a, b
    auto second = f.open();
    auto read = second->playlist();
    ASSERT_EQ(read.size(), 3u);
    EXPECT_EQ(read[0].path, latin1);
    EXPECT_EQ(read[2].path, "/music/b.wav");

    // Looping modes: the cursor advances and wraps; one past the end reads as 0.
    EXPECT_EQ(lists->NextItem(1), latin1);
    EXPECT_EQ(lists->NextItem(3), "/music/a.wav");
    EXPECT_EQ(lists->NextItem(5), "/music/b.wav");
    EXPECT_EQ(lists->cursor(), 0u);
    lists->set_cursor(7);
    EXPECT_EQ(lists->NextItem(1), latin1);
    lists->set_cursor_random(5);  // 5 mod 3
    EXPECT_EQ(lists->NextItem(1), "/music/b.wav");
    ASSERT_TRUE(lists->delete_entry(1));  // latin1, b

    // Play and discard: the first entry leaves the list, but stays first in the
    // file until its deck lets it go, so a crash does not lose it.
    EXPECT_EQ(lists->NextItem(0), latin1);
    EXPECT_EQ(lists->playlist().size(), 1u);
    EXPECT_EQ(lists->cursor(), 0u);
    EXPECT_EQ(torvalen::testing::read_file(f.folder / "FM1_playlist.torvalen"), latin1 + "\n/music/b.wav\n");
    lists->item_released(latin1);
    EXPECT_EQ(torvalen::testing::read_file(f.folder / "FM1_playlist.torvalen"), "/music/b.wav\n");

    // Deleting the instance removes its files; nothing is written afterwards.
    lists->delete_files();
    lists->add_file("/music/c.wav");
    EXPECT_FALSE(std::filesystem::exists(f.folder / "FM1_playlist.torvalen"));
}

TEST(Rotation, DamagedFilesAndValuesAreRefusedOrReadUpToTheDamage) {
    Fixture f;
    std::filesystem::create_directories(f.folder);
    auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(f.folder / name, std::ios::binary) << text;
    };
    // Playlist: two good lines, an empty one (skipped), then a line with a zero byte.
    write("FM1_playlist.torvalen", std::string("/m/1.wav\n\n/m/2.wav\n/m/\0bad\n/m/3.wav\n", 36));
    // Rotations: Current beyond the file, a file of 51 lines, a file cut short,
    // a running weight that is not a number, a name that leaves the folder.
    write("FM1_Short_rotation.torvalen", "/s/0\n/s/1\n/s/2\n/s/3\n/s/4\n");
    std::string long_file;
    for (int i = 0; i < 51; ++i) long_file += "/l/" + std::to_string(i) + "\n";
    write("FM1_Long_rotation.torvalen", long_file);
    write("FM1_Cut_rotation.torvalen", "/c/0\n/c/1\n/c/tru");
    auto add = [&](int n, const std::string& name, uint32_t current, float running) {
        auto k = *f.key.create("Rotation_Item")->create(std::to_string(n));
        k.write_text_in("Name", name);
        k.write_dword_in("Current", current);
        k.write_dword_in("Enable", 1);
        k.write_dword_in("Weight", 0);
        std::array<std::byte, 4> raw;
        std::memcpy(raw.data(), &running, 4);
        k.create("Running Weight")->write_binary("Running Weight", raw);
    };
    add(0, "Short", 7, std::numeric_limits<float>::quiet_NaN());
    add(1, "Long", 0, 0.9f);
    add(2, "../../escape", 0, 1.0f);
    add(3, "Cut", 1, 5.0f);
    f.key.write_dword_in("Rotation_Items", 25);  // more than 20 reads as 20

    auto lists = f.open();
    const auto entries = lists->playlist();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].path, "/m/2.wav");
    const auto rot = lists->rotations();
    ASSERT_EQ(rot.size(), 3u);
    EXPECT_EQ(rot[0].name, "Short");
    EXPECT_EQ(rot[0].current, 0u);
    EXPECT_FLOAT_EQ(rot[0].running_weight, 0.5f);
    EXPECT_EQ(rot[0].weight, 1u);
    EXPECT_TRUE(rot[1].paths.empty());
    EXPECT_EQ(rot[2].paths, (std::vector<std::string>{"/c/0", "/c/1"}));
    EXPECT_EQ(rot[2].current, 1u);
    EXPECT_FLOAT_EQ(rot[2].running_weight, 1.0f);
    // Playlist damage, the long file, the cut file and the bad name are reported.
    EXPECT_EQ(lists->load_problems().size(), 4u);
    EXPECT_EQ(lists->NextItem(2), "/c/1");  // the larger running weight first
    EXPECT_EQ(lists->NextItem(2), "/s/0");  // then equal: the lower index

    // A file far larger than any list is read only as far as a list can go.
    std::string huge(8 << 20, 'x');
    write("FM1_playlist.torvalen", huge);
    EXPECT_TRUE(f.open()->playlist().empty());
}

}  // namespace
}  // namespace torvalen::player
