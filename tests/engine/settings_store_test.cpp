#include "engine/settings_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <thread>

#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::vector<std::byte> bytes_of(std::string_view text) {
    auto span = std::as_bytes(std::span(text.data(), text.size()));
    return {span.begin(), span.end()};
}

// A value as read, or nothing when the read refused it.
std::optional<uint32_t> dword_of(const SettingsKey& key, std::string_view name) {
    uint32_t value = 0;
    return key.read_dword(name, value) ? std::optional(value) : std::nullopt;
}

std::optional<std::string> text_of(const SettingsKey& key, std::string_view name) {
    std::string value;
    return key.read_text(name, value) ? std::optional(value) : std::nullopt;
}

using testing::read_file;
using testing::write_file;

class SettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        dir_ = temp_.path();
        file_ = dir_ / "settings.db";
    }

    std::unique_ptr<SettingsStore> open_store() {
        std::string error;
        auto store = SettingsStore::open(file_, error);
        EXPECT_NE(store, nullptr) << error;
        return store;
    }

    // Expects the store to refuse the file with a reason and leave its bytes alone.
    void expect_refused() {
        const std::string before = read_file(file_);
        std::string error;
        EXPECT_EQ(SettingsStore::open(file_, error), nullptr);
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(read_file(file_), before);
    }

    testing::TempDir temp_{"settings_store_test"};
    fs::path dir_;
    fs::path file_;
};

// ---------------------------------------------------------------------------
// Values

TEST_F(SettingsStoreTest, EveryTypeRoundTripsAcrossReopen) {
    const std::vector<std::byte> blob = bytes_of("\x01\x00\xff\x80preset"s);
    {
        auto store = open_store();
        auto key = store->root().create("Software")->create("Torv3");
        ASSERT_TRUE(key);
        EXPECT_TRUE(key->write_dword("D", 0xDEADBEEF));
        EXPECT_TRUE(key->write_qword("Q", 0x8000000000000001ull));
        EXPECT_TRUE(key->write_text("T", "Instance 1"));
        EXPECT_TRUE(key->write_binary("B", blob));
    }
    auto store = open_store();
    auto key = store->root().open("Software")->open("Torv3");
    ASSERT_TRUE(key);
    uint64_t q = 0;
    std::vector<std::byte> b;
    std::array<std::byte, 10> exact{};
    EXPECT_EQ(dword_of(*key, "D"), 0xDEADBEEF);
    EXPECT_TRUE(key->read_qword("Q", q));
    EXPECT_EQ(q, 0x8000000000000001ull);
    EXPECT_EQ(text_of(*key, "T"), "Instance 1");
    EXPECT_TRUE(key->read_binary("B", b));
    EXPECT_EQ(b, blob);
    EXPECT_TRUE(key->read_binary("B", exact));
    EXPECT_TRUE(std::equal(exact.begin(), exact.end(), blob.begin()));
    EXPECT_EQ(key->value_type("D"), ValueType::Dword);
    EXPECT_EQ(key->value_type("Q"), ValueType::Qword);
    EXPECT_EQ(key->value_type("T"), ValueType::Text);
    EXPECT_EQ(key->value_type("B"), ValueType::Binary);
    EXPECT_EQ(key->value_names(), (std::vector<std::string>{"B", "D", "Q", "T"}));
}

