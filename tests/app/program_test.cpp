// Drives the torvalen program itself: start, second copy, stop signals, kill -9,
// a damaged store and an offline render.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/settings_store.h"
#include "engine/wav_file.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace torvalen {
namespace {

namespace fs = std::filesystem;

const fs::path program = fs::path(TORVALEN_BINARY_DIR) / "torvalen";

using testing::read_file;

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        dir_ = temp_.path();
        home_ = dir_ / "home";
    }
    void TearDown() override {
        for (pid_t pid : running_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    // Starts the program with `args`; its output goes to out<N>.txt / err<N>.txt.
    pid_t spawn(std::vector<std::string> args) {
        args.insert(args.begin(), program.string());
        const int n = count_++;
        out_ = dir_ / ("out" + std::to_string(n) + ".txt");
        err_ = dir_ / ("err" + std::to_string(n) + ".txt");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        running_.push_back(pid);
        return pid;
    }
    // Waits (bounded) for the process to end; returns its exit code, or -1.
    int wait_exit(pid_t pid, int seconds = 60) {
        for (int i = 0; i < seconds * 100; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                std::erase(running_, pid);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }
    int run(std::vector<std::string> args) { return wait_exit(spawn(std::move(args))); }
    // Waits until the running program logged that it is up.
    bool wait_running(const fs::path& err) {
        for (int i = 0; i < 3000; ++i) {
            if (read_file(err).find("running;") != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    testing::TempDir temp_{"torvalen-program"};
    fs::path dir_, home_, out_, err_;
    int count_ = 0;
    std::vector<pid_t> running_;
};

TEST_F(ProgramTest, HelpAndBadOptions) {
    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_NE(read_file(out_).find("--home DIR"), std::string::npos);
    EXPECT_EQ(run({"--bogus"}), 2);
    EXPECT_NE(read_file(err_).find("unknown option --bogus"), std::string::npos);
    EXPECT_EQ(run({"--home", home_.string(), "--rate", "44100"}), 2);
    EXPECT_NE(read_file(err_).find("48000 or 192000"), std::string::npos);
    EXPECT_EQ(run({"--home", home_.string(), "--rate", "192000", "--frames", "1022"}), 2);
    EXPECT_EQ(run({"--home", home_.string(), "--listen", "nope"}), 2);
}

TEST_F(ProgramTest, SecondCopyPointsToTheFirstAndStopSignalSaves) {
    pid_t first = spawn({"--home", home_.string(), "--listen", "127.0.0.1:0"});
    const fs::path first_err = err_;
    ASSERT_TRUE(wait_running(first_err)) << read_file(first_err);

    EXPECT_EQ(run({"--home", home_.string()}), 0);
    EXPECT_NE(read_file(out_).find("already running"), std::string::npos);
    EXPECT_NE(read_file(out_).find("http://127.0.0.1:"), std::string::npos);
    EXPECT_EQ(read_file(out_).find("http://127.0.0.1:0)"), std::string::npos);  // the real port
    EXPECT_EQ(::waitpid(first, nullptr, WNOHANG), 0);  // the first one still runs

    ::kill(first, SIGTERM);
    EXPECT_EQ(wait_exit(first), 0);
    EXPECT_NE(read_file(first_err).find("settings saved"), std::string::npos);

    std::string error;
    auto store = SettingsStore::open(home_ / "settings.db", error);
    ASSERT_TRUE(store) << error;
    std::string saved;
    ASSERT_TRUE(store->root().open("Software")->open("Torv3")->open("Persist")->open("Main")->read_text(
        "Saved_Inst_Name", saved));
    EXPECT_EQ(saved, "Instance 1");
}

TEST_F(ProgramTest, KillNineLosesNothingAndTheNextStartWorks) {
    pid_t first = spawn({"--home", home_.string(), "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(wait_running(err_)) << read_file(err_);
    ::kill(first, SIGKILL);
    wait_exit(first);

    pid_t second = spawn({"--home", home_.string(), "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(wait_running(err_)) << read_file(err_);
    ::kill(second, SIGINT);
    EXPECT_EQ(wait_exit(second), 0);
    // Only the instance created on the first start: nothing was lost or duplicated.
    std::string error;
    auto store = SettingsStore::open(home_ / "settings.db", error);
    ASSERT_TRUE(store) << error;
    auto instances = store->root().open("Software")->open("Torv3")->open("Instances");
    ASSERT_TRUE(instances);
    EXPECT_EQ(instances->subkeys(), std::vector<std::string>{"Instance 1"});
}

TEST_F(ProgramTest, DamagedStoreStopsStartAndIsLeftAlone) {
    fs::create_directories(home_);
    const std::string garbage = "this is not a settings database\n";
    testing::write_file(home_ / "settings.db", garbage);
    EXPECT_EQ(run({"--home", home_.string()}), 1);
    EXPECT_NE(read_file(err_).find("Torvalen initiailization error."), std::string::npos);
    EXPECT_NE(read_file(err_).find("torvalen-sweep"), std::string::npos);
    EXPECT_EQ(read_file(home_ / "settings.db"), garbage);
}

TEST_F(ProgramTest, FreewheelRendersTheWholeInputAndExits) {
    const fs::path in = dir_ / "in.wav", out = dir_ / "out.wav";
    {
        std::string error;
        auto writer = WavWriter::create(in, 48000, error);
        ASSERT_TRUE(writer) << error;
        std::vector<float> samples(2 * 48000, 1.0e8f);  // one second
        ASSERT_TRUE(writer->write(samples));
    }
    EXPECT_EQ(run({"--home", home_.string(), "--input", in.string(), "--output", out.string(),
                   "--freewheel", "--frames", "1000"}),
              0)
        << read_file(err_);
    std::string error;
    auto reader = WavReader::open(out, error);
    ASSERT_TRUE(reader) << error;
    EXPECT_EQ(reader->frames(), 48000u);
    EXPECT_EQ(reader->sample_rate(), 48000u);
}

}  // namespace
}  // namespace torvalen
