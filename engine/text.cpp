#include "engine/text.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace torvalen::text {

namespace {

static_assert(sizeof(wchar_t) == 4, "wide texts are UTF-32");

// Wide enough for the integer part of any finite float (below 2^128).
using Wide = unsigned __int128;

uint64_t pow10(uint64_t exponent) {
    uint64_t value = 1;
    while (exponent-- > 0) value *= 10;
    return value;
}

uint64_t digit_count(Wide value, unsigned base) {
    uint64_t count = 1;
    for (; value >= base; value /= base) ++count;
    return count;
}

// Writes the last `count` digits of `value` (zero-padded) so that they end just
// before `end`, last digit first; returns where the digits start.
char* put_digits(char* end, Wide value, uint64_t count, unsigned base) {
    for (; count > 0; --count, value /= base) *--end = "0123456789ABCDEF"[static_cast<unsigned>(value % base)];
    return end;
}

// A number laid out as prefix, whole digits, optional "." and decimals, suffix.
// Its length is known before anything is written, so a caller can size the
// output first and write it afterwards.
struct Number {
    std::string_view prefix;    // "-", "0x", or the whole text "NAN"
    Wide whole = 0;
    uint64_t whole_digits = 0;  // exact count written, zero-padded
    unsigned base = 10;
    uint64_t fraction = 0;
    uint64_t decimals = 0;      // digits after the "."; none and no "." when 0
    std::string_view suffix;    // "h"

    uint64_t length() const {
        return prefix.size() + whole_digits + (decimals > 0 ? decimals + 1 : 0) + suffix.size();
    }

    void write(char* out) const {
        char* end = out + length() - suffix.size();
        suffix.copy(end, suffix.size());
        if (decimals > 0) {
            end = put_digits(end, fraction, decimals, 10);
            *--end = '.';
        }
        end = put_digits(end, whole, whole_digits, base);
        prefix.copy(end - prefix.size(), prefix.size());
    }