TEST_F(SettingsStoreTest, MissingWrongTypeOrWrongSizeKeepsTheDefault) {
    auto store = open_store();
    auto key = *store->root().create("Main");
    ASSERT_TRUE(key.write_qword("AsQword", 7));
    ASSERT_TRUE(key.write_dword("AsDword", 7));
    ASSERT_TRUE(key.write_text("AsText", "1234"));  // four bytes, still not a DWORD
    ASSERT_TRUE(key.write_binary("Four", bytes_of("abcd")));

    uint32_t d = 42;
    EXPECT_FALSE(key.read_dword("Missing", d));
    EXPECT_FALSE(key.read_dword("AsQword", d));
    EXPECT_FALSE(key.read_dword("AsText", d));
    EXPECT_FALSE(key.read_dword("Four", d));
    EXPECT_EQ(d, 42u);
    uint64_t q = 43;
    EXPECT_FALSE(key.read_qword("AsDword", q));
    EXPECT_EQ(q, 43u);
    std::string t = "default";
    EXPECT_FALSE(key.read_text("AsDword", t));
    EXPECT_FALSE(key.read_text("Four", t));
    EXPECT_EQ(t, "default");
    std::array<std::byte, 3> small{std::byte{9}, std::byte{9}, std::byte{9}};
    std::array<std::byte, 5> large{};
    large.fill(std::byte{9});
    EXPECT_FALSE(key.read_binary("Four", small));
    EXPECT_FALSE(key.read_binary("Four", large));
    EXPECT_FALSE(key.read_binary("AsText", large));
    EXPECT_EQ(small[0], std::byte{9});
    EXPECT_EQ(large[4], std::byte{9});
    std::vector<std::byte> v = bytes_of("keep");
    EXPECT_FALSE(key.read_binary("AsDword", v));
    EXPECT_EQ(v, bytes_of("keep"));
    EXPECT_FALSE(key.value_type("Missing"));

    // Rewriting with another type replaces type and size together.
    ASSERT_TRUE(key.write_dword("AsQword", 5));
    EXPECT_FALSE(key.read_qword("AsQword", q));
    EXPECT_EQ(dword_of(key, "AsQword"), 5u);
}

TEST_F(SettingsStoreTest, TextAndNamesAreKeptWholeWithNulAndEmpty) {
    auto store = open_store();
    auto key = *store->root().create("K");
    const std::string with_nul = "before\0after\0"s;
    ASSERT_TRUE(key.write_text("nul", with_nul));
    ASSERT_TRUE(key.write_text("empty", ""));
    ASSERT_TRUE(key.write_binary("none", {}));
    ASSERT_TRUE(key.write_dword("", 1));           // the unnamed value
    ASSERT_TRUE(key.write_dword("x\0y"s, 2));     // names are bytes too
    EXPECT_EQ(text_of(key, "nul"), with_nul);
    EXPECT_EQ(text_of(key, "empty"), "");
    std::vector<std::byte> v = bytes_of("x");
    EXPECT_TRUE(key.read_binary("none", v));
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(dword_of(key, ""), 1u);
    EXPECT_EQ(dword_of(key, "x\0y"s), 2u);
    EXPECT_EQ(dword_of(key, "x"), std::nullopt);
    EXPECT_EQ(key.value_names().size(), 5u);
}

TEST_F(SettingsStoreTest, ValueInSubkeyOfTheSameName) {
    auto store = open_store();
    auto inst = *store->root().create("Instance 1");
    uint32_t d = 77;
    uint64_t q = 78;
    std::string t = "keep";
    EXPECT_FALSE(inst.read_dword_in("Index", d));
    EXPECT_FALSE(inst.read_qword_in("AffinityMain", q));
    EXPECT_FALSE(inst.read_text_in("Name", t));
    EXPECT_TRUE(inst.subkeys().empty()) << "reads must not create the subkey";
    EXPECT_EQ(d, 77u);

    ASSERT_TRUE(inst.write_dword_in("Index", 3));
    ASSERT_TRUE(inst.write_qword_in("AffinityMain", 0xF0F0F0F0F0ull));
    ASSERT_TRUE(inst.write_text_in("Name", "abc"));
    EXPECT_TRUE(inst.read_dword_in("Index", d));
    EXPECT_EQ(d, 3u);
    EXPECT_TRUE(inst.read_qword_in("AffinityMain", q));
    EXPECT_EQ(q, 0xF0F0F0F0F0ull);
    EXPECT_TRUE(inst.read_text_in("Name", t));
    EXPECT_EQ(t, "abc");
    // The value sits in Index\Index, not in the instance key itself.
    EXPECT_EQ(dword_of(inst, "Index"), std::nullopt);
    ASSERT_TRUE(inst.open("Index"));
    EXPECT_EQ(dword_of(*inst.open("Index"), "Index"), 3u);
    EXPECT_TRUE(inst.value_names().empty());
}

