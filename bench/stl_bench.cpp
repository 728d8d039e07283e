// The studio-transmitter link at 48 kHz stereo, 16-bit PCM and AAC-LC at 128 kB/s,
// both ends in this process over 127.0.0.1: 60 s of audio in 256-frame blocks
// (1024 for AAC), run faster than real time in
// lockstep (each block is sent, received and pulled before the next). Reported as
// per cent of one core at real time, per end and per thread:
// - tx_engine: STL TX's per-block call (metering, mailbox copy);
// - tx_sender: its sender thread (conversion, dither or AAC encoding, packet, send);
// - rx_session: STL RX's session thread (receive, checks, AAC decoding, libsamplerate to 192 kHz,
//   jitter ring, rate control);
// - rx_engine: its per-block call (ring copy into bus 2, metering at 192 kHz).
// The latency benchmarks time clicks through the same set-up (below).
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "engine/realtime.h"
#include "engine/settings_store.h"
#include "stl/stl_rx.h"
#include "stl/stl_tx.h"
#include "tests/support/ports.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace torvalen;
using namespace torvalen::stl;

double thread_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// CPU seconds of this process's threads named `name` (from the scheduler's account).
double named_thread_cpu_s(const std::string& name) {
    double total = 0;
    DIR* d = ::opendir("/proc/self/task");
    if (!d) return 0;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::string comm;
        std::ifstream(base + "/comm") >> comm;
        if (comm != name) continue;
        double ns = 0;
        std::ifstream(base + "/schedstat") >> ns;
        total += ns * 1e-9;
    }
    ::closedir(d);
    return total;
}

// Both ends of a link in this process over 127.0.0.1 (the receiver without the
// crypto library), connected; `up` says whether the link came up.
struct LoopbackLink {
    LoopbackLink(uint32_t encoder, uint32_t buffer_ms) {
        std::string error;
        store = SettingsStore::open(temp / "settings.db", error);
        if (!store) return;
        uint32_t e = 0;
        StlRxOptions ro;
        ro.crypto = &absent;
        ro.loopback_only = true;
        rx = StlRx::create(*store->root().create("rx"), e, ro);
        StlTxOptions to;
        to.start_preset_bar = false;
        tx = StlTx::create(*store->root().create("tx"), e, to);
        if (!rx || !tx) return;
        const std::string port = std::to_string(testing::free_port());
        RxSettings rs = rx->settings();
        rs.port = port;
        rs.enable = true;
        rs.buffer_time_ms = buffer_ms;
        rx->apply_settings(rs);
        rx->start();
        TxSettings ts = tx->settings();
        ts.port = port;
        ts.enable = true;
        ts.encoder_type = encoder;
        ts.aac = {128000, 2, 1, 0};
        tx->apply_settings(ts);
        tx->connect();
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!(tx->connected() && rx->session_active()) && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        up = tx->connected();
    }
    ~LoopbackLink() {
        tx.reset();  // the ends go before their store
        rx.reset();
    }

    testing::TempDir temp{"stl-bench"};
    std::unique_ptr<SettingsStore> store;
    CryptoBinding absent{"libcrypto-not-installed.so.3"};
    std::unique_ptr<StlRx> rx;
    std::unique_ptr<StlTx> tx;
    bool up = false;
};

// One block through the link in lockstep: sent, received and pulled before the next.
void step(LoopbackLink& link, const Buses& buses, std::span<float> bus2, bool tick, double* tx_cpu = nullptr,
          double* rx_cpu = nullptr) {
    const uint64_t before = link.rx->audio_packets();
    double t0 = thread_cpu_s();
    link.tx->process(buses, false);
    if (tx_cpu) *tx_cpu += thread_cpu_s() - t0;
    const auto late = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
    while (link.rx->audio_packets() == before && std::chrono::steady_clock::now() < late) std::this_thread::yield();
    t0 = thread_cpu_s();
    link.rx->fill(bus2, tick);
    if (rx_cpu) *rx_cpu += thread_cpu_s() - t0;
}

