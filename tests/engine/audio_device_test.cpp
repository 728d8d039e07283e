// The device layer against a fake driver: supervision (watchdog, reset requests,
// device changes), fallback to the virtual device, channel mapping and mixing in
// both modes, and the refusals.
#include "engine/audio_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "engine/instance.h"
#include "tests/engine/fake_driver.h"
#include "tests/engine/fake_modules.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

using testing::fake_input_value;
using testing::FakeDeviceSpec;
using testing::FakeDriver;
using testing::FakeDriverSystem;

// Polls `condition` for up to `seconds`.
bool eventually(const std::function<bool()>& condition, double seconds = 5.0) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

DeviceSettings settings_for(const std::string& name, uint32_t rate = 48000, uint32_t frames = 64) {
    DeviceSettings s;
    s.device = name;
    s.sample_rate = rate;
    s.frame_size = frames;
    s.input_l = 1;
    s.input_r = 2;
    s.output_l = 1;
    s.output_r = 2;
    return s;
}

class AudioDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        std::string error;
        store_ = SettingsStore::open(temp_ / "settings.db", error);
        ASSERT_TRUE(store_) << error;
        root_ = *store_->root().create("Instances");
    }
    std::unique_ptr<Instance> make(const char* name) {
        std::string error;
        auto instance = Instance::create(root_, name, factory_, error);
        EXPECT_TRUE(instance) << error;
        return instance;
    }
    // The newest driver's last output block on `channel` (empty when no driver).
    std::vector<int32_t> output(uint32_t channel) {
        std::vector<int32_t> block;
        drivers_.with_newest([&](FakeDriver& d) { block = d.last_output(channel); });
        return block;
    }
    // True when every sample of the newest driver's output `channel` equals `value`.
    bool output_is(uint32_t channel, int32_t value) {
        const auto block = output(channel);
        if (block.empty()) return false;
        for (int32_t v : block)
            if (v != value) return false;
        return true;
    }

    testing::TempDir temp_{"torvalen-device"};
    std::unique_ptr<SettingsStore> store_;
    SettingsKey root_;
    testing::FakeFactory factory_;
    FakeDriverSystem drivers_;
    DeviceLayer layer_{drivers_};
};

TEST(DriverMessages, AnswersTheSupportedSet) {
    bool reset = false;
    for (long selector : {2, 3, 4, 5, 6, 7, 8, 10, 15})
        EXPECT_EQ(answer_driver_message(driver_selector_supported, selector, reset), 1) << selector;
    for (long selector : {1, 9, 11, 12, 13, 14, 16, 99})
        EXPECT_EQ(answer_driver_message(driver_selector_supported, selector, reset), 0) << selector;
    EXPECT_EQ(answer_driver_message(driver_engine_version, 0, reset), 2);
    EXPECT_FALSE(reset);
    for (int32_t selector : {driver_resync_request, driver_latencies_changed, driver_supports_time_info})
        EXPECT_EQ(answer_driver_message(selector, 0, reset), 1);
    EXPECT_EQ(answer_driver_message(driver_supports_time_code, 0, reset), 0);
    EXPECT_EQ(answer_driver_message(driver_overload, 0, reset), 0);
    EXPECT_FALSE(reset);
    EXPECT_EQ(answer_driver_message(driver_reset_request, 0, reset), 1);
    EXPECT_TRUE(reset);
}

TEST(DeviceHelpers, ChannelResolutionAndLatencyTexts) {
    EXPECT_EQ(resolve_channel(5, 2, 2), 1u);  // right input 5 on two inputs → channel 2
    EXPECT_EQ(resolve_channel(5, 1, 2), 0u);  // ... on one input → channel 1
    EXPECT_EQ(resolve_channel(3, 2, 1), 0u);
    EXPECT_EQ(resolve_channel(0, 8, 2), 1u);
    EXPECT_EQ(resolve_channel(7, 8, 2), 6u);
    EXPECT_EQ(resolve_channel(1, 0, 1), 0u);

    EXPECT_EQ(latency_text({256, 512}, 48000), "Input Latency 5.33 -  Output Latency 10.66 ms");
    EXPECT_EQ(duplex_latency_text(256, 48000), "Duplex buffer latency 5.33 ms");
    EXPECT_EQ(duplex_latency_text(1024, 192000), "Duplex buffer latency 5.33 ms");
}