// ---------------------------------------------------------------------------
// Keys

TEST_F(SettingsStoreTest, KeyNamesAreCaseSensitiveAndNonEmpty) {
    auto store = open_store();
    auto root = store->root();
    auto upper = root.create("A");
    auto lower = root.create("a");
    auto slash = root.create("Software\\Torv3");
    ASSERT_TRUE(upper && lower && slash);
    ASSERT_TRUE(upper->write_dword("v", 1));
    ASSERT_TRUE(lower->write_dword("v", 2));
    EXPECT_EQ(dword_of(*root.open("A"), "v"), 1u);
    EXPECT_EQ(dword_of(*root.open("a"), "v"), 2u);
    EXPECT_EQ(slash->name(), "Software\\Torv3");
    EXPECT_FALSE(root.open("Software")) << "a backslash is part of the name";
    EXPECT_FALSE(root.create(""));
    EXPECT_FALSE(root.open(""));
    EXPECT_FALSE(root.open("b"));
    EXPECT_EQ(dword_of(*root.create("A"), "v"), 1u) << "creating an existing key opens it";
    EXPECT_FALSE(SettingsKey().valid());
    EXPECT_FALSE(SettingsKey().write_dword("v", 1));
}

TEST_F(SettingsStoreTest, SubkeysEnumerateCaseInsensitivelyThenByBytes) {
    auto store = open_store();
    auto inst = *store->root().create("Instances");
    for (const char* name : {"beta", "Alpha", "alpha", "B_x", "Bx", "10", "2", "Gamma"}) ASSERT_TRUE(inst.create(name));
    // Letters compare as upper case, so "Bx" comes before "B_x" ('X' < '_').
    EXPECT_EQ(inst.subkeys(),
              (std::vector<std::string>{"10", "2", "Alpha", "alpha", "beta", "Bx", "B_x", "Gamma"}));
}

TEST_F(SettingsStoreTest, DeleteTreeRemovesEverythingBelowAtAnyDepth) {
    auto store = open_store();
    auto instances = *store->root().create("Instances");
    auto keep = *instances.create("Keep");
    ASSERT_TRUE(keep.write_dword("v", 1));
    {
        SettingsStore::Transaction tx(*store);
        auto key = *instances.create("Doomed");
        for (int level = 0; level < 1500; ++level) {  // deeper than SQLite's cascade limit
            ASSERT_TRUE(key.write_dword("level", static_cast<uint32_t>(level)));
            ASSERT_TRUE(key.create("side"));
            key = *key.create("down");
        }
        ASSERT_TRUE(tx.commit());
    }
    auto doomed = *instances.open("Doomed");
    EXPECT_TRUE(instances.delete_subkey_tree("Doomed"));
    EXPECT_FALSE(instances.open("Doomed"));
    EXPECT_FALSE(instances.delete_subkey_tree("Doomed")) << "already deleted";
    EXPECT_EQ(instances.subkeys(), std::vector<std::string>{"Keep"});
    EXPECT_EQ(dword_of(keep, "v"), 1u);
    EXPECT_EQ(dword_of(doomed, "level"), std::nullopt);

    // Nothing orphaned is left in the file.
    store.reset();
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file_.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    auto count = [&](const char* sql) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(raw, sql, -1, &st, nullptr);
        int64_t n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : -1;
        sqlite3_finalize(st);
        return n;
    };
    EXPECT_EQ(count("SELECT count(*) FROM keys"), 3);  // root, Instances, Keep
    EXPECT_EQ(count("SELECT count(*) FROM vals"), 1);
    sqlite3_close(raw);
}

