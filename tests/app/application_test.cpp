#include "app/application.h"
#include "app/service/health.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/messages.h"
#include "tests/engine/fake_modules.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        home_ = temp_ / "home";
        options_.home = home_;
        options_.autostart_dir = home_ / "autostart";
        options_.program = "/usr/bin/torvalen";
        options_.start_devices = false;
    }
    // Starts over with an empty settings home.
    void reset_home() { std::filesystem::remove_all(home_); }

    std::unique_ptr<Application> start() {
        std::string error;
        auto app = Application::start(options_, factory_, error);
        EXPECT_TRUE(app) << error;
        return app;
    }
    // Writes instance keys straight into the store, as an earlier run would have.
    void seed_instances(std::initializer_list<const char*> names, const char* saved = nullptr) {
        std::filesystem::create_directories(home_);
        std::string error;
        auto store = SettingsStore::open(home_ / "settings.db", error);
        ASSERT_TRUE(store) << error;
        auto root = *store->root().create("Software")->create("Torv3");
        auto instances = *root.create("Instances");
        for (const char* n : names) instances.create(n);
        if (saved) root.create("Persist")->create("Main")->write_text("Saved_Inst_Name", saved);
    }

    testing::TempDir temp_{"torvalen-app"};
    std::filesystem::path home_;
    AppOptions options_;
    testing::FakeFactory factory_;
};

TEST_F(ApplicationTest, FirstStartCreatesTheTreeAndInstanceOne) {
    auto app = start();
    ASSERT_EQ(app->instance_names(), std::vector<std::string>{"Instance 1"});
    EXPECT_TRUE(app->logged_on());  // no password
    EXPECT_TRUE(app->current()->unlocked());
    auto persist = app->root_key().open("Persist");
    ASSERT_TRUE(persist && persist->open("Main") && persist->open("Window"));
    app->exit();
    app = start();
    EXPECT_EQ(app->instance_names(), std::vector<std::string>{"Instance 1"});
}

TEST_F(ApplicationTest, LoadsAtMostEightInEnumerationOrderNewestFirst) {
    seed_instances({"j", "i", "h", "g", "f", "e", "d", "c", "b", "a"});
    auto app = start();
    // Enumeration is by name; the first eight are a..h, the last loaded (h) is the newest.
    EXPECT_EQ(app->instance_names(),
              (std::vector<std::string>{"h", "g", "f", "e", "d", "c", "b", "a"}));
    EXPECT_EQ(app->current()->name(), "h");
    // The two that were not loaded keep their settings.
    EXPECT_TRUE(app->instances_key().open("i"));
    EXPECT_TRUE(app->instances_key().open("j"));
}

TEST_F(ApplicationTest, SavedInstanceNameChoosesTheCurrentOne) {
    seed_instances({"Studio A", "Studio B", "Studio C"}, "Studio B");
    EXPECT_EQ(start()->current()->name(), "Studio B");
    reset_home();
    seed_instances({"Studio A", "Studio B"}, "Gone");
    EXPECT_EQ(start()->current()->name(), "Studio B");  // the newest
}

TEST_F(ApplicationTest, ExitRemembersTheCurrentInstance) {
    auto app = start();
    ASSERT_TRUE(app->new_instance("FM").ok);
    ASSERT_TRUE(app->new_instance("DAB").ok);
    ASSERT_TRUE(app->select_instance("FM").ok);
    app->exit();
    app = start();
    EXPECT_EQ(app->current()->name(), "FM");
    EXPECT_EQ(app->instance_count(), 3u);
}

TEST_F(ApplicationTest, NewInstanceRefusesBadNamesAndTheNinth) {
    auto app = start();
    auto before = app->instance_names();

    auto r = app->new_instance("");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message, messages::name_empty);  // said, not silently ignored
    EXPECT_EQ(app->new_instance(std::string(64, 'x')).message, messages::name_too_long);
    EXPECT_EQ(app->new_instance("a/b").message, messages::name_bad_character);
    EXPECT_EQ(app->new_instance("a\\b").message, messages::name_bad_character);
    // Not text: a NUL and bytes that are not UTF-8; a line feed that would forge a log line.
    EXPECT_EQ(app->new_instance(std::string("\0\xff\xfe", 3)).message, messages::name_not_text);
    EXPECT_EQ(app->new_instance("E\ntorvalen[app]: pw removed").message, messages::name_not_text);
    EXPECT_EQ(app->new_instance("Bad\xc2\x85").message, messages::name_not_text);  // C1 "next line"
    r = app->new_instance("Instance 1");
    EXPECT_EQ(r.message, messages::duplicate_instance);
    EXPECT_EQ(r.title, "Error");
    EXPECT_EQ(app->instance_names(), before);
    EXPECT_EQ(app->instances_key().subkeys().size(), 1u);

    EXPECT_TRUE(app->new_instance("instance 1").ok);  // names compare case-sensitively
    EXPECT_TRUE(app->new_instance("Radio Zürich 📻").ok);
    EXPECT_TRUE(app->new_instance(std::string(63, 'y')).ok);
    for (int i = 5; i <= 8; ++i) ASSERT_TRUE(app->new_instance("N" + std::to_string(i)).ok);
    r = app->new_instance("Ninth");
    EXPECT_EQ(r.message, messages::max_instances);
    EXPECT_EQ(app->instance_count(), 8u);
    EXPECT_FALSE(app->instances_key().open("Ninth"));
    EXPECT_EQ(app->current()->name(), "N8");
}

