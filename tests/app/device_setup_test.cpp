// The application on sound cards (a fake driver system): per-instance and shared
// mode from the stored settings, the virtual device as the embedded default, the
// headless set-up from the command line, and the program's device options.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "app/application.h"
#include "app/messages.h"
#include "engine/wav_file.h"
#include "tests/engine/fake_driver.h"
#include "tests/engine/fake_modules.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace torvalen {
namespace {

using testing::fake_input_value;
using testing::FakeDriverSystem;

bool eventually(const std::function<bool()>& condition, double seconds = 5.0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

class DeviceSetupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        options_.home = temp_ / "home";
        options_.autostart_dir = temp_ / "autostart";
        options_.program = "/usr/bin/torvalen";
        options_.start_devices = true;
        options_.drivers = &drivers_;
        options_.watch_hotplug = false;
        options_.device.frame_size = 128;
    }
    std::unique_ptr<Application> start() {
        std::string error;
        auto app = Application::start(options_, factory_, error);
        EXPECT_TRUE(app) << error;
        return app;
    }
    // Writes settings into the store as an earlier run (or the dialogs) would have.
    void seed(const std::function<void(SettingsKey persist, SettingsKey instances)>& fn) {
        std::filesystem::create_directories(options_.home);
        std::string error;
        auto store = SettingsStore::open(options_.home / "settings.db", error);
        ASSERT_TRUE(store) << error;
        auto root = *store->root().create("Software")->create("Torv3");
        fn(*root.create("Persist"), *root.create("Instances"));
    }
    void seed_interface(uint32_t mode) {
        seed([mode](SettingsKey persist, SettingsKey) {
            persist.create("Main")->write_dword("Interface", mode);
        });
    }
    static void seed_device(SettingsKey instances, const char* instance, const char* device) {
        DeviceSettings s;
        s.device = device;
        s.sample_rate = 48000;
        s.frame_size = 64;
        s.input_l = s.output_l = 1;
        s.input_r = s.output_r = 2;
        ASSERT_TRUE(s.save_instance_device(*instances.create(instance)));
    }

    testing::TempDir temp_{"torvalen-devsetup"};
    AppOptions options_;
    testing::FakeFactory factory_;
    FakeDriverSystem drivers_;
};

TEST_F(DeviceSetupTest, PerInstanceModeUsesEachInstancesOwnDevice) {
    drivers_.attach("card");
    seed_interface(1);
    seed([](SettingsKey, SettingsKey instances) {
        seed_device(instances, "On card", "card");
        instances.create("Plain");
    });
    auto app = start();
    ASSERT_FALSE(app->shared_mode());
    Instance* on_card = app->find("On card");
    Instance* plain = app->find("Plain");
    ASSERT_TRUE(on_card && plain);
    ASSERT_NE(app->sound_card_of(on_card), nullptr);
    EXPECT_EQ(app->device_of(on_card), nullptr);
    EXPECT_TRUE(app->sound_card_of(on_card)->wait_running(5000));
    EXPECT_EQ(on_card->block_floats(), 128u);
    EXPECT_NE(app->device_status(on_card).find("\"card\" at 48000 Hz, 64 frames: running"), std::string::npos)
        << app->device_status(on_card);
    // No device configured: the virtual device.
    EXPECT_EQ(app->sound_card_of(plain), nullptr);
    ASSERT_NE(app->device_of(plain), nullptr);
    EXPECT_NE(app->device_status(plain).find("Virtual device"), std::string::npos);
    app->exit();
    EXPECT_FALSE(on_card == nullptr);
}

TEST_F(DeviceSetupTest, PerInstanceDeviceMissingRunsOnTheVirtualDeviceAndSaysSo) {
    seed_interface(1);
    seed([](SettingsKey, SettingsKey instances) { seed_device(instances, "A", "gone"); });
    auto app = start();
    Instance* a = app->find("A");
    ASSERT_NE(app->sound_card_of(a), nullptr);
    EXPECT_TRUE(a->engine_started());
    const std::string status = app->device_status(a);
    EXPECT_NE(status.find("virtual device, retrying every second"), std::string::npos) << status;
    drivers_.attach("gone");
    EXPECT_TRUE(eventually([&] { return app->sound_card_of(a)->status().driver_running; }));
}

