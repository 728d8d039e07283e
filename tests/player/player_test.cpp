// The player's decks against real files made by sox: the mixing pass with its
// lead-in, audible end and overlapping transition, items that cannot be played or
// disappear while cued, and the playlist kept on disk after each change.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/settings_store.h"
#include "player/player.h"
#include "tests/support/temp_dir.h"

namespace torvalen::player {
namespace {

using torvalen::testing::TempDir;
namespace fs = std::filesystem;

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

constexpr double full_scale = 2147483648.0;
constexpr size_t block = 960;  // floats: 10 ms at 48 kHz

struct Fixture {
    TempDir dir{"torvalen-player"};
    std::unique_ptr<SettingsStore> store;
    SettingsKey instance;
    fs::path folder = dir / "data";

    Fixture() {
        std::string error;
        store = SettingsStore::open(dir / "settings.db", error);
        instance = *store->root().create("FM1");
    }
    std::unique_ptr<Player> open() {
        uint32_t error = 0;
        auto p = Player::create(instance, error, {folder, "FM1", nullptr});
        EXPECT_EQ(error, 0u);
        return p;
    }
};

// Waits (up to 20 s) until `ready` holds.
template <typename F>
bool eventually(F ready) {
    for (int i = 0; i < 2000; ++i) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

uint32_t count_in(Player& p, uint32_t state) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < deck_count; ++i) n += p.deck(i).state() == state;
    return n;
}

double rms(const std::vector<float>& s, int channel, size_t from_frame, size_t frames) {
    double sum = 0;
    for (size_t i = from_frame; i < from_frame + frames; ++i) {
        const double v = s[2 * i + channel] / full_scale;
        sum += v * v;
    }
    return std::sqrt(sum / frames);
}

// Tone frequency of the left channel over half a second from `from_frame`.
double frequency(const std::vector<float>& s, size_t from_frame) {
    int crossings = 0;
    for (size_t i = from_frame + 1; i < from_frame + 24000; ++i)
        crossings += s[2 * (i - 1)] < 0 && s[2 * i] >= 0;
    return crossings * 2.0;
}

TEST(Player, DecksMixWithLeadInAudibleEndAndOverlap) {
    Fixture f;
    // A: 0.5 s of silence, 3 s of a loud tone in both channels, then 2 s of a tone
    // at -50 dB in the right channel only (below the -40 dB audible end).
    // B: a loud tone in the left channel only.
    const fs::path a = f.dir / "a.wav", b = f.dir / "b.wav";
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 24 " + q(f.dir / "a1.wav") + " synth 3 sine 1000 gain -6 pad 0.5 0"));
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 24 " + q(f.dir / "a2.wav") + " synth 2 sine 1000 gain -47 remix 0 1"));
    ASSERT_TRUE(run("sox " + q(f.dir / "a1.wav") + " " + q(f.dir / "a2.wav") + " -b 24 -t wavpcm " + q(a)));
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 16 " + q(b) + " synth 3 sine 500 gain -6 remix 1 0"));

    auto p = f.open();
    ASSERT_TRUE(p->lists().add_file(a.string()).done);
    ASSERT_TRUE(p->lists().add_file(b.string()).done);
    p->load();
    ASSERT_TRUE(eventually([&] { return count_in(*p, deck_cued) == 2; })) << p->deck(0).state() << p->deck(1).state() << p->deck(2).state() << p->lists().playlist().size() << p->status_text();
    EXPECT_TRUE(p->lists().playlist().empty());  // mode 0 takes the entries

    std::vector<float> out;
    std::vector<float> buf(block);
    size_t transition = 0;  // frame at which B started
    for (size_t n = 0; n < 800; ++n) {  // 8 s
        p->mix(buf);
        out.insert(out.end(), buf.begin(), buf.end());
        if (!transition && count_in(*p, deck_overlap) == 1) transition = out.size() / 2;
    }
    // The lead-in is skipped: sound from the very first frame.
    EXPECT_GT(std::fabs(out[0]) + std::fabs(out[2]) + std::fabs(out[4]), 1e6);
    // A reaches its audible end after its 3 loud seconds (within a block).
    EXPECT_NEAR(static_cast<double>(transition), 3.0 * 48000, 600);
    // B's tone starts in the block right after, alone in the left channel, at full level.
    const size_t t = transition;
    EXPECT_NEAR(rms(out, 0, t + 960, 4800), 0.5 * std::sqrt(0.5), 0.01);
    // A's tail decays underneath in the right channel: exp(-t / 65536 frames).
    const double early = rms(out, 1, t + 960, 9600), late = rms(out, 1, t + 960 + 48000, 9600);
    EXPECT_GT(early, 0.5 * std::pow(10.0, -47 / 20.0) * std::sqrt(0.5));
    EXPECT_NEAR(late / early, std::exp(-48000.0 / 65536.0), 0.02);
    // After its 2 s tail ran out, A's deck ended and was recycled; B ended after 3 s.
    EXPECT_LT(rms(out, 1, t + 2 * 48000 + 2400, 4800), 1e-4);  // only dither left
    EXPECT_LT(rms(out, 0, t + 3 * 48000 + 2400, 4800), 1e-4);  // only dither left
    EXPECT_TRUE(eventually([&] { return count_in(*p, deck_empty) == deck_count; }));
}

TEST(Player, BadTruncatedAndDeletedItemsEndWhileTheOthersPlay) {
    Fixture f;
    const fs::path good = f.dir / "good.wav", bad = f.dir / "bad.mp3", cut = f.dir / "cut.wav",
                   gone = f.dir / "gone.wav";
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 16 " + q(good) + " synth 2 sine 700 gain -6"));
    ASSERT_TRUE(run("head -c 20000 /dev/urandom > " + q(bad)));
    ASSERT_TRUE(run("sox -n -r 44100 -c 2 -b 16 " + q(cut) + " synth 20 sine 300 gain -6"));
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 16 " + q(gone) + " synth 2 sine 900 gain -6"));

    auto p = f.open();
    ASSERT_TRUE(p->set_mode(mode_repeating));
    for (const auto& file : {good, bad, cut, gone}) ASSERT_TRUE(p->lists().add_file(file.string()).done);
    p->load();
    // The bad file is skipped with a status line; after the retry the others are cued.
    ASSERT_TRUE(eventually([&] { return count_in(*p, deck_cued) >= 3; }));
    EXPECT_NE(p->status_text().find("bad.mp3"), std::string::npos) << p->status_text();
    // Now the long file is cut to a second and the last one deleted while both are cued.
    ASSERT_EQ(::truncate(cut.c_str(), 44 + 44100 * 4), 0);
    fs::remove(gone);

    std::vector<float> out, buf(block);
    for (size_t n = 0; n < 1600; ++n) {  // 16 s of audio, paced so the decks can refill
        p->mix(buf);
        out.insert(out.end(), buf.begin(), buf.end());
        if (n % 10 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    // Good (2 s), the cut item (about 9 s from its ring, ended early instead of
    // 20 s) and the deleted one (2 s from its ring) each played; then the list
    // loops again.
    size_t loud = 0;
    for (size_t i = 0; i < 13 * 48000; ++i) loud += std::fabs(out[2 * i]) > 0.05 * full_scale;
    EXPECT_GT(loud, 12 * 48000 * 0.9);
    EXPECT_NEAR(frequency(out, 1 * 48000), 700, 10);
    EXPECT_NEAR(frequency(out, 6 * 48000), 300, 10);
    EXPECT_NEAR(frequency(out, 12 * 48000 + 24000), 900, 10);  // not 20 s of the cut one
    // The deck that held the cut file is playing something else now.
    EXPECT_GE(count_in(*p, deck_cued) + count_in(*p, deck_playing), 1u);
}

TEST(Player, PlaylistAndModeAreStoredOnEveryChange) {
    Fixture f;
    const fs::path one = f.dir / "one.wav", two = f.dir / "two.wav";
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 16 " + q(one) + " synth 1 sine 700"));
    ASSERT_TRUE(run("sox -n -r 48000 -c 2 -b 16 " + q(two) + " synth 1 sine 900"));
    auto p = f.open();
    ASSERT_TRUE(p->set_mode(mode_failsafe_repeating));
    ASSERT_TRUE(p->lists().add_file(one.string()).done);
    ASSERT_TRUE(p->lists().add_file(two.string()).done);
    ASSERT_TRUE(p->lists().move_entry(1, 0));
    EXPECT_FALSE(p->press_play());  // ignored in the failsafe modes
    EXPECT_FALSE(p->set_mode(mode_rotation));  // no rotation exists
    // A second player over the same store and folder, while the first still runs
    // (nothing was saved by a destruction), sees the change.
    Fixture* same = &f;
    uint32_t error = 0;
    auto second = Player::create(same->instance, error, {f.folder, "FM1", nullptr});
    ASSERT_TRUE(second);
    const auto list = second->lists().playlist();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].path, two.string());
    EXPECT_EQ(second->mode(), mode_failsafe_repeating);
    EXPECT_FALSE(second->play_on());

    // A failsafe episode turns the player on; closed during it, the player does not
    // start playing by itself at the next start.
    p->failsafe_start();
    EXPECT_TRUE(p->play_on());
    second.reset();
    p.reset();
    auto third = f.open();
    EXPECT_EQ(third->mode(), mode_failsafe_repeating);
    EXPECT_FALSE(third->play_on());
    EXPECT_EQ(third->lists().playlist().size(), 2u);
}

}  // namespace
}  // namespace torvalen::player
