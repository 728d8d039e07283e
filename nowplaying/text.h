// Turning bytes from a file, a datagram or a connection into a now-playing text:
// bounding, character clean-up and the two input forms (one whole line, or
// "artist=" and "title=" fields).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "engine/module.h"

namespace torvalen::nowplaying {

// Bytes of one input looked at; the rest is ignored (a 100 MB file, a 10 MB
// connection).
inline constexpr std::size_t max_input_bytes = 65536;
// Longest artist, title or whole line kept, in bytes of UTF-8.
inline constexpr std::size_t max_field_bytes = 255;

// One field made safe to show and send: UTF-8 as is, anything that is not valid
// UTF-8 read as ISO-8859-1; control characters (C0, DEL, C1) become spaces;
// leading and trailing spaces removed; cut to `max_field_bytes` on a character
// boundary.
std::string clean_field(std::string_view raw);

// Incoming text from the file, UDP or TCP source. It ends at the first zero
// byte and is split into tokens at every ";", CR and LF.
// - `parsed` false: the first token, when not empty after cleaning, is the text.
// - `parsed` true: the first token containing "artist" (any case) gives the
//   artist after its first "=", one containing "title" the title; tokens without
//   "=" are skipped and the search stops when both were found. Both must be
//   non-empty; the text is artist " - " title.
// Nothing when the input gives no text (the previous one then stays).
std::optional<NowPlayingText> parse_incoming(std::string_view input, bool parsed);

}  // namespace torvalen::nowplaying
