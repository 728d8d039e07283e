// Text formatting for every text the program composes at run time: status lines,
// meter captions, latency read-outs, dialog labels, HTTP request headers.
//
// A format is a sequence of items, each consuming one argument in order; spaces
// separate items and print nothing (a unit such as " ms" is passed as a text).
//   s            text as it is (null prints nothing)
//   sr           owned text; released by the builder when the call succeeds
//   snW  srnW    text in exactly W characters (W: one or two digits), padded with
//                spaces; a longer text is cut to W-4 characters plus "... "
//   u            unsigned decimal
//   udP          unsigned value holding value*10^P, printed with P decimals
//   udPnM        as udP, shortened to at most M digits (decimals dropped first)
//   unW          exactly W digits, zero-padded, saturating at W nines
//   i idP idPnM inW   the same for signed values, "-" in front of negatives
//   h hX hH      upper-case hexadecimal, plain, "0x" prefix, "h" suffix
//   fP           floating point with P decimals ("NAN" when not finite)
// P, M and W are single digits except the text widths. Anything else where an
// item letter is expected, an argument of the wrong kind, or a wrong number of
// arguments fails the whole call before anything is allocated or written.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace torvalen::text {

// A text handed over to an `sr`/`srn` item. When the call succeeds the builder
// releases it (clears it and frees its storage); when the call fails it is left
// untouched. A null pointer stands for a null text.
struct Owned {
    std::string* text;
};

// One format argument: a text, an owned text, an integer or a floating-point number.
class Arg {
public:
    enum class Kind { text, owned, integer, real };

    Arg(const char* text) : kind_(Kind::text), text_(text ? std::string_view(text) : std::string_view()) {}
    Arg(std::string_view text) : kind_(Kind::text), text_(text) {}
    Arg(const std::string& text) : kind_(Kind::text), text_(text) {}
    Arg(Owned owned)
        : kind_(Kind::owned), text_(owned.text ? std::string_view(*owned.text) : std::string_view()),
          owner_(owned.text) {}
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    Arg(T value) : kind_(Kind::integer), bits_(static_cast<uint64_t>(value)), signed_(std::is_signed_v<T>) {}
    template <std::floating_point T>
    Arg(T value) : kind_(Kind::real), real_(static_cast<double>(value)) {}

    Kind kind() const { return kind_; }
    std::string_view text() const { return text_; }  // empty for null texts
    std::string* owner() const { return owner_; }
    // The integer converted to 32 bits the way C converts it (modulo 2^32).
    uint32_t bits32() const { return static_cast<uint32_t>(bits_); }
    // The number as a double (integers converted by value).
    double real() const {
        if (kind_ == Kind::real) return real_;
        return signed_ ? static_cast<double>(static_cast<int64_t>(bits_)) : static_cast<double>(bits_);
    }

private:
    Kind kind_;
    std::string_view text_;
    std::string* owner_ = nullptr;
    uint64_t bits_ = 0;
    bool signed_ = false;
    double real_ = 0.0;
};

// Formats into a new text sized exactly to its contents; null for an invalid call.
std::optional<std::string> build(std::string_view format, std::initializer_list<Arg> args);

// A growable text buffer. `used` counts the characters before the terminating NUL;
// `capacity` is the size of `data` in bytes.
struct Buffer {
    std::unique_ptr<char[]> data;
    uint64_t used = 0;
    uint64_t capacity = 0;
    uint64_t max_doublings = 0;  // how often one append may double the capacity

    std::string_view view() const { return data ? std::string_view(data.get(), used) : std::string_view(); }
};

// Formats onto the end of `buffer`. A buffer without data first gets `capacity`
// bytes (a capacity of 0 fails). When the text does not fit, the capacity is
// doubled up to `max_doublings` times. On failure the buffer is unchanged.
bool append(Buffer& buffer, std::string_view format, std::initializer_list<Arg> args);

// `value` read as value / 10^decimals with exactly `decimals` decimals: 5, 2 -> "0.05".
std::string fixed_point_text(int32_t value, uint32_t decimals);

// Copy of `text`; null when it is null or empty.
std::optional<std::string> copy_text(const char* text);

// UTF-8 from wide (UTF-32) text and back; null for an empty result or invalid input.
std::optional<std::string> to_multibyte(std::wstring_view wide);
std::optional<std::wstring> to_wide(std::string_view text);

std::string decimal_text(uint32_t value);
std::string decimal_text(int32_t value);
std::string hex_text(uint32_t value);  // upper-case digits, no prefix

// 0 for null, empty or any stray character; saturate at 4294967295.
uint32_t parse_decimal(const char* text);
// Hex digits in either case with an optional trailing 'h'/'H'; 0 for anything
// else; saturates at 0xFFFFFFFF.
uint32_t parse_hex(const char* text);

// The path up to its last separator ('\' or '/'), without the run of separators
// before it; null when there is no separator or nothing in front of it.
std::optional<std::string> directory_part(std::string_view path);

}  // namespace torvalen::text
