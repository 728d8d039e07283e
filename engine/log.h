// One line per significant event, to standard error (the journal when run as a
// service). Never called from the engine thread's cycle.
#pragma once

#include <string>
#include <string_view>

namespace torvalen {

// Writes "YYYY-mm-dd HH:MM:SS torvalen[<who>]: <what>" as one write, so lines from
// several threads never interleave. `who` is an instance name or a subsystem.
// Control characters and bytes that are not UTF-8 in either are escaped (\xNN), so
// a caller may pass text from outside as it is.
void log_event(std::string_view who, std::string_view what);

// A value that came from outside (a header, a path, a name a user typed), ready to
// go into a log line: in double quotes, with `"` and `\` escaped as \" and \\, and
// every control character (C0, DEL, and C1 written in UTF-8) and every byte that is
// not part of well-formed UTF-8 written as \xNN. No input can start a new log line
// or send a terminal escape sequence.
std::string log_quote(std::string_view text);

}  // namespace torvalen
