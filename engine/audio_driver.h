// The sound-card driver interface the device layer is built on.
//
// A driver is created by name from a DriverSystem, initialised, asked for its
// channels, buffer sizes, rates and sample types, given buffers of F frames and a
// client to call back once per block, started and stopped. The PortAudio driver
// (portaudio_driver.h) implements it for ALSA and JACK; tests use a fake.
//
// Threads: every operation runs on the device context's control thread, except
// DriverClient::buffer_switch (the driver's callback thread, real time) and
// DriverClient::driver_message (any thread the driver likes).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace torvalen {

struct DriverChannels {
    uint32_t inputs = 0;
    uint32_t outputs = 0;
};

// Frames per block the driver accepts.
struct DriverBufferSizes {
    uint32_t min = 0;
    uint32_t max = 0;
    uint32_t preferred = 0;
    uint32_t granularity = 0;  // 0: any size in range
};

// Input and output latency in samples at the running rate.
struct DriverLatencies {
    uint32_t input = 0;
    uint32_t output = 0;
};

// One block as the driver hands it to the callback: one buffer per channel, in the
// channel's sample type, `frames` samples each.
struct DriverBlock {
    std::span<const void* const> inputs;
    std::span<void* const> outputs;
    uint32_t frames = 0;
    bool xrun = false;  // the driver reports an over- or underrun just before this block
};

// Messages a driver may send its client (the numbering drivers publish).
enum DriverMessageSelector : int32_t {
    driver_selector_supported = 1,
    driver_engine_version = 2,
    driver_reset_request = 3,
    driver_buffer_size_change = 4,
    driver_resync_request = 5,
    driver_latencies_changed = 6,
    driver_supports_time_info = 7,
    driver_supports_time_code = 8,
    driver_mmc_command = 9,
    driver_supports_input_monitor = 10,
    driver_overload = 15,
};

// The client's answer to a driver message; `reset_requested` is set true for a
// reset request (the watchdog then restarts the driver).
long answer_driver_message(int32_t selector, long value, bool& reset_requested);

class DriverClient {
public:
    virtual ~DriverClient() = default;
    // Once per block on the driver's callback thread: read the inputs, fill every
    // output. Must not allocate, block or wait on a lock.
    virtual void buffer_switch(const DriverBlock& block) = 0;
    virtual long driver_message(int32_t selector, long value) = 0;
};

class AudioDriver {
public:
    virtual ~AudioDriver() = default;  // releases the driver

    virtual bool init(std::string& error) = 0;
    virtual DriverChannels channels() const = 0;
    virtual DriverBufferSizes buffer_sizes() const = 0;
    virtual bool can_sample_rate(uint32_t rate_Hz) = 0;
    virtual bool set_sample_rate(uint32_t rate_Hz) = 0;
    // Sample type (sample_convert.h codes) of each channel once buffers exist.
    virtual uint32_t input_type(uint32_t channel) const = 0;
    virtual uint32_t output_type(uint32_t channel) const = 0;
    // Buffers for every input and output channel, `frames` per block; `client`
    // is called back from start() until stop().
    virtual bool create_buffers(uint32_t frames, DriverClient& client, std::string& error) = 0;
    virtual bool start(std::string& error) = 0;
    virtual void stop() = 0;
    virtual void dispose_buffers() = 0;
    virtual DriverLatencies latencies() const = 0;
    // Drivers that want to hear when the outputs of a block are complete.
    virtual bool output_ready_supported() const { return false; }
    virtual void output_ready() {}
};

struct DriverDescription {
    std::string name;
    std::string host;  // "ALSA", "JACK", ...
    DriverChannels channels;
    uint32_t default_rate_Hz = 0;
};

// The drivers installed on this machine.
class DriverSystem {
public:
    virtual ~DriverSystem() = default;
    virtual std::vector<DriverDescription> enumerate() = 0;
    // nullptr when no driver of that name can be created (not attached).
    virtual std::unique_ptr<AudioDriver> create(std::string_view name) = 0;
    // The device list may have changed (a card appeared): look again when it is safe.
    virtual void rescan() {}

    bool probe(std::string_view name) { return create(name) != nullptr; }
};

}  // namespace torvalen
