// Whether the program is alive, as a service manager and a monitoring system see
// it: every instance's engine has run a cycle lately. Used by GET /healthz and by
// the systemd watchdog. Control thread only.
#pragma once

#include <chrono>
#include <map>
#include <string>

namespace torvalen {

class Application;

class HealthWatch {
public:
    using Clock = std::chrono::steady_clock;

    // Empty when every instance's engine is started and has completed a cycle
    // within `tolerance` of `now`; else the reason ("Studio: engine stopped",
    // "Studio: no engine cycle for 2.5 s"), one per instance, joined by "; ".
    // With no instance there is nothing to be stuck: healthy.
    std::string check(Application& app, Clock::time_point now, std::chrono::milliseconds tolerance);

private:
    struct Seen {
        uint64_t cycles = 0;
        Clock::time_point advanced{};
    };
    std::map<std::string, Seen> seen_;  // by instance name
};

}  // namespace torvalen
