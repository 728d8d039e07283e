#include "engine/log.h"

#include <time.h>
#include <unistd.h>

#include <string>

namespace torvalen {

void log_event(std::string_view who, std::string_view what) {
    char stamp[32] = "";
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    if (localtime_r(&now.tv_sec, &local)) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line;
    line.reserve(48 + who.size() + what.size());
    line.append(stamp).append(" torvalen[").append(who).append("]: ").append(what).push_back('\n');
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

}  // namespace torvalen
