#include "app/service/notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace torvalen {

ServiceNotifier::ServiceNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    active_ = socket && *socket;
    uint64_t usec = 0;
    if (active_ && sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
}

void ServiceNotifier::ready(std::string_view status) {
    if (!active_) return;
    const std::string message = "READY=1\nSTATUS=" + std::string(status);
    sd_notify(0, message.c_str());
}

void ServiceNotifier::stopping() {
    if (active_) sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::status(std::string_view text) {
    if (!active_) return;
    const std::string message = "STATUS=" + std::string(text);
    sd_notify(0, message.c_str());
}

void ServiceNotifier::ping() {
    if (active_ && watchdog_.count() > 0) sd_notify(0, "WATCHDOG=1");
}

}  // namespace torvalen
