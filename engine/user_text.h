// Checks and escapes for text that comes from outside (names, notes, request
// headers): what may be stored, and how anything is written into the log.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace torvalen {

// Length of the well-formed UTF-8 sequence at the start of `text` (shortest form,
// no surrogates, at most U+10FFFF); 0 when it is not one.
size_t utf8_sequence_length(std::string_view text);

// Well-formed UTF-8 throughout.
bool valid_utf8(std::string_view text);

// Valid UTF-8 without control characters (C0, DEL, C1): what a one-line text
// such as a name may hold. `allow_line_breaks` also lets CR, LF and TAB through
// (multi-line notes).
bool clean_user_text(std::string_view text, bool allow_line_breaks = false);

// The text with every control character (C0, DEL, C1) and every byte that is not
// valid UTF-8 written as \xNN, so no outside input can start a log line or reach a
// terminal as an escape sequence.
std::string escape_for_log(std::string_view text);

// Valid UTF-8, with every ill-formed byte replaced by U+FFFD: safe to send as JSON text.
std::string repair_utf8(std::string_view text);

}  // namespace torvalen
