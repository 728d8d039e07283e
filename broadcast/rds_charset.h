// Text into the RDS character table (the basic G0 set: ASCII letters, digits and
// punctuation, and the accented Latin letters at 0x80-0x9F and 0xC0-0xFF) and
// back. One byte per character on air; a character the table cannot carry
// becomes a space, so the positions of the others stay.
#pragma once

#include <string>
#include <string_view>

namespace torvalen::broadcast {

// UTF-8 in (invalid sequences count as one uncarried character each), RDS bytes
// out. `replaced` (when given) is set when any character became a space.
std::string to_rds_characters(std::string_view utf8, bool* replaced = nullptr);

// RDS bytes in, UTF-8 out (for status lines and the interface).
std::string rds_characters_to_utf8(std::string_view rds);

// What `utf8` becomes on air, in UTF-8: the text with every character the table
// cannot carry replaced by a space.
std::string rds_displayable(std::string_view utf8, bool* replaced = nullptr);

}  // namespace torvalen::broadcast