void run(benchmark::State& state, uint32_t encoder) {
    enable_flush_to_zero();
    LoopbackLink link(encoder, 500);
    if (!link.up) {
        state.SkipWithError("the link did not come up");
        return;
    }
    // AAC takes 1024-frame blocks, one codec frame each.
    const uint32_t frames = encoder == encoder_aac ? 1024 : 256;
    const int blocks = static_cast<int>(60 * 48000 / frames);
    std::vector<float> bus4(2 * frames), bus2(8 * frames);
    Buses buses;
    buses.data[bus_proc] = bus4.data();
    buses.rate[bus_proc] = chain_rate_Hz;
    buses.count[bus_proc] = 2 * frames;
    uint64_t n = 0;
    double tx_engine = 0, rx_engine = 0;
    const double sender0 = named_thread_cpu_s("stl-tx-send"), session0 = named_thread_cpu_s("stl-rx-session");
    for (auto _ : state) {
        for (int b = 0; b < blocks; ++b) {
            for (uint32_t i = 0; i < frames; ++i, ++n) {
                const float v = static_cast<float>(6e8 * std::sin(2 * std::numbers::pi * 997.0 * double(n) / 48000.0));
                bus4[2 * i] = v;
                bus4[2 * i + 1] = 0.5f * v;
            }
            step(link, buses, bus2, b % 4 == 0, &tx_engine, &rx_engine);
        }
    }
    const double audio_s = double(state.iterations()) * blocks * frames / 48000.0;
    state.counters["tx_engine_pct"] = 100 * tx_engine / audio_s;
    state.counters["tx_sender_pct"] = 100 * (named_thread_cpu_s("stl-tx-send") - sender0) / audio_s;
    state.counters["rx_session_pct"] = 100 * (named_thread_cpu_s("stl-rx-session") - session0) / audio_s;
    state.counters["rx_engine_pct"] = 100 * rx_engine / audio_s;
    state.counters["rx_ratio"] = link.rx->ratio();
}

// End-to-end latency of the link for one STL RX buffer setting: clicks (one
// sample at about -6.6 dBFS on silence) enter STL TX's per-block call of the
// sending engine; the receiving engine's STL RX block is searched for the click's
// peak. Both ends run in lockstep on one clock, so the latency is counted in
// audio time: (position at RX out) - (position at TX in), in ms. The RX ring
// starts half full, so most of it is half the buffer setting.
void run_latency(benchmark::State& state, uint32_t encoder) {
    enable_flush_to_zero();
    LoopbackLink link(encoder, static_cast<uint32_t>(state.range(0)));
    if (!link.up) {
        state.SkipWithError("the link did not come up");
        return;
    }
    {
        const uint32_t frames = encoder == encoder_aac ? 1024 : 256;
        const uint64_t click_every = 48000 * 3 / 2;  // 1.5 s, more than the longest buffer
        const uint64_t first_click = 3 * 48000;     // after the ring's start-up silence
        const int clicks = 8;
        const int blocks = static_cast<int>((first_click + clicks * click_every) / frames) + 1;
        std::vector<float> bus4(2 * frames), bus2(8 * frames);
        Buses buses;
        buses.data[bus_proc] = bus4.data();
        buses.rate[bus_proc] = chain_rate_Hz;
        buses.count[bus_proc] = 2 * frames;
        std::vector<double> latencies;
        for (auto _ : state) {
            uint64_t n = 0;           // 48 kHz frames sent
            uint64_t out = 0;         // 192 kHz frames received
            uint64_t last_sent = 0;   // position of the last click sent
            bool searching = false;   // a click is on its way
            float best = 0.0f;
            uint64_t best_at = 0;
            for (int b = 0; b < blocks; ++b) {
                for (uint32_t i = 0; i < frames; ++i, ++n) {
                    const bool click = n >= first_click && (n - first_click) % click_every == 0;
                    bus4[2 * i] = bus4[2 * i + 1] = click ? 1.0e9f : 0.0f;
                    if (click) {
                        last_sent = n;
                        searching = true;
                        best = 0.0f;
                    }
                }
                step(link, buses, bus2, false);
                for (uint32_t j = 0; j < 4 * frames; ++j, ++out) {
                    const float v = std::fabs(bus2[2 * j]);
                    if (searching && v > 2.0e8f && v > best) {
                        best = v;
                        best_at = out;
                    }
                }
                // The peak is taken once the click has passed (well below it again).
                if (searching && best > 0.0f && out > best_at + 4 * 256) {
                    latencies.push_back((double(best_at) / 4.0 - double(last_sent)) / 48.0);
                    searching = false;
                }
            }
        }
        if (latencies.empty()) {
            state.SkipWithError("no click came through");
        } else {
            double sum = 0, lo = latencies[0], hi = latencies[0];
            for (double l : latencies) {
                sum += l;
                lo = std::min(lo, l);
                hi = std::max(hi, l);
            }
            state.counters["latency_ms"] = sum / double(latencies.size());
            state.counters["latency_min_ms"] = lo;
            state.counters["latency_max_ms"] = hi;
            state.counters["clicks"] = double(latencies.size());
        }
    }
}

void BM_StlPcmLink48k(benchmark::State& state) { run(state, encoder_pcm); }
void BM_StlPcmLatency(benchmark::State& state) { run_latency(state, encoder_pcm); }
void BM_StlAacLatency(benchmark::State& state) { run_latency(state, encoder_aac); }
BENCHMARK(BM_StlPcmLatency)->Arg(100)->Arg(200)->Arg(500)->Arg(1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StlAacLatency)->Arg(100)->Arg(500)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
void BM_StlAacLink128k(benchmark::State& state) { run(state, encoder_aac); }

BENCHMARK(BM_StlPcmLink48k)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StlAacLink128k)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