TEST_F(DeviceSetupTest, SharedModeAttachesEveryInstanceOnItsChannelPair) {
    drivers_.attach("multi", {.inputs = 4, .outputs = 4});
    seed([](SettingsKey persist, SettingsKey instances) {
        DeviceSettings shared;
        shared.device = "multi";
        shared.sample_rate = 48000;
        shared.frame_size = 64;
        ASSERT_TRUE(shared.save_shared_device(persist));
        ChannelMap pair{3, 4, 3, 4};
        ASSERT_TRUE(pair.save(*instances.create("B")));
        instances.create("A");
    });
    auto app = start();
    ASSERT_TRUE(app->shared_mode());
    ASSERT_NE(app->shared_device(), nullptr);
    for (const char* name : {"A", "B"}) {
        EXPECT_EQ(app->sound_card_of(app->find(name)), app->shared_device()) << name;
        EXPECT_EQ(app->device_of(app->find(name)), nullptr) << name;
    }
    auto out = [&](uint32_t channel) {
        std::vector<int32_t> block;
        drivers_.with_newest([&](testing::FakeDriver& d) { block = d.last_output(channel); });
        return block.empty() ? -1 : block.front();
    };
    EXPECT_TRUE(eventually([&] {
        return out(0) == fake_input_value(0) && out(2) == fake_input_value(2) &&
               out(3) == fake_input_value(3);
    }));
    // A new instance joins the shared device.
    ASSERT_TRUE(app->new_instance("C").ok);
    EXPECT_EQ(app->sound_card_of(app->find("C")), app->shared_device());
    EXPECT_EQ(app->find("C")->block_floats(), 128u);
    // Closing every instance stops the shared device; a new one starts it again.
    while (app->current()) ASSERT_TRUE(app->close_current_instance().ok);
    EXPECT_FALSE(app->shared_device()->status().running);
    ASSERT_TRUE(app->new_instance("D").ok);
    EXPECT_TRUE(app->shared_device()->status().running);
    EXPECT_TRUE(app->shared_device()->wait_running(5000));
    app->exit();
}

TEST_F(DeviceSetupTest, HeadlessSetupStoresTheInstancesDevice) {
    drivers_.attach("card");
    seed_interface(1);
    seed([](SettingsKey, SettingsKey instances) {
        instances.create("Night");
        instances.create("Day");
    });
    options_.setup = {"card", "Night", 192000, 1024};
    auto app = start();
    Instance* night = app->find("Night");
    ASSERT_NE(app->sound_card_of(night), nullptr);
    EXPECT_TRUE(app->sound_card_of(night)->wait_running(5000));
    EXPECT_EQ(night->device_rate(), 192000u);
    EXPECT_EQ(app->sound_card_of(app->find("Day")), nullptr);
    app->exit();
    app.reset();

    // Stored: the next start without the option uses it.
    options_.setup = {};
    app = start();
    const DeviceSettings& s = app->find("Night")->device_settings();
    EXPECT_EQ(s.device, "card");
    EXPECT_EQ(s.sample_rate, 192000u);
    EXPECT_EQ(s.frame_size, 1024u);
    EXPECT_EQ(s.input_l, 1u);
    EXPECT_EQ(s.output_r, 2u);
    EXPECT_NE(app->sound_card_of(app->find("Night")), nullptr);
}

TEST_F(DeviceSetupTest, HeadlessSetupInSharedModeSetsTheSharedDevice) {
    drivers_.attach("multi");
    options_.setup = {"multi", "", 48000, 256};
    auto app = start();
    ASSERT_NE(app->shared_device(), nullptr);
    EXPECT_EQ(app->shared_device()->settings().device, "multi");
    EXPECT_EQ(app->sound_card_of(app->current()), app->shared_device());
    DeviceSettings stored;
    stored.load_shared_device(*app->root_key().open("Persist"));
    EXPECT_EQ(stored.device, "multi");
    EXPECT_EQ(stored.frame_size, 256u);
    app->exit();
    app.reset();

    // --instance has no meaning with one shared device: nothing is changed.
    options_.setup = {"other", "Instance 1", 48000, 256};
    app = start();
    EXPECT_EQ(app->shared_device()->settings().device, "multi");
}

