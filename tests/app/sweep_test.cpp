// Drives torvalen-sweep against a real settings database and data folder.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/settings_store.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

namespace fs = std::filesystem;

class SweepTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        home_ = temp_.path();
    }

    void seed_settings() {
        std::string error;
        auto store = SettingsStore::open(home_ / "settings.db", error);
        ASSERT_TRUE(store) << error;
        auto software = *store->root().create("Software");
        auto inst = *software.create("Torv3")->create("Instances")->create("Studio");
        inst.write_dword_in("Index", 4);
        inst.create("Torvalen One-v1.0.0")->create("Formats")->create("Rock")->write_text("Notes", "x");
        software.create("Torv")->write_dword("Old", 1);
    }
    void seed_data(bool with_subfolder) {
        fs::create_directories(home_ / "data" / "torvalen");
        std::ofstream(home_ / "data" / "torvalen" / "playlist.txt") << "a.wav\n";
        std::ofstream(home_ / "data" / "torvalen" / "rotation.txt") << "b\n";
        if (with_subfolder) {
            fs::create_directories(home_ / "data" / "torvalen" / "keep");
            std::ofstream(home_ / "data" / "torvalen" / "keep" / "inner.txt") << "c\n";
        }
    }
    // Runs the cleaner answering `answer`; returns its exit code and output.
    int sweep(const char* answer, std::string& output) {
        const std::string cmd = std::string("printf '") + answer + "\\n' | " + TORVALEN_BINARY_DIR +
                                "/torvalen-sweep --home '" + home_.string() + "'";
        FILE* p = ::popen(cmd.c_str(), "r");
        if (!p) return -1;
        char buffer[512];
        output.clear();
        while (size_t n = std::fread(buffer, 1, sizeof buffer, p)) output.append(buffer, n);
        const int status = ::pclose(p);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::unique_ptr<SettingsStore> reopen() {
        std::string error;
        auto store = SettingsStore::open(home_ / "settings.db", error);
        EXPECT_TRUE(store) << error;
        return store;
    }

    testing::TempDir temp_{"torvalen-sweep"};
    fs::path home_;
};

TEST_F(SweepTest, NoDeletesNothing) {
    seed_settings();
    seed_data(false);
    std::string out;
    EXPECT_EQ(sweep("n", out), 0);
    EXPECT_NE(out.find("WARNING: Do you want to delete the Torvalen 3"), std::string::npos);
    EXPECT_EQ(out.find("Failed"), std::string::npos);
    EXPECT_TRUE(reopen()->root().open("Software")->open("Torv3"));
    EXPECT_TRUE(fs::exists(home_ / "data" / "torvalen" / "playlist.txt"));
}

TEST_F(SweepTest, YesDeletesTheTreeAndTheSavedLists) {
    seed_settings();
    seed_data(false);
    std::string out;
    EXPECT_EQ(sweep("y", out), 0);
    EXPECT_EQ(out.find("Failed"), std::string::npos) << out;
    auto store = reopen();
    auto software = store->root().open("Software");
    ASSERT_TRUE(software);
    EXPECT_FALSE(software->open("Torv3"));
    EXPECT_TRUE(software->open("Torv"));  // other trees stay
    EXPECT_FALSE(fs::exists(home_ / "data" / "torvalen"));
    store.reset();
    // Nothing of the old tree is left behind in the file: no orphaned keys or values.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((home_ / "settings.db").c_str(), &db), SQLITE_OK);
    auto count = [db](const char* sql) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        int n = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int(st, 0) : -1;
        sqlite3_finalize(st);
        return n;
    };
    EXPECT_EQ(count("SELECT count(*) FROM keys WHERE parent IS NOT NULL AND parent NOT IN (SELECT id FROM keys)"), 0);
    EXPECT_EQ(count("SELECT count(*) FROM vals WHERE key NOT IN (SELECT id FROM keys)"), 0);
    EXPECT_EQ(count("SELECT count(*) FROM keys"), 3);  // the root, Software and Torv
    sqlite3_close(db);
}

TEST_F(SweepTest, MissingTreeWarnsOnceAndStillEmptiesTheDataFolder) {
    seed_data(true);
    {
        std::string error;
        auto store = SettingsStore::open(home_ / "settings.db", error);
        store->root().create("Software");
    }
    std::string out;
    EXPECT_EQ(sweep("yes", out), 0);
    EXPECT_NE(out.find("Warning: Failed to find the registry folder for Torvalen 2\nHave you already deleted it?"),
              std::string::npos)
        << out;
    EXPECT_FALSE(fs::exists(home_ / "data" / "torvalen" / "playlist.txt"));
    // The sub-folder and its file stay, and so does the folder.
    EXPECT_TRUE(fs::exists(home_ / "data" / "torvalen" / "keep" / "inner.txt"));
}

TEST_F(SweepTest, NoSettingsAndNoDataFolderGiveBothMessages) {
    std::string out;
    EXPECT_EQ(sweep("y", out), 0);
    const auto software = out.find("ERROR: Failed to find the Windows Software registry folder");
    const auto data = out.find("Warning: Failed to find application data folder");
    ASSERT_NE(software, std::string::npos) << out;
    ASSERT_NE(data, std::string::npos) << out;
    EXPECT_LT(software, data);
    EXPECT_FALSE(fs::exists(home_ / "settings.db"));  // nothing created
}

}  // namespace
}  // namespace torvalen
