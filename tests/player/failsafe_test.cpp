// The failsafe end to end: a whole instance of the standard module set on the
// virtual device. The programme input falls silent, the processor's silence
// detector starts the player (mode 3) from the first playlist entry and plays it in
// place of the input; the input returns, the player stops and its decks are emptied
// and loaded afresh.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/standard_modules.h"
#include "dsp/chain_processor.h"
#include "engine/instance.h"
#include "engine/settings_store.h"
#include "engine/virtual_device.h"
#include "engine/wav_file.h"
#include "nowplaying/now_playing.h"
#include "player/player.h"
#include "tests/support/temp_dir.h"

namespace torvalen::player {
namespace {

using torvalen::testing::TempDir;
namespace fs = std::filesystem;

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

uint32_t control(dsp::ChainProcessor& p, std::string_view page, std::string_view group, std::string_view label) {
    for (const auto& pg : p.controls().tree().pages)
        if (pg.label == page)
            for (const auto& g : pg.groups)
                if (g.label == group)
                    for (const auto& c : g.controls)
                        if (c.label == label) return c.index;
    ADD_FAILURE() << "no control " << label;
    return 0;
}

// Rising zero crossings per second of the left channel over [from, to) seconds.
double frequency(const std::vector<float>& s, double from, double to) {
    int crossings = 0;
    const size_t a = static_cast<size_t>(from * 48000), b = static_cast<size_t>(to * 48000);
    for (size_t i = a + 1; i < b && 2 * i < s.size(); ++i) crossings += s[2 * (i - 1)] < 0 && s[2 * i] >= 0;
    return crossings / (to - from);
}

TEST(Failsafe, SilentInputStartsThePlayerFromTheFirstEntryAndReturningInputClearsIt) {
    TempDir dir("torvalen-failsafe");
    const fs::path first = dir / "first.wav", second = dir / "second.wav", input = dir / "input.wav",
                   output = dir / "output.wav";
    // Programme: 2 s of tone, 2 s of silence, 2 s of tone again.
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 16 " + q(dir / "tone.wav") + " synth 2 sine 1000 gain -10"));
    ASSERT_TRUE(run("sox " + q(dir / "tone.wav") + " " + q(input) + " pad 0 2 repeat 1 trim 0 6"));
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 16 " + q(first) + " synth 8 sine 400 gain -10"));
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 16 " + q(second) + " synth 8 sine 2500 gain -10"));

    std::string error;
    auto store = SettingsStore::open(dir / "settings.db", error);
    ASSERT_TRUE(store) << error;
    StandardModules modules({dir / "data", true});
    auto instance = Instance::create(*store->root().create("Instances"), "FM1", modules, error);
    ASSERT_TRUE(instance) << error;
    instance->set_unlocked(true);
    auto* player = dynamic_cast<Player*>(instance->player());
    auto* processor = dynamic_cast<dsp::ChainProcessor*>(instance->processor());
    auto* now_playing = dynamic_cast<nowplaying::NowPlaying*>(instance->now_playing());
    ASSERT_TRUE(player && processor && now_playing);
    // Now Playing takes the player's titles while it runs.
    ASSERT_TRUE(now_playing->start());
    ASSERT_TRUE(processor->set_value(control(*processor, "Input", "Failsafe", "Off\nOn\n"), 1.0f));

    ASSERT_TRUE(player->set_mode(mode_failsafe_repeating));
    ASSERT_TRUE(player->lists().add_file(first.string()).done);
    ASSERT_TRUE(player->lists().add_file(second.string()).done);
    player->load();
    auto cued = [&] {
        uint32_t n = 0;
        for (uint32_t i = 0; i < deck_count; ++i) n += player->deck(i).state() == deck_cued;
        return n;
    };
    for (int i = 0; i < 1000 && cued() < deck_count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(cued(), deck_count);

    // Per block: was the player on, which deck played what.
    struct Seen {
        bool play = false, failsafe_flag = false;
        std::string playing;
    };
    std::vector<Seen> seen;
    VirtualDeviceConfig config;
    config.frame_size = 480;
    config.input = input;
    config.output = output;
    config.freewheel = true;
    config.after_block = [&] {
        Seen s{player->play_on(), now_playing->failsafe(), {}};
        for (uint32_t i = 0; i < deck_count; ++i)
            if (player->deck(i).state() == deck_playing) s.playing = player->deck(i).view().title;
        seen.push_back(std::move(s));
        std::this_thread::sleep_for(std::chrono::microseconds(300));  // the deck threads keep up
    };
    auto device = VirtualDevice::open(config, error);
    ASSERT_TRUE(device) << error;
    ASSERT_TRUE(device->start(*instance, error)) << error;
    device->wait_finished();
    device->stop();
    ASSERT_TRUE(device->close_output());

    ASSERT_EQ(seen.size(), 600u);  // 6 s in blocks of 10 ms
    auto at = [&](double s) { return seen[static_cast<size_t>(s * 100)]; };
    EXPECT_FALSE(at(1.5).play);  // programme present: the player is silent
    EXPECT_TRUE(at(1.5).playing.empty());
    // Silence: within half a second the player runs, from the first entry.
    EXPECT_TRUE(at(2.6).play);
    EXPECT_TRUE(at(2.6).failsafe_flag);
    EXPECT_EQ(at(2.6).playing, "first.wav");
    EXPECT_EQ(at(3.9).playing, "first.wav");
    // The programme returns: stopped at once.
    EXPECT_FALSE(at(4.2).play);
    EXPECT_FALSE(at(4.2).failsafe_flag);

    // The output carried the player's 400 Hz in place of the silent input.
    auto reader = WavReader::open(output, error);
    ASSERT_TRUE(reader) << error;
    std::vector<float> out(2 * reader->frames());
    reader->read(out);
    EXPECT_NEAR(frequency(out, 1.0, 1.8), 1000, 15);
    EXPECT_NEAR(frequency(out, 2.8, 3.8), 400, 15);
    EXPECT_NEAR(frequency(out, 4.5, 5.5), 1000, 15);

    // The decks were emptied and load afresh: the first entry again, from its start.
    auto fresh = [&] {
        const auto order = player->deck_order();
        const DeckView v = player->deck(order[0]).view();
        return v.state == deck_cued && v.title == "first.wav" && v.played == v.lead_in;
    };
    bool ok = false;
    for (int i = 0; i < 1000 && !(ok = fresh()); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(ok);
    EXPECT_FALSE(player->play_on());
    // The item that went live during the failsafe named itself to Now Playing
    // (the files carry no tags).
    EXPECT_EQ(now_playing->current().text, "Unknown Artist - Unknown Title");
    Instance::destroy(std::move(instance), false);
}

}  // namespace
}  // namespace torvalen::player
