// Recording stand-ins for the modules of an instance, for engine and application tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "engine/instance.h"
#include "engine/module.h"

namespace torvalen::testing {

// Calls seen on the engine thread, in order. Pre-sized so recording never allocates.
struct CallLog {
    static constexpr size_t capacity = 1 << 16;
    std::vector<char> calls = std::vector<char>(capacity);
    std::atomic<size_t> size{0};
    std::vector<uint8_t> ticks = std::vector<uint8_t>(capacity);  // tick seen by the processor
    std::atomic<size_t> tick_count{0};

    void add(char c) {
        size_t at = size.load();
        if (at < capacity) {
            calls[at] = c;
            size.store(at + 1);
        }
    }
    std::string text() const { return std::string(calls.data(), size.load()); }
};

struct FakeSoundIn : SoundInModule {
    CallLog& log;
    explicit FakeSoundIn(CallLog& l) : log(l) {}
    void measure(std::span<const float>, uint32_t, bool) override { log.add('I'); }
};
struct FakeStlRx : StlRxModule {
    CallLog& log;
    explicit FakeStlRx(CallLog& l) : log(l) {}
    void fill(std::span<float>, bool) override { log.add('R'); }
};
struct FakePlayer : PlayerModule {
    CallLog& log;
    bool play = true;
    explicit FakePlayer(CallLog& l) : log(l) {}
    bool play_on() const override { return play; }
    void mix(std::span<float> bus) override {
        log.add('P');
        for (float& s : bus) s = 1.0f;
    }
};
// Copies one bus to another when both run at the same rate (or by picking every
// fourth frame / repeating frames otherwise), standing in for a processor or the
// output stage.
inline void copy_bus(const Buses& b, unsigned from, unsigned to) {
    const uint32_t in = b.count[from], out = b.count[to];
    for (uint32_t i = 0; i < out; i += 2) {
        const uint32_t j = in == out ? i : (in > out ? i * 4 : (i / 8) * 2);
        b.data[to][i] = b.data[from][j];
        b.data[to][i + 1] = b.data[from][j + 1];
    }
}
struct FakeProcessor : ProcessorModule {
    CallLog& log;
    unsigned input_bus = bus_sound_in;
    std::chrono::microseconds spin{0};
    explicit FakeProcessor(CallLog& l) : log(l) {}
    void process(const Buses& b, bool tick) override {
        log.add('X');
        size_t t = log.tick_count.load();
        if (t < CallLog::capacity) {
            log.ticks[t] = tick;
            log.tick_count.store(t + 1);
        }
        copy_bus(b, input_bus, bus_proc);
        if (spin.count() > 0) {
            auto until = std::chrono::steady_clock::now() + spin;
            while (std::chrono::steady_clock::now() < until) {
            }
        }
    }
    uint32_t latency_samples() const override { return 12345; }
};
struct FakeSoundOut : BusModule {
    CallLog& log;
    explicit FakeSoundOut(CallLog& l) : log(l) {}
    void process(const Buses& b, bool) override {
        log.add('O');
        copy_bus(b, bus_proc, bus_sound_out);
    }
};
struct FakeBusModule : BusModule {
    CallLog& log;
    char tag;
    FakeBusModule(CallLog& l, char t) : log(l), tag(t) {}
    void process(const Buses&, bool) override { log.add(tag); }
};
struct FakeAnalyser : AnalyserModule {
    CallLog& log;
    explicit FakeAnalyser(CallLog& l) : log(l) {}
    void generate(std::span<float>) override { log.add('G'); }
    void process(const Buses&, bool) override { log.add('A'); }
};

// Builds every module as a recording fake. Switches leave slots empty or make a
// module's creation fail.
struct FakeFactory : ModuleFactory {
    CallLog log;
    bool with_player = true;
    bool with_stl_rx = true;
    bool with_processor = true;
    bool fail_analyser = false;
    unsigned processor_input = bus_sound_in;
    std::chrono::microseconds processor_spin{0};
    int processors_created = 0;
    FakeProcessor* last_processor = nullptr;
    FakePlayer* last_player = nullptr;

    std::unique_ptr<SoundInModule> create_sound_in(Instance&, SettingsKey, uint32_t&) override {
        return std::make_unique<FakeSoundIn>(log);
    }
    std::unique_ptr<PlayerModule> create_player(Instance&, SettingsKey, uint32_t&) override {
        if (!with_player) return nullptr;
        auto p = std::make_unique<FakePlayer>(log);
        last_player = p.get();
        return p;
    }
    std::unique_ptr<StlRxModule> create_stl_rx(Instance&, SettingsKey, uint32_t&) override {
        return with_stl_rx ? std::make_unique<FakeStlRx>(log) : nullptr;
    }
    std::unique_ptr<BusModule> create_sound_out(Instance&, SettingsKey, uint32_t&) override {
        return std::make_unique<FakeSoundOut>(log);
    }
    std::unique_ptr<BusModule> create_stream_tx(Instance&, SettingsKey, uint32_t&) override {
        return std::make_unique<FakeBusModule>(log, 'S');
    }
    std::unique_ptr<BusModule> create_stl_tx(Instance&, SettingsKey, uint32_t&) override {
        return std::make_unique<FakeBusModule>(log, 'T');
    }
    std::unique_ptr<AnalyserModule> create_analyser(Instance&, SettingsKey, uint32_t& error) override {
        if (fail_analyser) {
            error |= 1u;
            return nullptr;
        }
        return std::make_unique<FakeAnalyser>(log);
    }
    std::unique_ptr<ProcessorModule> create_processor(ProcessorType, Instance&, SettingsKey,
                                                      uint32_t&) override {
        if (!with_processor) return nullptr;
        ++processors_created;
        auto p = std::make_unique<FakeProcessor>(log);
        p->input_bus = processor_input;
        p->spin = processor_spin;
        last_processor = p.get();
        return p;
    }
};

}  // namespace torvalen::testing
