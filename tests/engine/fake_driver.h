// A sound-card driver stand-in for device-layer tests: a thread that calls the
// client back once per block while started, with constant input per channel and
// the last output block of each channel kept for inspection. Devices can be
// attached and removed, made to stop calling back, to send a reset request, or to
// never return from stop (as PortAudio does when the JACK server died).
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/audio_driver.h"
#include "engine/sample_convert.h"

namespace torvalen::testing {

struct FakeDeviceSpec {
    uint32_t inputs = 2;
    uint32_t outputs = 2;
    uint32_t type = sample_int32_lsb;
    bool can_48000 = true;
    bool can_192000 = true;
    DriverLatencies latencies{256, 512};
    std::chrono::microseconds period{1000};  // time between blocks
};

// Input channel c carries this constant (Int32 device scale).
inline int32_t fake_input_value(uint32_t channel) { return static_cast<int32_t>((channel + 1) << 24); }

class FakeDriverSystem;

class FakeDriver final : public AudioDriver {
public:
    FakeDriver(FakeDriverSystem& system, std::string name, FakeDeviceSpec spec, int serial)
        : system_(system), name_(std::move(name)), spec_(spec), serial_(serial) {}
    ~FakeDriver() override;

    bool init(std::string&) override { return true; }
    DriverChannels channels() const override { return {spec_.inputs, spec_.outputs}; }
    DriverBufferSizes buffer_sizes() const override { return {32, 4096, 256, 1}; }
    bool can_sample_rate(uint32_t rate) override {
        return rate == 48000 ? spec_.can_48000 : rate == 192000 && spec_.can_192000;
    }
    bool set_sample_rate(uint32_t rate) override { return can_sample_rate(rate); }
    uint32_t input_type(uint32_t) const override { return spec_.type; }
    uint32_t output_type(uint32_t) const override { return spec_.type; }
    bool create_buffers(uint32_t frames, DriverClient& client, std::string&) override {
        frames_ = frames;
        client_ = &client;
        const size_t bytes = frames * sample_bytes(spec_.type);
        in_.assign(spec_.inputs, std::vector<unsigned char>(bytes));
        out_.assign(spec_.outputs, std::vector<unsigned char>(bytes, 0x5a));
        last_out_.assign(spec_.outputs, std::vector<int32_t>(frames));
        for (uint32_t c = 0; c < spec_.inputs; ++c) {
            std::vector<int32_t> value(frames, fake_input_value(c));
            std::vector<float> engine(frames);
            for (uint32_t i = 0; i < frames; ++i) engine[i] = static_cast<float>(value[i]);
            engine_to_device(spec_.type, engine.data(), 1, frames, in_[c].data());
        }
        for (auto& b : in_) in_ptr_.push_back(b.data());
        for (auto& b : out_) out_ptr_.push_back(b.data());
        return true;
    }
    bool start(std::string&) override;
    void stop() override {
        run_ = false;
        if (thread_.joinable()) thread_.join();
        // A driver stuck in its stop: it never comes back. The thread it blocks is
        // the device layer's to abandon; it sleeps here until the process ends and
        // touches nothing else (the system may be gone by then).
        if (stuck_stop_) {
            for (;;) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    void dispose_buffers() override { stop(); }
    DriverLatencies latencies() const override { return spec_.latencies; }

    // The last block of output channel c, as engine-scale integers.
    std::vector<int32_t> last_output(uint32_t channel) {
        std::lock_guard lock(mutex_);
        return last_out_.at(channel);
    }
    uint64_t blocks() const { return blocks_.load(); }
    int serial() const { return serial_; }

private:
    void run();

    FakeDriverSystem& system_;
    std::string name_;
    FakeDeviceSpec spec_;
    int serial_;
    uint32_t frames_ = 0;
    DriverClient* client_ = nullptr;
    std::vector<std::vector<unsigned char>> in_, out_;
    std::vector<const void*> in_ptr_;
    std::vector<void*> out_ptr_;
    std::mutex mutex_;
    std::vector<std::vector<int32_t>> last_out_;
    std::atomic<bool> run_{false};
    std::atomic<uint64_t> blocks_{0};
    std::thread thread_;

public:
    bool stuck_stop_ = false;  // set at creation
};

class FakeDriverSystem final : public DriverSystem {
public:
    void attach(const std::string& name, FakeDeviceSpec spec = {}) {
        std::lock_guard lock(mutex_);
        devices_[name] = spec;
    }
    void remove(const std::string& name) {
        std::lock_guard lock(mutex_);
        devices_.erase(name);
    }
    std::vector<DriverDescription> enumerate() override {
        std::lock_guard lock(mutex_);
        std::vector<DriverDescription> list;
        for (auto& [name, spec] : devices_) list.push_back({name, "fake", {spec.inputs, spec.outputs}, 48000});
        return list;
    }
    std::unique_ptr<AudioDriver> create(std::string_view name) override {
        std::lock_guard lock(mutex_);
        auto it = devices_.find(std::string(name));
        if (it == devices_.end()) return nullptr;
        auto driver = std::make_unique<FakeDriver>(*this, it->first, it->second, ++created_);
        driver->stuck_stop_ = stuck_stop_serial.load() == driver->serial();
        live_[driver->serial()] = driver.get();
        return driver;
    }
    void rescan() override { rescans_.fetch_add(1); }

    int created() {
        std::lock_guard lock(mutex_);
        return created_;
    }
    // Runs `fn` on the newest live driver (under the system lock); false when none.
    template <class Fn>
    bool with_newest(Fn fn) {
        std::lock_guard lock(mutex_);
        if (live_.empty()) return false;
        fn(*live_.rbegin()->second);
        return true;
    }
    void released(int serial) {
        std::lock_guard lock(mutex_);
        live_.erase(serial);
    }

    // The driver with serial number `hang_serial` (the n-th created) stops calling
    // back after `hang_after` blocks.
    std::atomic<int> hang_serial{0};
    std::atomic<uint64_t> hang_after{0};
    // The driver with this serial number never returns from stop().
    std::atomic<int> stuck_stop_serial{0};
    // The next block of a running driver sends a reset request.
    std::atomic<bool> send_reset{false};
    std::atomic<int> rescans_{0};

private:
    std::mutex mutex_;
    std::map<std::string, FakeDeviceSpec> devices_;
    std::map<int, FakeDriver*> live_;
    int created_ = 0;
};

inline FakeDriver::~FakeDriver() {
    stop();
    system_.released(serial_);
}

inline bool FakeDriver::start(std::string&) {
    run_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

inline void FakeDriver::run() {
    const uint64_t hang = system_.hang_serial.load() == serial_ ? system_.hang_after.load() : 0;
    auto next = std::chrono::steady_clock::now();
    while (run_.load()) {
        if (hang == 0 || blocks_.load() < hang) {
            if (system_.send_reset.exchange(false)) client_->driver_message(driver_reset_request, 0);
            DriverBlock block;
            block.inputs = {in_ptr_.data(), in_ptr_.size()};
            block.outputs = {out_ptr_.data(), out_ptr_.size()};
            block.frames = frames_;
            client_->buffer_switch(block);
            {
                std::lock_guard lock(mutex_);
                for (uint32_t c = 0; c < spec_.outputs; ++c) {
                    std::vector<float> engine(frames_);
                    device_to_engine(spec_.type, out_[c].data(), frames_, engine.data(), 1);
                    for (uint32_t i = 0; i < frames_; ++i) last_out_[c][i] = static_cast<int32_t>(engine[i]);
                }
            }
            blocks_.fetch_add(1);
        }
        next += spec_.period;
        std::this_thread::sleep_until(next);
    }
}

}  // namespace torvalen::testing
