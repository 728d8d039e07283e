#include "engine/instance.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/settings_store.h"
#include "engine/realtime.h"
#include "engine/virtual_device.h"
#include "engine/wav_file.h"
#include "tests/engine/fake_modules.h"
#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

using testing::FakeFactory;

class InstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        dir_ = temp_.path();
        std::string error;
        store_ = SettingsStore::open(dir_ / "settings.db", error);
        ASSERT_TRUE(store_) << error;
        root_ = *store_->root().create("Instances");
    }
    void TearDown() override { store_.reset(); }
    std::unique_ptr<Instance> make(const char* name = "Studio") {
        std::string error;
        auto instance = Instance::create(root_, name, factory_, error);
        EXPECT_TRUE(instance) << error;
        return instance;
    }
    // Runs `blocks` blocks of silence through the engine as fast as it goes.
    void run_blocks(Instance& instance, uint32_t rate, uint32_t frames, uint64_t blocks) {
        VirtualDeviceConfig config;
        config.sample_rate_Hz = rate;
        config.frame_size = frames;
        config.freewheel = true;
        config.length_frames = blocks * frames;
        std::string error;
        auto device = VirtualDevice::open(config, error);
        ASSERT_TRUE(device) << error;
        ASSERT_TRUE(device->start(instance, error)) << error;
        device->wait_finished();
        device->stop();
    }

    testing::TempDir temp_{"torvalen-instance"};
    std::filesystem::path dir_;
    std::unique_ptr<SettingsStore> store_;
    SettingsKey root_;
    FakeFactory factory_;
};

TEST_F(InstanceTest, BusSizesFollowDeviceRateAndBlock) {
    auto instance = make();
    ASSERT_TRUE(instance->engine_start(48000, 512));  // F = 256
    const Buses& b = instance->buses();
    EXPECT_EQ(b.count[0], 512u);
    EXPECT_EQ(b.count[1], 512u);
    EXPECT_EQ(b.count[2], 2048u);
    EXPECT_EQ(b.count[3], 2048u);
    EXPECT_EQ(b.count[4], 512u);
    EXPECT_EQ(b.count[5], 512u);
    EXPECT_EQ(b.rate[1], 48000u);
    EXPECT_EQ(b.rate[2], 192000u);
    for (unsigned i = 0; i < bus_count; ++i)
        for (uint32_t k = 0; k < b.count[i]; ++k) ASSERT_EQ(b.data[i][k], 0.0f);
    instance->engine_stop();
    EXPECT_FALSE(instance->engine_started());
    EXPECT_EQ(instance->buses().count[0], 0u);

    ASSERT_TRUE(instance->engine_start(192000, 2048));  // F = 1024
    const Buses& c = instance->buses();
    for (unsigned i : {0u, 2u, 3u, 5u}) EXPECT_EQ(c.count[i], 2048u) << "bus " << i;
    for (unsigned i : {1u, 4u}) EXPECT_EQ(c.count[i], 512u) << "bus " << i;
    instance->engine_stop();
}

TEST_F(InstanceTest, EngineStartRefusesWhatNoDeviceCanDeliver) {
    auto instance = make();
    EXPECT_FALSE(instance->engine_start(44100, 512));
    EXPECT_FALSE(instance->engine_start(48000, 0));
    EXPECT_FALSE(instance->engine_start(192000, 2044));  // F = 1022: not whole 48 kHz frames
    EXPECT_FALSE(instance->engine_start(48000, 511));    // half a frame
    EXPECT_FALSE(instance->engine_started());
    EXPECT_TRUE(instance->engine_start(192000, 512));    // F = 256
    instance->engine_stop();
    instance->engine_stop();  // stopping a stopped engine only hand-shakes
}

TEST_F(InstanceTest, MissingProducersLeaveTheirBusAtRateZero) {
    factory_.with_stl_rx = false;
    factory_.with_player = false;
    auto instance = make();
    ASSERT_TRUE(instance->engine_start(48000, 512));
    EXPECT_EQ(instance->buses().rate[2], 0u);
    EXPECT_EQ(instance->buses().count[2], 512u);
    EXPECT_EQ(instance->buses().rate[1], 0u);
    instance->engine_stop();
    ASSERT_TRUE(instance->engine_start(192000, 2048));
    EXPECT_EQ(instance->buses().count[2], 512u);
    instance->engine_stop();
}

