// A settings store, six buses and test signals for running the processors block by
// block as the engine does.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/buses.h"
#include "engine/settings_store.h"
#include "params/page_tree.h"
#include "tests/support/temp_dir.h"

namespace torvalen::dsp::test {

inline constexpr double fs = 2147483648.0;  // full scale

// Buses of an instance at device rate `device_Hz` with `n` floats per device block.
struct TestBuses {
    std::array<std::vector<float>, bus_count> storage;
    Buses buses;

    explicit TestBuses(uint32_t device_Hz = 48000, uint32_t n = 512) {
        const std::array<uint32_t, bus_count> rates = {device_Hz, 48000, 192000, 192000, 48000, device_Hz};
        for (unsigned b = 0; b < bus_count; ++b) {
            storage[b].assign(bus_float_count(device_Hz, n, rates[b]), 0.0f);
            buses.data[b] = storage[b].data();
            buses.rate[b] = rates[b];
            buses.count[b] = static_cast<uint32_t>(storage[b].size());
        }
    }
    std::vector<float>& bus(unsigned b) { return storage[b]; }
    uint32_t frames(unsigned b) const { return static_cast<uint32_t>(storage[b].size() / 2); }
};

// A settings store in a temporary folder with one instance key.
struct TestStore {
    torvalen::testing::TempDir dir{"torvalen-proc"};
    std::unique_ptr<SettingsStore> store;
    SettingsKey instance;

    TestStore() { reopen(); }
    void reopen() {
        store.reset();
        std::string error;
        store = SettingsStore::open(dir / "settings.db", error);
        EXPECT_TRUE(store) << error;
        instance = *store->root().create("Studio");
    }
};

// Pink-ish programme noise: white noise through Paul Kellet's pink filter, stereo with
// partly correlated channels, at an RMS of about `rms` (full-scale units).
class PinkNoise {
public:
    explicit PinkNoise(uint32_t seed = 1) : rng_(seed) {}
    void next(float& l, float& r, double rms) {
        const double w0 = white_(rng_), w1 = white_(rng_);
        const double a = pink(w0, b_[0]), c = pink(w1, b_[1]);
        l = static_cast<float>(rms * (0.8 * a + 0.2 * c) / 0.23);
        r = static_cast<float>(rms * (0.2 * a + 0.8 * c) / 0.23);
    }

private:
    static double pink(double w, std::array<double, 7>& b) {
        b[0] = 0.99886 * b[0] + w * 0.0555179;
        b[1] = 0.99332 * b[1] + w * 0.0750759;
        b[2] = 0.96900 * b[2] + w * 0.1538520;
        b[3] = 0.86650 * b[3] + w * 0.3104856;
        b[4] = 0.55000 * b[4] + w * 0.5329522;
        b[5] = -0.7616 * b[5] - w * 0.0168980;
        const double out = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
        b[6] = w * 0.115926;
        return out * 0.11;
    }
    std::mt19937 rng_;
    std::normal_distribution<double> white_{0.0, 1.0};
    std::array<std::array<double, 7>, 2> b_{};
};

// Index of the control `label` in group `group` of page `page`, from the page tree.
inline uint32_t control_index(const params::PageTree& tree, std::string_view page, std::string_view group,
                              std::string_view label) {
    for (const auto& p : tree.pages)
        if (p.label == page)
            for (const auto& g : p.groups)
                if (g.label == group)
                    for (const auto& c : g.controls)
                        if (c.label == label) return c.index;
    ADD_FAILURE() << "no control " << page << "/" << group << "/" << label;
    return 0xffffffffu;
}

inline double peak_of(const std::vector<float>& x) {
    double m = 0;
    for (float v : x) m = std::max(m, static_cast<double>(std::fabs(v)));
    return m;
}

}  // namespace torvalen::dsp::test
