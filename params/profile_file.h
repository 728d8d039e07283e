// Profile files ("INI" layout: [section] lines and key=value lines), the text
// form of preset ("fmt4") and day-part ("dpt4") files, and the 4-byte structure
// encoding of their numbers. Files are exchanged with other systems, so reading
// accepts LF, CRLF and CR line ends, spaces around "=", and any bytes; writing
// uses CRLF and replaces the file atomically.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace torvalen::params {

// Files larger than this are refused unread: a real preset file is a few tens of
// kilobytes even with the longest notes.
inline constexpr size_t max_profile_file_bytes = 4u << 20;

// ---- 4-byte structures ----
// Eight upper-case hex digits giving the four bytes in memory order
// (little-endian), then two hex digits of their sum modulo 256.
std::string encode_structure(std::array<uint8_t, 4> bytes);
std::string encode_float_structure(float value);
std::string encode_u32_structure(uint32_t value);
// Nothing unless the text is exactly ten hex digits (either case) with a
// matching checksum.
std::optional<std::array<uint8_t, 4>> decode_structure(std::string_view text);
std::optional<float> decode_float_structure(std::string_view text);
std::optional<uint32_t> decode_u32_structure(std::string_view text);

// ---- Escapes ----
// A list label holds its items with a line break after each; in a file key each
// line break is written as backslash and "n" (and CR as backslash and "r"), which
// is unambiguous because labels never hold a backslash.
std::string escape_key(std::string_view key);
// Notes without line breaks are written as they are. Notes with line breaks are
// written with backslash escapes ("\\", "\n", "\r") so the file keeps one line
// per entry; the stored length (of the notes themselves) tells a reader which
// form it holds.
std::string encode_notes(std::string_view notes);
// The notes from the file value and the length the file states. A value of
// exactly that length is taken as it is; otherwise the escapes are decoded when
// that gives the stated length, else the value is cut to it.
std::string decode_notes(std::string_view value, size_t length);

// ---- Reading ----
class ProfileFile {
public:
    // Never fails: lines that are neither a section nor key=value are skipped,
    // as are entries before the first section.
    static ProfileFile parse(std::string_view text);

    // The first value of `key` in section `section`; sections and keys compare
    // without regard to ASCII case, as the profile functions of other systems do.
    std::optional<std::string_view> value(std::string_view section, std::string_view key) const;
    bool has_section(std::string_view section) const;

private:
    std::map<std::pair<std::string, std::string>, std::string> values_;
    std::map<std::string, bool> sections_;
};

// ---- Writing ----
class ProfileWriter {
public:
    void section(std::string_view name);
    void entry(std::string_view key, std::string_view value);
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// The whole file, or nothing (with a one-line reason) when it cannot be read or
// is larger than `max_bytes`.
std::optional<std::string> read_file_limited(const std::filesystem::path& file, size_t max_bytes, std::string& error);

// Writes `contents` to a temporary file in the same folder, flushes it to disk
// and renames it over `file`. On failure the temporary file is removed and an
// existing `file` is left as it was.
bool write_file_atomically(const std::filesystem::path& file, std::string_view contents, std::string& error);

}  // namespace torvalen::params
