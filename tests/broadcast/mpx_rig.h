// Test rig for Sound Out: a real settings store in a temporary folder, the six
// buses of one instance, and the measuring receivers the signal tests use: a
// pilot-locked stereo decoder and an RDS decoder (57 kHz demodulation, biphase
// and differential decoding, block sync by the checkword syndrome).
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "broadcast/sound_out.h"
#include "engine/buses.h"
#include "engine/settings_store.h"
#include "tests/support/temp_dir.h"

namespace torvalen::broadcast::testing {

inline constexpr double fs_192 = 192000.0;
inline constexpr double fs_48 = 48000.0;
inline constexpr double output_scale = 0.75 * 2147483648.0;  // output stage gain x full scale

// A clock the test sets.
class TestClock final : public RdsClock {
public:
    std::time_t now() override { return t.load(); }
    long utc_offset_seconds(std::time_t) override { return offset_s.load(); }
    std::atomic<std::time_t> t{1735732800};  // 2025-01-01 12:00:00 UTC
    std::atomic<long> offset_s{3600};
};

struct Store {
    torvalen::testing::TempDir dir{"broadcast-test"};
    std::unique_ptr<SettingsStore> store;
    SettingsKey instance;
    Store() {
        std::string error;
        store = SettingsStore::open(dir / "settings.db", error);
        EXPECT_TRUE(store) << error;
        instance = *store->root().create("Instance 1");
    }
};

// One instance's buses around a Sound Out.
class Rig {
public:
    explicit Rig(uint32_t rate_out = 192000, uint32_t frames = 1024, bool with_bar = false) : frames_(frames) {
        SoundOutOptions o;
        o.clock = &clock;
        o.start_preset_bar = with_bar;
        uint32_t error = 0;
        out = SoundOut::create(store.instance, error, o);
        EXPECT_TRUE(out);
        EXPECT_EQ(error, 0u);
        set_rate(rate_out);
    }

    void set_rate(uint32_t rate_out) {
        const uint32_t n = 2 * frames_;
        const std::array<uint32_t, bus_count> rates = {rate_out, 48000, 192000, 192000, 48000, rate_out};
        for (unsigned b = 0; b < bus_count; ++b) {
            buses_.rate[b] = rates[b];
            buses_.count[b] = bus_float_count(rate_out, n, rates[b]);
            data_[b].assign(buses_.count[b], 0.0f);
            buses_.data[b] = data_[b].data();
        }
    }

    void set(uint32_t index, float display) { out->set_value(index, display); }
    std::span<float> bus(unsigned b) { return {data_[b].data(), buses_.count[b]}; }
    const Buses& buses() const { return buses_; }

    // Runs `blocks` blocks; `fill(bus)` writes the source bus (4 unless said) with
    // frame counter `frame` at the source rate; the output is appended.
    void run(int blocks, const std::function<void(std::span<float>, uint64_t first_frame)>& fill,
             unsigned source = bus_proc, bool tick = false) {
        for (int i = 0; i < blocks; ++i) {
            auto src = bus(source);
            if (fill) fill(src, source_frames_[source]);
            source_frames_[source] += src.size() / 2;
            out->process(buses_, tick);
            // Let the modulator fill its bank before the engine may need it.
            EXPECT_TRUE(out->rds_modulator().wait_refills(5000));
            auto o = bus(bus_sound_out);
            output.insert(output.end(), o.begin(), o.end());
        }
    }

    // Interleaved output so far.
    std::vector<float> output;
    std::vector<double> channel(int ch) const {
        std::vector<double> x(output.size() / 2);
        for (std::size_t i = 0; i < x.size(); ++i) x[i] = output[2 * i + ch];
        return x;
    }

