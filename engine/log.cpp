#include "engine/log.h"

#include <time.h>
#include <unistd.h>

#include <string>

#include "engine/user_text.h"

namespace torvalen {

void log_event(std::string_view who, std::string_view what) {
    char stamp[32] = "";
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    if (localtime_r(&now.tv_sec, &local)) strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    // Names and messages may carry text from outside: escaped, so that nothing in
    // them can start a line of its own.
    std::string line;
    line.reserve(48 + who.size() + what.size());
    line.append(stamp).append(" torvalen[").append(escape_for_log(who)).append("]: ").append(escape_for_log(what));
    line.push_back('\n');
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

std::string log_quote(std::string_view text) {
    std::string quoted;
    quoted.reserve(text.size() + 2);
    for (const char c : text) {
        if (c == '"' || c == '\\') quoted.push_back('\\');
        quoted.push_back(c);
    }
    return '"' + escape_for_log(quoted) + '"';
}

}  // namespace torvalen