TEST_F(ApplicationTest, RenameKeepsTheSettingsAndRefusesDuplicates) {
    auto app = start();
    ASSERT_TRUE(app->new_instance("Other").ok);
    ASSERT_TRUE(app->select_instance("Instance 1").ok);
    app->current()->select_page(6);

    auto r = app->rename_current_instance("Other");
    EXPECT_EQ(r.message, messages::duplicate_rename);
    EXPECT_EQ(app->current()->name(), "Instance 1");

    ASSERT_TRUE(app->rename_current_instance("Morning").ok);
    EXPECT_EQ(app->current()->name(), "Morning");
    EXPECT_FALSE(app->instances_key().open("Instance 1"));
    uint32_t index = 0;
    ASSERT_TRUE(app->instances_key().open("Morning")->read_dword_in("Index", index));
    EXPECT_EQ(index, 6u);
    app->current()->select_page(2);  // the instance writes through its renamed key
    ASSERT_TRUE(app->instances_key().open("Morning")->read_dword_in("Index", index));
    EXPECT_EQ(index, 2u);
    app->exit();
    app = start();
    EXPECT_EQ(app->current()->name(), "Morning");
    EXPECT_EQ(app->current()->page_index(), 2u);
}

TEST_F(ApplicationTest, CloseDeletesTheInstanceTreeAndSelectsTheNewest) {
    auto app = start();
    ASSERT_TRUE(app->new_instance("B").ok);
    ASSERT_TRUE(app->new_instance("C").ok);
    ASSERT_TRUE(app->select_instance("B").ok);
    ASSERT_TRUE(app->close_current_instance().ok);
    EXPECT_EQ(app->instance_names(), (std::vector<std::string>{"C", "Instance 1"}));
    EXPECT_EQ(app->current()->name(), "C");
    EXPECT_FALSE(app->instances_key().open("B"));
    ASSERT_TRUE(app->close_current_instance().ok);
    ASSERT_TRUE(app->close_current_instance().ok);
    EXPECT_EQ(app->current(), nullptr);
    EXPECT_EQ(app->close_current_instance().message, messages::no_instance);
    EXPECT_TRUE(app->new_instance("Fresh").ok);
}