TEST_F(InstanceTest, CycleCallsModulesInOrderAndSkipsEmptySlots) {
    auto instance = make();
    run_blocks(*instance, 48000, 256, 3);
    // Sound In, STL RX, Player, generator, processor, Sound Out, Stream TX, Analyser, STL TX.
    EXPECT_EQ(factory_.log.text(), "IRPGXOSAT" "IRPGXOSAT" "IRPGXOSAT");
    instance.reset();

    FakeFactory sparse;
    sparse.with_player = false;
    sparse.with_stl_rx = false;
    sparse.with_processor = false;
    std::string error;
    auto other = Instance::create(root_, "Sparse", sparse, error);
    ASSERT_TRUE(other) << error;
    run_blocks(*other, 48000, 256, 2);
    EXPECT_EQ(sparse.log.text(), "IGOSAT" "IGOSAT");
}

TEST_F(InstanceTest, PlayerOffZeroFillsItsBus) {
    auto instance = make();
    factory_.last_player->play = false;
    factory_.processor_input = bus_player;
    instance->change_processor_type(processor_one);  // refused: still locked
    instance->set_unlocked(true);
    ASSERT_TRUE(instance->change_processor_type(processor_one));
    ASSERT_TRUE(instance->engine_start(48000, 64));
    std::fill(instance->buses().data[1], instance->buses().data[1] + 64, 5.0f);
    instance->signal_block_ready();
    instance->wait_cycle_done();
    for (uint32_t i = 0; i < 64; ++i) ASSERT_EQ(instance->buses().data[1][i], 0.0f);
    instance->engine_stop();
}

// Audio travels bus 0 -> processor -> bus 4 -> Sound Out -> bus 5 -> device, and the
// freewheel device lines the output up with the input.
TEST_F(InstanceTest, FreewheelRenderReproducesTheInputThroughTheChain) {
    for (uint32_t rate : {48000u, 192000u}) {
        const auto in_path = dir_ / "in.wav";
        const auto out_path = dir_ / "out.wav";
        const uint32_t frames = 48000 / 10 + 37;  // not a whole number of blocks
        {
            std::string error;
            auto writer = WavWriter::create(in_path, rate, error);
            ASSERT_TRUE(writer) << error;
            std::vector<float> samples(2 * frames);
            for (uint32_t i = 0; i < frames; ++i) {
                samples[2 * i] = static_cast<float>(i % 1000) * 1000.0f;
                samples[2 * i + 1] = -static_cast<float>(i % 777) * 1000.0f;
            }
            ASSERT_TRUE(writer->write(samples));
        }
        auto instance = make(rate == 48000 ? "A" : "B");
        VirtualDeviceConfig config;
        config.sample_rate_Hz = rate;
        config.frame_size = 256;
        config.freewheel = true;
        config.input = in_path;
        config.output = out_path;
        std::string error;
        auto device = VirtualDevice::open(config, error);
        ASSERT_TRUE(device) << error;
        ASSERT_TRUE(device->start(*instance, error)) << error;
        device->wait_finished();
        device->stop();
        ASSERT_TRUE(device->close_output());

        auto original = WavReader::open(in_path, error);
        auto rendered = WavReader::open(out_path, error);
        ASSERT_TRUE(original && rendered) << error;
        ASSERT_EQ(rendered->frames(), frames);
        std::vector<float> a(2 * frames), b(2 * frames);
        ASSERT_EQ(original->read(a), frames);
        ASSERT_EQ(rendered->read(b), frames);
        if (rate == 48000) {
            EXPECT_EQ(a, b);
        } else {
            // At 192 kHz the fake chain keeps every fourth frame and repeats it.
            for (uint32_t i = 0; i + 4 <= frames; ++i) ASSERT_EQ(b[2 * i], a[2 * (i - i % 4)]) << i;
        }
    }
}