TEST_F(DeviceSetupTest, SetupRefusals) {
    EXPECT_NE(Application::check_setup({"", "", 48000, 256}), "");
    EXPECT_NE(Application::check_setup({"card", "", 192000, 1022}).find("multiple of 4"), std::string::npos);
    EXPECT_EQ(Application::check_setup({"card", "", 192000, 1024}), "");
    EXPECT_NE(Application::check_setup({"card", "", 96000, 256}), "");
    // The same device for two instances in per-instance mode: the second one runs
    // on the virtual device.
    drivers_.attach("card");
    seed_interface(1);
    seed([](SettingsKey, SettingsKey instances) {
        seed_device(instances, "A", "card");
        seed_device(instances, "B", "card");
    });
    auto app = start();
    const int on_card = (app->sound_card_of(app->find("A")) != nullptr) +
                        (app->sound_card_of(app->find("B")) != nullptr);
    EXPECT_EQ(on_card, 1);
    const int on_virtual = (app->device_of(app->find("A")) != nullptr) +
                           (app->device_of(app->find("B")) != nullptr);
    EXPECT_EQ(on_virtual, 1);
}

// ---- The program's device options ----

const std::filesystem::path program = std::filesystem::path(TORVALEN_BINARY_DIR) / "torvalen";

int run_program(std::vector<std::string> args, const std::filesystem::path& out) {
    args.insert(args.begin(), program.string());
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) return -1;
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 3000; ++i) {  // up to 30 s
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

TEST(DeviceProgramTest, DeviceOptions) {
    testing::TempDir dir("torvalen-devprog");
    ASSERT_TRUE(dir.ok());
    const auto out = dir / "out.txt";
    const std::string home = (dir / "home").string();
    EXPECT_EQ(run_program({"--list-devices"}, out), 0) << testing::read_file(out);
    EXPECT_EQ(run_program({"--home", home, "--device", ""}, out), 2);
    EXPECT_NE(testing::read_file(out).find("device name"), std::string::npos);
    EXPECT_EQ(run_program({"--home", home, "--device", "x", "--rate", "192000", "--frames", "1022"}, out), 2);
    EXPECT_NE(testing::read_file(out).find("multiple of 4"), std::string::npos);
    EXPECT_EQ(run_program({"--home", home, "--instance", "A"}, out), 2);
    EXPECT_NE(testing::read_file(out).find("--instance goes with --device"), std::string::npos);
    EXPECT_EQ(run_program({"--help"}, out), 0);
    EXPECT_NE(testing::read_file(out).find("--list-devices"), std::string::npos);
}

// ---- The sound-card dialogs ----

TEST_F(DeviceSetupTest, MultiSettingsPutAnInstanceOnACardAndBackOnTheVirtualDevice) {
    drivers_.attach("card");
    seed_interface(1);
    seed([](SettingsKey, SettingsKey instances) {
        instances.create("A");
        instances.create("B");
    });
    auto app = start();
    Instance* a = app->find("A");
    Instance* b = app->find("B");
    ASSERT_TRUE(a && b);
    ASSERT_NE(app->device_of(a), nullptr);

    DeviceSettings card;
    card.device = "card";
    card.sample_rate = 48000;
    card.frame_size = 64;
    card.input_l = card.output_l = 1;
    card.input_r = card.output_r = 2;
    ASSERT_TRUE(app->apply_instance_device(*a, card).ok);
    ASSERT_NE(app->sound_card_of(a), nullptr);
    EXPECT_EQ(app->device_of(a), nullptr);
    EXPECT_TRUE(app->sound_card_of(a)->wait_running(5000));
    EXPECT_EQ(a->device_settings().device, "card");

    // One card serves one instance in this mode.
    const CommandResult taken = app->apply_instance_device(*b, card);
    EXPECT_FALSE(taken.ok);
    EXPECT_EQ(taken.message, messages::device_in_use);
    EXPECT_NE(app->device_of(b), nullptr);

    // A block size the 192 kHz path cannot split is refused; nothing changes.
    DeviceSettings odd = card;
    odd.sample_rate = 192000;
    odd.frame_size = 130;
    EXPECT_FALSE(app->apply_instance_device(*a, odd).ok);
    EXPECT_EQ(a->device_settings().frame_size, 64u);

    // An empty device name takes the instance off its card.
    ASSERT_TRUE(app->apply_instance_device(*a, DeviceSettings{}).ok);
    EXPECT_EQ(app->sound_card_of(a), nullptr);
    EXPECT_NE(app->device_of(a), nullptr);
    EXPECT_TRUE(app->device_attached("card"));
    EXPECT_FALSE(app->device_attached("gone"));
    app->exit();
}

// With one device per instance, an instance whose own settings give a rate and a
// block but no card runs its virtual device at them, fed by the input file of that
// rate; the others keep the command line's rate, block and input.
TEST_F(DeviceSetupTest, VirtualDeviceRunsAtTheInstancesOwnRateWithTheInputOfThatRate) {
    const auto in48 = temp_ / "in48.wav", in192 = temp_ / "in192.wav";
    for (const auto& [file, rate] : {std::pair{in48, 48000u}, std::pair{in192, 192000u}}) {
        std::string error;
        auto w = WavWriter::create(file, rate, error);
        ASSERT_TRUE(w) << error;
        const std::vector<float> frames(2 * 4096, 0.25f);
        ASSERT_TRUE(w->write(frames));
        ASSERT_TRUE(w->close());
    }
    options_.device.input = in48;
    options_.other_rate_input = in192;
    seed_interface(1);
    seed([](SettingsKey, SettingsKey instances) {
        instances.create("A");
        instances.create("B");
    });
    auto app = start();
    Instance* a = app->find("A");
    Instance* b = app->find("B");
    ASSERT_TRUE(a && b);

    DeviceSettings own;  // no card
    own.sample_rate = 192000;
    own.frame_size = 1024;
    ASSERT_TRUE(app->apply_instance_device(*a, own).ok);
    ASSERT_NE(app->device_of(a), nullptr);
    EXPECT_EQ(app->device_of(a)->config().sample_rate_Hz, 192000u);
    EXPECT_EQ(app->device_of(a)->config().frame_size, 1024u);
    EXPECT_EQ(app->device_of(a)->config().input, in192);
    EXPECT_EQ(a->device_rate(), 192000u);
    EXPECT_TRUE(eventually([&] { return app->device_of(a)->blocks() > 2; }));
    ASSERT_NE(app->device_of(b), nullptr);
    EXPECT_EQ(app->device_of(b)->config().sample_rate_Hz, 48000u);
    EXPECT_EQ(app->device_of(b)->config().frame_size, 128u);
    EXPECT_EQ(app->device_of(b)->config().input, in48);

    // Without a rate and block the instance is back on the command line's.
    ASSERT_TRUE(app->apply_instance_device(*a, DeviceSettings{}).ok);
    ASSERT_NE(app->device_of(a), nullptr);
    EXPECT_EQ(app->device_of(a)->config().sample_rate_Hz, 48000u);
    EXPECT_EQ(app->device_of(a)->config().input, in48);
    app->exit();
}

TEST_F(DeviceSetupTest, InterfaceSwitchMovesEveryInstanceAndIsStored) {
    drivers_.attach("shared card", testing::FakeDeviceSpec{8, 8});
    seed([](SettingsKey persist, SettingsKey instances) {
        DeviceSettings s;
        s.device = "shared card";
        s.sample_rate = 48000;
        s.frame_size = 64;
        ASSERT_TRUE(s.save_shared_device(persist));
        persist.create("Main")->write_dword("Interface", 1);
        instances.create("A");
        instances.create("B");
    });
    auto app = start();
    ASSERT_FALSE(app->shared_mode());
    Instance* a = app->find("A");
    EXPECT_EQ(app->sound_card_of(a), nullptr);

    ASSERT_TRUE(app->set_interface_mode(0).ok);
    EXPECT_TRUE(app->shared_mode());
    ASSERT_NE(app->shared_device(), nullptr);
    EXPECT_EQ(app->sound_card_of(a), app->shared_device());
    EXPECT_TRUE(app->shared_device()->wait_running(5000));

    // Channel pairs: numbered from 1; a valid pair is stored.
    ChannelMap bad{0, 2, 1, 2};
    EXPECT_FALSE(app->apply_channels(*a, bad).ok);
    ChannelMap pair{3, 4, 5, 6};
    ASSERT_TRUE(app->apply_channels(*a, pair).ok);
    EXPECT_EQ(a->channel_map(), pair);

    // Locked: refused.
    app->log_off();
    EXPECT_FALSE(app->set_interface_mode(1).ok);
    EXPECT_FALSE(app->apply_channels(*a, ChannelMap{}).ok);
    ASSERT_TRUE(app->log_on("").ok);

    ASSERT_TRUE(app->set_interface_mode(1).ok);
    EXPECT_EQ(app->shared_device(), nullptr);
    EXPECT_NE(app->device_of(a), nullptr);
    app->exit();
    app.reset();
    auto again = start();
    EXPECT_FALSE(again->shared_mode());
    EXPECT_EQ(again->find("A")->channel_map(), pair);
    again->exit();
}

}  // namespace
}  // namespace torvalen