    TestClock clock;
    Store store;
    std::unique_ptr<SoundOut> out;

private:
    uint32_t frames_;
    Buses buses_;
    std::array<std::vector<float>, bus_count> data_;
    std::array<uint64_t, bus_count> source_frames_{};
};

// A sine source: amplitude (fraction of full scale) per channel.
inline std::function<void(std::span<float>, uint64_t)> sine(double f, double fs, double left_amp, double right_amp) {
    return [=](std::span<float> bus, uint64_t first) {
        for (std::size_t i = 0; i < bus.size() / 2; ++i) {
            const double v = std::sin(2.0 * std::numbers::pi * f * static_cast<double>(first + i) / fs) * 2147483648.0;
            bus[2 * i] = static_cast<float>(left_amp * v);
            bus[2 * i + 1] = static_cast<float>(right_amp * v);
        }
    };
}

// Complex amplitude of the component at f: x ~ |a| cos(w n + arg a). Sums over
// [start, start + count); exact for whole periods.
inline std::complex<double> tone(std::span<const double> x, double f, double fs, std::size_t start, std::size_t count) {
    std::complex<double> acc{};
    const double w = 2.0 * std::numbers::pi * f / fs;
    for (std::size_t n = start; n < start + count && n < x.size(); ++n)
        acc += x[n] * std::polar(1.0, -w * static_cast<double>(n));
    return 2.0 * acc / static_cast<double>(count);
}

// Amplitude and phase (degrees, as a sine) of a component.
struct Component {
    double amplitude;
    double sine_phase_deg;
};
inline Component sine_component(std::span<const double> x, double f, double fs, std::size_t start, std::size_t count) {
    const std::complex<double> a = tone(x, f, fs, start, count);
    // A sin(wn + p) = A cos(wn + p - pi/2).
    return {std::abs(a), std::remainder(std::arg(a) + std::numbers::pi / 2, 2 * std::numbers::pi) * 180.0 / std::numbers::pi};
}

// Pilot-locked stereo decoder: the 38 kHz reference is twice the recovered pilot
// phase; returns the complex amplitudes of L and R at f.
struct StereoDecoded {
    std::complex<double> l, r;
    double pilot_phase_deg;
};
inline StereoDecoded decode_stereo(std::span<const double> mpx, double f, std::size_t start, std::size_t count) {
    const Component pilot = sine_component(mpx, 19000.0, fs_192, start, count);
    const double phi = pilot.sine_phase_deg * std::numbers::pi / 180.0;
    std::vector<double> demod(mpx.size());
    const double w = 2.0 * std::numbers::pi * 19000.0 / fs_192;
    for (std::size_t n = start; n < start + count && n < mpx.size(); ++n)
        demod[n] = mpx[n] * 2.0 * std::sin(2.0 * (w * static_cast<double>(n) + phi));
    const std::complex<double> sum = tone(mpx, f, fs_192, start, count);
    const std::complex<double> diff = tone(demod, f, fs_192, start, count);
    return {sum + diff, sum - diff, pilot.sine_phase_deg};
}

// ---- RDS decoder ----

// Remainder of a 26-bit block divided by the RDS generator polynomial, computed
// bit by bit (independently of the encoder's table).
inline uint32_t syndrome(uint32_t block) {
    constexpr uint32_t g = 0x5B9;
    uint32_t reg = block;
    for (int bit = 25; bit >= 10; --bit)
        if (reg & (1u << bit)) reg ^= g << (bit - 10);
    return reg & 0x3FF;
}

struct DecodedGroup {
    std::array<uint16_t, 4> blocks{};
    bool version_b = false;
};

// Demodulates the 57 kHz sub-carrier of `mpx` (pilot-locked) and returns the
// groups found after block sync.
inline std::vector<DecodedGroup> decode_rds(std::span<const double> mpx, std::size_t start) {
    const Component pilot = sine_component(mpx, 19000.0, fs_192, start, 192 * 200);
    const double phi = pilot.sine_phase_deg * std::numbers::pi / 180.0;
    const double w = 2.0 * std::numbers::pi * 19000.0 / fs_192;
    std::vector<double> base(mpx.size());
    for (std::size_t n = 0; n < mpx.size(); ++n)
        base[n] = mpx[n] * 2.0 * std::sin(3.0 * (w * static_cast<double>(n) + phi));
    // Prefix sums for integrate-and-dump over half bits.
    std::vector<double> prefix(base.size() + 1, 0.0);
    for (std::size_t n = 0; n < base.size(); ++n) prefix[n + 1] = prefix[n] + base[n];
    auto integral = [&](double a, double b) {
        const std::size_t ia = static_cast<std::size_t>(a), ib = static_cast<std::size_t>(b);
        return prefix[std::min(ib, base.size())] - prefix[std::min(ia, base.size())];
    };
    const double period = 16815.0 / 104.0;  // samples per bit
    auto metric = [&](double t) { return integral(t, t + period / 2) - integral(t + period / 2, t + period); };
    // Symbol timing: the offset with the largest mean |metric| over 400 bits.
    double best_t0 = 0.0, best = -1.0;
    for (int k = 0; k < 64; ++k) {
        const double t0 = static_cast<double>(start) + k * period / 64.0;
        double s = 0.0;
        for (int b = 0; b < 400; ++b) s += std::fabs(metric(t0 + b * period));
        if (s > best) {
            best = s;
            best_t0 = t0;
        }
    }
    std::vector<uint8_t> bits;
    int previous = 0;
    for (double t = best_t0; t + period < static_cast<double>(mpx.size()); t += period) {
        const int e = metric(t) > 0.0 ? 1 : 0;
        bits.push_back(static_cast<uint8_t>(e ^ previous));
        previous = e;
    }
    auto word = [&](std::size_t i) {
        uint32_t v = 0;
        for (std::size_t k = 0; k < 26; ++k) v = (v << 1) | bits[i + k];
        return v;
    };
    std::vector<DecodedGroup> groups;
    for (std::size_t i = 0; i + 104 <= bits.size();) {
        const uint32_t a = word(i), b = word(i + 26), c = word(i + 52), d = word(i + 78);
        const uint32_t sc = syndrome(c);
        if (syndrome(a) == 0x0FC && syndrome(b) == 0x198 && (sc == 0x168 || sc == 0x350) && syndrome(d) == 0x1B4) {
            DecodedGroup g;
            g.blocks = {static_cast<uint16_t>(a >> 10), static_cast<uint16_t>(b >> 10), static_cast<uint16_t>(c >> 10),
                        static_cast<uint16_t>(d >> 10)};
            g.version_b = sc == 0x350;
            groups.push_back(g);
            i += 104;
        } else {
            ++i;
        }
    }
    return groups;
}

// What a receiver shows from a run of groups.
struct Station {
    uint16_t pi = 0;
    uint32_t pty = 99;
    std::string ps = std::string(8, '\0');
    std::string rt = std::string(64, '\0');
    std::string ptyn = std::string(8, '\0');
    std::vector<uint8_t> af;
    uint32_t rt_ab = 99;
    uint32_t ptyn_ab = 99;
    std::optional<std::array<uint16_t, 3>> clock;  // blocks 2, 3, 4 of the last 4A
    bool ta = false;
    uint16_t ecc = 0, pin = 0;
};

inline Station read_station(const std::vector<DecodedGroup>& groups) {
    Station s;
    for (const DecodedGroup& g : groups) {
        const uint16_t b2 = g.blocks[1];
        const uint32_t type = b2 >> 11;  // type and version
        s.pi = g.blocks[0];
        s.pty = (b2 >> 5) & 31;
        auto put = [](std::string& text, std::size_t at, uint16_t pair) {
            text[at] = static_cast<char>(pair >> 8);
            text[at + 1] = static_cast<char>(pair & 0xFF);
        };
        if (type == 0 || type == 1) {  // 0A, 0B
            const uint32_t seg = b2 & 3;
            s.ta = (b2 >> 4) & 1;
            put(s.ps, 2 * seg, g.blocks[3]);
            if (type == 0) {
                for (uint8_t code : {static_cast<uint8_t>(g.blocks[2] >> 8), static_cast<uint8_t>(g.blocks[2] & 0xFF)})
                    s.af.push_back(code);
            }
        } else if (type == 2) {  // 1A
            s.ecc = g.blocks[2];
            s.pin = g.blocks[3];
        } else if (type == 4) {  // 2A
            const uint32_t seg = b2 & 15;
            s.rt_ab = (b2 >> 4) & 1;
            put(s.rt, 4 * seg, g.blocks[2]);
            put(s.rt, 4 * seg + 2, g.blocks[3]);
        } else if (type == 8) {  // 4A
            s.clock = std::array<uint16_t, 3>{b2, g.blocks[2], g.blocks[3]};
        } else if (type == 20) {  // 10A
            const uint32_t seg = b2 & 1;
            s.ptyn_ab = (b2 >> 4) & 1;
            put(s.ptyn, 4 * seg, g.blocks[2]);
            put(s.ptyn, 4 * seg + 2, g.blocks[3]);
        }
    }
    return s;
}

}  // namespace torvalen::broadcast::testing
