#include "engine/jack_driver.h"

#include <jack/jack.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "engine/log.h"
#include "engine/sample_convert.h"

namespace torvalen {

namespace {

constexpr const char* log_who = "jack";
constexpr const char* client_name = "torvalen";

// libjack reports every failed connection attempt on stderr; while no server runs
// the watchdog tries once a second, which is not worth a line each time.
void quiet(const char*) {}
void keep_libjack_quiet() {
    static std::once_flag once;
    std::call_once(once, [] {
        jack_set_error_function(quiet);
        jack_set_info_function(quiet);
    });
}

jack_client_t* open_client() {
    keep_libjack_quiet();
    jack_status_t status{};
    return jack_client_open(client_name, JackNoStartServer, &status);
}

std::vector<std::string> physical_ports(jack_client_t* client, unsigned long direction) {
    std::vector<std::string> names;
    const char** ports = jack_get_ports(client, nullptr, JACK_DEFAULT_AUDIO_TYPE, JackPortIsPhysical | direction);
    if (!ports) return names;
    for (const char** p = ports; *p; ++p) names.emplace_back(*p);
    jack_free(ports);
    return names;
}

class JackDriver final : public AudioDriver {
public:
    explicit JackDriver(jack_client_t* client)
        : client_(client),
          // The server's capture ports are its outputs, and the other way round.
          capture_(physical_ports(client, JackPortIsOutput)),
          playback_(physical_ports(client, JackPortIsInput)) {
        jack_on_shutdown(client_, &JackDriver::server_gone, this);
    }

    ~JackDriver() override {
        stop();
        dispose_buffers();
        jack_client_close(client_);
    }

    bool init(std::string&) override { return true; }

    DriverChannels channels() const override {
        return {static_cast<uint32_t>(capture_.size()), static_cast<uint32_t>(playback_.size())};
    }

    DriverBufferSizes buffer_sizes() const override {
        const uint32_t period = jack_get_buffer_size(client_);
        return {period, period, period, 0};
    }

    bool can_sample_rate(uint32_t rate_Hz) override { return rate_Hz == jack_get_sample_rate(client_); }
    bool set_sample_rate(uint32_t rate_Hz) override { return can_sample_rate(rate_Hz); }
    uint32_t input_type(uint32_t) const override { return sample_float32_lsb; }
    uint32_t output_type(uint32_t) const override { return sample_float32_lsb; }