TEST_F(SettingsStoreTest, ClearEmptiesTheKeyButKeepsIt) {
    auto store = open_store();
    auto key = *store->root().create("Formats");
    ASSERT_TRUE(key.write_dword("v", 1));
    ASSERT_TRUE(key.create("Preset A")->create("deeper")->write_text("t", "x"));
    ASSERT_TRUE(store->root().create("Sibling")->write_dword("v", 5));
    EXPECT_TRUE(key.clear());
    EXPECT_TRUE(key.subkeys().empty());
    EXPECT_TRUE(key.value_names().empty());
    EXPECT_TRUE(store->root().open("Formats"));
    EXPECT_TRUE(key.write_dword("after", 2)) << "the cleared key is still usable";
    EXPECT_EQ(dword_of(*store->root().open("Sibling"), "v"), 5u);
}

TEST_F(SettingsStoreTest, RenameMovesTheKeyInPlaceAndRefusesConflicts) {
    auto store = open_store();
    auto instances = *store->root().create("Instances");
    auto old_key = *instances.create("Studio");
    ASSERT_TRUE(old_key.write_dword("v", 1));
    ASSERT_TRUE(old_key.create("Player-v2.0.0")->write_text("t", "song"));
    ASSERT_TRUE(instances.create("Other")->write_dword("v", 2));

    EXPECT_TRUE(instances.rename_subkey("Studio", "Air"));
    EXPECT_FALSE(instances.open("Studio"));
    EXPECT_EQ(old_key.name(), "Air") << "handles follow the key";
    EXPECT_EQ(text_of(*instances.open("Air")->open("Player-v2.0.0"), "t"), "song");

    EXPECT_FALSE(instances.rename_subkey("Air", "Other"));
    EXPECT_FALSE(instances.rename_subkey("Missing", "New"));
    EXPECT_FALSE(instances.rename_subkey("Air", ""));
    EXPECT_EQ(instances.subkeys(), (std::vector<std::string>{"Air", "Other"}));
    EXPECT_EQ(dword_of(*instances.open("Air"), "v"), 1u);
    EXPECT_EQ(dword_of(*instances.open("Other"), "v"), 2u);
    EXPECT_TRUE(instances.rename_subkey("Air", "air")) << "case-only rename";
    EXPECT_EQ(instances.subkeys(), (std::vector<std::string>{"air", "Other"}));
}

TEST_F(SettingsStoreTest, DeletedKeysRefuseWritesAndTheirIdsAreNotReused) {
    auto store = open_store();
    auto parent = *store->root().create("Instances");
    auto stale = *parent.create("Old");
    auto stale_child = *stale.create("Child");
    ASSERT_TRUE(parent.delete_subkey_tree("Old"));
    auto fresh = *parent.create("New");  // would take the old id if ids were reused
    EXPECT_FALSE(stale.write_dword("v", 1));
    EXPECT_FALSE(stale.write_dword_in("Index", 1));
    EXPECT_FALSE(stale.create("Again"));
    EXPECT_FALSE(stale.clear());
    EXPECT_FALSE(stale_child.write_text("t", "x"));
    EXPECT_TRUE(stale.subkeys().empty());
    EXPECT_TRUE(fresh.value_names().empty());
    EXPECT_TRUE(fresh.subkeys().empty());

    ASSERT_TRUE(fresh.write_dword("v", 1));
    EXPECT_TRUE(fresh.delete_value("v"));
    EXPECT_FALSE(fresh.delete_value("v"));
    EXPECT_FALSE(fresh.value_type("v"));
}

// ---------------------------------------------------------------------------
// Transactions

