// File decoding speed per kind, in multiples of real time (x_realtime: seconds of
// audio decoded per second of CPU), through the whole path the decks use: open,
// then ReadBlock in one-second blocks to the end, resampling to 48 kHz included.
// The material (20 s of programme-like noise and tones) is made once with sox and
// ffmpeg in a temporary folder.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "player/file_decoder.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace torvalen::player;

constexpr double seconds = 20.0;

const torvalen::testing::TempDir& material() {
    static const torvalen::testing::TempDir dir("torvalen-decode-bench");
    static const bool made = [] {
        auto run = [](const std::string& c) { return std::system((c + " >/dev/null 2>&1").c_str()) == 0; };
        const std::string p = dir.path().string() + "/";
        bool ok = true;
        for (const char* rate : {"44100", "48000"}) {
            const std::string src = p + "src" + rate + ".wav";
            ok = ok && run(std::string("sox -n -r ") + rate + " -c 2 -b 16 " + src +
                           " synth 20 pinknoise synth 20 sine mix 220-3520 gain -8");
            const std::string in = "ffmpeg -y -v error -i " + src + " ";
            ok = ok && run(in + p + "item" + rate + ".flac") && run(in + "-c:a libvorbis -q:a 5 " + p + "item" + rate + ".ogg") &&
                 run(in + "-c:a libmp3lame -b:a 192k " + p + "item" + rate + ".mp3") &&
                 run("cp " + src + " " + p + "item" + rate + ".wav");
        }
        return ok;
    }();
    (void)made;
    return dir;
}

void decode_file(benchmark::State& state, const char* name) {
    const auto path = material() / name;
    std::vector<float> block(96000);
    size_t floats = 0;
    for (auto _ : state) {
        ItemInfo info;
        auto decoder = OpenDecoder(path, info);
        if (!decoder) {
            state.SkipWithError("no test material (sox and ffmpeg needed)");
            return;
        }
        for (;;) {
            const BlockResult r = ReadBlock(*decoder, block);
            floats += r.count;
            if (r.result != 1) break;
        }
    }
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(floats) / (2.0 * engine_rate), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK_CAPTURE(decode_file, wav_48k, "item48000.wav")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode_file, wav_44k1, "item44100.wav")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode_file, flac_48k, "item48000.flac")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode_file, flac_44k1, "item44100.flac")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode_file, ogg_48k, "item48000.ogg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode_file, ogg_44k1, "item44100.ogg")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode_file, mp3_48k, "item48000.mp3")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(decode_file, mp3_44k1, "item44100.mp3")->Unit(benchmark::kMillisecond);
