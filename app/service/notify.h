// Talking to systemd when it started the program (Type=notify): readiness,
// status text and watchdog pings. Without NOTIFY_SOCKET every call does nothing.
#pragma once

#include <chrono>
#include <string_view>

namespace torvalen {

class ServiceNotifier {
public:
    ServiceNotifier();
    // True when a service manager listens.
    bool active() const { return active_; }
    // The watchdog's period as the unit sets it (WatchdogSec=); zero when off.
    std::chrono::microseconds watchdog_period() const { return watchdog_; }

    void ready(std::string_view status);
    void stopping();
    void status(std::string_view text);
    // One watchdog ping: call only after proving the program is alive.
    void ping();

private:
    bool active_ = false;
    std::chrono::microseconds watchdog_{0};
};

}  // namespace torvalen