TEST_F(InstanceTest, MeterTickEveryFortyMilliseconds) {
    auto instance = make();
    run_blocks(*instance, 48000, 480, 12);  // 10 ms blocks
    ASSERT_EQ(factory_.log.tick_count.load(), 12u);
    for (size_t i = 0; i < 12; ++i) EXPECT_EQ(factory_.log.ticks[i], (i % 4) == 3) << "block " << i;

    FakeFactory slow;
    std::string error;
    auto other = Instance::create(root_, "Fifty", slow, error);
    ASSERT_TRUE(other);
    run_blocks(*other, 192000, 9600, 5);  // 50 ms blocks at 192 kHz
    ASSERT_EQ(slow.log.tick_count.load(), 5u);
    for (size_t i = 0; i < 5; ++i) EXPECT_TRUE(slow.log.ticks[i]);
}

TEST_F(InstanceTest, CpuLoadIsReportedEveryFiftyTicksAndNeverAboveOne) {
    factory_.processor_spin = std::chrono::microseconds(2000);
    auto instance = make();
    EXPECT_EQ(instance->cpu_load(), 0.0f);
    run_blocks(*instance, 48000, 2400, 49);  // 50 ms blocks: a tick each
    EXPECT_EQ(instance->cpu_load(), 0.0f);   // no report yet
    run_blocks(*instance, 48000, 2400, 51);
    // The engine was busy for nearly the whole second window (freewheel).
    EXPECT_GT(instance->cpu_load(), 0.3f);
    EXPECT_LE(instance->cpu_load(), 1.0f);
}