    std::string text() const {
        std::string result(length(), '\0');
        write(result.data());
        return result;
    }
};

// `magnitude` read as magnitude / 10^decimals; the whole part is at least "0".
Number fixed(bool negative, uint32_t magnitude, uint64_t decimals) {
    Number number;
    number.prefix = negative ? "-" : "";
    // A 32-bit magnitude has at most ten digits, so with ten or more decimals
    // there is no whole part.
    if (decimals < 10) {
        number.whole = magnitude / pow10(decimals);
        number.fraction = magnitude % pow10(decimals);
    } else {
        number.fraction = magnitude;
    }
    number.whole_digits = digit_count(number.whole, 10);
    number.decimals = decimals;
    return number;
}

Number hex_number(uint32_t value) {
    Number number;
    number.whole = value;
    number.base = 16;
    number.whole_digits = digit_count(value, 16);
    return number;
}

Number real_number(float value, unsigned decimals) {
    Number number;
    if (!std::isfinite(value)) {
        number.prefix = "NAN";
        return number;
    }
    number.prefix = value < 0 ? "-" : "";
    const double magnitude = std::fabs(static_cast<double>(value));
    const double whole = std::floor(magnitude);
    const uint64_t scale = pow10(decimals);
    number.whole = static_cast<Wide>(whole);
    number.fraction = static_cast<uint64_t>(std::round((magnitude - whole) * static_cast<double>(scale)));
    if (number.fraction >= scale) {  // rounded up to the next whole number
        number.fraction -= scale;
        ++number.whole;
    }
    number.whole_digits = digit_count(number.whole, 10);
    number.decimals = decimals;
    return number;
}

// One parsed format item.
struct Item {
    char letter = 0;         // s, u, i, h or f
    bool owned = false;      // sr, srn
    bool sized = false;      // sn, srn, un, in: exactly `width` characters or digits
    unsigned width = 0;
    unsigned decimals = 0;   // ud, id, f
    bool limited = false;    // udPnM, idPnM
    unsigned limit = 0;
    char hex_style = 0;      // 'X' (0x prefix) or 'H' (h suffix)
};

bool take(std::string_view format, size_t& pos, char wanted) {
    if (pos >= format.size() || format[pos] != wanted) return false;
    ++pos;
    return true;
}

bool take_digit(std::string_view format, size_t& pos, unsigned& digit) {
    if (pos >= format.size() || format[pos] < '0' || format[pos] > '9') return false;
    digit = static_cast<unsigned>(format[pos++] - '0');
    return true;
}

// Reads the item starting at format[pos] and moves pos past it.
std::optional<Item> read_item(std::string_view format, size_t& pos) {
    Item item;
    item.letter = format[pos++];
    switch (item.letter) {
    case 's':
        item.owned = take(format, pos, 'r');
        if (take(format, pos, 'n')) {
            if (!take_digit(format, pos, item.width)) return std::nullopt;
            unsigned second = 0;
            if (take_digit(format, pos, second)) item.width = item.width * 10 + second;
            item.sized = true;
        }
        return item;
    case 'u':
    case 'i':
        if (take(format, pos, 'd')) {
            if (!take_digit(format, pos, item.decimals)) return std::nullopt;
            if (take(format, pos, 'n')) {
                if (!take_digit(format, pos, item.limit)) return std::nullopt;
                item.limited = true;
            }
        } else if (take(format, pos, 'n')) {
            if (!take_digit(format, pos, item.width)) return std::nullopt;
            item.sized = true;
        }
        return item;
    case 'h':
        if (take(format, pos, 'X')) item.hex_style = 'X';
        else if (take(format, pos, 'H')) item.hex_style = 'H';
        return item;
    case 'f':
        if (!take_digit(format, pos, item.decimals)) return std::nullopt;
        return item;
    default:
        return std::nullopt;
    }
}

// Writes a text item to `out` (when not null); returns its length, or null when
// the argument is not the kind of text the item takes.
std::optional<uint64_t> render_text(const Item& item, const Arg& arg, char* out) {
    if (arg.kind() != (item.owned ? Arg::Kind::owned : Arg::Kind::text)) return std::nullopt;
    std::string_view text = arg.text();
    if (!item.sized) {
        if (out) text.copy(out, text.size());
        return text.size();
    }
    std::string_view marker;
    if (text.size() > item.width) {
        if (item.width < 4) return std::nullopt;  // no room for the "... " marker
        text = text.substr(0, item.width - 4);
        marker = "... ";
    }
    if (out) {
        text.copy(out, text.size());
        marker.copy(out + text.size(), marker.size());
        std::fill(out + text.size() + marker.size(), out + item.width, ' ');
    }
    return item.width;
}

// The number a numeric item prints for `arg`; null when the argument is not a number.
std::optional<Number> number_for(const Item& item, const Arg& arg) {
    if (item.letter == 'f') {
        if (arg.kind() != Arg::Kind::integer && arg.kind() != Arg::Kind::real) return std::nullopt;
        return real_number(static_cast<float>(arg.real()), item.decimals);
    }
    if (arg.kind() != Arg::Kind::integer) return std::nullopt;
    uint32_t value = arg.bits32();
    if (item.letter == 'h') {
        Number number = hex_number(value);
        if (item.hex_style == 'X') number.prefix = "0x";
        if (item.hex_style == 'H') number.suffix = "h";
        return number;
    }
    const bool negative = item.letter == 'i' && static_cast<int32_t>(value) < 0;
    if (negative) value = 0u - value;  // also right for INT32_MIN
    if (item.sized) {
        Number number;
        number.prefix = negative ? "-" : "";
        number.whole = std::min<uint64_t>(value, pow10(item.width) - 1);
        number.whole_digits = item.width;
        return number;
    }
    unsigned decimals = item.decimals;
    if (item.limited && decimals > 0) {
        // Give up decimals first, then saturate at M nines.
        const uint64_t most = pow10(item.limit) - 1;
        for (; value > most && decimals > 0; --decimals) value /= 10;
        if (value > most) value = static_cast<uint32_t>(most);
    }
    return fixed(negative, value, decimals);
}

// Walks the format, consuming one argument per item. With `out` null it only
// measures; otherwise it also writes the text (without NUL) to `out`. Returns
// the text's length, or null when the format or the arguments are invalid.
std::optional<uint64_t> render(std::string_view format, std::initializer_list<Arg> args, char* out) {
    uint64_t length = 0;
    const Arg* next = args.begin();
    for (size_t pos = 0;;) {
        while (pos < format.size() && format[pos] == ' ') ++pos;
        if (pos == format.size()) break;
        const std::optional<Item> item = read_item(format, pos);
        if (!item || next == args.end()) return std::nullopt;
        char* at = out ? out + length : nullptr;
        std::optional<uint64_t> size;
        if (item->letter == 's') {
            size = render_text(*item, *next, at);
        } else if (const std::optional<Number> number = number_for(*item, *next)) {
            size = number->length();
            if (at) number->write(at);
        }
        if (!size) return std::nullopt;
        length += *size;
        ++next;
    }
    if (next != args.end()) return std::nullopt;
    return length;
}

// After a successful call the builder owns the texts handed over with Owned.
void release_owned(std::initializer_list<Arg> args) {
    for (const Arg& arg : args) {
        if (arg.owner()) std::string().swap(*arg.owner());
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

}  // namespace

std::optional<std::string> build(std::string_view format, std::initializer_list<Arg> args) {
    const std::optional<uint64_t> length = render(format, args, nullptr);
    if (!length) return std::nullopt;
    std::string result(*length, '\0');
    render(format, args, result.data());
    release_owned(args);
    return result;
}

bool append(Buffer& buffer, std::string_view format, std::initializer_list<Arg> args) {
    const std::optional<uint64_t> length = render(format, args, nullptr);
    if (!length) return false;
    if (!buffer.data && (buffer.capacity == 0 || buffer.used != 0)) return false;
    if (buffer.used > std::numeric_limits<uint64_t>::max() - 1 - *length) return false;
    const uint64_t needed = buffer.used + 1 + *length;

    uint64_t capacity = buffer.capacity;
    for (uint64_t doublings = 0; needed > capacity; ++doublings) {
        if (doublings == buffer.max_doublings || capacity > std::numeric_limits<uint64_t>::max() / 2) return false;
        capacity *= 2;
    }

    // Allocate once, at the final size. The old data stays alive until the text
    // is written, so arguments may point into the buffer itself.
    std::unique_ptr<char[]> grown;
    if (!buffer.data || capacity != buffer.capacity) {
        grown.reset(new (std::nothrow) char[capacity]);
        if (!grown) return false;
        if (buffer.data) std::copy_n(buffer.data.get(), buffer.used, grown.get());
    }
    char* target = grown ? grown.get() : buffer.data.get();
    render(format, args, target + buffer.used);
    target[buffer.used + *length] = '\0';
    if (grown) buffer.data = std::move(grown);
    buffer.capacity = capacity;
    buffer.used += *length;
    release_owned(args);
    return true;
}

std::string fixed_point_text(int32_t value, uint32_t decimals) {
    const bool negative = value < 0;
    const uint32_t magnitude = negative ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    return fixed(negative, magnitude, decimals).text();
}

std::optional<std::string> copy_text(const char* text) {
    if (!text || !*text) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> to_multibyte(std::wstring_view wide) {
    std::string result;
    result.reserve(wide.size());
    for (wchar_t unit : wide) {
        const auto code = static_cast<uint32_t>(unit);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
        if (code < 0x80) {
            result += static_cast<char>(code);
            continue;
        }
        const int extra = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        static constexpr unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
        result += static_cast<char>(lead[extra] | (code >> (6 * extra)));
        for (int shift = 6 * (extra - 1); shift >= 0; shift -= 6) {
            result += static_cast<char>(0x80 | ((code >> shift) & 0x3F));
        }
    }
    if (result.empty()) return std::nullopt;
    return result;
}

std::optional<std::wstring> to_wide(std::string_view text) {
    static constexpr uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};  // rejects overlong forms
    std::wstring result;
    for (size_t pos = 0; pos < text.size();) {
        const auto lead = static_cast<unsigned char>(text[pos++]);
        const size_t extra = lead < 0x80 ? 0 : lead < 0xC0 ? 4 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF8 ? 3 : 4;
        if (extra > 3 || text.size() - pos < extra) return std::nullopt;
        uint32_t code = extra == 0 ? lead : lead & (0x3Fu >> extra);
        for (size_t k = 0; k < extra; ++k) {
            const auto unit = static_cast<unsigned char>(text[pos++]);
            if ((unit & 0xC0) != 0x80) return std::nullopt;
            code = code << 6 | (unit & 0x3Fu);
        }
        if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
        result += static_cast<wchar_t>(code);
    }
    if (result.empty()) return std::nullopt;
    return result;
}

std::string decimal_text(uint32_t value) { return fixed(false, value, 0).text(); }

std::string decimal_text(int32_t value) { return fixed_point_text(value, 0); }

std::string hex_text(uint32_t value) { return hex_number(value).text(); }

uint32_t parse_decimal(const char* text) {
    if (!text || !*text) return 0;
    uint64_t value = 0;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9') return 0;
        value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(*text - '0'), UINT32_MAX);
    }
    return static_cast<uint32_t>(value);
}

uint32_t parse_hex(const char* text) {
    if (!text) return 0;
    std::string_view digits(text);
    if (!digits.empty() && (digits.back() == 'h' || digits.back() == 'H')) digits.remove_suffix(1);
    uint64_t value = 0;
    for (char c : digits) {
        const int digit = hex_value(c);
        if (digit < 0) return 0;
        value = std::min<uint64_t>(value * 16 + static_cast<uint64_t>(digit), UINT32_MAX);
    }
    return static_cast<uint32_t>(value);
}

std::optional<std::string> directory_part(std::string_view path) {
    const size_t last = path.find_last_of("\\/");
    if (last == std::string_view::npos) return std::nullopt;
    size_t end = last;
    while (end > 0 && is_separator(path[end - 1])) --end;
    if (end == 0) return std::nullopt;
    return std::string(path.substr(0, end));
}

}  // namespace torvalen::text