TEST_F(ApplicationTest, PasswordLockBlocksSettingsUntilLogOn) {
    auto app = start();
    // No password: changing needs an empty old entry.
    EXPECT_EQ(app->change_password("x", "Str0ng!pw", false).message, messages::password_wrong);
    EXPECT_EQ(app->change_password("", "Short1!", false).message, messages::password_not_strong);
    EXPECT_EQ(app->change_password("", "NOLOWERCASE1!", false).message, messages::password_not_strong);
    ASSERT_TRUE(app->change_password("", "Str0ng!pw", false).ok);
    struct stat st{};
    ASSERT_EQ(::stat((home_ / "password").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    app->log_off();
    EXPECT_FALSE(app->current()->unlocked());
    EXPECT_FALSE(app->new_instance("X").ok);
    EXPECT_FALSE(app->rename_current_instance("X").ok);
    EXPECT_FALSE(app->close_current_instance().ok);
    EXPECT_FALSE(app->toggle_confirm_exit().ok);
    EXPECT_FALSE(app->current()->set_channel_map({2, 2, 2, 2}));
    EXPECT_FALSE(app->request_exit(true).ok);
    EXPECT_EQ(app->instance_count(), 1u);

    EXPECT_EQ(app->log_on("").message, messages::password_wrong);
    EXPECT_EQ(app->log_on("str0ng!pw").message, messages::password_wrong);
    EXPECT_FALSE(app->logged_on());
    ASSERT_TRUE(app->log_on("Str0ng!pw").ok);
    EXPECT_TRUE(app->current()->unlocked());
    app->exit();

    // With a password stored the program starts locked.
    app = start();
    EXPECT_FALSE(app->logged_on());
    EXPECT_FALSE(app->current()->unlocked());
    ASSERT_TRUE(app->log_on("Str0ng!pw").ok);

    // Deleting asks first, then removes it.
    auto ask = app->change_password("Str0ng!pw", "", false);
    EXPECT_TRUE(ask.needs_confirmation);
    EXPECT_EQ(ask.message, messages::password_delete_question);
    EXPECT_EQ(ask.title, messages::password_delete_title);
    ASSERT_TRUE(app->change_password("Str0ng!pw", "", true).ok);
    app->exit();
    app = start();
    EXPECT_TRUE(app->logged_on());
}

TEST_F(ApplicationTest, DesktopTogglesAreSavedAtOnce) {
    auto app = start();
    ASSERT_TRUE(app->toggle_confirm_exit().ok);
    ASSERT_TRUE(app->toggle_run_at_startup().ok);
    EXPECT_TRUE(std::filesystem::exists(home_ / "autostart" / "torvalen.desktop"));
    auto ask = app->request_exit(false);
    EXPECT_TRUE(ask.needs_confirmation);
    EXPECT_EQ(ask.message, messages::exit_question);
    EXPECT_TRUE(app->request_exit(true).ok);
    uint32_t v = 0;
    ASSERT_TRUE(app->root_key().open("Persist")->open("Main")->read_dword("Confirm_Exit", v));
    EXPECT_EQ(v, 1u);
    ASSERT_TRUE(app->toggle_run_at_startup().ok);
    EXPECT_FALSE(std::filesystem::exists(home_ / "autostart" / "torvalen.desktop"));
}

TEST_F(ApplicationTest, OldTreeIsDeletedOnlyWhenPresent) {
    seed_instances({});
    {
        std::string error;
        auto store = SettingsStore::open(home_ / "settings.db", error);
        store->root().create("Software")->create("Torv")->create("Old")->write_dword("x", 1);
    }
    auto app = start();
    ASSERT_TRUE(app->delete_old_settings().ok);
    EXPECT_FALSE(app->store().root().open("Software")->open("Torv"));
    EXPECT_EQ(app->delete_old_settings().message, messages::delete_old_failed);
    EXPECT_TRUE(app->store().root().open("Software")->open("Torv3"));
}

// A change survives the process dying before any orderly exit.
TEST_F(ApplicationTest, ChangesSurviveACrashWithoutExit) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        testing::FakeFactory factory;
        std::string error;
        auto app = Application::start(options_, factory, error);
        if (!app) ::_exit(3);
        bool ok = app->new_instance("Night").ok && app->current()->select_page(7) &&
                  app->current()->change_processor_type(processor_five) &&
                  app->toggle_start_minimized().ok;
        ::_exit(ok ? 0 : 4);  // no exit(), no destructors
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    auto app = start();
    Instance* night = app->find("Night");
    ASSERT_NE(night, nullptr);
    EXPECT_EQ(night->page_index(), 7u);
    EXPECT_EQ(night->processor_type(), processor_five);
    EXPECT_EQ(app->desktop().start_minimized, 1u);
}

TEST_F(ApplicationTest, CorruptStoreStopsStartWithTheInitialisationMessage) {
    std::filesystem::create_directories(home_);
    const std::string garbage(8192, '\x5a');
    testing::write_file(home_ / "settings.db", garbage);
    std::string error;
    EXPECT_FALSE(Application::start(options_, factory_, error));
    EXPECT_EQ(error.rfind(messages::init_error, 0), 0u);
    EXPECT_NE(error.find("torvalen-sweep"), std::string::npos);
    EXPECT_EQ(testing::read_file(home_ / "settings.db"), garbage);
}

TEST_F(ApplicationTest, InstancesRunOnTheVirtualDevice) {
    options_.start_devices = true;
    options_.device.frame_size = 128;
    auto app = start();
    ASSERT_TRUE(app->new_instance("Second").ok);
    for (const char* name : {"Instance 1", "Second"}) {
        Instance* instance = app->find(name);
        ASSERT_NE(app->device_of(instance), nullptr);
        EXPECT_TRUE(instance->engine_started());
    }
    const uint64_t before = app->find("Second")->cycles();
    for (int i = 0; i < 200 && app->find("Second")->cycles() == before; ++i)
        ::usleep(5000);
    EXPECT_GT(app->find("Second")->cycles(), before);
    ASSERT_TRUE(app->close_current_instance().ok);
    EXPECT_EQ(app->instance_names(), std::vector<std::string>{"Instance 1"});
    app->exit();
}


TEST_F(ApplicationTest, HealthNamesTheEngineThatStoppedOrStoppedCycling) {
    using namespace std::chrono_literals;
    auto app = start();  // no devices: the engine is not running
    HealthWatch health;
    const auto t0 = HealthWatch::Clock::now();
    EXPECT_EQ(health.check(*app, t0, 1s), "Instance 1: engine stopped");
    // Started, but no block ever arrives: as an engine stuck in its cycle looks.
    Instance* instance = app->find("Instance 1");
    ASSERT_TRUE(instance->engine_start(48000, 512));
    EXPECT_EQ(health.check(*app, t0, 1s), "");
    EXPECT_EQ(health.check(*app, t0 + 900ms, 1s), "");
    EXPECT_EQ(health.check(*app, t0 + 1500ms, 1s), "Instance 1: no engine cycle for 1.5 s");
    instance->engine_stop();
    app->exit();
}

}  // namespace
}  // namespace torvalen
