// JACK through libjack itself, beside PortAudio's ALSA devices.
//
// PortAudio's JACK backend holds a stream whose server died for up to ten minutes
// (its stop waits for a process callback that never comes) and sees a restarted
// server only after re-initialising, which it cannot do while that stream is open.
// A broadcast chain must be back on air seconds after the server is. This driver
// talks to the server directly: a lost server ends its callbacks, the device's
// watchdog restarts it, and a new client opens as soon as a server runs again.
//
// The server is the one libjack picks (JACK_DEFAULT_SERVER, else "default"); it
// appears as one device, "system" (host "JACK"), with the server's physical ports
// as channels, like PortAudio's listing of it.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/audio_driver.h"

namespace torvalen {

inline constexpr std::string_view jack_device_name = "system";

class JackSystem final : public DriverSystem {
public:
    // The running server as a device (nothing when no server runs).
    std::vector<DriverDescription> enumerate() override;
    // A client of the running server; nullptr for another name or no server.
    std::unique_ptr<AudioDriver> create(std::string_view name) override;
};

// The drivers of this machine: JACK's server through JackSystem, every other
// device through `others` (PortAudio), whose own JACK listing is left out.
class SoundCards final : public DriverSystem {
public:
    explicit SoundCards(std::unique_ptr<DriverSystem> others) : others_(std::move(others)) {}
    std::vector<DriverDescription> enumerate() override;
    std::unique_ptr<AudioDriver> create(std::string_view name) override;
    void rescan() override {
        if (others_) others_->rescan();
    }

private:
    JackSystem jack_;
    std::unique_ptr<DriverSystem> others_;
};

}  // namespace torvalen