TEST_F(SettingsStoreTest, TransactionsCommitTogetherOrNotAtAll) {
    auto store = open_store();
    auto other = open_store();  // a second connection sees only what is committed
    auto key = *store->root().create("Dialog");
    {
        SettingsStore::Transaction tx(*store);
        ASSERT_TRUE(key.write_dword("a", 1));
        ASSERT_TRUE(key.create("Sub")->write_dword("b", 2));
    }  // abandoned
    EXPECT_EQ(dword_of(key, "a"), std::nullopt);
    EXPECT_FALSE(key.open("Sub"));

    {
        SettingsStore::Transaction outer(*store);
        ASSERT_TRUE(key.write_dword("a", 1));
        {
            SettingsStore::Transaction inner(*store);
            ASSERT_TRUE(key.write_dword("b", 2));
            EXPECT_TRUE(inner.commit());
            EXPECT_FALSE(inner.commit()) << "a second commit has nothing to commit";
        }
        {
            SettingsStore::Transaction abandoned(*store);
            ASSERT_TRUE(key.write_dword("c", 3));
        }
        EXPECT_EQ(dword_of(*other->root().open("Dialog"), "b"), std::nullopt) << "inner commit is not yet durable";
        EXPECT_TRUE(outer.commit());
    }
    auto seen = *other->root().open("Dialog");
    EXPECT_EQ(dword_of(seen, "a"), 1u);
    EXPECT_EQ(dword_of(seen, "b"), 2u);
    EXPECT_EQ(dword_of(seen, "c"), std::nullopt) << "the abandoned inner transaction undoes only its own writes";
}

TEST_F(SettingsStoreTest, ReadsSeeWhatAnotherConnectionCommittedSince) {
    // Statements stay prepared between uses: none may keep its read open and pin an
    // old snapshot of the file.
    auto store = open_store();
    auto other = open_store();
    auto key = *store->root().create("Shared");
    ASSERT_TRUE(key.write_dword("v", 1));
    auto theirs = *other->root().open("Shared");
    for (uint32_t round = 2; round < 5; ++round) {
        EXPECT_EQ(dword_of(theirs, "v"), round - 1);
        EXPECT_EQ(theirs.subkeys().size(), round - 2);
        EXPECT_EQ(theirs.value_type("v"), ValueType::Dword);
        ASSERT_TRUE(key.write_dword("v", round));
        ASSERT_TRUE(key.create("K" + std::to_string(round)));
    }
    EXPECT_EQ(dword_of(theirs, "v"), 4u);
    EXPECT_EQ(theirs.subkeys().size(), 3u);
}

TEST_F(SettingsStoreTest, ConcurrentWritersAllLand) {
    auto store = open_store();
    auto key = *store->root().create("Threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            auto mine = *key.create("T" + std::to_string(t));
            for (uint32_t i = 0; i < 25; ++i) {
                SettingsStore::Transaction tx(*store);
                mine.write_dword("v" + std::to_string(i), i);
                mine.write_text_in("last", std::to_string(i));
                tx.commit();
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) {
        auto mine = *key.open("T" + std::to_string(t));
        EXPECT_EQ(mine.value_names().size(), 25u);
        EXPECT_EQ(text_of(*mine.open("last"), "last"), "24");
    }
}

// ---------------------------------------------------------------------------
// Files

TEST_F(SettingsStoreTest, RefusesFilesThatAreNotOursAndLeavesThemAlone) {
    write_file(file_, "This is a playlist, not a database.\n");
    expect_refused();

    std::mt19937 random(7);
    std::string garbage(8192, '\0');
    for (char& c : garbage) c = static_cast<char>(random());
    write_file(file_, garbage);
    expect_refused();

    // A healthy SQLite database of another program.
    fs::remove(file_);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file_.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE songs(title TEXT); INSERT INTO songs VALUES('x');", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    sqlite3_close(raw);
    expect_refused();

    std::string error;
    EXPECT_EQ(SettingsStore::open(dir_, error), nullptr) << "a folder";
    EXPECT_EQ(SettingsStore::open(dir_ / "missing" / "settings.db", error), nullptr);
    EXPECT_NE(error.find("cannot be opened"), std::string::npos) << error;
}

TEST_F(SettingsStoreTest, RefusesADamagedStoreAndANewerSchema) {
    {
        auto store = open_store();
        SettingsStore::Transaction tx(*store);
        auto key = *store->root().create("Big");
        for (int i = 0; i < 200; ++i) ASSERT_TRUE(key.write_binary("v" + std::to_string(i), bytes_of(std::string(900, 'p'))));
        ASSERT_TRUE(tx.commit());
    }
    ASSERT_FALSE(fs::exists(dir_ / "settings.db-wal")) << "closing checkpoints the log into the file";
    const std::string healthy = read_file(file_);
    ASSERT_GT(healthy.size(), 16u * 4096u);

    // Every page after the first with its cell pointers overwritten: reading fails outright.
    std::string damaged = healthy;
    for (size_t i = 4096; i < damaged.size(); i += 4096) std::fill_n(damaged.begin() + i + 8, 64, '\x5a');
    write_file(file_, damaged);
    expect_refused();
    // One page in the middle claiming more cells than it holds: the file still reads,
    // only the integrity check notices.
    damaged = healthy;
    const size_t page = (healthy.size() / 4096 / 2) * 4096;
    damaged[page + 3] = '\0';
    damaged[page + 4] = '\x40';
    write_file(file_, damaged);
    expect_refused();

    // Our own layout, but from a later version of the program.
    write_file(file_, healthy);
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file_.c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "PRAGMA user_version = 9", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    expect_refused();
}

TEST_F(SettingsStoreTest, AnEmptyFileBecomesAStore) {
    write_file(file_, "");
    auto store = open_store();
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->root().create("Software")->write_dword("v", 1));
    store.reset();
    store = open_store();
    EXPECT_EQ(dword_of(*store->root().open("Software"), "v"), 1u);
}