TEST_F(AudioDeviceTest, RefusesBadSettingsAndASecondUserOfADevice) {
    drivers_.attach("card");
    auto a = make("A");
    auto b = make("B");
    std::string error;
    EXPECT_FALSE(layer_.open_device(settings_for(""), *a, error));
    EXPECT_NE(error.find("no device name"), std::string::npos);
    EXPECT_FALSE(layer_.open_device(settings_for("card", 192000, 250), *a, error));
    EXPECT_NE(error.find("multiple of 4"), std::string::npos);
    EXPECT_FALSE(layer_.open_device(settings_for("card", 44100, 256), *a, error));
    EXPECT_FALSE(layer_.open_device(settings_for("card", 48000, 0), *a, error));
    DeviceSettings no_channel = settings_for("card");
    no_channel.output_r = 0;
    EXPECT_FALSE(layer_.open_device(no_channel, *a, error));
    EXPECT_EQ(drivers_.created(), 0);

    auto context = layer_.open_device(settings_for("card", 192000, 256), *a, error);
    ASSERT_TRUE(context) << error;
    EXPECT_TRUE(context->wait_running(5000));
    EXPECT_EQ(a->device_rate(), 192000u);
    EXPECT_EQ(a->block_floats(), 512u);

    EXPECT_FALSE(layer_.open_device(settings_for("card"), *b, error));
    EXPECT_NE(error.find("already in use"), std::string::npos);
    EXPECT_NE(error.find("\"A\""), std::string::npos);
    context.reset();
    EXPECT_FALSE(a->engine_started());  // closing stops the engine
    EXPECT_TRUE(layer_.open_device(settings_for("card"), *b, error)) << error;
}

TEST_F(AudioDeviceTest, PassesInputToOutputWithOneBlockDelay) {
    drivers_.attach("card", {.inputs = 2, .outputs = 2, .type = sample_int16_lsb});
    auto a = make("A");
    std::string error;
    auto context = layer_.open_device(settings_for("card"), *a, error);
    ASSERT_TRUE(context) << error;
    ASSERT_TRUE(context->wait_running(5000));
    EXPECT_TRUE(eventually([&] { return output_is(0, fake_input_value(0)) && output_is(1, fake_input_value(1)); }));
    const DeviceStatus s = context->status();
    EXPECT_TRUE(s.running && s.driver_running && !s.on_virtual);
    EXPECT_EQ(s.input_type, uint32_t{sample_int16_lsb});
    EXPECT_EQ(s.latencies.output, 512u);
    EXPECT_TRUE(s.can_48000 && s.can_192000);
    EXPECT_NE(s.text.find("running"), std::string::npos);
    EXPECT_GT(a->cycles(), 0u);
}

TEST_F(AudioDeviceTest, ClampsChannelsAndMixesOneOutputChannel) {
    drivers_.attach("card", {.inputs = 2, .outputs = 3});
    auto a = make("A");
    DeviceSettings s = settings_for("card");
    s.input_l = 2;
    s.input_r = 5;   // beyond two inputs → channel 2
    s.output_l = 2;  // both sides on output 2: the device gets (L + R) / 2
    s.output_r = 2;
    std::string error;
    auto context = layer_.open_device(s, *a, error);
    ASSERT_TRUE(context) << error;
    ASSERT_TRUE(context->wait_running(5000));
    // Both sides carry input 2; their mix is input 2 again; outputs 1 and 3 stay silent.
    EXPECT_TRUE(eventually([&] { return output_is(1, fake_input_value(1)); }));
    EXPECT_TRUE(output_is(0, 0));
    EXPECT_TRUE(output_is(2, 0));
}

