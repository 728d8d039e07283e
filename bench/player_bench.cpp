// The player's mixing pass (engine thread) per block of 256 frames at 48 kHz with
// all four decks in use: one PLAYING, two OVERLAP tails still sounding, one CUED
// (examined, waiting). `percent_of_block` is the pass's time as a share of the
// block period (5.33 ms); the goal is at most 1 %. Only the mix calls are timed;
// setting the decks up again (when a tail has decayed) is not. The deck threads
// refill on the other core meanwhile, as they would on air.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/settings_store.h"
#include "player/player.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace torvalen;
using namespace torvalen::player;

constexpr size_t frames = 256;

uint32_t count(Player& p, std::initializer_list<uint32_t> states) {
    uint32_t n = 0;
    for (uint32_t i = 0; i < deck_count; ++i)
        for (uint32_t s : states) n += p.deck(i).state() == s;
    return n;
}

Deck* first_in(Player& p, uint32_t state) {
    for (uint32_t n : p.deck_order())
        if (p.deck(n).state() == state) return &p.deck(n);
    return nullptr;
}

// Empties the decks, waits for four cued ones, then plays two items into their
// fades so that two tails sound under the third item.
bool set_up(Player& p, std::vector<float>& block) {
    p.clear_all();
    for (int i = 0; i < 2000 && count(p, {deck_cued}) < deck_count; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (count(p, {deck_cued}) < deck_count) return false;
    for (int round = 0; round < 2; ++round) {
        p.mix(block);  // the next cued deck goes live
        Deck* live = first_in(p, deck_playing);
        if (!live || !p.clear_deck(live->index())) return false;
        while (live->state() == deck_fade) p.mix(block);
    }
    p.mix(block);
    return count(p, {deck_playing}) == 1 && count(p, {deck_overlap}) == 2 && count(p, {deck_cued}) == 1;
}

void player_mix_four_decks(benchmark::State& state) {
    testing::TempDir dir("torvalen-player-bench");
    const std::string file = (dir / "item.wav").string();
    if (std::system(("sox -n -r 48000 -c 2 -b 16 '" + file +
                     "' synth 60 pinknoise synth 60 sine mix 220-3520 gain -8 >/dev/null 2>&1")
                        .c_str()) != 0) {
        state.SkipWithError("sox is needed for the test material");
        return;
    }
    std::string error;
    auto store = SettingsStore::open(dir / "settings.db", error);
    uint32_t err = 0;
    auto p = Player::create(*store->root().create("FM1"), err, {dir / "data", "FM1", nullptr});
    if (!p || !p->set_mode(mode_repeating)) {
        state.SkipWithError("no player");
        return;
    }
    p->lists().add_file(file);
    std::vector<float> block(2 * frames);
    if (!set_up(*p, block)) {
        state.SkipWithError("the decks could not be set up");
        return;
    }
    double total_s = 0;
    for (auto _ : state) {
        if (count(*p, {deck_playing, deck_overlap}) < 3) {
            if (!set_up(*p, block)) {
                state.SkipWithError("the decks could not be set up");
                return;
            }
        }
        const auto t0 = std::chrono::steady_clock::now();
        p->mix(block);
        const auto t1 = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(block.data());
        const double s = std::chrono::duration<double>(t1 - t0).count();
        total_s += s;
        state.SetIterationTime(s);
    }
    const double period_s = static_cast<double>(frames) / 48000.0;
    state.counters["percent_of_block"] =
        100.0 * total_s / (static_cast<double>(state.iterations()) * period_s);
}
BENCHMARK(player_mix_four_decks)->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);

}  // namespace
