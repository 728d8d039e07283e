// Names of presets and day-parts: they become store key names and file values,
// so they are limited in length and character set.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace torvalen::params {

inline constexpr size_t max_name_chars = 63;

// 1 to 63 bytes of UTF-8, none of them "\", "/" or a control character (a line
// break would split the line of a preset file that holds the name).
bool valid_name(std::string_view name);

// The message shown when a name is refused.
inline constexpr std::string_view invalid_name_message =
    "A name must have 1 to 63 characters and must not contain \\, / or control characters";

// A name read from a file: cut to 63 characters; empty when what remains is not
// a valid name.
std::string name_from_file(std::string_view value);

}  // namespace torvalen::params