TEST_F(AudioDeviceTest, MonoMixAveragesTwoDifferentSides) {
    drivers_.attach("card", {.inputs = 2, .outputs = 1});
    auto a = make("A");
    DeviceSettings s = settings_for("card");
    s.output_l = 1;
    s.output_r = 7;  // one output channel: both sides land on it, mixed
    std::string error;
    auto context = layer_.open_device(s, *a, error);
    ASSERT_TRUE(context) << error;
    const int32_t mix = (fake_input_value(0) + fake_input_value(1)) / 2;
    EXPECT_TRUE(eventually([&] { return output_is(0, mix); }));
}

TEST_F(AudioDeviceTest, OneInputFeedsBothSides) {
    drivers_.attach("card", {.inputs = 1, .outputs = 2});
    auto a = make("A");
    DeviceSettings s = settings_for("card");
    s.input_r = 5;  // one input: right is channel 1 too
    std::string error;
    auto context = layer_.open_device(s, *a, error);
    ASSERT_TRUE(context) << error;
    EXPECT_TRUE(eventually([&] { return output_is(0, fake_input_value(0)) && output_is(1, fake_input_value(0)); }));
}

TEST_F(AudioDeviceTest, WatchdogRestartsADriverThatStopsCallingBack) {
    drivers_.attach("card");
    drivers_.hang_serial = 1;
    drivers_.hang_after = 20;
    auto a = make("A");
    std::string error;
    auto context = layer_.open_device(settings_for("card"), *a, error);
    ASSERT_TRUE(context) << error;
    // The first driver goes quiet after 20 blocks; the watchdog notices within a
    // second or two and starts a second one.
    ASSERT_TRUE(eventually([&] { return drivers_.created() >= 2; }));
    EXPECT_GE(context->status().restarts, 1u);
    const uint64_t cycles = a->cycles();
    EXPECT_TRUE(eventually([&] { return a->cycles() > cycles + 50; }));
    EXPECT_TRUE(context->status().driver_running);
    EXPECT_EQ(drivers_.created(), 2);  // once restarted it stays up
}

TEST_F(AudioDeviceTest, DriverWhoseStopNeverReturnsIsAbandonedAndReplaced) {
    using Clock = std::chrono::steady_clock;
    drivers_.attach("card");
    drivers_.hang_serial = 1;  // the first driver goes quiet after 20 blocks...
    drivers_.hang_after = 20;
    drivers_.stuck_stop_serial = 1;  // ...and its stop never returns
    auto a = make("A");
    std::string error;
    auto context = layer_.open_device(settings_for("card"), *a, error);
    ASSERT_TRUE(context) << error;
    ASSERT_TRUE(context->wait_running(5000));

    // The watchdog gives up on the stuck stop after two seconds and starts a new
    // driver; the instance passes the signal again.
    ASSERT_TRUE(eventually([&] { return drivers_.created() >= 2 && context->status().driver_running; }, 10.0));
    DeviceStatus s = context->status();
    EXPECT_EQ(s.abandoned_drivers, 1u);
    EXPECT_GE(s.restarts, 1u);
    const uint64_t cycles = a->cycles();
    EXPECT_TRUE(eventually([&] { return a->cycles() > cycles + 50; }));
    EXPECT_TRUE(eventually([&] { return output_is(0, fake_input_value(0)); }));
    EXPECT_EQ(drivers_.created(), 2);  // the replacement stays up

    // Its replacement gets stuck too when the context closes: closing still returns
    // (after the bounded wait) and stops the engine.
    drivers_.stuck_stop_serial = 2;
    drivers_.with_newest([](FakeDriver& d) { d.stuck_stop_ = true; });
    const auto closing = Clock::now();
    context.reset();
    EXPECT_LT(Clock::now() - closing, std::chrono::seconds(6));
    EXPECT_FALSE(a->engine_started());
}

