// The whole cost of one instance's streaming: a Stream TX with both encoder slots
// enabled, each feeding four real icecast2 servers on 127.0.0.1 (one mount per
// slot on each), fed 256-frame blocks of programme-like audio at real time for
// 10 s. Reported as per cent of one core:
// - total_pct: this process's CPU over the run (engine call, encoder thread with
//   both codecs and the eight sends, the slots' control threads), the icecast2
//   processes not included;
// - engine_pct: the per-block call alone (bus copy, level, meters, ring).
// Arguments: the two slots' encoder types (1 Vorbis, 2 Opus, 3 MP3, 4 AAC), each
// at its default settings.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/programme.h"
#include "engine/realtime.h"
#include "engine/settings_store.h"
#include "stream/icecast_protocol.h"
#include "stream/stream_tx.h"
#include "tests/support/icecast_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace torvalen;
using namespace torvalen::stream;

constexpr unsigned servers_per_slot = 4;

double process_cpu_s() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double thread_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void BM_StreamTxTwoSlotsFourServers(benchmark::State& state) {
    enable_flush_to_zero();
    testing::TempDir temp("stream-bench");
    std::vector<std::unique_ptr<testing::IcecastServer>> servers;
    std::vector<uint16_t> ports;
    for (unsigned i = 0; i < servers_per_slot; ++i) {
        ports.push_back(testing::free_port());
        servers.push_back(std::make_unique<testing::IcecastServer>(temp / ("icecast" + std::to_string(i)), ports.back(), 2));
        if (!servers.back()->start()) {
            state.SkipWithError("icecast2 did not start");
            return;
        }
    }
    std::string error;
    auto store = SettingsStore::open(temp / "settings.db", error);
    uint32_t err = 0;
    StreamTxOptions options;
    options.allow_auto_start = false;
    options.start_preset_bar = false;
    auto tx = StreamTx::create(store->root(), err, options);
    if (!tx) {
        state.SkipWithError("no Stream TX");
        return;
    }
    for (unsigned slot = 0; slot < slot_count; ++slot) {
        EncoderSettings e;
        e.type = static_cast<uint32_t>(state.range(slot));
        tx->set_encoder(slot, e, true);
        for (unsigned i = 0; i < servers_per_slot; ++i) {
            tx->add_stream(slot, "S" + std::to_string(i));
            ServerSettings s = tx->servers(slot).at(0);
            s.port = std::to_string(ports[i]);
            s.password = "hackme";
            s.path = "/slot" + std::to_string(slot);
            tx->set_server(slot, 0, s);
        }
    }
    // The stream runs from Stream TX's ring as it would in the engine.
    const uint32_t frames = 256;
    std::vector<float> audio = bench::programme(48000 * 10);
    const std::size_t blocks = audio.size() / (2 * frames);
    Buses buses;
    buses.rate[bus_proc] = chain_rate_Hz;
    buses.count[bus_proc] = 2 * frames;
    const auto period = std::chrono::microseconds(1000000 * frames / 48000);

    tx->start_streaming();
    auto connected = [&] {
        for (unsigned slot = 0; slot < slot_count; ++slot)
            for (const auto& s : tx->stream_states(slot))
                if (s.status != status_connected) return false;
        return true;
    };
    // Streams connect one after another; the encoder opens after the last.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto next = std::chrono::steady_clock::now();
    std::size_t b = 0;
    while (!connected() && std::chrono::steady_clock::now() < limit) {
        buses.data[bus_proc] = audio.data() + 2 * frames * (b++ % blocks);
        tx->process(buses, false);
        next += period;
        std::this_thread::sleep_until(next);
    }
    if (!connected()) {
        state.SkipWithError("not every stream connected");
        return;
    }
    double engine = 0, total = 0;
    for (auto _ : state) {
        const double cpu0 = process_cpu_s();
        next = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < blocks; ++k) {
            buses.data[bus_proc] = audio.data() + 2 * frames * k;
            const double t0 = thread_cpu_s();
            tx->process(buses, k % 8 == 0);
            engine += thread_cpu_s() - t0;
            next += period;
            std::this_thread::sleep_until(next);
        }
        total += process_cpu_s() - cpu0;
    }
    const double audio_s = double(state.iterations()) * double(blocks * frames) / 48000.0;
    state.counters["total_pct"] = 100 * total / audio_s;
    state.counters["engine_pct"] = 100 * engine / audio_s;
    state.counters["dropped_blocks"] = double(tx->dropped_blocks());
    double dropped_bytes = 0;
    bool all_connected = true;
    for (unsigned slot = 0; slot < slot_count; ++slot)
        for (const auto& s : tx->stream_states(slot)) {
            dropped_bytes += double(s.dropped_bytes);
            all_connected = all_connected && s.status == status_connected;
        }
    state.counters["dropped_bytes"] = dropped_bytes;
    state.counters["all_connected"] = all_connected ? 1 : 0;
    tx->stop_streaming();
}

// MP3 and AAC (the types that take titles); Ogg Vorbis and Opus.
BENCHMARK(BM_StreamTxTwoSlotsFourServers)
    ->Args({encoder_mp3, encoder_aac})
    ->Args({encoder_vorbis, encoder_opus})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
