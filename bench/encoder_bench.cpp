// Stream encoder speed per type at 128 kb/s stereo, in multiples of real time
// (x_realtime: seconds of audio encoded per second of CPU), through the whole slot
// path: resampling from 48 kHz where the type's rate differs, the codec, and the
// pieces handed to a sink that only counts them. The input is programme-like:
// pseudo-random noise under a few tones at -12 dBFS, in 10 ms blocks.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "bench/programme.h"
#include "stream/encoder.h"

namespace {

using namespace torvalen::stream;
using torvalen::bench::programme;

void encode_type(benchmark::State& state, uint32_t type) {
    EncoderSettings e;
    e.type = type;
    e.vorbis = {128000, 128000, 128000, 48000, 2, 0};
    e.opus = {128000, 48000, 2, 0};
    e.mp3 = {128000, 48000, 2};
    e.aac = {48000, 128000, 2, 0, 0, 0};
    const std::size_t seconds = 10;
    const std::vector<float> audio = programme(48000 * seconds);
    std::size_t bytes = 0;
    const PieceSink sink = [&](std::span<const uint8_t> piece) { bytes += piece.size(); };
    for (auto _ : state) {
        auto encoder = SlotEncoder::open(e, nullptr);
        if (!encoder) {
            state.SkipWithError("the encoder did not open");
            return;
        }
        for (std::size_t at = 0; at < audio.size(); at += 960)
            encoder->encode(std::span<const float>(audio.data() + at, 960), sink);
    }
    state.counters["x_realtime"] =
        benchmark::Counter(double(seconds) * double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["kbit_per_s"] = double(bytes) * 8.0 / 1000.0 / (double(seconds) * double(state.iterations()));
}

void BM_StreamEncoderVorbis(benchmark::State& s) { encode_type(s, encoder_vorbis); }
void BM_StreamEncoderOpus(benchmark::State& s) { encode_type(s, encoder_opus); }
void BM_StreamEncoderMp3(benchmark::State& s) { encode_type(s, encoder_mp3); }
void BM_StreamEncoderAac(benchmark::State& s) { encode_type(s, encoder_aac); }

BENCHMARK(BM_StreamEncoderVorbis)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_StreamEncoderOpus)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_StreamEncoderMp3)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();
BENCHMARK(BM_StreamEncoderAac)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

}  // namespace