// A writer killed at a random moment loses nothing it reported as written and
// leaves no half-applied group.
TEST_F(SettingsStoreTest, KillDuringWritesKeepsEveryCompletedWrite) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const int wait_for = std::uniform_int_distribution<int>(20, 300)(random);
    const int extra_us = std::uniform_int_distribution<int>(0, 3000)(random);

    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        std::string error;
        auto store = SettingsStore::open(file_, error);
        if (!store) _exit(2);
        auto root = store->root();
        for (int32_t i = 0; i < 1000000; ++i) {
            bool ok;
            if (i % 5 == 0) {
                SettingsStore::Transaction tx(*store);
                auto group = root.create("Group");
                const std::string n = std::to_string(i);
                ok = group && group->write_dword("a" + n, i) && group->write_text("b" + n, n) &&
                     group->write_binary("c" + n, bytes_of(std::string(300, 'c'))) && tx.commit();
            } else {
                auto key = root.create("K" + std::to_string(i % 7));
                ok = key && key->write_qword("v" + std::to_string(i), static_cast<uint64_t>(i) * 3 + 1);
            }
            if (!ok || write(report[1], &i, sizeof i) != static_cast<ssize_t>(sizeof i)) _exit(3);
        }
        _exit(0);
    }
    close(report[1]);
    std::vector<int32_t> done;
    int32_t i = 0;
    while (static_cast<int>(done.size()) < wait_for && read(report[0], &i, sizeof i) == sizeof i) done.push_back(i);
    std::this_thread::sleep_for(std::chrono::microseconds(extra_us));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own, status " << status;
    while (read(report[0], &i, sizeof i) == sizeof i) done.push_back(i);
    close(report[0]);
    ASSERT_GE(static_cast<int>(done.size()), wait_for);

    auto store = open_store();  // runs the integrity check
    ASSERT_TRUE(store);
    auto root = store->root();
    for (int32_t n : done) {
        const std::string s = std::to_string(n);
        if (n % 5 == 0) {
            EXPECT_EQ(dword_of(*root.open("Group"), "a" + s), static_cast<uint32_t>(n));
        } else {
            uint64_t q = 0;
            EXPECT_TRUE(root.open("K" + std::to_string(n % 7))->read_qword("v" + s, q)) << n;
            EXPECT_EQ(q, static_cast<uint64_t>(n) * 3 + 1);
        }
    }
    auto group = *root.open("Group");
    for (int32_t n = 0; n <= done.back() + 5; n += 5) {
        const std::string s = std::to_string(n);
        std::vector<std::byte> b;
        const int present = dword_of(group, "a" + s).has_value() + text_of(group, "b" + s).has_value() +
                            group.read_binary("c" + s, b);
        EXPECT_TRUE(present == 0 || present == 3) << "group " << n << " half written";
    }
}

}  // namespace
}  // namespace torvalen
