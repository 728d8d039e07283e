#include "app/service/health.h"

#include <cstdio>

#include "app/application.h"

namespace torvalen {

std::string HealthWatch::check(Application& app, Clock::time_point now, std::chrono::milliseconds tolerance) {
    std::map<std::string, Seen> seen;
    std::string reasons;
    auto add = [&](const std::string& why) {
        if (!reasons.empty()) reasons += "; ";
        reasons += why;
    };
    for (const std::string& name : app.instance_names()) {
        Instance* instance = app.find(name);
        if (!instance) continue;
        Seen s;
        const auto before = seen_.find(name);
        const uint64_t cycles = instance->cycles();
        if (before == seen_.end() || before->second.cycles != cycles) {
            s.cycles = cycles;
            s.advanced = now;
        } else {
            s = before->second;
        }
        seen[name] = s;
        if (!instance->engine_started()) {
            add(name + ": engine stopped");
        } else if (before != seen_.end() && now - s.advanced > tolerance) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f",
                          std::chrono::duration<double>(now - s.advanced).count());
            add(name + ": no engine cycle for " + seconds + " s");
        }
    }
    seen_ = std::move(seen);
    return reasons;
}

}  // namespace torvalen
