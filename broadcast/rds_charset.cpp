#include "broadcast/rds_charset.h"

#include <array>
#include <cstdint>

namespace torvalen::broadcast {

namespace {

// Code points of RDS bytes 0x80-0x9F and 0xC0-0xFF (0 where the table is not used).
constexpr std::array<char32_t, 32> row_80 = {
    U'á', U'à', U'é', U'è', U'í', U'ì', U'ó', U'ò', U'ú', U'ù', U'Ñ', U'Ç', U'Ş', U'ß', U'¡', U'Ĳ',
    U'â', U'ä', U'ê', U'ë', U'î', U'ï', U'ô', U'ö', U'û', U'ü', U'ñ', U'ç', U'ş', U'ğ', U'ı', U'ĳ'};
constexpr std::array<char32_t, 64> row_c0 = {
    U'Á', U'À', U'É', U'È', U'Í', U'Ì', U'Ó', U'Ò', U'Ú', U'Ù', U'Ř', U'Č', U'Š', U'Ž', U'Ð', U'Ŀ',
    U'Â', U'Ä', U'Ê', U'Ë', U'Î', U'Ï', U'Ô', U'Ö', U'Û', U'Ü', U'ř', U'č', U'š', U'ž', U'đ', U'ŀ',
    U'Ã', U'Å', U'Æ', U'Œ', U'ŷ', U'Ý', U'Õ', U'Ø', U'Þ', U'Ŋ', U'Ŕ', U'Ć', U'Ś', U'Ź', U'Ŧ', U'ð',
    U'ã', U'å', U'æ', U'œ', U'ŵ', U'ý', U'õ', U'ø', U'þ', U'ŋ', U'ŕ', U'ć', U'ś', U'ź', U'ŧ', 0};

// The G0 table differs from ASCII at these positions: 0x24 is the currency sign
// (the dollar is 0xAB), 0x5E a horizontal bar, 0x60 a double vertical bar, 0x7E an
// overline. The dollar maps to its own byte; the other three ASCII characters
// have no place in the table.
constexpr uint8_t rds_dollar = 0xAB;

uint8_t rds_byte(char32_t c) {
    if (c == U'$') return rds_dollar;
    if (c >= 0x20 && c <= 0x7D && c != U'^' && c != U'`') return static_cast<uint8_t>(c);
    if (c < 0x80) return 0;
    for (size_t i = 0; i < row_80.size(); ++i)
        if (row_80[i] == c) return static_cast<uint8_t>(0x80 + i);
    for (size_t i = 0; i < row_c0.size(); ++i)
        if (row_c0[i] == c) return static_cast<uint8_t>(0xC0 + i);
    return 0;
}

char32_t code_point(uint8_t b) {
    if (b == rds_dollar) return U'$';
    if (b >= 0x20 && b <= 0x7D && b != '$' && b != '^' && b != '`') return b;
    if (b >= 0x80 && b < 0xA0) return row_80[b - 0x80];
    if (b >= 0xC0) return row_c0[b - 0xC0];
    return 0;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The next code point of `s` at `i` (advanced); 0xFFFD for a broken sequence.
char32_t next_code_point(std::string_view s, size_t& i) {
    const auto b = static_cast<uint8_t>(s[i++]);
    if (b < 0x80) return b;
    int more = b >= 0xF0 && b < 0xF5 ? 3 : b >= 0xE0 ? 2 : b >= 0xC2 && b < 0xE0 ? 1 : -1;
    if (more < 0) return 0xFFFD;
    char32_t c = b & (0x3F >> more);
    for (; more > 0; --more) {
        if (i >= s.size() || (static_cast<uint8_t>(s[i]) & 0xC0) != 0x80) return 0xFFFD;
        c = (c << 6) | (static_cast<uint8_t>(s[i++]) & 0x3F);
    }
    return c;
}

}  // namespace

std::string to_rds_characters(std::string_view utf8, bool* replaced) {
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const uint8_t b = rds_byte(next_code_point(utf8, i));
        if (b == 0 && replaced) *replaced = true;
        out += static_cast<char>(b == 0 ? ' ' : b);
    }
    return out;
}

std::string rds_characters_to_utf8(std::string_view rds) {
    std::string out;
    for (const char ch : rds) {
        const char32_t c = code_point(static_cast<uint8_t>(ch));
        append_utf8(out, c == 0 ? U' ' : c);
    }
    return out;
}

std::string rds_displayable(std::string_view utf8, bool* replaced) {
    return rds_characters_to_utf8(to_rds_characters(utf8, replaced));
}

}  // namespace torvalen::broadcast
