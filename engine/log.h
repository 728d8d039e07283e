// One line per significant event, to standard error (the journal when run as a
// service). Never called from the engine thread's cycle.
#pragma once

#include <string_view>

namespace torvalen {

// Writes "YYYY-mm-dd HH:MM:SS torvalen[<who>]: <what>" as one write, so lines from
// several threads never interleave. `who` is an instance name or a subsystem.
// Control characters and bytes that are not UTF-8 in either are escaped (\xNN), so
// a caller may pass text from outside as it is.
void log_event(std::string_view who, std::string_view what);

}  // namespace torvalen