    bool create_buffers(uint32_t frames, DriverClient& client, std::string& error) override {
        const uint32_t period = jack_get_buffer_size(client_);
        if (frames != period) {
            error = "the JACK server runs " + std::to_string(period) + " frames per period, not " +
                    std::to_string(frames);
            return false;
        }
        for (size_t i = 0; i < capture_.size(); ++i) {
            jack_port_t* port = jack_port_register(client_, ("in_" + std::to_string(i)).c_str(),
                                                   JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
            if (!port) {
                error = "JACK refused an input port";
                dispose_buffers();
                return false;
            }
            inputs_.push_back(port);
        }
        for (size_t i = 0; i < playback_.size(); ++i) {
            jack_port_t* port = jack_port_register(client_, ("out_" + std::to_string(i)).c_str(),
                                                   JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
            if (!port) {
                error = "JACK refused an output port";
                dispose_buffers();
                return false;
            }
            outputs_.push_back(port);
        }
        input_buffers_.assign(inputs_.size(), nullptr);
        output_buffers_.assign(outputs_.size(), nullptr);
        frames_ = frames;
        client_cb_ = &client;
        jack_set_process_callback(client_, &JackDriver::process, this);
        jack_set_xrun_callback(client_, &JackDriver::xrun, this);
        jack_set_buffer_size_callback(client_, &JackDriver::period_changed, this);
        return true;
    }

    bool start(std::string& error) override {
        if (gone_.load()) {
            error = "the JACK server has stopped";
            return false;
        }
        if (jack_activate(client_) != 0) {
            error = "JACK did not activate the client";
            return false;
        }
        active_ = true;
        // Our inputs from the server's capture ports, our outputs to its playback
        // ports, channel by channel.
        for (size_t i = 0; i < inputs_.size(); ++i) jack_connect(client_, capture_[i].c_str(), jack_port_name(inputs_[i]));
        for (size_t i = 0; i < outputs_.size(); ++i)
            jack_connect(client_, jack_port_name(outputs_[i]), playback_[i].c_str());
        return true;
    }

    void stop() override {
        if (!active_) return;
        active_ = false;
        if (!gone_.load()) jack_deactivate(client_);
    }

    void dispose_buffers() override {
        if (!gone_.load()) {
            for (jack_port_t* port : inputs_) jack_port_unregister(client_, port);
            for (jack_port_t* port : outputs_) jack_port_unregister(client_, port);
        }
        inputs_.clear();
        outputs_.clear();
        client_cb_ = nullptr;
    }

    DriverLatencies latencies() const override {
        DriverLatencies l;
        jack_latency_range_t range{};
        if (!inputs_.empty()) {
            jack_port_get_latency_range(inputs_[0], JackCaptureLatency, &range);
            l.input = range.max;
        }
        if (!outputs_.empty()) {
            jack_port_get_latency_range(outputs_[0], JackPlaybackLatency, &range);
            l.output = range.max;
        }
        // JACK reports the ports' latency past our own period.
        l.input += frames_;
        l.output += frames_;
        return l;
    }

private:
    static int process(jack_nframes_t frames, void* self) {
        auto& d = *static_cast<JackDriver*>(self);
        DriverClient* client = d.client_cb_;
        for (size_t i = 0; i < d.outputs_.size(); ++i)
            d.output_buffers_[i] = jack_port_get_buffer(d.outputs_[i], frames);
        if (!client || frames != d.frames_) {
            // A period of another length (the server was reconfigured): silence until
            // the device restarts on the new length.
            for (size_t i = 0; i < d.outputs_.size(); ++i)
                std::fill_n(static_cast<float*>(d.output_buffers_[i]), frames, 0.0f);
            return 0;
        }
        for (size_t i = 0; i < d.inputs_.size(); ++i) d.input_buffers_[i] = jack_port_get_buffer(d.inputs_[i], frames);
        DriverBlock block;
        block.inputs = {d.input_buffers_.data(), d.input_buffers_.size()};
        block.outputs = {d.output_buffers_.data(), d.output_buffers_.size()};
        block.frames = frames;
        block.xrun = d.xrun_pending_.exchange(false, std::memory_order_relaxed);
        client->buffer_switch(block);
        return 0;
    }

    static int xrun(void* self) {
        static_cast<JackDriver*>(self)->xrun_pending_.store(true, std::memory_order_relaxed);
        return 0;
    }

    static int period_changed(jack_nframes_t frames, void* self) {
        auto& d = *static_cast<JackDriver*>(self);
        if (frames != d.frames_ && d.client_cb_) d.client_cb_->driver_message(driver_reset_request, 0);
        return 0;
    }

    // The server went away: libjack calls this from its own thread. The callbacks
    // stop, so the device's watchdog restarts the driver; the next client opens as
    // soon as a server runs again.
    static void server_gone(void* self) {
        static_cast<JackDriver*>(self)->gone_.store(true);
        log_event(log_who, "the JACK server has stopped");
    }

    jack_client_t* client_;
    std::vector<std::string> capture_, playback_;
    std::vector<jack_port_t*> inputs_, outputs_;
    std::vector<const void*> input_buffers_;
    std::vector<void*> output_buffers_;
    uint32_t frames_ = 0;
    DriverClient* client_cb_ = nullptr;
    bool active_ = false;
    std::atomic<bool> gone_{false};
    std::atomic<bool> xrun_pending_{false};
};

}  // namespace

std::vector<DriverDescription> JackSystem::enumerate() {
    std::vector<DriverDescription> list;
    jack_client_t* client = open_client();
    if (!client) return list;
    DriverDescription d;
    d.name = std::string(jack_device_name);
    d.host = "JACK";
    d.channels = {static_cast<uint32_t>(physical_ports(client, JackPortIsOutput).size()),
                  static_cast<uint32_t>(physical_ports(client, JackPortIsInput).size())};
    d.default_rate_Hz = jack_get_sample_rate(client);
    jack_client_close(client);
    list.push_back(std::move(d));
    return list;
}

std::unique_ptr<AudioDriver> JackSystem::create(std::string_view name) {
    if (name != jack_device_name) return nullptr;
    jack_client_t* client = open_client();
    if (!client) return nullptr;
    return std::make_unique<JackDriver>(client);
}

std::vector<DriverDescription> SoundCards::enumerate() {
    std::vector<DriverDescription> list = jack_.enumerate();
    if (others_)
        for (auto& d : others_->enumerate())
            if (d.host != "JACK") list.push_back(std::move(d));
    return list;
}

std::unique_ptr<AudioDriver> SoundCards::create(std::string_view name) {
    // "system" is JACK's name for the server's ports: never PortAudio's copy of it,
    // which would hold on to a server that has gone.
    if (name == jack_device_name) return jack_.create(name);
    return others_ ? others_->create(name) : nullptr;
}

}  // namespace torvalen
