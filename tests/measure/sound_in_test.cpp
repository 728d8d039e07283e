// Sound In meters bus 0 at either device rate and never touches it.
#include "measure/sound_in.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/settings_store.h"
#include "tests/support/temp_dir.h"

namespace torvalen::measure {
namespace {

struct Fixture {
    torvalen::testing::TempDir dir{"torvalen-soundin"};
    std::unique_ptr<SettingsStore> store;
    SettingsKey instance;
    std::unique_ptr<SoundIn> module;
    Fixture() {
        std::string error;
        store = SettingsStore::open(dir / "settings.db", error);
        instance = *store->root().create("Studio");
        uint32_t word = 0;
        module = SoundIn::create(instance, word);
    }
};

// A sine of `amplitude` (full scale 1) at `f_Hz` on the left channel, silence right.
std::vector<float> tone(uint32_t rate_Hz, double f_Hz, double amplitude, uint32_t frames, uint64_t& n) {
    std::vector<float> bus(2 * frames, 0.0f);
    for (uint32_t i = 0; i < frames; ++i, ++n)
        bus[2 * i] = static_cast<float>(amplitude * 2147483648.0 * std::sin(2 * M_PI * f_Hz * n / rate_Hz));
    return bus;
}

TEST(SoundIn, MetersAToneAtBothRatesAndLeavesBusZeroAlone) {
    for (uint32_t rate : {48000u, 192000u}) {
        Fixture f;
        ASSERT_TRUE(f.module);
        EXPECT_TRUE(f.instance.open(sound_in_key_name));
        uint64_t n = 0;
        SoundInMeters m{};
        for (int block = 0; block < 400; ++block) {
            const auto bus = tone(rate, 997.0, 0.5, rate / 100, n);
            const auto copy = bus;
            f.module->measure(bus, rate, block % 4 == 3);
            ASSERT_EQ(bus, copy);
        }
        ASSERT_TRUE(f.module->take_meters(m));
        EXPECT_NEAR(m[0], -6.02, 0.1) << rate;        // true peak L
        EXPECT_NEAR(m[4], -6.02 - 3.01, 0.3) << rate;  // RMS L of a sine
        EXPECT_LT(m[1], -150.0f) << rate;              // silent right channel
    }
}

TEST(SoundIn, PublishesOnlyOnATickAndSurvivesBadSamples) {
    Fixture f;
    std::vector<float> bus(512, 1e8f);
    bus[10] = std::numeric_limits<float>::quiet_NaN();
    bus[11] = std::numeric_limits<float>::infinity();
    SoundInMeters m{};
    f.module->measure(bus, 48000, false);
    EXPECT_FALSE(f.module->take_meters(m));
    f.module->measure(bus, 48000, true);
    ASSERT_TRUE(f.module->take_meters(m));
    for (float v : m) EXPECT_TRUE(std::isfinite(v));
    // An unsupported rate measures nothing: the next tick reads the floor.
    f.module->measure(bus, 44100, true);
    ASSERT_TRUE(f.module->take_meters(m));
    EXPECT_LT(m[0], -180.0f);
}

}  // namespace
}  // namespace torvalen::measure