TEST_F(AudioDeviceTest, ResetRequestsAndDeviceChangesRestart) {
    drivers_.attach("card");
    drivers_.attach("other");
    auto a = make("A");
    auto b = make("B");
    std::string error;
    auto ca = layer_.open_device(settings_for("card"), *a, error);
    auto cb = layer_.open_device(settings_for("other"), *b, error);
    ASSERT_TRUE(ca && cb) << error;
    ASSERT_TRUE(ca->wait_running(5000) && cb->wait_running(5000));
    ASSERT_EQ(drivers_.created(), 2);

    // The driver asks for a reset from its callback.
    drivers_.send_reset = true;
    EXPECT_TRUE(eventually([&] { return drivers_.created() == 3; }));

    // A device appeared on the machine: every context restarts.
    layer_.device_added();
    EXPECT_TRUE(eventually([&] { return drivers_.created() == 5; }));
    EXPECT_GE(drivers_.rescans_.load(), 1);
    EXPECT_TRUE(eventually([&] { return ca->status().driver_running && cb->status().driver_running; }));

    // During shutdown nothing restarts.
    layer_.begin_shutdown();
    layer_.device_added();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(drivers_.created(), 5);
}

TEST_F(AudioDeviceTest, PausedContextIsLeftAloneUntilResumed) {
    drivers_.attach("card");
    drivers_.hang_serial = 1;
    drivers_.hang_after = 5;
    auto a = make("A");
    std::string error;
    auto context = layer_.open_device(settings_for("card"), *a, error);
    ASSERT_TRUE(context) << error;
    context->pause();
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(drivers_.created(), 1);
    EXPECT_TRUE(context->status().paused);
    context->resume();
    EXPECT_TRUE(eventually([&] { return drivers_.created() == 2; }));
}

TEST_F(AudioDeviceTest, MissingDeviceRunsOnTheVirtualDeviceUntilItAppears) {
    auto a = make("A");
    std::string error;
    auto context = layer_.open_device(settings_for("card", 48000, 128), *a, error);
    ASSERT_TRUE(context) << error;  // not a refusal: it is retried
    DeviceStatus s = context->status();
    EXPECT_TRUE(s.running);
    EXPECT_TRUE(s.on_virtual);
    EXPECT_FALSE(s.driver_running);
    EXPECT_NE(s.text.find("virtual device"), std::string::npos) << s.text;
    EXPECT_NE(s.text.find("not attached"), std::string::npos) << s.text;
    // The instance keeps running on the virtual device at the configured rate and block.
    EXPECT_TRUE(a->engine_started());
    EXPECT_EQ(a->block_floats(), 256u);
    const uint64_t cycles = a->cycles();
    EXPECT_TRUE(eventually([&] { return a->cycles() > cycles + 10; }));

    drivers_.attach("card");
    ASSERT_TRUE(eventually([&] { return context->status().driver_running; }));
    s = context->status();
    EXPECT_FALSE(s.on_virtual);
    EXPECT_TRUE(s.last_error.empty());
    EXPECT_TRUE(eventually([&] { return output_is(0, fake_input_value(0)); }));
}

TEST_F(AudioDeviceTest, DeviceWithoutTheRateFallsBackToo) {
    drivers_.attach("card", {.can_192000 = false});
    auto a = make("A");
    std::string error;
    auto context = layer_.open_device(settings_for("card", 192000, 256), *a, error);
    ASSERT_TRUE(context) << error;
    const DeviceStatus s = context->status();
    EXPECT_TRUE(s.on_virtual);
    EXPECT_NE(s.last_error.find("192000"), std::string::npos);
    EXPECT_EQ(a->device_rate(), 192000u);  // the virtual device runs the configured rate
}