// A device that signals a block while the engine is still in the previous cycle
// counts an overrun for that instance; a block after a finished cycle does not.
TEST_F(InstanceTest, ABlockThatFindsTheEngineBusyCountsAsAnOverrun) {
    // Long enough that a busy machine cannot delay the second block past the first cycle.
    factory_.processor_spin = std::chrono::microseconds(1000000);
    auto instance = make();
    ASSERT_TRUE(instance->engine_start(48000, 512));
    auto wait_cycles = [&](uint64_t n) {
        for (int i = 0; i < 5000 && instance->cycles() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return instance->cycles() >= n;
    };
    instance->signal_block_ready();
    for (int i = 0; i < 5000 && factory_.log.text().find('X') == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    instance->signal_block_ready();  // the first cycle's processor is still spinning
    EXPECT_EQ(instance->overruns(), 1u);
    ASSERT_TRUE(wait_cycles(2));
    instance->signal_block_ready();
    ASSERT_TRUE(wait_cycles(3));
    EXPECT_EQ(instance->overruns(), 1u);
    instance->engine_stop();
}

TEST_F(InstanceTest, StoredValuesLoadWithDefaultsAndReplacements) {
    {
        auto key = *root_.create("Odd");
        key.write_dword_in("ProcType", 7);
        key.write_dword_in("Index", 9);
    }
    auto odd = make("Odd");
    EXPECT_EQ(odd->processor_type(), processor_one);
    EXPECT_EQ(odd->page_index(), processor_page);
    EXPECT_EQ(odd->channel_map(), ChannelMap{});
    odd.reset();  // saves
    uint64_t mask = 0;
    ASSERT_TRUE(root_.open("Odd")->open("Affinity")->read_qword("AffinityMain", mask));
    EXPECT_EQ(mask, ~0ull);
    uint32_t type = 99;
    ASSERT_TRUE(root_.open("Odd")->read_dword_in("ProcType", type));
    EXPECT_EQ(type, 1u);

    {
        auto key = *root_.create("Five");
        key.write_dword_in("ProcType", 0);
        key.write_dword_in("Index", 6);
        ChannelMap map{3, 4, 5, 6};
        map.save(key);
    }
    auto five = make("Five");
    EXPECT_EQ(five->processor_type(), processor_five);
    EXPECT_EQ(five->page_index(), 6u);
    EXPECT_EQ(five->channel_map(), (ChannelMap{3, 4, 5, 6}));
}

TEST_F(InstanceTest, SettingsChangesAreWrittenAtOnceAndRefusedWhileLocked) {
    auto instance = make();
    EXPECT_FALSE(instance->set_channel_map({2, 1, 2, 1}));  // locked
    EXPECT_FALSE(instance->change_processor_type(processor_five));
    instance->set_unlocked(true);
    ASSERT_TRUE(instance->set_channel_map({2, 1, 2, 1}));
    EXPECT_FALSE(instance->set_channel_map({0, 1, 2, 1}));
    ASSERT_TRUE(instance->select_page(5));
    EXPECT_FALSE(instance->select_page(8));
    ASSERT_TRUE(instance->change_processor_type(processor_five));

    // Read back through the store while the instance still lives: nothing waits for destruction.
    auto key = *root_.open("Studio");
    uint32_t v = 0;
    ASSERT_TRUE(key.read_dword_in("Index", v));
    EXPECT_EQ(v, 5u);
    ASSERT_TRUE(key.read_dword_in("ProcType", v));
    EXPECT_EQ(v, 0u);
    ASSERT_TRUE(key.open("ASIOSingle")->read_dword("L_In", v));
    EXPECT_EQ(v, 2u);
}

TEST_F(InstanceTest, ProcessorTypeChangeRecreatesEvenTheSameTypeWhileRunning) {
    auto instance = make();
    instance->set_unlocked(true);
    VirtualDeviceConfig config;
    config.frame_size = 64;
    std::string error;
    auto device = VirtualDevice::open(config, error);
    ASSERT_TRUE(device->start(*instance, error)) << error;
    EXPECT_EQ(factory_.processors_created, 1);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(instance->change_processor_type(i % 3 ? processor_one : processor_five));
    }
    EXPECT_EQ(factory_.processors_created, 21);
    EXPECT_EQ(instance->processor_latency_samples(), 12345u);
    // floor(100000 * 12345 / 48000) = 25718 hundredths of a millisecond.
    EXPECT_EQ(instance->processor_latency_text(), "257.18 ms");
    const uint64_t before = instance->cycles();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_GT(instance->cycles(), before);  // the engine kept running
    device->stop();
}

TEST_F(InstanceTest, AffinityIsAppliedToTheEngineThread) {
    auto instance = make();
    instance->set_unlocked(true);
    const uint64_t allowed = process_affinity();
    const uint64_t first = allowed & (~allowed + 1);  // lowest usable CPU
    ASSERT_TRUE(instance->set_affinity(first));
    EXPECT_EQ(instance->affinity(), first);
    EXPECT_FALSE(instance->set_affinity(0));
    ASSERT_TRUE(instance->set_affinity(allowed));
    EXPECT_EQ(instance->affinity(), allowed);
}

TEST_F(InstanceTest, FailedCreationKeepsTheSettingsAndDestroyWithDeleteRemovesThem) {
    root_.create("Broken")->write_dword("Keep", 1);
    factory_.fail_analyser = true;
    std::string error;
    EXPECT_FALSE(Instance::create(root_, "Broken", factory_, error));
    EXPECT_FALSE(error.empty());
    uint32_t v = 0;
    EXPECT_TRUE(root_.open("Broken")->read_dword("Keep", v));

    factory_.fail_analyser = false;
    auto instance = make("Gone");
    ASSERT_TRUE(root_.open("Gone"));
    Instance::destroy(std::move(instance), true);
    EXPECT_FALSE(root_.open("Gone"));
}

TEST_F(InstanceTest, ThousandStartStopCyclesOfARunningDevice) {
    auto instance = make();
    VirtualDeviceConfig config;
    config.frame_size = 32;  // 0.67 ms blocks
    std::string error;
    auto device = VirtualDevice::open(config, error);
    ASSERT_TRUE(device) << error;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(device->start(*instance, error)) << error;
        if (i % 100 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(3));
        device->stop();
        ASSERT_FALSE(instance->engine_started());
    }
    EXPECT_GT(instance->cycles(), 0u);
}

}  // namespace
}  // namespace torvalen