TEST_F(AudioDeviceTest, StopAndStartAgain) {
    drivers_.attach("card");
    auto a = make("A");
    std::string error;
    auto context = layer_.open_device(settings_for("card"), *a, error);
    ASSERT_TRUE(context) << error;
    ASSERT_TRUE(context->wait_running(5000));
    context->stop();
    EXPECT_FALSE(a->engine_started());
    EXPECT_FALSE(context->status().running);
    EXPECT_NE(context->status().text.find("stopped"), std::string::npos);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(drivers_.created(), 1);  // a stopped context is not supervised
    context->start();
    EXPECT_TRUE(context->wait_running(5000));
    EXPECT_EQ(drivers_.created(), 2);
}

TEST_F(AudioDeviceTest, SharedDeviceCarriesEachInstanceOnItsChannelPair) {
    drivers_.attach("multi", {.inputs = 4, .outputs = 6, .type = sample_float32_lsb});
    auto a = make("A");
    auto b = make("B");
    a->set_unlocked(true);
    b->set_unlocked(true);
    ASSERT_TRUE(b->set_channel_map({3, 4, 3, 4}));
    // Started elsewhere at another rate: attaching restarts it at the device's.
    ASSERT_TRUE(b->engine_start(192000, 2048));

    std::string error;
    auto shared = layer_.open_shared(settings_for("multi", 48000, 128), error);
    ASSERT_TRUE(shared) << error;
    ASSERT_TRUE(shared->wait_running(5000));
    ASSERT_TRUE(shared->attach(*a));
    ASSERT_TRUE(shared->attach(*b));
    EXPECT_TRUE(shared->attached(*b));
    EXPECT_EQ(b->device_rate(), 48000u);
    EXPECT_EQ(b->block_floats(), 256u);

    EXPECT_TRUE(eventually([&] {
        return output_is(0, fake_input_value(0)) && output_is(1, fake_input_value(1)) &&
               output_is(2, fake_input_value(2)) && output_is(3, fake_input_value(3));
    }));
    EXPECT_TRUE(output_is(4, 0));
    EXPECT_TRUE(output_is(5, 0));

    // B moves its output to channels 5 and 6 (its left input to 1).
    ASSERT_TRUE(b->set_channel_map({1, 4, 5, 6}));
    shared->update_channels(*b);
    EXPECT_TRUE(eventually([&] {
        return output_is(4, fake_input_value(0)) && output_is(5, fake_input_value(3)) &&
               output_is(2, 0) && output_is(3, 0);
    }));

    // A detached instance's engine stops; the other goes on.
    shared->detach(*a);
    EXPECT_FALSE(a->engine_started());
    EXPECT_FALSE(shared->attached(*a));
    EXPECT_TRUE(eventually([&] { return output_is(0, 0) && output_is(1, 0); }));
    const uint64_t cycles = b->cycles();
    EXPECT_TRUE(eventually([&] { return b->cycles() > cycles + 10; }));
}

TEST_F(AudioDeviceTest, SharedDeviceMissingPutsEveryInstanceOnTheVirtualDevice) {
    auto a = make("A");
    auto b = make("B");
    std::string error;
    auto shared = layer_.open_shared(settings_for("multi"), error);
    ASSERT_TRUE(shared) << error;
    ASSERT_TRUE(shared->attach(*a));
    ASSERT_TRUE(shared->attach(*b));
    EXPECT_TRUE(shared->status().on_virtual);
    EXPECT_TRUE(a->engine_started());
    EXPECT_TRUE(b->engine_started());
    drivers_.attach("multi", {.inputs = 4, .outputs = 4});
    EXPECT_TRUE(eventually([&] { return shared->status().driver_running; }));
    // Both use channels 1 and 2 (the default pair): the same input reaches both.
    EXPECT_TRUE(eventually([&] { return output_is(0, fake_input_value(0)); }));
    shared.reset();
    EXPECT_FALSE(a->engine_started());
    EXPECT_FALSE(b->engine_started());
}

}  // namespace
}  // namespace torvalen
